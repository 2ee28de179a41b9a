#include "analyses/stochastic/StochasticInput.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "util/CodeUtils.h"
#include "dynamics/Function.h"
#include "input/InputText.h"
#include "util/MTRand.h"
#include "input/Param.h"
#include "grid/PowerGrid.h"
#include "output/ResultPaths.h"
#include "run/RunStatus.h"
#include "dynamics/RungeKutta.h"
#include "analyses/stochastic/StochasticWorker.h"
#include "ensemble/WorkerPool.h"
#include "output/ResultWriters.h"
#include "input/InputValues.h"
#include "diagnostics/Diagnostics.h"

namespace {

std::string quoted(const std::string& key) { return "\"" + key + "\""; }

template <typename T>
std::string str(T value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

// Wind samples are one time unit apart; 1/dt integration steps cover one.
// The count must stay an int, so tiny, zero or NaN widths are refused.
double stepsPerTimeUnit(double dt) {
    double inverse = 1.0 / dt;
    if (!(std::fabs(inverse) <= INT_MAX)) {
        throw InputError(quoted("RK stepwidth") + " is " + str(dt) +
                         ", but turning wind samples into steps needs 1/width within " + str(INT_MAX));
    }
    return inverse;
}

// Step-function mode: every wind sample is held for this many steps.
int stepFunctionRepeats(double dt) { return std::max(1, static_cast<int>(std::ceil(stepsPerTimeUnit(dt)))); }

// Interpolation mode: values produced between two successive wind samples.
int interpolationSteps(double dt) { return std::max(0, static_cast<int>(std::floor(stepsPerTimeUnit(dt)))); }

// Lag in steps, halves rounded away from zero; values an int cannot hold
// saturate (NaN gives 0, which the survival analysis refuses).
int lagToSteps(double lag, double dt) {
    double steps = std::round(lag / dt);
    if (std::isnan(steps)) return 0;
    if (steps >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (steps <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(steps);
}

// How often the main thread looks at the workers' progress while it waits.
const std::chrono::milliseconds kProgressTick{50};

// Runs set up ahead of their integration, per worker thread: enough to keep
// every worker busy while the setup chain makes the next, few enough that
// the series they hold stay few.
const std::size_t kRunsAheadPerThread = 2;

}  // namespace

const char* analysisModeKey(StochasticAnalysis analysis) {
    switch (analysis) {
        case StochasticAnalysis::cascade: return "Mode stoch casc";
        case StochasticAnalysis::lineFlows: return "Mode stoch lf";
        case StochasticAnalysis::survivalAll: return "Mode surv all";
        case StochasticAnalysis::survival: return "Mode surv";
        case StochasticAnalysis::trajectory: return "Mode save traj";
    }
    return "";
}

// index, trips (count, then from, to, time each), analysis ends (count, then
// analysis, survival size, flank size each).
void StochasticRun::appendResults(std::vector<double>& values) const {
    values.push_back(index);
    values.push_back(static_cast<double>(trippedLines.size()));
    for (const Trip& trip : trippedLines) {
        values.insert(values.end(), {static_cast<double>(trip.from), static_cast<double>(trip.to), trip.time});
    }
    values.push_back(static_cast<double>(analysisEnds.size()));
    for (const AnalysisEnd& end : analysisEnds) {
        values.insert(values.end(), {static_cast<double>(end.analysis), static_cast<double>(end.survivalSize),
                                     static_cast<double>(end.flankSize)});
    }
}

int StochasticRun::readResults(const std::vector<double>& values, std::size_t& at, std::vector<StochasticRun>& runs) {
    auto next = [&] {
        if (at >= values.size()) throw std::runtime_error("the results of a stochastic run came incomplete");
        return values[at++];
    };
    const int index = static_cast<int>(next());
    if (index < 0 || static_cast<std::size_t>(index) >= runs.size()) {
        throw std::runtime_error("the results of an unknown stochastic run " + std::to_string(index) + " came");
    }
    StochasticRun& run = runs[index];
    for (long long k = static_cast<long long>(next()); k > 0; --k) {
        const int from = static_cast<int>(next());
        const int to = static_cast<int>(next());
        run.trippedLines.push_back({from, to, next()});
    }
    for (long long k = static_cast<long long>(next()); k > 0; --k) {
        const auto analysis = static_cast<StochasticAnalysis>(static_cast<int>(next()));
        const auto survivalSize = static_cast<long long>(next());
        run.analysisEnds.push_back({analysis, survivalSize, static_cast<long long>(next())});
    }
    return index;
}

StochasticInput::StochasticInput(PowerGrid* grid, Param* param)
    : grid(grid),
      param(param),
      balanceStationary(true),
      flucShare(false),
      multipleWindSer(false),
      pratedGiven(false),
      writeStoch(false),
      stochFilename("Pseries"),
      turbineVmean(8.0),
      turbineVrated(12.5),
      balanceFactor(1.0),
      surviveThreshold(0.01),
      surviveInitSteps(0),
      surviveInterval(100),
      freqHistBinNum(5000),
      freqHistHalfBins(2500),
      freqHistBinWidth(0.005),
      freqIncrHistBinWidth(0.005),
      windD1(0.054) {}

StochasticInput::~StochasticInput() = default;

// ---- settings, reader and report ---------------------------------------------

void StochasticInput::setFreqHistBinNum(int n) {
    freqHistHalfBins = n / 2;
    freqHistBinNum = 2 * freqHistHalfBins;
}

void StochasticInput::calcTLagSteps(std::vector<double> lags) {
    timeLagSteps.clear();
    for (double lag : lags) timeLagSteps.push_back(lagToSteps(lag, param->stepWidth));
}

namespace {

template <double StochasticInput::*member>
void readReal(StochasticInput& stochastic, ReaderCursor& cursor) {
    stochastic.*member = InputValues::readDouble(cursor.in);
}

template <int StochasticInput::*member>
void readInt(StochasticInput& stochastic, ReaderCursor& cursor) {
    stochastic.*member = InputValues::readintForKey(cursor.in, cursor.key);
}

const ReaderKey<StochasticInput> kStochasticKeys[] = {
    {"Turbine nodes",
     [](StochasticInput& s, ReaderCursor& c) {
         s.turbineNodes = InputValues::readIntMatArb(c.in, c.line);
         c.handedBack = true;
     }},
    {"Turbine prated",
     [](StochasticInput& s, ReaderCursor& c) {
         InputValues::readDVec(c.in, &s.turbinePrated);
         s.pratedGiven = true;
     }},
    {"Turbine vrated", readReal<&StochasticInput::turbineVrated>},
    {"Renewable share",
     [](StochasticInput& s, ReaderCursor& c) {
         InputValues::readDVec(c.in, &s.renewableShare);
         s.flucShare = true;
     }},
    {"Turbine vmean", readReal<&StochasticInput::turbineVmean>},
    {"Survive threshold", readReal<&StochasticInput::surviveThreshold>},
    {"Survive init steps", readInt<&StochasticInput::surviveInitSteps>},
    {"Survive interval", readInt<&StochasticInput::surviveInterval>},
    {"Write stoch",
     [](StochasticInput& s, ReaderCursor& c) { s.writeStoch = InputValues::readintForKey(c.in, c.key) != 0; }},
    {"Freq hist bin width", readReal<&StochasticInput::freqHistBinWidth>},
    {"Freq hist bin num",
     [](StochasticInput& s, ReaderCursor& c) { s.setFreqHistBinNum(InputValues::readintForKey(c.in, c.key)); }},
    {"Freq incr hist bin width", readReal<&StochasticInput::freqIncrHistBinWidth>},
    {"Freq time lags",
     [](StochasticInput& s, ReaderCursor& c) {
         InputValues::readDVec(c.in, &s.timeLags);
         s.calcTLagSteps(s.timeLags);
     }},
    // The value line stays the current line: an empty one ends the block.
    {"Stoch filename",
     [](StochasticInput& s, ReaderCursor& c) {
         c.line = InputValues::readValueLine(c.in);
         s.stochFilename = c.line;
     }},
    {"Wind series",
     [](StochasticInput& s, ReaderCursor& c) {
         s.windSeries = InputValues::readDMatArb(c.in, c.line);
         c.handedBack = true;
     }},
    {"Wind series ext",
     [](StochasticInput& s, ReaderCursor& c) {
         c.line = InputValues::readValueLine(c.in);
         if (!c.in.isScanOnly()) s.windSeries = InputValues::readExtDMat(c.line, c.key);
     }},
    {"Wind mult", [](StochasticInput& s, ReaderCursor&) { s.multipleWindSer = true; }},
    {"Wind D1", readReal<&StochasticInput::windD1>},
};

}  // namespace

bool StochasticInput::readFromFile(std::string fileName) {
    InputText in(fileName);
    if (in.isOpen()) read(in, std::cout);
    return true;
}

void StochasticInput::read(InputText& in, std::ostream& console) {
    console << "-------------------- StochasticInput reading " << " --------------------\n";
    scanBlock(in, console, *this, kStochasticKeys);
}

std::vector<std::string> StochasticInput::keys() { return keyNames(kStochasticKeys); }

std::string StochasticInput::toString() {
    std::ostringstream out;
    out << "=================== Stochastic Input ====================\n";
    out << "----------------- Algorithm Parameters ------------------\n";
    out << "TurbineNodeConfigs: \n";
    for (const std::vector<int>& row : turbineNodes) out << CodeUtils::ivec2str(row);
    out << "\n";
    out << "------------------ Turbine Parameters -------------------\n";
    out << "Rated speed: " << turbineVrated << "\n";
    out << "Rated power: \n";
    out << CodeUtils::dvec2str(turbinePrated);
    out << "Average speed: " << turbineVmean << "\n";
    out << "\n";
    out << "---------------------- Exceedance -----------------------\n";
    out << "Threshold: " << surviveThreshold << "\n";
    out << "InitializationSteps: " << surviveInitSteps << "\n";
    out << "Interval: " << surviveInterval << "\n";
    out << "\n";
    out << "----------------- Frequency Histogram -------------------\n";
    out << "Bin width: " << freqHistBinWidth << "\n";
    out << "Number of bins: " << freqHistBinNum << "\n";
    out << "Minimum Frequency: " << -freqHistHalfBins * freqHistBinWidth << "\n";
    out << "Maximum Frequency: " << freqHistHalfBins * freqHistBinWidth << "\n";
    out << "\n\n";
    return out.str();
}

bool StochasticInput::toFile(Param* param) {
    if (!param->writeParamFile) return false;
    const std::string name = "Param" + param->outputFilename;
    std::ofstream out(name, std::ios::app);
    if (!out.is_open()) {
        Diagnostics::warnUnwritable(name);
        return true;
    }
    out << toString();
    return true;
}

// ---- wind series and turbine power ---------------------------------------------

void StochasticInput::getPartsAndLen(int& parts, int& len, const std::vector<double>* series) const {
    const long long samples = static_cast<long long>(series->size());
    const int steps = param->rkSteps;
    auto cut = [&](double partLength) {
        if (!(partLength >= 1.0 && partLength <= INT_MAX)) {
            throw InputError(quoted("RK steps") + " is " + str(steps) + " with " + quoted("RK stepwidth") + " " +
                             str(param->stepWidth) + ", which gives wind parts of " + str(partLength) +
                             " samples, but " + quoted("Wind mult") + " needs parts of at least 1 sample");
        }
        len = static_cast<int>(partLength);
        parts = static_cast<int>(samples / len);
    };
    if (param->isModeSif() || param->isModeStepFun()) cut(std::ceil(steps * param->stepWidth) + 1);
    if (param->isModeGivenSeries()) cut(steps);
}

void StochasticInput::getCurrentWindPart(int part, int len, std::vector<std::vector<double>>* all,
                                         std::vector<std::vector<double>>* current) {
    current->clear();
    const std::size_t begin = static_cast<std::size_t>(part) * static_cast<std::size_t>(len);
    const std::size_t end = begin + static_cast<std::size_t>(len);
    for (const std::vector<double>& row : *all) {
        if (row.size() < end) throw std::out_of_range("wind row shorter than the requested part");
        current->emplace_back(row.begin() + static_cast<std::ptrdiff_t>(begin),
                              row.begin() + static_cast<std::ptrdiff_t>(end));
    }
}

void StochasticInput::prepareTurbines(Param& param, std::vector<int> nodes, int part) {
    const std::size_t numNodes = static_cast<std::size_t>(grid->getNumNodes());
    sharePower = renewableShare;
    if (!flucShare) {
        sharePower = grid->getPowerMech();
    } else if (sharePower.size() == nodes.size()) {
        sharePower.assign(numNodes, 0.0);
        for (std::size_t j = 0; j < nodes.size(); ++j) sharePower.at(nodes[j]) = renewableShare[j];
    } else if (sharePower.size() < numNodes) {
        sharePower.resize(numNodes, 0.0);
    }

    if (!pratedGiven) {
        turbinePrated.clear();
        for (std::size_t i = 0; i < numNodes; ++i) {
            turbinePrated.push_back(std::pow(turbineVrated / turbineVmean, 3.0) * sharePower[i]);
        }
    }

    powerSeries.clear();
    const std::string dir = param.getOfile("path");
    for (std::size_t j = 0; j < nodes.size(); ++j) {
        powerSeries.emplace_back();
        stochasticPseries(nodes[j], &currentWindPart.at(j), &powerSeries.back(), param);
        if (writeStoch && writesSeries) {
            directories.use(CodeUtils::joinPath(dir, "pseries"));
            ResultWriters::vecToBinFile(powerSeries.back(),
                                    results::powerSeriesPath(param.outputFilename, stochFilename, nodes[j], part));
        }
    }
}

void StochasticInput::stochasticPseries(int node, std::vector<double>* speed, std::vector<double>* power,
                                        Param& param) {
    const int samples = static_cast<int>(speed->size());
    const double dt = param.stepWidth;
    const std::string windFile = results::windSpeedPath(param.outputFilename, stochFilename);

    if (param.isModeStepFun()) {
        power->clear();
        if (samples != 1) {
            const int repeats = stepFunctionRepeats(dt);
            for (int k = 0; k <= samples - 2; ++k) power->insert(power->end(), repeats, (*speed)[k]);
        }
        if (writeStoch) writeWindSeries(*power, windFile, node);
        speedToPower(node, power, power);
    }
    if (param.isModeSif()) {
        power->clear();
        for (int k = 0; k <= samples - 2; ++k) {
            std::vector<double> piece = stochInterp(param, {0.0, 1.0}, {(*speed)[k], (*speed)[k + 1]}, dt);
            power->insert(power->end(), piece.begin(), piece.end());
        }
        if (writeStoch) writeWindSeries(*power, windFile, node);
        speedToPower(node, power, power);
    }
    if (param.isModeGivenSeries()) {
        power->assign(speed->size(), 0.0);
        speedToPower(node, speed, power);
    }
}

std::vector<double> StochasticInput::stochInterp(Param& param, std::vector<double> times,
                                                 std::vector<double> values, double dt) {
    if (times.size() < 2 || values.size() < 2) {
        throw std::invalid_argument("stochInterp needs two times and two values");
    }
    const double t0 = times[0];
    const double t1 = times[1];
    const double y0 = values[0];
    const double y1 = values.back();
    const double D = windD1;

    param.setRandSeed(param.getRandSeed() + 1U);
    const uint32_t s = param.getRandSeed();
    MTRand forward(s);
    MTRand backward(2U * s);

    const double steps = std::floor((t1 - t0) / dt);
    if (!(steps >= 1.0)) return {};
    if (steps > INT_MAX) throw std::length_error("stochInterp: too many steps between the two times");
    const int n = static_cast<int>(steps);

    const double d = 2 * t0 - t1;
    const double a1 = (y1 - y0) / d;
    const double b1 = ((y0 + y1) * t0 - y1 * t1) / d;
    const double a2 = (y0 - y1) / d;
    const double b2 = ((y0 + y1) * t0 - y0 * t1) / d;

    const double sigma = std::sqrt(D * dt);
    std::vector<double> f(static_cast<std::size_t>(n) + 1);
    std::vector<double> g(static_cast<std::size_t>(n) + 1);
    f[0] = y0;
    g[0] = y1;
    for (int k = 0; k < n; ++k) {
        const double t = t0 + (k + 1) * dt;
        const double xiA = forward.randNorm(0.0, 2.0);
        const double xiB = backward.randNorm(0.0, 2.0);
        f[k + 1] = f[k] - (f[k] - a1 * t - b1) * D * dt + sigma * xiA;
        g[k + 1] = g[k] - (g[k] - a2 * t - b2) * D * dt + sigma * xiB;
    }

    std::vector<double> result(static_cast<std::size_t>(n));
    for (int m = 0; m < n; ++m) {
        const double w = static_cast<double>(m) / n;
        result[m] = w * g[n - 1 - m] + (1 - w) * f[m];
    }
    return result;
}

void StochasticInput::speedToPower(int node, std::vector<double>* speed, std::vector<double>* power) {
    const double pfac = powerCurvePfac(node);
    if (power->size() < speed->size()) power->resize(speed->size());
    const double offset = flucShare ? grid->getPowerMech(node) - sharePower.at(node) : 0.0;
    for (std::size_t i = 0; i < speed->size(); ++i) {
        (*power)[i] = powerCurveFunc((*speed)[i], pfac);
        if (flucShare) (*power)[i] += offset;
    }
}

double StochasticInput::powerCurvePfac(int node) {
    return turbinePrated.at(node) / std::pow(turbineVrated, 3.0);
}

double StochasticInput::powerCurveFunc(double v, double pfac) {
    return pfac * std::pow(std::min(turbineVrated, std::fabs(v)), 3.0);
}

void StochasticInput::calcBalanceFactor(std::vector<int> nodes) {
    grid->resetPowerMech();
    double generation = 0;
    for (Node* gen : grid->getGens()) generation += gen->getPowerMech();
    double meanTurbinePower = 0;
    for (std::size_t j = 0; j < nodes.size(); ++j) meanTurbinePower += CodeUtils::dvecMean(powerSeries.at(j));
    double turbineNodePower = 0;
    for (int node : nodes) turbineNodePower += grid->getPowerMech(node);
    const double rest = generation - turbineNodePower;
    balanceFactor = (generation - meanTurbinePower) / rest;
}

void StochasticInput::setPowerMechStationary(std::vector<int> nodes) {
    grid->resetPowerMech();
    if (!balanceStationary) return;
    for (Node* gen : grid->getGens()) gen->setPowerMech(gen->getPowerMech() * balanceFactor);
    for (std::size_t j = 0; j < nodes.size(); ++j) {
        grid->setPowerMech(nodes[j], CodeUtils::dvecMean(powerSeries.at(j)));
    }
    const bool converged = grid->NRPF();
    if (currentRun != nullptr) {
        currentRun->powerFlowConverged = currentRun->powerFlowConverged.value_or(true) && converged;
    }
    if (!converged && status != nullptr) {
        status->steadyStateMissed("the power flow of " + quoted(currentAnalysis) + " for run " +
                                      quoted(param->outputFilename),
                                  grid->getPowerFlowError());
    }
}

// ---- driver ------------------------------------------------------------------------

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
    const bool besideEachOther = (parallelism.threads > 1 || processes.size() > 1) && runsIndependent(param);
    if (besideEachOther) {
        runBesideEachOther(param, rk, plan, runs);
    } else if (processes.isLeader()) {
        runInOrder(param, rk, plan, runs);
    }
    currentRun = nullptr;
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
    for (const results::PlannedFile& file : results::runResultFiles(param, nullptr, this)) {
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
    beginProgress(param, runs.size(), false);
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
    WorkerGrid(const StochasticInput& settings, const PowerGrid& source, Param& param, KernelVariant variant,
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

// A run set up and handed to the workers.
struct PendingRun {
    RunWork work;
    std::atomic<bool> integrated{false};
};

}  // namespace

// The setup chain makes every run's setup in run order on this thread, with
// its console text and power flows, a few runs ahead of the workers; each
// worker integrates a run at a time on its own copy of the grid. Runs are
// retired (told to the listener) in run order. In a cluster run every
// process makes the whole chain and integrates every size-th run.
void StochasticInput::runBesideEachOther(Param& param, RungeKutta& rk, const RunPlan& plan,
                                         const std::vector<StochasticRun>& runs) {
    const ProcessGroup& processes = *parallelism.processes;
    auto mine = [&](const StochasticRun& run) { return run.index % processes.size() == processes.rank(); };
    const std::size_t share = static_cast<std::size_t>(std::count_if(runs.begin(), runs.end(), mine));
    const int threads = static_cast<int>(std::max<std::size_t>(1, std::min<std::size_t>(parallelism.threads, share)));
    writesSeries = processes.isLeader();
    runsDone = 0;
    beginProgress(param, share, true);

    // Copies of the grid before the chain changes it; lines stay as they are
    // in the chain, powers and phases come with every analysis.
    TransmissionLine::getNullLine();
    std::vector<std::unique_ptr<WorkerGrid>> workers;
    for (int w = 0; w < threads; ++w) {
        workers.push_back(std::make_unique<WorkerGrid>(*this, *grid, param, rk.kernelVariant(), stepsDone));
    }
    std::deque<std::unique_ptr<PendingRun>> pending;
    std::vector<double> ownResults;
    std::vector<StochasticRun> othersRuns(runs.size());
    // Last: its threads end before what they work on goes.
    WorkerPool pool(threads);
    auto retireIntegrated = [&] {
        while (!pending.empty() && pending.front()->integrated.load(std::memory_order_acquire)) {
            if (processes.isLeader()) {
                retire(pending.front()->work.run);
            } else {
                pending.front()->work.run.appendResults(ownResults);
            }
            ++runsDone;
            pending.pop_front();
        }
    };
    // Waits for one more run to be integrated at a time (or the next look
    // at the progress), until no more than `unretired` runs are held.
    auto waitUntilAtMost = [&](std::size_t unretired) {
        while (pending.size() > unretired) {
            const std::size_t unfinished = pool.unfinished();
            if (unfinished > 0) pool.waitUntilAtMost(unfinished - 1, kProgressTick);
            progress.advanceTo(stepsDone.load());
            retireIntegrated();
        }
    };

    const std::size_t ahead = kRunsAheadPerThread * static_cast<std::size_t>(threads);
    for (const StochasticRun& run : runs) {
        auto next = std::make_unique<PendingRun>();
        RunWork& work = next->work;
        prepareRun(param, plan, run, work);
        for (StochasticAnalysis analysis : analysesOn(param)) {
            AnalysisStart start = prepareAnalysis(param, analysis, work);
            leaveTurbinesAsDriven(start, work);
            work.starts.push_back(std::move(start));
        }
        currentRun = nullptr;
        if (!mine(run)) {
            othersRuns[run.index] = work.run;
            continue;
        }
        work.ownParam = param;
        work.param = &*work.ownParam;
        PendingRun* handed = next.get();
        pending.push_back(std::move(next));
        pool.submit([handed, &workers](int w) {
            for (const AnalysisStart& start : handed->work.starts) workers[w]->worker.integrate(handed->work, start);
            handed->integrated.store(true, std::memory_order_release);
        });
        retireIntegrated();
        waitUntilAtMost(ahead - 1);
    }
    waitUntilAtMost(0);
    progress.end();
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
void StochasticInput::beginProgress(const Param& param, std::size_t runs, bool besideEachOther) {
    const int analyses = static_cast<int>(analysesOn(param).size());
    const long long stepsPerRun = static_cast<long long>(analyses) * std::max(param.rkSteps, 0);
    if (stepsPerRun == 0 || runs == 0) return;
    ProgressMeter::Describe inOrder = [this, runs, stepsPerRun](long long done, long long) {
        return "stochastic: run " + std::to_string(runShown.index + 1) + "/" + std::to_string(runs) + " (config " +
               std::to_string(runShown.configuration) + ", part " + std::to_string(runShown.windPart) + "), step " +
               std::to_string(done - runStartUnits) + "/" + std::to_string(stepsPerRun);
    };
    ProgressMeter::Describe beside = [this, runs](long long, long long) {
        return "stochastic: " + std::to_string(runsDone) + "/" + std::to_string(runs) + " runs done";
    };
    progress.begin(static_cast<long long>(runs) * stepsPerRun, besideEachOther ? beside : inOrder,
                   ProgressMeter::kAnalysis);
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

// ---- input limits, checked before any run writes a result ---------------------------

void StochasticInput::validateRun(const Param& param, int parts, int len) const {
    validateConfigurations();
    validateWindRows(parts, len);
    validateStatistics(param);
    validatePowerSeries(param, len);
}

void StochasticInput::validateConfigurations() const {
    const int numNodes = grid->getNumNodes();
    for (std::size_t c = 0; c < turbineNodes.size(); ++c) {
        const std::vector<int>& nodes = turbineNodes[c];
        const std::string row = quoted("Turbine nodes") + " row " + str(c);
        if (nodes.size() > windSeries.size()) {
            throw InputError(row + " has " + str(nodes.size()) + " turbines, but " + quoted("Wind series") +
                             " has " + str(windSeries.size()) + " rows (allowed at most " +
                             str(windSeries.size()) + " turbines)");
        }
        for (int node : nodes) {
            if (node < 0 || node >= numNodes) {
                throw InputError(row + " names node " + str(node) + ", but the grid has " + str(numNodes) +
                                 " nodes (allowed 0.." + str(numNodes - 1) + ")");
            }
            if (pratedGiven && static_cast<std::size_t>(node) >= turbinePrated.size()) {
                throw InputError(row + " names node " + str(node) + ", but " + quoted("Turbine prated") +
                                 " has " + str(turbinePrated.size()) + " values (allowed nodes 0.." +
                                 str(static_cast<long long>(turbinePrated.size()) - 1) + ")");
            }
        }
    }
}

void StochasticInput::validateWindRows(int parts, int len) const {
    const long long needed = static_cast<long long>(parts) * len;
    for (std::size_t r = 0; r < windSeries.size(); ++r) {
        if (static_cast<long long>(windSeries[r].size()) < needed) {
            throw InputError(quoted("Wind series") + " row " + str(r) + " has " + str(windSeries[r].size()) +
                             " samples, but " + str(parts) + " part(s) of " + str(len) + " samples need at least " +
                             str(needed));
        }
    }
}

void StochasticInput::validateStatistics(const Param& param) const {
    const bool survival = param.isModeSurv() || param.isModeSurvivall() || param.isModeStochCASC();
    const bool settles = survival || param.isModeStochLf();
    if (settles && surviveInitSteps < 0) {
        throw InputError(quoted("Survive init steps") + " is " + str(surviveInitSteps) +
                         ", but it must be at least 0");
    }
    if (survival && surviveInterval < 1) {
        throw InputError(quoted("Survive interval") + " is " + str(surviveInterval) + ", but it must be at least 1");
    }
    if (survival && param.numNodes != grid->getNumNodes()) {
        throw InputError(quoted("Number of nodes") + " of the parameters is " + str(param.numNodes) +
                         ", but the grid has " + str(grid->getNumNodes()) + " nodes (they must be equal)");
    }
    if (!param.isModeSurv()) return;
    for (std::size_t k = 0; k < timeLagSteps.size(); ++k) {
        if (timeLagSteps[k] < 1) {
            const std::string lag = k < timeLags.size() ? str(timeLags[k]) : "?";
            throw InputError(quoted("Freq time lags") + " entry " + lag + " is " + str(timeLagSteps[k]) +
                             " steps of " + quoted("RK stepwidth") + " " + str(param.stepWidth) +
                             ", but every lag must be at least 1 step");
        }
    }
    if (freqHistHalfBins < 1) {
        throw InputError(quoted("Freq hist bin num") + " gives " + str(freqHistBinNum) +
                         " bins, but the frequency histogram needs at least 2");
    }
    // A run holds a frequency histogram and one increment histogram per lag
    // for every node.
    const long long histograms = static_cast<long long>(grid->getNumNodes()) * (1 + timeLagSteps.size());
    const long long bins = histograms * freqHistBinNum;
    constexpr long long kMaxHistogramBins = 1LL << 26;
    if (bins > kMaxHistogramBins) {
        throw InputError(quoted("Freq hist bin num") + " gives " + str(freqHistBinNum) + " bins: with " +
                         str(histograms) + " histograms (nodes, and nodes per lag of " + quoted("Freq time lags") +
                         ") a run holds " + std::to_string(bins) + " bins, more than the " +
                         std::to_string(kMaxHistogramBins) + " allowed");
    }
}

void StochasticInput::validatePowerSeries(const Param& param, int len) const {
    const bool settles = param.isModeStochCASC() || param.isModeStochLf() || param.isModeSurvivall() ||
                         param.isModeSurv();
    long long needed = 0;
    std::string neededBy;
    if (param.isModeStraj() || settles) {
        needed = param.rkSteps;
        neededBy = quoted("RK steps") + " is " + str(param.rkSteps);
    }
    if (settles && surviveInitSteps > needed) {
        needed = surviveInitSteps;
        neededBy = quoted("Survive init steps") + " is " + str(surviveInitSteps);
    }
    const bool anyTurbine = std::any_of(turbineNodes.begin(), turbineNodes.end(),
                                        [](const std::vector<int>& row) { return !row.empty(); });
    if (!anyTurbine) return;
    // Also refuses a step width the series modes cannot work with.
    const long long length = powerSeriesLength(param, len);
    if (needed <= 0) return;

    if (!param.isModeStepFun() && !param.isModeSif() && !param.isModeGivenSeries()) {
        throw InputError("no series mode is on, but " + neededBy + " and the analyses read turbine power " +
                         "at every step (switch on " + quoted("Mode stepfunc") + ", " + quoted("Mode sif") +
                         " or " + quoted("Mode given series") + ")");
    }
    if (length < needed) {
        throw InputError("the turbine power series hold " + str(length) + " values, but " + neededBy +
                         " (need at least " + str(needed) + " values; lengthen " + quoted("Wind series") + ")");
    }
}

long long StochasticInput::powerSeriesLength(const Param& param, int windSamples) const {
    const long long intervals = std::max(0, windSamples - 1);
    long long length = 0;
    if (param.isModeStepFun()) length = windSamples == 1 ? 0 : intervals * stepFunctionRepeats(param.stepWidth);
    if (param.isModeSif()) length = intervals == 0 ? 0 : intervals * interpolationSteps(param.stepWidth);
    if (param.isModeGivenSeries()) length = windSamples;
    return length;
}

// ---- statistics ------------------------------------------------------------------------

void StochasticInput::checkFlanks(Param& param, double t, const double* omega, const double* omegaNew) const {
    const std::size_t tracked = std::min({static_cast<std::size_t>(std::max(param.numNodes, 0)),
                                          param.flanksA.size(), param.flanksB.size()});
    for (std::size_t i = 0; i < tracked; ++i) {
        const bool wasOutside = std::fabs(omega[i]) > surviveThreshold;
        const bool isOutside = std::fabs(omegaNew[i]) > surviveThreshold;
        if (!wasOutside && isOutside) param.flanksA[i].push_back(t);
        if (wasOutside && !isOutside) param.flanksB[i].push_back(t);
    }
}

int StochasticInput::histBin(double x, double width) const {
    if (freqHistHalfBins < 1) return -1;
    const double q = std::floor(x / width);
    if (std::isnan(q)) return -1;
    if (q < -freqHistHalfBins) return 0;
    if (q > freqHistHalfBins - 1) return freqHistBinNum - 1;
    return static_cast<int>(q) + freqHistHalfBins;
}
