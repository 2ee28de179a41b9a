// The run driver of the stochastic analysis: the runs and their order, the
// setup chain every run passes through, and the integrations.
#include "analyses/stochastic/StochasticInput.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <memory>

#include "analyses/stochastic/StochasticCommon.h"
#include "analyses/stochastic/StochasticWorker.h"
#include "diagnostics/Diagnostics.h"
#include "dynamics/Function.h"
#include "dynamics/RungeKutta.h"
#include "ensemble/Ensemble.h"
#include "grid/PowerGrid.h"
#include "input/Param.h"
#include "output/ResultPaths.h"
#include "output/ResultWriters.h"
#include "diagnostics/RunStatus.h"
#include "util/CodeUtils.h"

using namespace stochastic;

namespace {

// Runs set up ahead of their integration, per worker thread: enough to keep
// every worker busy while the setup chain makes the next, few enough that
// the series they hold stay few.
const std::size_t kRunsAheadPerThread = 2;

}  // namespace

StochasticInput::RunPlan StochasticInput::planRun(const Param& param) const {
    if (windSeries.empty()) {
        throw InputError(quoted("Wind series") + " has no rows, but the stochastic analysis needs at least 1");
    }
    RunPlan plan;
    plan.parts = 1;
    plan.partLength = static_cast<int>(windSeries[0].size());
    if (multipleWindSer) getPartsAndLen(plan.parts, plan.partLength, &windSeries[0]);
    // Without a part or a configuration nothing runs and the output name stays.
    plan.runs = plan.parts >= 1 && !turbineNodes.empty();
    if (plan.runs) validateRun(param, plan.parts, plan.partLength);
    return plan;
}

void StochasticInput::prepare(const Param& param) {
    const RunPlan plan = planRun(param);
    if (plan.parts < 1) {
        Diagnostics::warn(quoted("Wind series") + " row 0 has " + str(windSeries[0].size()) +
                        " samples, fewer than one part of " + str(plan.partLength) + " (" + quoted("Wind mult") +
                        "): no stochastic run");
    }
    if (plan.runs) warnAboutTurbineSettings(param);
}

std::vector<StochasticRun> StochasticInput::plannedRuns(const Param& param) const {
    return runsOf(planRun(param), param.outputFilename);
}

std::vector<StochasticRun> StochasticInput::runsOf(const RunPlan& plan, const std::string& baseName) const {
    std::vector<StochasticRun> runs;
    if (!plan.runs) return runs;
    for (int p = 0; p < plan.parts; ++p) {
        for (std::size_t c = 0; c < turbineNodes.size(); ++c) {
            StochasticRun run;
            run.index = static_cast<int>(runs.size());
            run.windPart = p;
            run.configuration = static_cast<int>(c);
            run.turbineNodes = turbineNodes[c];
            run.outputName = results::stochasticRunName(baseName, multipleWindSer, p, c);
            runs.push_back(std::move(run));
        }
    }
    return runs;
}

void StochasticInput::stochSwing(Param& param, RungeKutta& rk) {
    const RunPlan plan = planRun(param);
    const std::vector<StochasticRun> runs = runsOf(plan, param.outputFilename);
    if (runs.empty()) return;
    const ProcessGroup& processes = *parallelism.processes;
    if (processes.isLeader()) makeResultDirectories(param);
    // The other processes write into them once they exist; only the leader
    // made and announces them.
    processes.barrier();
    windPartInUse = -1;
    stepsDone = 0;
    nonFiniteRuns = NonFiniteLog();
    const bool besideEachOther = (parallelism.threads > 1 || processes.size() > 1) && runsIndependent(param);
    if (besideEachOther) {
        runBesideEachOther(param, rk, plan, runs);
    } else if (processes.isLeader()) {
        runInOrder(param, rk, plan, runs);
    }
    currentRun = nullptr;
    reportNonFinite(runs);
}

// The leader retired every run, so its account is the whole run's.
void StochasticInput::reportNonFinite(const std::vector<StochasticRun>& runs) const {
    ::reportNonFinite(status, nonFiniteRuns, "stochastic analysis", "runs", static_cast<long long>(runs.size()),
                      [&](long long index) { return "run " + quoted(runs[static_cast<std::size_t>(index)].outputName); });
}

std::vector<StochasticAnalysis> StochasticInput::analysesOn(const Param& param) const {
    std::vector<StochasticAnalysis> analyses;
    if (param.isModeStochCASC()) analyses.push_back(StochasticAnalysis::cascade);
    if (param.isModeStochLf()) analyses.push_back(StochasticAnalysis::lineFlows);
    if (param.isModeSurvivall()) analyses.push_back(StochasticAnalysis::survivalAll);
    if (param.isModeSurv()) analyses.push_back(StochasticAnalysis::survival);
    if (param.isModeStraj()) analyses.push_back(StochasticAnalysis::trajectory);
    return analyses;
}

// What a run leaves behind for the runs after it is the grid's powers and
// phases (which the setup chain keeps) and, from a cascade, the lines it
// tripped: runs are independent when a cascade puts its lines back and every
// file their integrations write belongs to one run.
bool StochasticInput::runsIndependent(const Param& param) const {
    if (param.isModeStochCASC() && !param.cascadeRestoreLines) return false;
    if (grid->linesOutOfService() > 0) return false;
    results::PlannedFiles files;
    addResultFiles(param, files);
    for (const results::PlannedFile& file : files.files()) {
        const bool chainWrites =
            file.kind == results::Kind::stochPowerSeries || file.kind == results::Kind::stochWindSpeed;
        if (!chainWrites && !file.run) return false;
    }
    return true;
}

// Each run's setup, then its integrations on the grid of the input, one run
// after the other.
void StochasticInput::runInOrder(Param& param, RungeKutta& rk, const RunPlan& plan,
                                 const std::vector<StochasticRun>& runs) {
    runShown = runs.front();
    beginProgress(param, runs.size());
    StepCounter counter(stepsDone, &progress);
    StochasticWorker worker(*this, *grid, rk, counter);
    for (const StochasticRun& run : runs) {
        RunWork work;
        work.param = &param;
        runShown = run;
        runStartUnits = stepsDone.load();
        prepareRun(param, plan, run, work);
        for (StochasticAnalysis analysis : analysesOn(param)) {
            worker.integrate(work, prepareAnalysis(param, analysis, work));
        }
        retire(work.run);
    }
    progress.end();
}

namespace {

// A worker thread's own grid, integrator and statistics.
struct WorkerGrid {
    WorkerGrid(const StochasticStatistics& settings, const PowerGrid& source, Param& param, KernelVariant variant,
               std::atomic<long long>& stepsDone)
        : grid(source), function(&param, &grid), rk(grid.getNumNodes(), &function), counter(stepsDone),
          worker(settings, grid, rk, counter) {
        function.setKernelVariant(variant);
    }
    PowerGrid grid;
    Function function;
    RungeKutta rk;
    StepCounter counter;
    StochasticWorker worker;
};

}  // namespace

// The setup chain makes every run's setup in run order on this thread, with
// its console text and power flows, a few runs ahead of the workers; each
// worker integrates a run at a time on its own copy of the grid. Runs are
// retired (told to the listener) in run order. In a cluster run every
// process makes the whole chain and integrates every size-th run.
void StochasticInput::runBesideEachOther(Param& param, RungeKutta& rk, const RunPlan& plan,
                                         const std::vector<StochasticRun>& runs) {
    Ensemble ensemble(parallelism, static_cast<long long>(runs.size()));
    const ProcessGroup& processes = ensemble.group();
    const int threads = std::max(1, ensemble.workerThreads());
    writesSeries = processes.isLeader();

    // Copies of the grid before the chain changes it; lines stay as they are
    // in the chain, powers and phases come with every analysis.
    TransmissionLine::getNullLine();
    std::vector<std::unique_ptr<WorkerGrid>> workers;
    for (int w = 0; w < threads; ++w) {
        workers.push_back(
            std::make_unique<WorkerGrid>(*this, *grid, param, rk.kernelVariant(), ensemble.unitsDone()));
    }
    std::vector<double> ownResults;
    std::vector<StochasticRun> othersRuns(runs.size());

    auto prepare = [&](long long index) -> std::unique_ptr<RunWork> {
        const StochasticRun& run = runs[static_cast<std::size_t>(index)];
        auto work = std::make_unique<RunWork>();
        prepareRun(param, plan, run, *work);
        for (StochasticAnalysis analysis : analysesOn(param)) {
            AnalysisStart start = prepareAnalysis(param, analysis, *work);
            leaveTurbinesAsDriven(start, *work);
            work->starts.push_back(std::move(start));
        }
        currentRun = nullptr;
        if (!ensemble.isMine(index)) {
            othersRuns[run.index] = work->run;
            return nullptr;
        }
        work->ownParam = param;
        work->param = &*work->ownParam;
        return work;
    };
    auto integrate = [&workers](int w, RunWork& work, NonFiniteLog&) {
        for (const AnalysisStart& start : work.starts) workers[w]->worker.integrate(work, start);
    };
    auto retireRun = [&](RunWork& work) {
        if (processes.isLeader()) {
            retire(work.run);
        } else {
            work.run.appendResults(ownResults);
        }
    };
    ensemble.runPrepared<RunWork>(prepare, integrate, retireRun, kRunsAheadPerThread,
                                  besideProgress(param, static_cast<std::size_t>(ensemble.share())));
    collectOtherProcessesRuns(othersRuns, ownResults);
    writesSeries = true;
}

// The leader retires the runs the other processes integrated, from the
// results they send.
void StochasticInput::collectOtherProcessesRuns(std::vector<StochasticRun>& runs,
                                                const std::vector<double>& ownResults) {
    const ProcessGroup& processes = *parallelism.processes;
    if (processes.size() == 1) return;
    const std::vector<std::vector<double>> results = processes.gather(ownResults);
    for (std::size_t rank = 1; rank < results.size(); ++rank) {
        for (std::size_t at = 0; at < results[rank].size();) {
            retire(runs[StochasticRun::readResults(results[rank], at, runs)]);
        }
    }
}

void StochasticInput::retire(const StochasticRun& run) {
    if (run.nonFinite) nonFiniteRuns.note(run.index, *run.nonFinite);
    if (listener != nullptr) listener->runFinished(run);
}

// ---- the setup chain -------------------------------------------------------------------

void StochasticInput::prepareRun(Param& param, const RunPlan& plan, const StochasticRun& run, RunWork& work) {
    if (run.windPart != windPartInUse) {
        getCurrentWindPart(run.windPart, plan.partLength, &windSeries, &currentWindPart);
        windPartInUse = run.windPart;
    }
    work.run = run;
    currentRun = &work.run;
    param.outputFilename = run.outputName;
    prepareTurbines(param, run.turbineNodes, run.windPart);
    if (listener != nullptr && writesSeries) listener->powerSeriesWritten(work.run);
    calcBalanceFactor(run.turbineNodes);
    work.turbineNodes = run.turbineNodes;
    work.powerSeries = powerSeries;
}

AnalysisStart StochasticInput::prepareAnalysis(Param& param, StochasticAnalysis analysis, RunWork& work) {
    AnalysisStart start{analysis, {}, {}};
    const char* modeKey = analysisModeKey(analysis);
    switch (analysis) {
        case StochasticAnalysis::cascade:
            startAnalysis(param, modeKey, {"stochcas"});
            start.phases = grid->getVoltAngSS();
            grid->resetPowerMech();
            warnAboutOverloadsAtStart(param, start.phases);
            break;
        case StochasticAnalysis::lineFlows:
            startAnalysis(param, modeKey, {"flow"});
            start.phases = grid->getVoltAngSS();
            setPowerMechStationary(work.turbineNodes);
            std::srand(param.getRandSeed());
            break;
        case StochasticAnalysis::survivalAll:
            startAnalysis(param, modeKey, {"surv", "hist", "flanks"});
            std::srand(param.getRandSeed());
            start.phases = grid->getVoltAngSS();
            grid->resetPowerMech();
            break;
        case StochasticAnalysis::survival:
            startAnalysis(param, modeKey, {"surv", "hist", "flanks"});
            std::srand(param.getRandSeed());
            // The phases of the power flow solved before the stationary point moves.
            start.phases = grid->getVoltAngSS();
            setPowerMechStationary(work.turbineNodes);
            break;
        case StochasticAnalysis::trajectory:
            startAnalysis(param, modeKey, {"frequency", "phase"});
            std::srand(param.getRandSeed());
            start.phases = grid->getVoltAngSS();
            grid->resetPowerMech();
            break;
    }
    start.powers = grid->getPowerMech();
    return start;
}

int StochasticInput::lastDrivenStep(StochasticAnalysis analysis, const Param& param) const {
    if (analysis == StochasticAnalysis::trajectory) return param.rkSteps - 1;
    return std::max(param.rkSteps, surviveInitSteps) - 1;
}

void StochasticInput::leaveTurbinesAsDriven(const AnalysisStart& start, const RunWork& work) {
    const int step = lastDrivenStep(start.analysis, *param);
    if (step < 0) return;
    for (std::size_t j = 0; j < work.turbineNodes.size(); ++j) {
        grid->setPowerMech(work.turbineNodes[j], work.powerSeries[j][step]);
    }
}

// The work is counted in integration steps: every analysis that is on
// integrates S steps per run.
long long StochasticInput::stepsPerRun(const Param& param) const {
    const int analyses = static_cast<int>(analysesOn(param).size());
    return static_cast<long long>(analyses) * std::max(param.rkSteps, 0);
}

// In order, the line names the run that integrates and its step.
void StochasticInput::beginProgress(const Param& param, std::size_t runs) {
    const long long perRun = stepsPerRun(param);
    if (perRun == 0 || runs == 0) return;
    progress.begin(
        static_cast<long long>(runs) * perRun,
        [this, runs, perRun](long long done, long long) {
            return "stochastic: run " + std::to_string(runShown.index + 1) + "/" + std::to_string(runs) +
                   " (config " + std::to_string(runShown.configuration) + ", part " +
                   std::to_string(runShown.windPart) + "), step " + std::to_string(done - runStartUnits) + "/" +
                   std::to_string(perRun);
        },
        ProgressMeter::kAnalysis);
}

// Beside each other, it counts the runs done.
Ensemble::Progress StochasticInput::besideProgress(const Param& param, std::size_t runs) const {
    Ensemble::Progress line;
    const long long perRun = stepsPerRun(param);
    if (perRun == 0 || runs == 0) return line;
    line.units = static_cast<long long>(runs) * perRun;
    line.describe = [runs](long long, long long done, long long) {
        return "stochastic: " + std::to_string(done) + "/" + std::to_string(runs) + " runs done";
    };
    return line;
}

// Every directory the switched-on analyses write into exists before the first
// configuration runs (the cascade, for one, writes survival and flank records).
void StochasticInput::makeResultDirectories(const Param& param) {
    const std::string dir = param.getOfile("path");
    std::vector<const char*> names;
    if (writeStoch) names.push_back("pseries");
    if (param.isModeStochCASC()) names.insert(names.end(), {"stochcas", "surv", "flanks"});
    if (param.isModeStochLf()) names.push_back("flow");
    if (param.isModeSurvivall() || param.isModeSurv()) names.insert(names.end(), {"surv", "hist", "flanks"});
    if (param.isModeStraj()) names.insert(names.end(), {"frequency", "phase"});
    for (const char* name : names) directories.make(CodeUtils::joinPath(dir, name));
}

void StochasticInput::startAnalysis(const Param& param, const char* modeKey,
                                    std::initializer_list<const char*> directoryNames) {
    currentAnalysis = modeKey;
    const std::string dir = param.getOfile("path");
    for (const char* name : directoryNames) directories.use(CodeUtils::joinPath(dir, name));
    warnAboutTrippedLines(param);
}

void StochasticInput::writeWindSeries(const std::vector<double>& speeds, const std::string& fileName, int node) {
    if (!writesSeries) return;
    ResultWriters::vecToBinFile(speeds, fileName);
    if (listener != nullptr && currentRun != nullptr) listener->windSeriesWritten(*currentRun, node);
}

// Lines a cascade switched off stay off for whatever runs after it; said once
// per run, as the first analysis starts without them.
void StochasticInput::warnAboutTrippedLines(const Param& param) {
    if (trippedLinesReported) return;
    const int out = grid->linesOutOfService();
    if (out == 0) return;
    trippedLinesReported = true;
    Diagnostics::warn(quoted(currentAnalysis) + " of run " + quoted(param.outputFilename) + " starts with " +
                    str(out) + (out == 1 ? " line" : " lines") +
                    " out of service that a cascade switched off; tripped lines stay out for every later "
                    "analysis and configuration of this run (" + quoted("Cascade restore lines") +
                    " puts them back after each cascade)");
}

// Lines that carry more than their capacity at the cascade's steady state trip
// at its first step, before any wind acts: said once per analysis, at the
// first run that starts so.
void StochasticInput::warnAboutOverloadsAtStart(const Param& param, std::vector<double> phases) {
    if (overloadsReported) return;
    const PowerGrid::Overloads overloads = grid->overloadsAt(phases.data());
    if (overloads.lines == 0) return;
    overloadsReported = true;
    Diagnostics::warn(quoted("Mode stoch casc") + " of run " + quoted(param.outputFilename) + " starts with " +
                      countOf(static_cast<std::size_t>(overloads.lines), "line", "lines") +
                      " overloaded at the steady state, the most (" + str(overloads.worstFrom) + ", " +
                      str(overloads.worstTo) + ") at " + str(overloads.worstRatio) + " times its capacity: " +
                      (overloads.lines == 1 ? "it trips" : "they trip") +
                      " at the first step, before any wind acts (raise \"Line capacity\" if the cascade should "
                      "start from an intact grid)");
}
