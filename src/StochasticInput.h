#ifndef TESSALY_STOCHASTICINPUT_H
#define TESSALY_STOCHASTICINPUT_H

#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Progress.h"
#include "ResultDirectories.h"

class InputText;
class Param;
class PowerGrid;
class RunStatus;
class RungeKutta;

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
};

// Told where the runs of the stochastic analysis, their analyses and their
// wind series end (the run manifest keeps its account of the result files
// with it). Called a few times per run, never per step.
class StochasticRunListener {
public:
    virtual ~StochasticRunListener() = default;
    // A wind series of the turbine at `node` went to the wind-speed file.
    virtual void windSeriesWritten(const StochasticRun& run, int node) = 0;
    virtual void analysisFinished(const StochasticRun& run, const char* modeKey) = 0;
    virtual void runFinished(const StochasticRun& run) = 0;
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
    void prepareTurbines(Param& param, RungeKutta& rk, std::vector<int> nodes, int part);
    void stochasticPseries(int node, std::vector<double>* speed, std::vector<double>* power, Param& param);
    std::vector<double> stochInterp(Param& param, std::vector<double> times, std::vector<double> values,
                                    double dt);
    void speedToPower(int node, std::vector<double>* speed, std::vector<double>* power);
    double powerCurvePfac(int node);
    double powerCurveFunc(double v, double pfac);
    void calcBalanceFactor(std::vector<int> nodes);
    void setPowerMechStationary(std::vector<int> nodes);
    void prepareInitialState(std::vector<double>& theta, std::vector<double>& omega,
                             std::vector<double>& thetaNew, std::vector<double>& omegaNew,
                             std::vector<int> nodes);
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
    // Throws InputError, before the first configuration writes anything, for
    // input the analysis cannot run on.
    void stochSwing(Param& param, RungeKutta& rk);
    void stochEvaluation(Param& param, RungeKutta& rk, std::vector<int> nodes);

    // ---- analyses --------------------------------------------------------------
    void traj(Param& param, RungeKutta& rk, std::vector<int> nodes);
    void stochFlows(Param& param, RungeKutta& rk, std::vector<int> nodes);
    void ExceedProb(Param& param, RungeKutta& rk, std::vector<int> nodes);
    void ExceedProbAll(Param& param, PowerGrid& grid, RungeKutta& rk, std::vector<int> nodes);
    void stochCasc(Param& param, RungeKutta& rk, std::vector<int> nodes);

    // ---- statistics buffers ------------------------------------------------------
    void checkFlanks(Param& param, double t, double* omega, double* omegaNew, double* theta, double* thetaNew);
    void resetSurv();
    void countSurv(double* omega);
    void resetSurvAll() { survAllCount = 0; }
    void countSurvAll(double* omega);
    void resetHist();
    void countHist(double* omega);
    void resetIncrHist();
    void countIncrHist(double* omega, int step);
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
    double survAllCount;
    std::vector<double> survCount;
    int surviveInitSteps;
    int surviveInterval;
    std::vector<std::vector<int>> freqHist;
    int freqHistBinNum;
    int freqHistHalfBins;
    double freqHistBinWidth;
    std::vector<double> timeLags;
    std::vector<int> timeLagSteps;
    std::vector<std::vector<double>> lagRefFreq;
    double freqIncrHistBinWidth;
    std::vector<std::vector<std::vector<int>>> freqIncrHist;
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
    void driveTurbines(const std::vector<int>& nodes, int step);
    void makeResultDirectories(const Param& param);
    // Marks the start of an analysis: its directories are announced, lines a
    // cascade left out of service are warned about.
    void startAnalysis(const Param& param, const char* modeKey, std::initializer_list<const char*> directoryNames);
    void finishAnalysis(const char* modeKey);
    void writeWindSeries(const std::vector<double>& speeds, const std::string& fileName, int node);
    std::vector<StochasticRun> runsOf(const RunPlan& plan, const std::string& baseName) const;
    void beginProgress(const Param& param, std::size_t runs);
    void warnAboutTrippedLines(const Param& param);
    // The all-node survival integration shared by ExceedProbAll and the
    // cascade: settling, then counting with a record every surviveInterval
    // steps; checkStep(thetaNew, t) runs after the flank check of every step.
    // Returns the records, closed by one NaN.
    template <class StepCheck>
    std::vector<double> runAllNodeSurvival(Param& param, PowerGrid& onGrid, RungeKutta& rk,
                                           const std::vector<int>& nodes, StepCheck checkStep);
    void writeFlanks(const Param& param, const std::string& fileName);
    std::string resultPath(const Param& param, const char* stem) const;

    RunStatus* status = nullptr;
    StochasticRunListener* listener = nullptr;
    StochasticRun currentRun;
    // Counts the integration steps of every run; runStartUnits: the count
    // when the current run started.
    ProgressMeter progress;
    long long runStartUnits = 0;
    ResultDirectories directories;
    std::string currentAnalysis;
    bool trippedLinesReported = false;
};

#endif
