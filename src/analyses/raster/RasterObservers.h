#ifndef TESSALY_RASTEROBSERVERS_H
#define TESSALY_RASTEROBSERVERS_H

#include <vector>

#include "output/PositionedFile.h"

class PowerGrid;

// The raster integrates each initial condition once and shows the trajectory
// to one observer per mode that is on. An observer sees begin() before the
// first step, afterStep() after each of the steps 1 .. S - 1 and end() after
// the last, and appends its records to the writers it was given; the worker
// that owns it has moved every writer to the initial condition's byte range
// before begin(). Observers are plain classes, called directly: a step costs
// no virtual call, lookup, lock or allocation.

// One initial condition: the kicked node and the state before the first step.
struct InitialCondition {
    long long index;  // position in the raster's order
    int node;
    const double* phases;
    const double* freqs;
};

// The energy of a state relative to the grid's steady state: kinetic
// Σ M_i ω_i²/2, plus the potential of the lines against the steady state
// minus the work of the net powers. Made once from the grid, then read-only:
// every worker reads the same one.
class EnergyMeasure {
public:
    EnergyMeasure() = default;
    // Takes the grid's steady-state phases, inertias, powers and couplings.
    explicit EnergyMeasure(PowerGrid& grid);

    double current(const double* phases, const double* freqs) const { return kinetic(freqs) + potential(phases); }
    // The quadratic approximation of current() near the steady state.
    double harmonic(const double* phases, const double* freqs) const;
    double kinetic(const double* freqs) const;
    double potential(const double* phases) const;

private:
    // One entry per line record in node order and line-list order.
    struct Line {
        int from;
        int to;
        double k;
        double phi;
        double cosSteady;  // cos(s_from - s_to - phi)
    };
    double deviation(const double* phases, int i) const;

    std::vector<double> steadyPhases;
    std::vector<Line> lines;
    std::vector<double> inertias;
    std::vector<double> netPowers;  // powerMech - powerDiag
};

// "Mode ERT": the energy after every step, the energy return time (the
// first step after which the energy stays below the threshold), the state
// every `sampleEvery` steps, and the initial and final state.
class EnergyReturnObserver {
public:
    struct Writers {
        RangeWriter* energy;
        RangeWriter* freqSamples;   // null when nothing is sampled
        RangeWriter* phaseSamples;  // null when nothing is sampled
        RangeWriter* returnTime;
        RangeWriter* freqEndpoints;
        RangeWriter* phaseEndpoints;
    };
    EnergyReturnObserver(const EnergyMeasure& measure, double threshold, double stepWidth, int sampleEvery, int n,
                         Writers writers);

    void begin(const InitialCondition&);
    void afterStep(int step, const double* phases, const double* freqs);
    void end(const InitialCondition& ic, const double* phases, const double* freqs);

private:
    const EnergyMeasure& measure;
    double threshold;
    double stepWidth;
    int sampleEvery;
    int n;
    Writers out;
    bool returned = false;
    double returnTime = 0;
};

// For every threshold band k and node i, the time after which the node's
// frequency deviation stays inside the band (below the threshold in
// magnitude; on it or NaN is outside): infinite until it enters, and again
// whenever it leaves.
class ReturnTable {
public:
    ReturnTable(const std::vector<double>& thresholds, int n);

    // Every node outside every band.
    void clear();
    // The deviations `values` (n of them) at time t, for every band.
    void update(const double* values, double t);
    // The same for band k alone; throws std::out_of_range for a band outside the table.
    void update(const double* values, double t, int k);
    // Per node the sum of its times over the bands divided by `bands`.
    void means(double* out, int bands) const;

    // Throw std::out_of_range outside the table.
    double time(int k, int i) const;
    bool inside(int k, int i) const;

private:
    std::size_t slot(int k, int i) const;

    const std::vector<double>& thresholds;
    int n;
    // Band k of node i at [k * n + i].
    std::vector<double> times;
    std::vector<char> in;
};

// "Mode RMRT": the return table of the frequency deviations; the record
// holds the mean over the bands per node. Then the initial and final state.
class MeanReturnObserver {
public:
    struct Writers {
        RangeWriter* meanReturn;
        RangeWriter* freqEndpoints;
        RangeWriter* phaseEndpoints;
    };
    // `bands`: the number of thresholds the mean divides by (0 gives NaN).
    MeanReturnObserver(const std::vector<double>& thresholds, int bands, double stepWidth, int n, Writers writers);

    void begin(const InitialCondition&);
    void afterStep(int step, const double* phases, const double* freqs);
    void end(const InitialCondition& ic, const double* phases, const double* freqs);

private:
    ReturnTable table;
    int bands;
    double stepWidth;
    int n;
    Writers out;
    std::vector<double> means;
    std::vector<double> record;
};

// "Mode maxp": per node the largest frequency and phase (by magnitude,
// signed) and when they were first reached.
class MaximaObserver {
public:
    MaximaObserver(double stepWidth, int n, RangeWriter* maxima);

    void begin(const InitialCondition&);
    void afterStep(int step, const double* phases, const double* freqs);
    void end(const InitialCondition& ic, const double* phases, const double* freqs);

private:
    double stepWidth;
    int n;
    RangeWriter* out;
    std::vector<double> freqMax, freqMaxTime, phaseMax, phaseMaxTime;
    std::vector<double> record;
};

// "Mode save traj": the state after every step.
class TrajectoryObserver {
public:
    TrajectoryObserver(int n, RangeWriter* freqs, RangeWriter* phases);

    void begin(const InitialCondition&) {}
    void afterStep(int, const double* phases, const double* freqs) {
        freqOut->append(freqs, count);
        phaseOut->append(phases, count);
    }
    void end(const InitialCondition&, const double*, const double*) {}

private:
    std::size_t count;
    RangeWriter* freqOut;
    RangeWriter* phaseOut;
};

#endif
