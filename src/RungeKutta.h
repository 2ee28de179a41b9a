#ifndef TESSALY_RUNGEKUTTA_H
#define TESSALY_RUNGEKUTTA_H

#include <vector>

class Function;

// Classical fourth-order Runge-Kutta step for the swing equations. The work
// arrays are allocated once, so a step allocates nothing.
class RungeKutta {
public:
    RungeKutta(int n, Function* f);

    void rk4(double h, double* omega, double* theta, double* omegaOut, double* thetaOut);
    double valThAt(int i, double* omega, double* theta);
    double valOmAt(int i, double* omega, double* theta);

private:
    template <bool halfStep>
    void stage(double h, double* omega, double* theta, double* kOm, double* kTh);

    int n;
    std::vector<double> k1om, k2om, k3om, k4om;
    std::vector<double> k1th, k2th, k3th, k4th;
    std::vector<double> tmpOm, tmpTh;
    Function* function;
};

#endif
