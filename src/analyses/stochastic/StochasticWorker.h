#ifndef TESSALY_STOCHASTICWORKER_H
#define TESSALY_STOCHASTICWORKER_H

#include <vector>

#include "diagnostics/Progress.h"
#include "ensemble/Trajectory.h"
#include "analyses/stochastic/StochasticRun.h"
#include "analyses/stochastic/StochasticStatistics.h"

class Param;
class PowerGrid;
class ResultFile;
class RungeKutta;

// The integrations of the stochastic analyses on one grid: the grid of the
// input for runs that depend on each other, or a worker thread's private
// copy of it for runs beside each other. Holds the statistics buffers of one
// analysis at a time (histograms, survival counts); the settings come from
// the analysis, read-only, and the starting point of each integration from
// the setup chain. Its files are those of the run it integrates alone.
class StochasticWorker {
public:
    // `rk` integrates on `grid` (it is bound to a Function of that grid).
    StochasticWorker(const StochasticStatistics& settings, PowerGrid& grid, RungeKutta& rk, StepCounter& steps);

    // Integrates the analysis `start` belongs to, from there, writes its
    // results and notes in work.run where the analysis ended.
    void integrate(RunWork& work, const AnalysisStart& start);

private:
    void trajectory(RunWork& work, const AnalysisStart& start);
    void lineFlows(RunWork& work, const AnalysisStart& start);
    void survival(RunWork& work, const AnalysisStart& start);
    void survivalAll(RunWork& work, const AnalysisStart& start);
    void cascade(RunWork& work, const AnalysisStart& start);
    // The all-node survival integration shared by survivalAll and the
    // cascade: settling, then counting with a record every surviveInterval
    // steps, written to `records` as it is made and closed by one NaN;
    // checkStep(thetaNew, t) runs after the flank check of every step.
    template <class StepCheck>
    void runAllNodeSurvival(RunWork& work, const AnalysisStart& start, ResultFile& records, StepCheck checkStep);
    void driveTurbines(const RunWork& work, int step);
    void writeFlanks(const Param& param, const std::string& fileName);
    void noteAnalysisEnd(RunWork& work, StochasticAnalysis analysis);

    void resetHistograms();
    void countSurvival(const double* omega);
    bool allInside(const double* omega) const;
    void countHistogram(const double* omega);
    void countIncrementHistograms(const double* omega, int step);

    const StochasticStatistics& settings;
    PowerGrid& grid;
    RungeKutta& rk;
    StepCounter& steps;
    int n;
    Trajectory state;

    double survAllCount = 0;
    std::vector<double> survCount;
    std::vector<std::vector<int>> freqHist;
    std::vector<std::vector<std::vector<int>>> freqIncrHist;
    std::vector<std::vector<double>> lagRefFreq;
};

#endif
