#ifndef TESSALY_STOCHASTICINPUT_H
#define TESSALY_STOCHASTICINPUT_H

#include <atomic>
#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "input/Param.h"
#include "ensemble/Ensemble.h"
#include "ensemble/ProcessGroup.h"
#include "diagnostics/Progress.h"
#include "output/ResultDirectories.h"
#include "output/ResultPaths.h"
#include "analyses/stochastic/StochasticRun.h"
#include "analyses/stochastic/StochasticStatistics.h"

class InputText;
class PowerGrid;
class RunStatus;
class RungeKutta;

// Stochastic wind-input analysis: wind series to turbine power, generator
// balancing and the statistics run for every turbine configuration.
//
// The settings and buffers are public members, like those of Param: the
// reader fills them, the analyses and their callers read them directly.
class StochasticInput : public StochasticStatistics {
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
    // The result files of every run, in the order they are first written.
    void addResultFiles(const Param& param, results::PlannedFiles& files) const;
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
    std::vector<std::vector<double>> powerSeries;
    std::vector<std::vector<double>> windSeries;
    std::vector<std::vector<double>> currentWindPart;
    double windD1;

private:
    void validateRun(const Param& param, int parts, int len) const;
    void warnAboutTurbineSettings(const Param& param) const;
    void warnAboutSilentTurbine() const;
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
    void reportNonFinite(const std::vector<StochasticRun>& runs) const;

    long long stepsPerRun(const Param& param) const;
    void beginProgress(const Param& param, std::size_t runs);
    Ensemble::Progress besideProgress(const Param& param, std::size_t runs) const;
    // Marks the start of an analysis: its directories are announced, lines a
    // cascade left out of service are warned about.
    void startAnalysis(const Param& param, const char* modeKey, std::initializer_list<const char*> directoryNames);
    void writeWindSeries(const std::vector<double>& speeds, const std::string& fileName, int node);
    void warnAboutTrippedLines(const Param& param);
    void warnAboutOverloadsAtStart(const Param& param, std::vector<double> phases);

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
    int windPartInUse = -1;
    ResultDirectories directories;
    std::string currentAnalysis;
    bool trippedLinesReported = false;
    bool overloadsReported = false;
    // The runs retired so far that became non-finite.
    NonFiniteLog nonFiniteRuns;
};

#endif
