#include "dynamics/Function.h"

#include "input/Param.h"

Function::Function(Param* param, PowerGrid* grid)
    : param(param), grid(grid), mtrand(), variant(param->isModeFast() ? fastKernelVariant() : KernelVariant::exact) {
    mtrand.seed(param->getRandSeed());
}

void Function::useFastKernel(bool on) { variant = on ? fastKernelVariant() : KernelVariant::exact; }

void Function::setKernelVariant(KernelVariant v) {
    requireKernelVariant(v);
    variant = v;
}

StochFunction::StochFunction(Param* param, PowerGrid* grid) : Function(param, grid) {}

StochFunction::~StochFunction() = default;
