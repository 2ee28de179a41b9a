#include "tessaly.h"
