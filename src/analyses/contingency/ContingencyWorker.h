#ifndef TESSALY_CONTINGENCYWORKER_H
#define TESSALY_CONTINGENCYWORKER_H

#include <atomic>
#include <vector>

#include "analyses/contingency/ContingencyOutcome.h"
#include "diagnostics/Progress.h"
#include "dynamics/Function.h"
#include "dynamics/RungeKutta.h"
#include "dynamics/SwingKernel.h"
#include "ensemble/EnsembleFiles.h"
#include "ensemble/Trajectory.h"
#include "grid/PowerGrid.h"

class NonFiniteLog;
class Param;

// What every worker of a contingency run reads and none changes.
struct ContingencyJob {
    Param* param = nullptr;            // for the workers' right-hand sides
    const PowerGrid* steady = nullptr;  // the grid at the steady state
    std::vector<double> steadyPhases;
    const std::vector<Outage>* outages = nullptr;
    KernelVariant variant = KernelVariant::exact;
    double stepWidth = 0;
    int steps = 0;        // "RK steps": states 1 .. steps after the start
    int outageStep = 0;   // the outage comes after this step (0: before the first)
    int settleSteps = 0;  // the last settleSteps steps and the final state decide "returned"
    double band = 0;
};

// One worker thread's part of a contingency run: its own copy of the grid,
// right-hand side, integrator and state. Integrates contingencies one after
// another, each from the steady state on a fresh copy of the grid; memory
// does not grow with the steps (trips are bounded by the line records).
class ContingencyWorker {
public:
    // `outcomes` holds a slot per contingency; the worker fills those it
    // integrates. Per-node records go to `files` (one file, stride one record).
    ContingencyWorker(const ContingencyJob& job, EnsembleFiles& files, std::vector<ContingencyOutcome>& outcomes,
                      std::atomic<long long>& stepsDone);

    void integrate(long long contingency, NonFiniteLog& nonFinite);

private:
    // Watches one step's new state: frequencies against the band and their maxima.
    void observeFrequencies(int step, const double* omega);
    void finishOutcome(ContingencyOutcome& outcome);

    const ContingencyJob& job;
    std::vector<ContingencyOutcome>& outcomes;
    PowerGrid grid;
    Function function;
    RungeKutta rk;
    Trajectory trajectory;
    EnsembleWriters writers;
    StepCounter counter;
    std::vector<PowerGrid::Trip> trips;
    std::vector<double> peakFrequency;
    std::vector<double> nodeRecord;
    std::vector<int> islandOf;
    int lastStepOutsideBand = 0;
};

#endif
