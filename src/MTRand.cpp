#include "MTRand.h"
