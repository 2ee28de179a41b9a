#ifndef TESSALY_STOCHASTICINPUT_H
#define TESSALY_STOCHASTICINPUT_H

#include <atomic>
#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "input/Param.h"
#include "ensemble/ProcessGroup.h"
#include "diagnostics/Progress.h"
#include "output/ResultDirectories.h"

class InputText;
class PowerGrid;
class RunStatus;
class RungeKutta;

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

// Stochastic wind-input analysis: wind series to turbine power, generator
// balancing and the statistics run for every turbine configuration.
//
// The settings and buffers are public members, like those of Param: the
// reader fills them, the analyses and their callers read them directly.
class StochasticInput {
public:
    StochasticInput(PowerGrid* grid, Param* param);
    virtual ~StochasticInput();

    // ---- settings, reader and report ---------------------------------------
    // Reads the analysis' keys of an input file, reporting them on standard
    // output (nothing when the file cannot be opened).
    bool readFromFile(std::string fileName);
    void read(InputText& in, std::ostream& console);
    // The keys of the stochastic reader.
    static std::vector<std::string> keys();
    void calcTLagSteps(std::vector<double> lags);
    std::string toString();
    bool toFile(Param* param);

    bool isPratedGiven() const { return pratedGiven; }
    void setPratedGiven(bool on) { pratedGiven = on; }
    bool isFlucShare() const { return flucShare; }
    void setFlucShare(bool on) { flucShare = on; }
    bool isMultipleWindSer() const { return multipleWindSer; }
    void setMultipleWindSer(bool on) { multipleWindSer = on; }
    double getFreqHistBinWidth() const { return freqHistBinWidth; }
    void setFreqHistBinWidth(double width) { freqHistBinWidth = width; }
    std::vector<double> getTimeLags() const { return timeLags; }
    void setTimeLags(const std::vector<double>& lags) { timeLags = lags; }
    int getFreqHistBinNum() const { return freqHistBinNum; }
    void setFreqHistBinNum(int n);

    // ---- wind series and turbine power -------------------------------------
    void getPartsAndLen(int& parts, int& len, const std::vector<double>* series) const;
    void getCurrentWindPart(int part, int len, std::vector<std::vector<double>>* all,
                            std::vector<std::vector<double>>* current);
    void prepareTurbines(Param& param, std::vector<int> nodes, int part);
    void stochasticPseries(int node, std::vector<double>* speed, std::vector<double>* power, Param& param);
    std::vector<double> stochInterp(Param& param, std::vector<double> times, std::vector<double> values,
                                    double dt);
    void speedToPower(int node, std::vector<double>* speed, std::vector<double>* power);
    double powerCurvePfac(int node);
    double powerCurveFunc(double v, double pfac);
    void calcBalanceFactor(std::vector<int> nodes);
    void setPowerMechStationary(std::vector<int> nodes);
    void clearPSeries() { powerSeries.clear(); }

    // ---- driver --------------------------------------------------------------
    // The runs of the analysis: every configuration for every wind part.
    struct RunPlan {
        int parts = 0;
        int partLength = 0;
        bool runs = false;  // false: no part or no configuration, nothing runs
    };
    // Throws InputError for input the analysis cannot run on.
    RunPlan planRun(const Param& param) const;
    // Every run in run order (wind parts outermost), named from the output
    // name `param` has before the analysis starts; empty when nothing runs.
    // Throws as planRun.
    std::vector<StochasticRun> plannedRuns(const Param& param) const;
    // planRun before the run starts, warning when it has nothing to run.
    void prepare(const Param& param);
    // Power flows that miss the steady state are reported to `status` (none
    // when null).
    void setRunStatus(RunStatus* runStatus) { status = runStatus; }
    // Told about every run (none when null).
    void setRunListener(StochasticRunListener* runListener) { listener = runListener; }
    // The threads and processes the runs may share out (one thread by default).
    void setParallelism(const Parallelism& shares) { parallelism = shares; }
    // Every run: the setup of each (turbine series, balance, power flows, with
    // their console text) in run order, and its integrations. Runs are
    // independent unless a cascade's tripped lines stay out for the runs
    // after it; independent runs integrate beside each other on the threads
    // and processes of setParallelism, each on a copy of the grid, with the
    // same results as one after the other. Throws InputError, before the
    // first configuration writes anything, for input the analysis cannot run on.
    void stochSwing(Param& param, RungeKutta& rk);

    // ---- statistics ------------------------------------------------------------
    // Records the times node frequencies leave and re-enter the survival band
    // in param's flank lists.
    void checkFlanks(Param& param, double t, const double* omega, const double* omegaNew) const;
    // Bin of value x for bins of width `width`: values beyond either end fall
    // into the end bins; -1 for NaN, which no histogram counts.
    int histBin(double x, double width) const;

    PowerGrid* grid;
    Param* param;
    bool balanceStationary;
    bool flucShare;
    bool multipleWindSer;
    bool pratedGiven;
    bool writeStoch;
    std::string stochFilename;
    double turbineVmean;
    double turbineVrated;
    std::vector<std::vector<int>> turbineNodes;
    std::vector<double> turbinePrated;
    double balanceFactor;
    std::vector<double> renewableShare;
    std::vector<double> sharePower;
    double surviveThreshold;
    int surviveInitSteps;
    int surviveInterval;
    int freqHistBinNum;
    int freqHistHalfBins;
    double freqHistBinWidth;
    std::vector<double> timeLags;
    std::vector<int> timeLagSteps;
    double freqIncrHistBinWidth;
    std::vector<std::vector<double>> powerSeries;
    std::vector<std::vector<double>> windSeries;
    std::vector<std::vector<double>> currentWindPart;
    double windD1;

private:
    void validateRun(const Param& param, int parts, int len) const;
    void validateConfigurations() const;
    void validateWindRows(int parts, int len) const;
    void validateStatistics(const Param& param) const;
    void validatePowerSeries(const Param& param, int len) const;
    long long powerSeriesLength(const Param& param, int windSamples) const;
    void makeResultDirectories(const Param& param);
    std::vector<StochasticRun> runsOf(const RunPlan& plan, const std::string& baseName) const;
    std::vector<StochasticAnalysis> analysesOn(const Param& param) const;
    bool runsIndependent(const Param& param) const;
    void runInOrder(Param& param, RungeKutta& rk, const RunPlan& plan, const std::vector<StochasticRun>& runs);
    void runBesideEachOther(Param& param, RungeKutta& rk, const RunPlan& plan, const std::vector<StochasticRun>& runs);
    void collectOtherProcessesRuns(std::vector<StochasticRun>& runs, const std::vector<double>& ownResults);

    // ---- the setup chain: everything of a run but its integrations ------------
    // The wind part, output name, turbine power series and balance of `run`;
    // the work takes the run and its series.
    void prepareRun(Param& param, const RunPlan& plan, const StochasticRun& run, RunWork& work);
    // What `analysis` does to the grid and the random generator before it
    // integrates: its phases and powers, power flows, the announcement of
    // its directories. Integrating leaves the turbine nodes at the power of
    // the last step driven; leaveTurbinesAsDriven does the same for an
    // integration made elsewhere.
    AnalysisStart prepareAnalysis(Param& param, StochasticAnalysis analysis, RunWork& work);
    void leaveTurbinesAsDriven(const AnalysisStart& start, const RunWork& work);
    // The last step an analysis drives the turbines at; -1 for none.
    int lastDrivenStep(StochasticAnalysis analysis, const Param& param) const;
    void retire(const StochasticRun& run);

    void beginProgress(const Param& param, std::size_t runs, bool besideEachOther);
    // Marks the start of an analysis: its directories are announced, lines a
    // cascade left out of service are warned about.
    void startAnalysis(const Param& param, const char* modeKey, std::initializer_list<const char*> directoryNames);
    void writeWindSeries(const std::vector<double>& speeds, const std::string& fileName, int node);
    void warnAboutTrippedLines(const Param& param);

    RunStatus* status = nullptr;
    StochasticRunListener* listener = nullptr;
    Parallelism parallelism;
    // The run the setup chain works on.
    StochasticRun* currentRun = nullptr;
    // Whether this process writes the files the setup chain makes (the power
    // and wind series): the leader of a cluster run alone.
    bool writesSeries = true;
    // Counts the integration steps of every run; runShown: the run that
    // integrates, in order, and runStartUnits: the count when it started.
    ProgressMeter progress;
    StochasticRun runShown;
    std::atomic<long long> stepsDone{0};
    long long runStartUnits = 0;
    std::size_t runsDone = 0;
    int windPartInUse = -1;
    ResultDirectories directories;
    std::string currentAnalysis;
    bool trippedLinesReported = false;
};

#endif
