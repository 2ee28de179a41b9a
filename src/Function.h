#ifndef TESSALY_FUNCTION_H
#define TESSALY_FUNCTION_H

#include "MTRand.h"
#include "PowerGrid.h"

class Param;

// The right-hand side of the swing equations, bound to the run's grid.
class Function {
public:
    Function(Param* param, PowerGrid* grid);

    // Inline so the integrator's inner loop calls the grid directly.
    double secDeriv(int i, double* omega, double* theta) { return grid->swingEq(theta, omega, i); }

    Param* param;
    PowerGrid* grid;
    MTRand mtrand;
};

class StochFunction : public Function {
public:
    StochFunction(Param* param, PowerGrid* grid);
    virtual ~StochFunction();
};

#endif
