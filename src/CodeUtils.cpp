#include "CodeUtils.h"
