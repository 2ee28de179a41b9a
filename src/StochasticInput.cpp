#include "StochasticInput.h"
