#ifndef TESSALY_FUNCTION_H
#define TESSALY_FUNCTION_H

#include "MTRand.h"

class Param;
class PowerGrid;

// The right-hand side of the swing equations, bound to the run's grid.
class Function {
public:
    Function(Param* param, PowerGrid* grid);

    double secDeriv(int i, double* omega, double* theta);

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
