#ifndef TESSALY_RUNGEKUTTA_H
#define TESSALY_RUNGEKUTTA_H

#include <vector>

#include "dynamics/SwingKernel.h"

class Function;

// Classical fourth-order Runge-Kutta step for the swing equations. The work
// arrays (the kernel's scratch included) are allocated once, so a step
// allocates nothing after the first. Integrators on different threads may
// share one Function and grid as long as nothing changes the grid meanwhile.
class RungeKutta {
public:
    RungeKutta(int n, Function* f);

    // A step with the grid's kernel, current with lines switched off since
    // the last step. Throws std::out_of_range when the grid's node count is not n.
    void rk4(double h, double* omega, double* theta, double* omegaOut, double* thetaOut);
    // A step with `kernel`, which the caller keeps current: integrators on
    // several threads step with one kernel that none of them rebuilds.
    void rk4(const SwingKernel& kernel, KernelVariant variant, double h, double* omega, double* theta,
             double* omegaOut, double* thetaOut);
    // The variant the bound Function evaluates with.
    KernelVariant kernelVariant() const;
    double valThAt(int i, double* omega, double* theta);
    double valOmAt(int i, double* omega, double* theta);

private:
    template <int stageNumber>
    void stage(const SwingKernel& kernel, KernelVariant variant, double h, const double* omega, const double* theta,
               const double* omegaStage, const double* thetaStage, double* omegaNext, double* thetaNext);

    int n;
    // The stages' increments (the fourth's phase increment goes straight
    // into the new state) and the state of the stage under way.
    std::vector<double> k1om, k2om, k3om, k4om;
    std::vector<double> k1th, k2th, k3th;
    std::vector<double> tmpOm, tmpTh;
    SwingKernel::Scratch scratch;
    Function* function;
};

#endif
