#ifndef TESSALY_TRAJECTORY_H
#define TESSALY_TRAJECTORY_H

#include <optional>
#include <vector>

#include "dynamics/SwingKernel.h"

class RungeKutta;
class StepCounter;

// The steps of a trajectory around which its state stopped being finite:
// the last step at which it was seen finite and the step at which it was
// seen not to be. The state is looked at once every kCheckEvery steps and
// after the last, so the two may lie up to that many steps apart.
struct NonFiniteWindow {
    long long finiteAt;
    long long nonFiniteAt;
};

// The state of one trajectory of the swing equations and its steps: two
// pairs of state arrays, a step integrating from the current pair into the
// next one and swapping them (no state is copied), and the watch on the
// state staying finite, which costs one scan of the state every kCheckEvery
// steps. Owned by the worker that integrates it; allocates only when made.
class Trajectory {
public:
    static constexpr int kCheckEvery = 64;

    explicit Trajectory(int nodes);
    Trajectory(const Trajectory&) = delete;
    Trajectory& operator=(const Trajectory&) = delete;

    int nodes() const { return n; }
    // Starts over at the given phases, at rest, or with the given frequencies.
    void start(const std::vector<double>& phases);
    void start(const double* phases, const double* freqs);

    // One step of width h into the next pair, with the grid's kernel of
    // `rk` or with `kernel`; the new state is in thNew/omNew until swap().
    void stepFrom(RungeKutta& rk, double h, StepCounter& steps);
    void stepFrom(RungeKutta& rk, const SwingKernel& kernel, KernelVariant variant, double h, StepCounter& steps);
    // The new state becomes the current one.
    void swap();
    // stepFrom and swap.
    void step(RungeKutta& rk, const SwingKernel& kernel, KernelVariant variant, double h, StepCounter& steps) {
        stepFrom(rk, kernel, variant, h, steps);
        swap();
    }

    // Up to `steps` steps, each followed by `observe(step, th, om)` (steps
    // counted from 1) which returns whether the trajectory goes on: false
    // once its observers have decided it, which stops it early. Returns
    // the steps taken. The observers keep the size of what they write fixed
    // (an early stop writes what the remaining steps would have).
    template <class Observe>
    int integrate(RungeKutta& rk, const SwingKernel& kernel, KernelVariant variant, double h, int steps,
                  StepCounter& counter, Observe observe) {
        for (int s = 1; s <= steps; ++s) {
            step(rk, kernel, variant, h, counter);
            if (!observe(s, static_cast<const double*>(th), static_cast<const double*>(om))) return s;
        }
        return steps;
    }

    // Looks at the state once more (after the last step): where it stopped
    // being finite, if it did.
    std::optional<NonFiniteWindow> finish();
    // Whether the current state is finite (one scan).
    bool isFinite() const;
    // The steps taken since start().
    long long steps() const { return taken; }

    double* th;
    double* om;
    double* thNew;
    double* omNew;

private:
    void watch();
    void check();

    int n;
    std::vector<double> storage[4];
    long long taken = 0;
    long long lastFinite = 0;
    std::optional<NonFiniteWindow> broke;
};

#endif
