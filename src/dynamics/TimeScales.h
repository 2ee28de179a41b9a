#ifndef TESSALY_TIMESCALES_H
#define TESSALY_TIMESCALES_H

class PowerGrid;

// The fastest local time scale of the swing equations at the grid's steady
// state: per node the oscillation of its phase against its neighbours held
// fixed, ω_i = sqrt(Σ_j K_ij |cos(θ_i - θ_j - φ_ij)| / M_i), and the decay of
// its frequency, D_i / M_i; the largest over the nodes. A fixed step h
// integrates it accurately while h times the rate stays well below 1.
struct TimeScale {
    double rate = 0;  // 1 / time
    int node = -1;
    bool oscillation = true;  // false: the decay D/M sets it
};

TimeScale fastestTimeScale(PowerGrid& grid);

// Beyond this step width times the fastest rate, RK4 is visibly wrong: at 1
// an undamped oscillation loses a third of its amplitude in ten periods
// (1.3 % at 0.5, 12 % at 0.8), a decay is 10 % off after five time
// constants; beyond 2.8 the step is unstable.
constexpr double kAccurateStepTimesRate = 1.0;

// Warns when `h` times the fastest rate exceeds kAccurateStepTimesRate,
// naming the step, the bound, the node that sets it and a step that would do
// (the 1-2-5 value at most half of 1/rate, as the importer chooses).
void warnIfStepTooWide(PowerGrid& grid, double h);

#endif
