#include "RasterReturnTime.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iostream>
#include <limits>
#include <optional>
#include <sstream>
#include <utility>

#include "CodeUtils.h"
#include "InputText.h"
#include "Param.h"
#include "PowerGrid.h"
#include "ResultFile.h"
#include "ResultPaths.h"
#include "RungeKutta.h"

namespace {

const double kInf = std::numeric_limits<double>::infinity();

// One integration run from an initial condition. After step() the current
// arrays hold the newest state; the two states trade places, so a step
// allocates nothing.
class Trajectory {
public:
    Trajectory(RungeKutta& rk, double h, const double* phases, const double* freqs, int n, ProgressMeter& progress)
        : rk(rk), h(h), cur(phases, freqs, n), next(n), progress(progress) {}

    void step() {
        rk.rk4(h, cur.freqs.data(), cur.phases.data(), next.freqs.data(), next.phases.data());
        std::swap(cur, next);
        progress.advance();
    }
    double* freqs() { return cur.freqs.data(); }
    double* phases() { return cur.phases.data(); }

private:
    struct State {
        std::vector<double> phases;
        std::vector<double> freqs;
        explicit State(int n) : phases(n, 0.0), freqs(n, 0.0) {}
        State(const double* p, const double* f, int n) : phases(p, p + n), freqs(f, f + n) {}
    };
    RungeKutta& rk;
    double h;
    State cur;
    State next;
    ProgressMeter& progress;
};

std::string resultPath(const Param& param, const char* stem) { return results::path(param.outputFilename, stem); }

// The raster's result subdirectories.
const char* const kResultDirectories[] = {"heijtor", "frequency", "ijtor", "phase", "etraj", "ipm"};

// Appends one initial condition's initial and then final state to the
// "frequency" and "phase" files that the mean and energy return-time modes share.
void appendInitialAndFinalState(const Param& param, const double* phases, const double* freqs, Trajectory& traj,
                                int n) {
    ResultFile freqFile(resultPath(param, results::kFrequency));
    freqFile.write(freqs, n);
    freqFile.write(traj.freqs(), n);
    freqFile.close();
    ResultFile phaseFile(resultPath(param, results::kPhase));
    phaseFile.write(phases, n);
    phaseFile.write(traj.phases(), n);
}

std::string quoted(const char* key) { return std::string("\"") + key + "\""; }

// Whether adding `step` moves every offset in [min, max) on: in double
// precision a step below half the spacing of the numbers near an offset
// leaves it where it is, and the walk would never reach max. The spacing is
// widest at the ends of the range.
bool stepAdvances(double min, double max, double step) {
    const double last = std::nextafter(max, -kInf);
    return min + step > min && last + step > last;
}

void requireAdvancingStep(const char* stepKey, double step, const char* minKey, double min, const char* maxKey,
                          double max) {
    if (stepAdvances(min, max, step)) return;
    throw InputError(quoted(stepKey) + " is " + CodeUtils::d2Str(step) + ", too small to move the offsets from " +
                     quoted(minKey) + " (" + CodeUtils::d2Str(min) + ") to " + quoted(maxKey) + " (" +
                     CodeUtils::d2Str(max) + ") in double precision");
}

}  // namespace

RasterReturnTime::RasterReturnTime(PowerGrid* grid)
    : grid(grid),
      pertDelay(0),
      firstPertNode(0),
      pertNode(0),
      pertNodeCount(0),
      lastPertNode(0),
      threshRows(1),
      fixedThreshNum(false),
      freqPertMin(0),
      freqPertMax(0),
      phasePertMin(0),
      phasePertMax(0),
      freqStepw(0),
      phaseStepw(0),
      thresholdHigh(0),
      thresholdLow(0),
      threshSpread(0),
      numOfThresh(0),
      retTime(1, std::vector<double>(1, kInf)),
      retFlag(1, std::vector<char>(1, 0)) {}

RasterReturnTime::~RasterReturnTime() = default;

// ---- configuration -----------------------------------------------------------

namespace {

template <void (RasterReturnTime::*set)(double)>
void readReal(RasterReturnTime& raster, ReaderCursor& cursor) {
    (raster.*set)(CodeUtils::readDouble(cursor.in));
}

// A threshold key adds a band unless "Num of thresh" fixed their number.
template <void (RasterReturnTime::*set)(double)>
void readThreshold(RasterReturnTime& raster, ReaderCursor& cursor) {
    readReal<set>(raster, cursor);
    if (!raster.isFixedThreshNum()) raster.setNumOfThresh(raster.getNumOfThresh() + 1);
    raster.resetThresh();
}

template <void (RasterReturnTime::*set)(int)>
void readInt(RasterReturnTime& raster, ReaderCursor& cursor) {
    (raster.*set)(CodeUtils::readintForKey(cursor.in, cursor.key));
}

const ReaderKey<RasterReturnTime> kRasterKeys[] = {
    {"Freq pert minimum", readReal<&RasterReturnTime::setFreqPertMin>},
    {"Freq pert maximum", readReal<&RasterReturnTime::setFreqPertMax>},
    {"Phase pert minimum", readReal<&RasterReturnTime::setPhasePertMin>},
    {"Phase pert maximum", readReal<&RasterReturnTime::setPhasePertMax>},
    {"Freq pert step", readReal<&RasterReturnTime::setFreqStepw>},
    {"Phase pert step", readReal<&RasterReturnTime::setPhaseStepw>},
    {"Pertub delay",
     [](RasterReturnTime& raster, ReaderCursor& cursor) {
         raster.setPertDelay(CodeUtils::readintForKey(cursor.in, cursor.key));
     }},
    {"RT threshold high", readThreshold<&RasterReturnTime::setThresholdHigh>},
    {"RT threshold low", readThreshold<&RasterReturnTime::setThresholdLow>},
    // Accepted for old input files; it carries no value.
    {"Thresh spread", [](RasterReturnTime&, ReaderCursor&) {}},
    {"Num of thresh",
     [](RasterReturnTime& raster, ReaderCursor& cursor) {
         raster.setNumOfThresh(CodeUtils::readintForKey(cursor.in, cursor.key));
         raster.setFixedThreshNum(true);
         raster.resetThresh();
     }},
    {"First pert node", readInt<&RasterReturnTime::setFirstPertNode>},
    {"Last pert node", readInt<&RasterReturnTime::setLastPertNode>},
};

}  // namespace

bool RasterReturnTime::readFromFile(std::string fileName) {
    InputText in(fileName);
    read(in, std::cout);
    return true;
}

void RasterReturnTime::read(InputText& in, std::ostream& console) { scanBlock(in, console, *this, kRasterKeys); }

std::vector<std::string> RasterReturnTime::keys() { return keyNames(kRasterKeys); }

std::string RasterReturnTime::toString() {
    std::ostringstream out;
    out << "=============== Raster return time Input ================\n"
        << "----------------- Algorithm Parameters ------------------\n"
        << "FirstPertNode: " << firstPertNode << "\n"
        << "LastPertNode: " << lastPertNode << "\n"
        << "FreqPertMin: " << freqPertMin << "\n"
        << "FreqPertStep: " << freqStepw << "\n"
        << "FreqPertMax: " << freqPertMax << "\n"
        << "PhasePertMin: " << phasePertMin << "\n"
        << "PhasePertStep: " << phaseStepw << "\n"
        << "PhasePertMax: " << phasePertMax << "\n"
        << "PertDelay: " << pertDelay << "\n"
        << "ThresholdHigh: " << thresholdHigh << "\n"
        << "ThresholdLow: " << thresholdLow << "\n"
        << "ThresholdNumber: " << numOfThresh << "\n"
        << "\n";
    return out.str();
}

void RasterReturnTime::setPertDelay(double delay) { pertDelay = CodeUtils::truncToInt(delay); }

// ---- driver --------------------------------------------------------------------

void RasterReturnTime::validate(const Param& param) const {
    validateNodeRange();
    validateOffsets();
    validateModeSettings(param);
}

void RasterReturnTime::validateNodeRange() const {
    const int n = grid->getNumNodes();
    if (firstPertNode < lastPertNode) {
        if (firstPertNode < 0 || firstPertNode >= n) {
            throw InputError("\"First pert node\" is " + i2Str(firstPertNode) + ", but the grid has " + i2Str(n) +
                             " nodes (allowed 0.." + i2Str(n - 1) + ")");
        }
        if (lastPertNode > n) {
            throw InputError("\"Last pert node\" is " + i2Str(lastPertNode) + ", but the grid has " + i2Str(n) +
                             " nodes (allowed 0.." + i2Str(n) + ")");
        }
    }
}

// Rejects offset settings under which the raster walk would never end; with no
// node to walk the offsets are never used.
void RasterReturnTime::validateOffsets() const {
    if (firstPertNode < lastPertNode && freqPertMin < freqPertMax) {
        if (!std::isfinite(freqPertMin)) {
            throw InputError("\"Freq pert minimum\" is " + CodeUtils::d2Str(freqPertMin) + ", but it must be finite");
        }
        if (!std::isfinite(freqPertMax)) {
            throw InputError("\"Freq pert maximum\" is " + CodeUtils::d2Str(freqPertMax) + ", but it must be finite");
        }
        if (!(freqStepw > 0)) {
            throw InputError("\"Freq pert step\" is " + CodeUtils::d2Str(freqStepw) +
                             ", but it must be positive while \"Freq pert minimum\" (" +
                             CodeUtils::d2Str(freqPertMin) + ") is below \"Freq pert maximum\" (" +
                             CodeUtils::d2Str(freqPertMax) + ")");
        }
        requireAdvancingStep("Freq pert step", freqStepw, "Freq pert minimum", freqPertMin, "Freq pert maximum",
                             freqPertMax);
        // A row ends after its first offset when one step already reaches the
        // maximum; otherwise the offsets must climb towards a finite maximum.
        const bool oneOffsetPerRow = phasePertMin + phaseStepw >= phasePertMax;
        if (!oneOffsetPerRow) {
            if (!(phaseStepw > 0)) {
                throw InputError("\"Phase pert step\" is " + CodeUtils::d2Str(phaseStepw) +
                                 ", but it must be positive for the phase offsets from \"Phase pert minimum\" (" +
                                 CodeUtils::d2Str(phasePertMin) + ") to reach \"Phase pert maximum\" (" +
                                 CodeUtils::d2Str(phasePertMax) + ")");
            }
            if (!std::isfinite(phasePertMin)) {
                throw InputError("\"Phase pert minimum\" is " + CodeUtils::d2Str(phasePertMin) +
                                 ", but it must be finite");
            }
            if (!std::isfinite(phasePertMax)) {
                throw InputError("\"Phase pert maximum\" is " + CodeUtils::d2Str(phasePertMax) +
                                 ", but it must be finite");
            }
            requireAdvancingStep("Phase pert step", phaseStepw, "Phase pert minimum", phasePertMin,
                                 "Phase pert maximum", phasePertMax);
        }
    }
}

void RasterReturnTime::validateModeSettings(const Param& param) const {
    if (param.isModeERT()) requireParamNodeCount(param, "Mode ERT");
    if (param.isModeMaxp()) requireParamNodeCount(param, "Mode maxp");
    if (param.isModeERT() && param.saveRKEvery < 1) {
        throw InputError("\"Save RK every\" is " + i2Str(param.saveRKEvery) +
                         ", but it must be at least 1 while \"Mode ERT\" is on");
    }
    if (param.isModeRMRT() && numOfThresh < 0) {
        throw InputError("\"Num of thresh\" is " + i2Str(numOfThresh) + ", but it must be at least 0");
    }
}

void RasterReturnTime::requireParamNodeCount(const Param& param, const char* modeKey) const {
    if (param.numNodes != grid->getNumNodes()) {
        throw InputError("\"Number of nodes\" is " + i2Str(param.numNodes) + ", but the grid has " +
                         i2Str(grid->getNumNodes()) + " nodes (they must be equal while " + quoted(modeKey) +
                         " is on)");
    }
}

void RasterReturnTime::rasterRT(Param& param, RungeKutta& rk) {
    validate(param);
    makeResultDirectories(param);
    resetThresh();
    takeSteadyState();

    const std::vector<double> freqOffsets = frequencyOffsets();
    const std::vector<double> phaseOffsetRow = phaseOffsets();
    const int n = grid->getNumNodes();
    std::vector<double> initPhases(n);
    std::vector<double> initFreqs(n);
    beginProgress(param);
    while (nextPertNode()) {
        for (double f : freqOffsets) {
            for (double p : phaseOffsetRow) {
                for (int i = 0; i < n; ++i) {
                    initFreqs[i] = 0.0;
                    initPhases[i] = steadyPhases[i];
                }
                initPhases[pertNode] = steadyPhases[pertNode] + p;
                initFreqs[pertNode] = f;
                runModes(param, rk, initPhases.data(), initFreqs.data());
            }
        }
    }
    progress.end();
}

bool RasterReturnTime::walks() const { return firstPertNode < lastPertNode && freqPertMin < freqPertMax; }

std::vector<double> RasterReturnTime::frequencyOffsets() const {
    std::vector<double> offsets;
    if (!walks()) return offsets;
    for (double f = freqPertMin; f < freqPertMax; f = f + freqStepw) offsets.push_back(f);
    return offsets;
}

std::vector<double> RasterReturnTime::phaseOffsets() const {
    std::vector<double> offsets;
    if (!walks()) return offsets;
    for (double p = phasePertMin; offsets.empty() || p < phasePertMax; p = p + phaseStepw) offsets.push_back(p);
    return offsets;
}

long long RasterReturnTime::initialConditions() const {
    if (!walks()) return 0;
    return static_cast<long long>(lastPertNode - firstPertNode) * static_cast<long long>(frequencyOffsets().size()) *
           static_cast<long long>(phaseOffsets().size());
}

// The walk's work is counted in integration steps: every mode that is on
// integrates S - 1 steps per initial condition.
void RasterReturnTime::beginProgress(const Param& param) {
    const int modes = (param.isModeERT() ? 1 : 0) + (param.isModeRMRT() ? 1 : 0) + (param.isModeMaxp() ? 1 : 0) +
                      (param.isModeStraj() && param.rkSteps >= 2 ? 1 : 0);
    const long long stepsPerCondition = static_cast<long long>(modes) * std::max(param.rkSteps - 1, 0);
    const long long conditions = initialConditions();
    if (stepsPerCondition == 0 || conditions == 0) return;
    progress.begin(
        conditions * stepsPerCondition,
        [this, stepsPerCondition, conditions](long long done, long long) {
            return "raster: " + std::to_string(std::min(done / stepsPerCondition, conditions)) + "/" +
                   std::to_string(conditions) + " initial conditions (node " + std::to_string(pertNode) + ")";
        },
        ProgressMeter::kAnalysis);
}

// The subdirectories are made (and announced) in the working directory, and
// silently under the directory part of the output name, where the files go.
void RasterReturnTime::makeResultDirectories(const Param& param) const {
    const std::string outputDir = param.getOfile("path");
    for (const char* dir : kResultDirectories) {
        CodeUtils::cdir(dir);
        if (!outputDir.empty()) CodeUtils::makeDirectory(outputDir + dir);
    }
}

void RasterReturnTime::runModes(Param& param, RungeKutta& rk, double* phases, double* freqs) {
    if (param.isModeERT()) enrtIC(param, rk, phases, freqs);
    if (param.isModeRMRT()) mrtIC(param, rk, phases, freqs);
    if (param.isModeMaxp()) maxPIC(param, rk, phases, freqs);
    if (param.isModeStraj()) trajIC(param, rk, phases, freqs);
}

bool RasterReturnTime::nextPertNode() {
    pertNode = firstPertNode + pertNodeCount;
    ++pertNodeCount;
    return pertNode < lastPertNode;
}

void RasterReturnTime::takeSteadyState() {
    steadyPhases = grid->getVoltAngSS();
    const int n = grid->getNumNodes();
    inertias.assign(n, 0.0);
    netPowers.assign(n, 0.0);
    energyLines.clear();
    for (int i = 0; i < n; ++i) {
        const Node* node = grid->getNode(i);
        inertias[i] = node->getInertia();
        netPowers[i] = node->getPowerMech() - node->getPowerDiag();
        // A copy per record: the coupling getter (which zeroes lines out of
        // service) is not const.
        for (TransmissionLine line : grid->linesOf(i)) {
            const int to = line.getToNode();
            const double phi = line.getCouplingAng();
            energyLines.push_back({i, to, line.getCouplingMag(), phi, std::cos(steadyPhases[i] - steadyPhases[to] - phi)});
        }
    }
}

// ---- thresholds and the return-time table ----------------------------------------

void RasterReturnTime::resetThresh() {
    const int rows = numOfThresh > 0 ? numOfThresh : 0;
    if (rows > 0) {
        thresholds = CodeUtils::linspace(thresholdLow, thresholdHigh, rows);
    } else {
        thresholds.clear();
    }
    const int n = grid->getNumNodes() > 0 ? grid->getNumNodes() : 0;
    retTime.assign(rows, std::vector<double>(n, kInf));
    retFlag.assign(rows, std::vector<char>(n, 0));
    threshRows = rows;
}

void RasterReturnTime::clearReturnTable() {
    for (std::vector<double>& row : retTime) row.assign(row.size(), kInf);
    for (std::vector<char>& row : retFlag) row.assign(row.size(), 0);
}

void RasterReturnTime::setRetTime(double* values, double t, int k) {
    const double thr = thresholds.at(k);
    std::vector<double>& times = retTime[k];
    std::vector<char>& inside = retFlag[k];
    const size_t n = times.size();
    for (size_t i = 0; i < n; ++i) {
        if (std::fabs(values[i]) < thr) {
            if (!inside[i]) {
                times[i] = t;
                inside[i] = 1;
            }
        } else {
            inside[i] = 0;
            times[i] = kInf;
        }
    }
}

void RasterReturnTime::setRetAllThresh(double* values, double t) {
    for (int k = 0; k < numOfThresh; ++k) setRetTime(values, t, k);
}

void RasterReturnTime::setMeanRet(double* out) {
    const int n = grid->getNumNodes();
    for (int i = 0; i < n; ++i) {
        double sum = 0.0;
        for (int k = 0; k < threshRows; ++k) sum += retTime[k].at(i);
        out[i] = sum / numOfThresh;
    }
}

double RasterReturnTime::getThresh(int k) { return thresholds.at(k); }

bool RasterReturnTime::vecConvergence(double* values, double eps, int n) {
    for (int i = 0; i < n; ++i) {
        if (std::isnan(values[i]) || std::fabs(values[i]) > eps) return false;
    }
    return true;
}

// ---- modes -----------------------------------------------------------------------

void RasterReturnTime::trajIC(Param& param, RungeKutta& rk, double* phases, double* freqs) {
    const int steps = param.rkSteps;
    if (steps < 2) return;
    const int n = grid->getNumNodes();
    ResultFile freqFile(resultPath(param, results::kFreqTraj));
    ResultFile phasFile(resultPath(param, results::kPhasTraj));
    Trajectory traj(rk, param.stepWidth, phases, freqs, n, progress);
    for (int s = 1; s < steps; ++s) {
        traj.step();
        freqFile.write(traj.freqs(), n);
        phasFile.write(traj.phases(), n);
    }
}

void RasterReturnTime::maxPIC(Param& param, RungeKutta& rk, double* phases, double* freqs) {
    requireParamNodeCount(param, "Mode maxp");
    const int m = param.numNodes;
    const double h = param.stepWidth;
    // Each initial condition reports its own maxima.
    param.setFreqmax(std::vector<double>(m, 0.0));
    param.setFreqmaxTime(std::vector<double>(m, 0.0));
    param.setPhasmax(std::vector<double>(m, 0.0));
    param.setPhasmaxTime(std::vector<double>(m, 0.0));
    std::vector<double>& freqMax = param.getFreqmax();
    std::vector<double>& freqMaxTime = param.getFreqmaxTime();
    std::vector<double>& phasMax = param.getPhasmax();
    std::vector<double>& phasMaxTime = param.getPhasmaxTime();

    Trajectory traj(rk, h, phases, freqs, m, progress);
    for (int i = 1; i < param.rkSteps; ++i) {
        traj.step();
        const double t = i * h;
        const double* om = traj.freqs();
        const double* th = traj.phases();
        for (int j = 0; j < m; ++j) {
            if (std::fabs(om[j]) > std::fabs(freqMax[j])) {
                freqMax[j] = om[j];
                freqMaxTime[j] = t;
            }
            if (std::fabs(th[j]) > std::fabs(phasMax[j])) {
                phasMax[j] = th[j];
                phasMaxTime[j] = t;
            }
        }
    }

    std::vector<double> record;
    record.reserve(8 * static_cast<size_t>(m));
    for (int j = 0; j < m; ++j) {
        record.insert(record.end(), {static_cast<double>(pertNode), static_cast<double>(j), phases[pertNode],
                                     freqs[pertNode], freqMax.at(j), freqMaxTime.at(j), phasMax.at(j),
                                     phasMaxTime.at(j)});
    }
    CodeUtils::vecToBinFileFast(record, resultPath(param, results::kMaxima));
}

void RasterReturnTime::mrtIC(Param& param, RungeKutta& rk, double* phases, double* freqs) {
    const int n = grid->getNumNodes();
    const double h = param.stepWidth;
    // Each initial condition is measured on its own.
    clearReturnTable();
    Trajectory traj(rk, h, phases, freqs, n, progress);
    for (int i = 1; i < param.rkSteps; ++i) {
        traj.step();
        setRetAllThresh(traj.freqs(), i * h);
    }

    std::vector<double> means(n);
    setMeanRet(means.data());
    std::vector<double> record;
    record.reserve(5 * static_cast<size_t>(n));
    for (int j = 0; j < n; ++j) {
        record.insert(record.end(), {static_cast<double>(pertNode), static_cast<double>(j), phases[pertNode],
                                     freqs[pertNode], means[j]});
    }
    CodeUtils::vecToBinFileFast(record, resultPath(param, results::kMeanReturn));
    appendInitialAndFinalState(param, phases, freqs, traj, n);
}

void RasterReturnTime::enrtIC(Param& param, RungeKutta& rk, double* phases, double* freqs) {
    requireParamNodeCount(param, "Mode ERT");
    takeSteadyState();
    const int m = param.numNodes;
    const int steps = param.rkSteps;
    const int every = param.saveRKEvery;
    const bool sampling = every >= 1 && every < steps;
    // Each initial condition gets its own energy return time.
    param.enRetReached = false;
    param.enRetTime = kInf;

    ResultFile energyFile(resultPath(param, results::kEnergyTraj));
    std::optional<ResultFile> freqSamples;
    std::optional<ResultFile> phaseSamples;
    if (sampling) {
        freqSamples.emplace(resultPath(param, results::kFrequencySamples));
        phaseSamples.emplace(resultPath(param, results::kPhaseSamples));
    }

    Trajectory traj(rk, param.stepWidth, phases, freqs, m, progress);
    for (int i = 1; i < steps; ++i) {
        traj.step();
        const double energy = currentEnergy(traj.phases(), traj.freqs());
        updateEnergyReturn(param, energy, i);
        energyFile.write(energy);
        if (sampling && (i - 1) % every == 0) {
            freqSamples->write(traj.freqs(), m);
            phaseSamples->write(traj.phases(), m);
        }
    }

    CodeUtils::vecToBinFile({static_cast<double>(pertNode), 0.0, phases[pertNode], freqs[pertNode], param.enRetTime},
                            resultPath(param, results::kEnergyReturn));
    appendInitialAndFinalState(param, phases, freqs, traj, m);
}

// ---- energy --------------------------------------------------------------------

void RasterReturnTime::setEnergyRet(Param& param, double* phases, double* freqs, int i) {
    updateEnergyReturn(param, currentEnergy(phases, freqs), i);
}

void RasterReturnTime::updateEnergyReturn(Param& param, double energy, int i) {
    if (energy < param.getEnThresh()) {
        if (!param.enRetReached) {
            param.enRetReached = true;
            param.enRetTime = i * param.stepWidth;
        }
    } else {
        param.enRetReached = false;
        param.enRetTime = kInf;
    }
}

double RasterReturnTime::deviation(double* phases, int i) const {
    return CodeUtils::smallerAngle(phases[i] - steadyPhases[i]);
}

double RasterReturnTime::enT(double* /*phases*/, double* freqs) {
    double sum = 0.0;
    const int n = static_cast<int>(inertias.size());
    for (int i = 0; i < n; ++i) sum += 0.5 * inertias[i] * (freqs[i] * freqs[i]);
    return sum;
}

double RasterReturnTime::enV(double* phases, double* /*freqs*/) {
    double lineSum = 0.0;
    for (const EnergyLine& l : energyLines) {
        lineSum += 0.5 * l.k * (l.cosSteady - std::cos(phases[l.from] - phases[l.to] - l.phi));
    }
    double powerSum = 0.0;
    const int n = static_cast<int>(netPowers.size());
    for (int i = 0; i < n; ++i) powerSum += netPowers[i] * deviation(phases, i);
    return lineSum - powerSum;
}

double RasterReturnTime::currentEnergy(double* phases, double* freqs) {
    return enT(phases, freqs) + enV(phases, freqs);
}

double RasterReturnTime::harmonicEnergy(double* phases, double* freqs) {
    double sum = 0.0;
    for (const EnergyLine& l : energyLines) {
        const double dd = deviation(phases, l.from) - deviation(phases, l.to);
        sum += 0.25 * l.k * l.cosSteady * (dd * dd);
    }
    return enT(phases, freqs) + sum;
}
