#include "RasterReturnTime.h"
