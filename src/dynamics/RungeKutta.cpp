#include "dynamics/RungeKutta.h"

#include <stdexcept>
#include <string>

#include "util/CodeUtils.h"
#include "dynamics/Function.h"

RungeKutta::RungeKutta(int n, Function* f)
    : n(n < 0 ? 0 : n),
      k1om(this->n), k2om(this->n), k3om(this->n), k4om(this->n),
      k1th(this->n), k2th(this->n), k3th(this->n), k4th(this->n),
      tmpOm(this->n), tmpTh(this->n),
      function(f) {}

// The first two stages span h/2. The increment is (slope * h) / 2, not
// slope * (h / 2): the two differ near underflow and overflow.
template <bool halfStep>
void RungeKutta::stage(const SwingKernel& kernel, KernelVariant variant, double h, double* omega, double* theta,
                       double* kOm, double* kTh) {
    kernel.evaluate(variant, theta, omega, kOm, scratch);
    for (int i = 0; i < n; ++i) {
        if (halfStep) {
            kOm[i] = kOm[i] * h / 2;
            kTh[i] = omega[i] * h / 2;
        } else {
            kOm[i] = kOm[i] * h;
            kTh[i] = omega[i] * h;
        }
    }
}

void RungeKutta::rk4(double h, double* omega, double* theta, double* omegaOut, double* thetaOut) {
    rk4(function->kernel(), function->kernelVariant(), h, omega, theta, omegaOut, thetaOut);
}

KernelVariant RungeKutta::kernelVariant() const { return function->kernelVariant(); }

void RungeKutta::rk4(const SwingKernel& kernel, KernelVariant variant, double h, double* omega, double* theta,
                     double* omegaOut, double* thetaOut) {
    if (kernel.numNodes() != n) {
        throw std::out_of_range("the integrator has " + std::to_string(n) + " nodes, but the grid has " +
                                std::to_string(kernel.numNodes()));
    }

    stage<true>(kernel, variant, h, omega, theta, k1om.data(), k1th.data());
    CodeUtils::arrAddD(omega, k1om.data(), tmpOm.data(), n);
    CodeUtils::arrAddD(theta, k1th.data(), tmpTh.data(), n);

    stage<true>(kernel, variant, h, tmpOm.data(), tmpTh.data(), k2om.data(), k2th.data());
    CodeUtils::arrAddD(omega, k2om.data(), tmpOm.data(), n);
    CodeUtils::arrAddD(theta, k2th.data(), tmpTh.data(), n);

    stage<false>(kernel, variant, h, tmpOm.data(), tmpTh.data(), k3om.data(), k3th.data());
    CodeUtils::arrAddD(omega, k3om.data(), tmpOm.data(), n);
    CodeUtils::arrAddD(theta, k3th.data(), tmpTh.data(), n);

    stage<false>(kernel, variant, h, tmpOm.data(), tmpTh.data(), k4om.data(), k4th.data());

    for (int i = 0; i < n; ++i) {
        omegaOut[i] = k1om[i] / 3 + omega[i] + (2.0 / 3.0) * k2om[i] + k3om[i] / 3 + k4om[i] / 6;
        double th = k1th[i] / 3 + theta[i] + (2.0 / 3.0) * k2th[i] + k3th[i] / 3 + k4th[i] / 6;
        thetaOut[i] = CodeUtils::smallerAngle(th);
    }
}

double RungeKutta::valThAt(int i, double* omega, double* /*theta*/) { return omega[i]; }

double RungeKutta::valOmAt(int i, double* omega, double* theta) { return function->secDeriv(i, omega, theta); }
