#include "Node.h"
