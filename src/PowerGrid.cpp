#include "PowerGrid.h"
