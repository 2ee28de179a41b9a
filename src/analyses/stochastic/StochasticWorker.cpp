#include "analyses/stochastic/StochasticWorker.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <utility>

#include "util/CodeUtils.h"
#include "input/Param.h"
#include "grid/PowerGrid.h"
#include "output/ResultFile.h"
#include "output/ResultPaths.h"
#include "dynamics/RungeKutta.h"
#include "ensemble/Trajectory.h"
#include "output/ResultWriters.h"

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();

// The settling steps 0 .. I - 1, then the counted steps I .. S - 1; after
// each step settled(state, s) or counted(state, s) sees the new state (in
// state.omNew and state.thNew) before it becomes the current one.
template <class Drive, class Settled, class Counted>
void settleThenCount(Trajectory& state, RungeKutta& rk, StepCounter& steps, double dt, int initSteps, int stepCount,
                     Drive drive, Settled settled, Counted counted) {
    for (int s = 0; s < initSteps; ++s) {
        drive(s);
        state.stepFrom(rk, dt, steps);
        settled(state, s);
        state.swap();
    }
    for (int s = initSteps; s < stepCount; ++s) {
        drive(s);
        state.stepFrom(rk, dt, steps);
        counted(state, s);
        state.swap();
    }
}

long long sizeOf(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

std::size_t nodeRecord(int n) { return static_cast<std::size_t>(std::max(n, 0)) * sizeof(double); }

// The cascade's per-step maxima go to their files in blocks of this many
// steps: the lists do not grow with the steps of a run.
const std::size_t kMaxLoadBlock = 1024;

// The files of the cascade's per-step maxima, filled from the lists of Param
// that the overload check appends to.
class MaxLoadFiles {
public:
    explicit MaxLoadFiles(const std::string& name)
        : flows(results::path(name, results::kMaxLoad), sizeof(double)),
          ratios(results::path(name, results::kMaxLoadRatio), sizeof(double)),
          lines(results::path(name, results::kMaxLoadLine), 2 * sizeof(int)) {}

    // Moves what the lists hold into the files.
    void writeOut(Param& param) {
        flows.write(param.lineMaxFlows);
        ratios.write(param.lineMaxRatios);
        lines.writeInts(param.lineMaxIds);
        param.lineMaxFlows.clear();
        param.lineMaxRatios.clear();
        param.lineMaxIds.clear();
    }

private:
    ResultFile flows;
    ResultFile ratios;
    ResultFile lines;
};

}  // namespace

StochasticWorker::StochasticWorker(const StochasticStatistics& settings, PowerGrid& grid, RungeKutta& rk,
                                   StepCounter& steps)
    : settings(settings), grid(grid), rk(rk), steps(steps), n(grid.getNumNodes()), state(n) {}

void StochasticWorker::integrate(RunWork& work, const AnalysisStart& start) {
    for (int i = 0; i < n; ++i) grid.setPowerMech(i, start.powers[i]);
    switch (start.analysis) {
        case StochasticAnalysis::cascade:
            cascade(work, start);
            break;
        case StochasticAnalysis::lineFlows:
            lineFlows(work, start);
            break;
        case StochasticAnalysis::survivalAll:
            survivalAll(work, start);
            break;
        case StochasticAnalysis::survival:
            survival(work, start);
            break;
        case StochasticAnalysis::trajectory:
            trajectory(work, start);
            break;
    }
    noteAnalysisEnd(work, start.analysis);
    const std::optional<NonFiniteWindow> broke = state.finish();
    if (broke && !work.run.nonFinite) work.run.nonFinite = broke;
    steps.flush();
}

void StochasticWorker::noteAnalysisEnd(RunWork& work, StochasticAnalysis analysis) {
    const std::string& name = work.param->outputFilename;
    work.run.analysisEnds.push_back({analysis, sizeOf(results::path(name, results::kSurvival)),
                                     sizeOf(results::path(name, results::kFlanks))});
}

void StochasticWorker::driveTurbines(const RunWork& work, int step) {
    for (std::size_t j = 0; j < work.turbineNodes.size(); ++j) {
        grid.setPowerMech(work.turbineNodes[j], work.powerSeries[j][step]);
    }
}

// ---- the analyses -------------------------------------------------------------------

void StochasticWorker::trajectory(RunWork& work, const AnalysisStart& start) {
    const Param& param = *work.param;
    const int stepCount = param.rkSteps;
    const double dt = param.stepWidth;
    state.start(start.phases);

    // Rows go to disk as they are produced; the state after the last step is
    // not part of the trajectory.
    std::unique_ptr<ResultFile> freqFile;
    std::unique_ptr<ResultFile> phasFile;
    if (stepCount > 1) {
        freqFile = std::make_unique<ResultFile>(results::path(param.outputFilename, results::kFreqTraj), nodeRecord(n));
        phasFile = std::make_unique<ResultFile>(results::path(param.outputFilename, results::kPhasTraj), nodeRecord(n));
    }
    for (int s = 0; s < stepCount; ++s) {
        driveTurbines(work, s);
        state.stepFrom(rk, dt, steps);
        if (s <= stepCount - 2) {
            freqFile->write(state.omNew, n);
            phasFile->write(state.thNew, n);
        }
        state.swap();
    }
}

void StochasticWorker::lineFlows(RunWork& work, const AnalysisStart& start) {
    const Param& param = *work.param;
    const int stepCount = param.rkSteps;
    const int initSteps = settings.surviveInitSteps;
    grid.resetLineFlows();
    state.start(start.phases);
    settleThenCount(
        state, rk, steps, param.stepWidth, initSteps, stepCount, [&](int s) { driveTurbines(work, s); },
        [](Trajectory&, int) {}, [&](Trajectory& now, int) { grid.measureFlow(now.thNew); });

    // The measured-step count in double: S - I may lie outside the int range.
    std::vector<double> flows;
    grid.getFIJ(&flows, static_cast<double>(stepCount) - initSteps);
    ResultWriters::vecToBinFileFast(flows, results::path(param.outputFilename, results::kLineFlows));
}

void StochasticWorker::survival(RunWork& work, const AnalysisStart& start) {
    Param& param = *work.param;
    survCount.assign(static_cast<std::size_t>(n), 0.0);
    resetHistograms();
    param.resetFlanks();

    const int initSteps = settings.surviveInitSteps;
    const double dt = param.stepWidth;
    state.start(start.phases);
    // Survival records are streamed: there are (S - I) / V of them per node.
    ResultFile survFile(results::path(param.outputFilename, results::kSurvival), nodeRecord(n));
    settleThenCount(
        state, rk, steps, dt, initSteps, param.rkSteps, [&](int s) { driveTurbines(work, s); },
        [&](Trajectory& now, int s) { settings.checkFlanks(param, s * dt, now.om, now.omNew); },
        [&](Trajectory& now, int s) {
            countHistogram(now.omNew);
            countIncrementHistograms(now.omNew, s);
            countSurvival(now.omNew);
            settings.checkFlanks(param, s * dt, now.om, now.omNew);
            if ((s - initSteps) % settings.surviveInterval == 0) {
                survFile.write(survCount);
                survCount.assign(static_cast<std::size_t>(n), 0.0);
            }
        });
    survFile.write(std::vector<double>(survCount.size(), NaN));
    survFile.close();

    const std::size_t histogramRecord = static_cast<std::size_t>(std::max(settings.freqHistBinNum, 0)) * sizeof(int);
    if (!freqHist.empty()) {
        ResultFile histFile(results::path(param.outputFilename, results::kHistogram), histogramRecord);
        for (const std::vector<int>& row : freqHist) histFile.writeInts(row);
    }
    const std::vector<double>& lags = settings.timeLags;
    for (std::size_t k = 0; k < lags.size() && k < freqIncrHist.size(); ++k) {
        if (freqIncrHist[k].empty()) continue;
        ResultFile incrFile(results::incrementHistogramPath(param.outputFilename, lags[k]), histogramRecord);
        for (const std::vector<int>& row : freqIncrHist[k]) incrFile.writeInts(row);
    }
    writeFlanks(param, results::path(param.outputFilename, results::kFlanks));
}

template <class StepCheck>
void StochasticWorker::runAllNodeSurvival(RunWork& work, const AnalysisStart& start, ResultFile& records,
                                          StepCheck checkStep) {
    Param& param = *work.param;
    const int initSteps = settings.surviveInitSteps;
    const double dt = param.stepWidth;
    state.start(start.phases);
    settleThenCount(
        state, rk, steps, dt, initSteps, param.rkSteps, [&](int s) { driveTurbines(work, s); },
        [&](Trajectory& now, int s) {
            settings.checkFlanks(param, s * dt, now.om, now.omNew);
            checkStep(now.thNew, s * dt);
        },
        [&](Trajectory& now, int s) {
            survAllCount += allInside(now.omNew) ? 1 : 0;
            settings.checkFlanks(param, s * dt, now.om, now.omNew);
            checkStep(now.thNew, s * dt);
            if ((s - initSteps) % settings.surviveInterval == 0) {
                records.write(survAllCount);
                survAllCount = 0;
            }
        });
    records.write(NaN);
}

void StochasticWorker::survivalAll(RunWork& work, const AnalysisStart& start) {
    Param& param = *work.param;
    survAllCount = 0;
    param.resetFlanks();
    ResultFile records(results::path(param.outputFilename, results::kSurvival), sizeof(double));
    runAllNodeSurvival(work, start, records, [](double*, double) {});
    records.close();
    writeFlanks(param, results::path(param.outputFilename, results::kFlanks));
}

void StochasticWorker::cascade(RunWork& work, const AnalysisStart& start) {
    Param& param = *work.param;
    std::vector<int> fromList;
    std::vector<int> toList;
    std::vector<double> timeList;
    survAllCount = 0;
    param.resetFlanks();
    param.lineMaxFlows.clear();
    param.lineMaxRatios.clear();
    param.lineMaxIds.clear();

    // The survival records and the per-step maxima stream out as they come;
    // the trips (one per line record at most) are written at the end.
    const std::string& name = param.outputFilename;
    ResultFile records(results::path(name, results::kSurvival), sizeof(double));
    MaxLoadFiles maxima(name);
    // Overloaded lines trip while settling too.
    runAllNodeSurvival(work, start, records, [&](double* thetaNew, double t) {
        grid.checkLines(thetaNew, &fromList, &toList, &timeList, t, param);
        if (param.lineMaxFlows.size() >= kMaxLoadBlock) maxima.writeOut(param);
    });
    records.close();
    maxima.writeOut(param);

    for (std::size_t k = 0; k < fromList.size(); ++k) {
        work.run.trippedLines.push_back({fromList[k], toList[k], timeList[k]});
    }
    ResultWriters::vecIToBinFileFast(fromList, results::path(name, results::kTripFrom));
    ResultWriters::vecIToBinFileFast(toList, results::path(name, results::kTripTo));
    ResultWriters::vecToBinFileFast(timeList, results::path(name, results::kTripTime));
    writeFlanks(param, results::path(name, results::kFlanks));
    if (param.cascadeRestoreLines) grid.putLinesInService();
}

// ---- statistics buffers ----------------------------------------------------------------

void StochasticWorker::writeFlanks(const Param& param, const std::string& fileName) {
    if (param.numNodes < 1) return;
    ResultFile file(fileName, sizeof(double));
    for (int i = 0; i < param.numNodes; ++i) {
        file.write(param.flanksA.at(i));
        file.write(NaN);
        file.write(param.flanksB.at(i));
        file.write(NaN);
    }
}

void StochasticWorker::resetHistograms() {
    const std::size_t nodes = static_cast<std::size_t>(n);
    const std::vector<int> zeroRow(static_cast<std::size_t>(std::max(settings.freqHistBinNum, 0)), 0);
    freqHist.assign(nodes, zeroRow);
    const std::size_t lags = settings.timeLags.size();
    freqIncrHist.assign(lags, std::vector<std::vector<int>>(nodes, zeroRow));
    // The increments are taken against 0.
    lagRefFreq.assign(lags, std::vector<double>(nodes, 0.0));
}

void StochasticWorker::countSurvival(const double* omega) {
    for (std::size_t i = 0; i < survCount.size(); ++i) {
        survCount[i] += std::fabs(omega[i]) < settings.surviveThreshold ? 1 : 0;
    }
}

bool StochasticWorker::allInside(const double* omega) const {
    for (int i = 0; i < n; ++i) {
        if (!(std::fabs(omega[i]) < settings.surviveThreshold)) return false;
    }
    return true;
}

void StochasticWorker::countHistogram(const double* omega) {
    for (std::size_t i = 0; i < freqHist.size(); ++i) {
        const int bin = settings.histBin(omega[i], settings.freqHistBinWidth);
        if (bin >= 0) ++freqHist[i][bin];
    }
}

void StochasticWorker::countIncrementHistograms(const double* omega, int step) {
    const std::vector<int>& lagSteps = settings.timeLagSteps;
    const std::size_t lags = std::min({lagSteps.size(), freqIncrHist.size(), lagRefFreq.size()});
    for (std::size_t k = 0; k < lags; ++k) {
        if (lagSteps[k] < 1 || step % lagSteps[k] != 0) continue;
        std::vector<std::vector<int>>& hist = freqIncrHist[k];
        const std::vector<double>& reference = lagRefFreq[k];
        for (std::size_t i = 0; i < hist.size() && i < reference.size(); ++i) {
            const int bin = settings.histBin(omega[i] - reference[i], settings.freqIncrHistBinWidth);
            if (bin >= 0) ++hist[i][bin];
        }
    }
}
