#include "RungeKutta.h"
