#include "ensemble/Trajectory.h"

#include <cmath>
#include <utility>

#include "diagnostics/Progress.h"
#include "dynamics/RungeKutta.h"

Trajectory::Trajectory(int nodes)
    : th(nullptr), om(nullptr), thNew(nullptr), omNew(nullptr), n(nodes < 0 ? 0 : nodes) {
    for (std::vector<double>& arrays : storage) arrays.assign(static_cast<std::size_t>(n), 0.0);
    th = storage[0].data();
    om = storage[1].data();
    thNew = storage[2].data();
    omNew = storage[3].data();
}

void Trajectory::start(const std::vector<double>& phases) {
    for (int i = 0; i < n; ++i) {
        th[i] = phases[i];
        om[i] = 0.0;
    }
    taken = 0;
    lastFinite = 0;
    broke.reset();
}

void Trajectory::start(const double* phases, const double* freqs) {
    for (int i = 0; i < n; ++i) {
        th[i] = phases[i];
        om[i] = freqs[i];
    }
    taken = 0;
    lastFinite = 0;
    broke.reset();
}

void Trajectory::stepFrom(RungeKutta& rk, double h, StepCounter& steps) {
    rk.rk4(h, om, th, omNew, thNew);
    steps.advance();
    watch();
}

void Trajectory::stepFrom(RungeKutta& rk, const SwingKernel& kernel, KernelVariant variant, double h,
                          StepCounter& steps) {
    rk.rk4(kernel, variant, h, om, th, omNew, thNew);
    steps.advance();
    watch();
}

void Trajectory::swap() {
    std::swap(om, omNew);
    std::swap(th, thNew);
}

// A count and a compare per step; the scan every kCheckEvery steps.
void Trajectory::watch() {
    if (++taken % kCheckEvery == 0 && !broke) check();
}

// The state just made (after stepFrom, before swap).
void Trajectory::check() {
    for (int i = 0; i < n; ++i) {
        if (!std::isfinite(thNew[i]) || !std::isfinite(omNew[i])) {
            broke = NonFiniteWindow{lastFinite, taken};
            return;
        }
    }
    lastFinite = taken;
}

bool Trajectory::isFinite() const {
    for (int i = 0; i < n; ++i) {
        if (!std::isfinite(th[i]) || !std::isfinite(om[i])) return false;
    }
    return true;
}

std::optional<NonFiniteWindow> Trajectory::finish() {
    if (!broke && taken > lastFinite && !isFinite()) broke = NonFiniteWindow{lastFinite, taken};
    return broke;
}
