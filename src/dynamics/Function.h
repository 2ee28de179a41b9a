#ifndef TESSALY_FUNCTION_H
#define TESSALY_FUNCTION_H

#include "util/MTRand.h"
#include "grid/PowerGrid.h"
#include "dynamics/SwingKernel.h"

class Param;

// The right-hand side of the swing equations, bound to the run's grid, and
// the kernel variant that evaluates it: the exact one, or with "Mode fast" the
// fastest fast variant of this CPU.
class Function {
public:
    Function(Param* param, PowerGrid* grid);

    // Node i alone, always with the exact formula. Inline so a caller's loop
    // calls the grid directly.
    double secDeriv(int i, double* omega, double* theta) { return grid->swingEq(theta, omega, i); }
    // The grid's kernel, current with the grid's couplings; evaluate it with kernelVariant().
    const SwingKernel& kernel() { return grid->swingKernel(); }

    KernelVariant kernelVariant() const { return variant; }
    // Name of the variant in use, e.g. "exact" or "fast-avx2".
    const char* kernelName() const { return kernelVariantName(variant); }
    // On: the fastest fast variant of this CPU; off: the exact one.
    void useFastKernel(bool on);
    // Throws std::invalid_argument for a variant this CPU cannot run.
    void setKernelVariant(KernelVariant v);

    Param* param;
    PowerGrid* grid;
    MTRand mtrand;

private:
    KernelVariant variant;
};

class StochFunction : public Function {
public:
    StochFunction(Param* param, PowerGrid* grid);
    virtual ~StochFunction();
};

#endif
