#include "Function.h"

#include "Param.h"

Function::Function(Param* param, PowerGrid* grid) : param(param), grid(grid), mtrand() {
    mtrand.seed(param->getRandSeed());
}

StochFunction::StochFunction(Param* param, PowerGrid* grid) : Function(param, grid) {}

StochFunction::~StochFunction() = default;
