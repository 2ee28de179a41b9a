#include "dynamics/RungeKutta.h"

#include <stdexcept>
#include <string>

#include "util/CodeUtils.h"
#include "dynamics/Function.h"

RungeKutta::RungeKutta(int n, Function* f)
    : n(n < 0 ? 0 : n),
      k1om(this->n), k2om(this->n), k3om(this->n),
      k1th(this->n), k2th(this->n), k3th(this->n),
      omA(this->n), thA(this->n), omB(this->n), thB(this->n),
      function(f) {}

// Stage 1 to 4 at (omegaStage, thetaStage), all its bookkeeping in the
// kernel's loop over the nodes: stages 1 to 3 keep their increments and write
// the next stage's state y + k, stage 4 writes the new state
// k1/3 + y + (2/3) k2 + k3/3 + k4/6 with its phase wrapped. The first two
// stages span h/2. The increment is (slope * h) / 2, not slope * (h / 2): the
// two differ near underflow and overflow.
template <int stageNumber>
void RungeKutta::stage(const SwingKernel& kernel, KernelVariant variant, double h, const double* omega,
                       const double* theta, const double* omegaStage, const double* thetaStage, double* omegaNext,
                       double* thetaNext) {
    double* kOm = stageNumber == 1 ? k1om.data() : stageNumber == 2 ? k2om.data() : k3om.data();
    double* kTh = stageNumber == 1 ? k1th.data() : stageNumber == 2 ? k2th.data() : k3th.data();
    const double* k1o = k1om.data();
    const double* k2o = k2om.data();
    const double* k3o = k3om.data();
    const double* k1t = k1th.data();
    const double* k2t = k2th.data();
    const double* k3t = k3th.data();
    kernel.forEachSlope(variant, thetaStage, omegaStage, scratch, [=](int i, double slope) {
        if (stageNumber == 4) {
            const double k4o = slope * h;
            const double k4t = omegaStage[i] * h;
            omegaNext[i] = k1o[i] / 3 + omega[i] + (2.0 / 3.0) * k2o[i] + k3o[i] / 3 + k4o / 6;
            thetaNext[i] =
                CodeUtils::smallerAngle(k1t[i] / 3 + theta[i] + (2.0 / 3.0) * k2t[i] + k3t[i] / 3 + k4t / 6);
            return;
        }
        if (stageNumber < 3) {
            kOm[i] = slope * h / 2;
            kTh[i] = omegaStage[i] * h / 2;
        } else {
            kOm[i] = slope * h;
            kTh[i] = omegaStage[i] * h;
        }
        omegaNext[i] = omega[i] + kOm[i];
        thetaNext[i] = theta[i] + kTh[i];
    });
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
    stage<1>(kernel, variant, h, omega, theta, omega, theta, omA.data(), thA.data());
    stage<2>(kernel, variant, h, omega, theta, omA.data(), thA.data(), omB.data(), thB.data());
    stage<3>(kernel, variant, h, omega, theta, omB.data(), thB.data(), omA.data(), thA.data());
    stage<4>(kernel, variant, h, omega, theta, omA.data(), thA.data(), omegaOut, thetaOut);
}

double RungeKutta::valThAt(int i, double* omega, double* /*theta*/) { return omega[i]; }

double RungeKutta::valOmAt(int i, double* omega, double* theta) { return function->secDeriv(i, omega, theta); }
