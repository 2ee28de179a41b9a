#ifndef TESSALY_STOCHASTICRUN_H
#define TESSALY_STOCHASTICRUN_H

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "ensemble/Trajectory.h"
#include "input/Param.h"

// The analyses of a stochastic run, in the order every run makes them.
enum class StochasticAnalysis { cascade, lineFlows, survivalAll, survival, trajectory };
// The switch key of an analysis, e.g. "Mode stoch casc".
const char* analysisModeKey(StochasticAnalysis analysis);

// One run of the stochastic analysis: a turbine configuration in one wind
// part, under its own output name.
struct StochasticRun {
    int index = 0;
    int windPart = 0;
    int configuration = 0;
    std::vector<int> turbineNodes;
    std::string outputName;
    // Whether every power flow the run's analyses solved converged; none
    // when no analysis solved one.
    std::optional<bool> powerFlowConverged;
    struct Trip {
        int from;
        int to;
        double time;
    };
    // The line records the run's cascade tripped, in trip order.
    std::vector<Trip> trippedLines;
    // The sizes of the run's survival and flank files (-1: none) when each
    // of its analyses ended, in analysis order: what each analysis added.
    struct AnalysisEnd {
        StochasticAnalysis analysis;
        long long survivalSize;
        long long flankSize;
    };
    std::vector<AnalysisEnd> analysisEnds;
    // Where the state of the first of the run's integrations that became
    // non-finite did so; none when every one stayed finite.
    std::optional<NonFiniteWindow> nonFinite;

    // The results of the run's integrations (trips and analysis ends) as
    // numbers, to send them from one process to another; `read` takes them
    // from `values` at `at` into a run of the same index.
    void appendResults(std::vector<double>& values) const;
    static int readResults(const std::vector<double>& values, std::size_t& at, std::vector<StochasticRun>& runs);
};

// Told where the runs of the stochastic analysis and their wind and power
// series end (the run manifest keeps its account of the result files with
// it). Called a few times per run, never per step, on the main thread; a run
// may finish after later runs have started.
class StochasticRunListener {
public:
    virtual ~StochasticRunListener() = default;
    // A wind series of the turbine at `node` went to the wind-speed file.
    virtual void windSeriesWritten(const StochasticRun& run, int node) = 0;
    // The run's turbine power series went to their files.
    virtual void powerSeriesWritten(const StochasticRun& run) = 0;
    virtual void runFinished(const StochasticRun& run) = 0;
};

// Where one analysis of a run starts its integration: the mechanical power of
// every node (as the analysis reset, balanced or re-solved them) and the
// phases.
struct AnalysisStart {
    StochasticAnalysis analysis;
    std::vector<double> powers;
    std::vector<double> phases;
};

// What a run's integrations need, taken from the setup chain: the run, its
// parameter set (the run's output name, flank and line-maximum lists), its
// turbines and their power series, and where each analysis starts.
struct RunWork {
    StochasticRun run;
    Param* param = nullptr;        // the run's parameter set
    std::optional<Param> ownParam;  // the run's copy, when it runs beside others
    std::vector<int> turbineNodes;
    std::vector<std::vector<double>> powerSeries;
    std::vector<AnalysisStart> starts;
};

#endif
