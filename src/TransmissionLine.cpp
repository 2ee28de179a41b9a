#include "TransmissionLine.h"
