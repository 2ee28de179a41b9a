#include "Function.h"
