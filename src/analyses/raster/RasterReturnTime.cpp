#include "analyses/raster/RasterReturnTime.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <iostream>
#include <limits>
#include <optional>
#include <sstream>

#include "util/CodeUtils.h"
#include "dynamics/Function.h"
#include "input/InputText.h"
#include "output/ResultPaths.h"
#include "input/Param.h"
#include "grid/PowerGrid.h"
#include "diagnostics/Progress.h"
#include "analyses/raster/RasterWorker.h"
#include "diagnostics/RunStatus.h"
#include "ensemble/Ensemble.h"
#include "diagnostics/Diagnostics.h"
#include "output/ResultDirectories.h"
#include "input/InputValues.h"

namespace {

const double kInf = std::numeric_limits<double>::infinity();

// The raster's result subdirectories.
const char* const kResultDirectories[] = {"heijtor", "frequency", "ijtor", "phase", "etraj", "ipm"};

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

// The offsets of an axis are laid out before the raster starts, and every
// initial condition has its number: both stay within what memory and a
// 64-bit count hold.
constexpr long long kMaxOffsetsPerAxis = 1 << 20;
constexpr long long kMaxInitialConditions = 1LL << 53;

// About how many offsets `step` gives from `min` to `max` (refused beyond the limit).
double requireOffsetCount(const char* stepKey, double step, double min, double max) {
    const double count = (max - min) / step;
    if (count <= static_cast<double>(kMaxOffsetsPerAxis)) return count;
    throw InputError(quoted(stepKey) + " is " + CodeUtils::d2Str(step) + ": from " + CodeUtils::d2Str(min) + " to " +
                     CodeUtils::d2Str(max) + " it gives about " + CodeUtils::d2Str(count) +
                     " offsets, more than the " + std::to_string(kMaxOffsetsPerAxis) + " allowed");
}

}  // namespace

RasterReturnTime::RasterReturnTime(PowerGrid* grid)
    : grid(grid),
      pertDelay(0),
      firstPertNode(0),
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
      numOfThresh(0) {}

RasterReturnTime::~RasterReturnTime() = default;

// ---- configuration -----------------------------------------------------------

namespace {

template <void (RasterReturnTime::*set)(double)>
void readReal(RasterReturnTime& raster, ReaderCursor& cursor) {
    (raster.*set)(InputValues::readDouble(cursor.in));
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
    (raster.*set)(InputValues::readintForKey(cursor.in, cursor.key));
}

// Far beyond any return-time study, and small enough to lay out at once.
constexpr int kMaxBands = 1 << 20;
constexpr long long kMaxReturnTableEntries = 1LL << 26;

const ReaderKey<RasterReturnTime> kRasterKeys[] = {
    {"Freq pert minimum", readReal<&RasterReturnTime::setFreqPertMin>},
    {"Freq pert maximum", readReal<&RasterReturnTime::setFreqPertMax>},
    {"Phase pert minimum", readReal<&RasterReturnTime::setPhasePertMin>},
    {"Phase pert maximum", readReal<&RasterReturnTime::setPhasePertMax>},
    {"Freq pert step", readReal<&RasterReturnTime::setFreqStepw>},
    {"Phase pert step", readReal<&RasterReturnTime::setPhaseStepw>},
    {"Pertub delay",
     [](RasterReturnTime& raster, ReaderCursor& cursor) {
         raster.setPertDelay(InputValues::readintForKey(cursor.in, cursor.key));
     }},
    {"RT threshold high", readThreshold<&RasterReturnTime::setThresholdHigh>},
    {"RT threshold low", readThreshold<&RasterReturnTime::setThresholdLow>},
    // Accepted for old input files; it carries no value.
    {"Thresh spread", [](RasterReturnTime&, ReaderCursor&) {}},
    {"Num of thresh",
     [](RasterReturnTime& raster, ReaderCursor& cursor) {
         const int bands = InputValues::readintForKey(cursor.in, cursor.key);
         // Refused before the bands' thresholds are laid out.
         if (bands > kMaxBands) {
             throw InputError(quoted(cursor.key) + " is " + i2Str(bands) + ", more bands than the " +
                              i2Str(kMaxBands) + " allowed");
         }
         raster.setNumOfThresh(bands);
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
        const double frequencies = requireOffsetCount("Freq pert step", freqStepw, freqPertMin, freqPertMax);
        const double phases =
            oneOffsetPerRow ? 1 : requireOffsetCount("Phase pert step", phaseStepw, phasePertMin, phasePertMax);
        const double total = (static_cast<double>(lastPertNode) - firstPertNode) * frequencies * phases;
        if (total > static_cast<double>(kMaxInitialConditions)) {
            throw InputError("the raster of nodes " + i2Str(firstPertNode) + ".." + i2Str(lastPertNode - 1) +
                             " has about " + CodeUtils::d2Str(total) + " initial conditions, more than the " +
                             std::to_string(kMaxInitialConditions) + " allowed");
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
    // Every worker thread holds a return time per band and node, and every
    // step updates all of them.
    const long long entries = static_cast<long long>(numOfThresh) * grid->getNumNodes();
    if (param.isModeRMRT() && entries > kMaxReturnTableEntries) {
        throw InputError("\"Num of thresh\" is " + i2Str(numOfThresh) + ": with " + i2Str(grid->getNumNodes()) +
                         " nodes the return-time table holds " + std::to_string(entries) +
                         " entries, more than the " + std::to_string(kMaxReturnTableEntries) + " allowed");
    }
}

void RasterReturnTime::requireParamNodeCount(const Param& param, const char* modeKey) const {
    if (param.numNodes != grid->getNumNodes()) {
        throw InputError("\"Number of nodes\" is " + i2Str(param.numNodes) + ", but the grid has " +
                         i2Str(grid->getNumNodes()) + " nodes (they must be equal while " + quoted(modeKey) +
                         " is on)");
    }
}

void RasterReturnTime::rasterRT(Param& param, Function& function, const Parallelism& parallelism) {
    validate(param);
    const ProcessGroup& processes = *parallelism.processes;
    if (processes.isLeader()) makeResultDirectories(param);
    resetThresh();
    if (walked || !walks()) return;
    walked = true;

    RasterJob job;
    job.param = &param;
    job.function = &function;
    // Built here, once: the workers only read it.
    job.kernel = &function.kernel();
    job.variant = function.kernelVariant();
    job.nodes = grid->getNumNodes();
    job.steadyPhases = grid->getVoltAngSS();
    job.firstNode = firstPertNode;
    job.frequencyOffsets = frequencyOffsets();
    job.phaseOffsets = phaseOffsets();
    std::optional<EnergyMeasure> energy;
    if (param.isModeERT()) {
        energy.emplace(*grid);
        job.energy = &*energy;
    }
    job.thresholds = &thresholds;
    job.bands = numOfThresh;

    NonFiniteLog nonFinite;
    {
        RasterFiles files(param, job.nodes, processes);
        nonFinite = walkShare(job, files, parallelism);
    }
    // The files are complete when every process has closed its share.
    processes.barrier();
    reportNonFinite(job, NonFiniteLog::gathered(nonFinite, processes));
}

void RasterReturnTime::reportNonFinite(const RasterJob& job, const NonFiniteLog& log) const {
    ::reportNonFinite(status, log, "raster", "initial conditions", initialConditions(),
                      [&](long long ic) { return describeInitialCondition(job, ic); });
}

// This process's share of the initial conditions (every ranks-th from its
// rank on), taken one at a time by the workers as they come free: the costs
// of initial conditions differ.
NonFiniteLog RasterReturnTime::walkShare(const RasterJob& job, RasterFiles& files, const Parallelism& parallelism) {
    Ensemble ensemble(parallelism, initialConditions());
    const long long share = ensemble.share();
    const long long steps = job.steps();
    Ensemble::Progress progress;
    if (steps > 0) {
        progress.units = share * steps;
        progress.describe = [&job, share, steps](long long done, long long, long long latest) {
            return "raster: " + std::to_string(std::min(done / steps, share)) + "/" + std::to_string(share) +
                   " initial conditions (node " + std::to_string(job.nodeOf(latest)) + ")";
        };
    }
    return ensemble.run(
        [&](int) { return std::make_unique<RasterWorker>(job, files, ensemble.unitsDone()); }, progress);
}

// What the warning about non-finite trajectories names of the first one.
std::string RasterReturnTime::describeInitialCondition(const RasterJob& job, long long ic) const {
    return "node " + std::to_string(job.nodeOf(ic)) + ", frequency offset " +
           CodeUtils::d2Str(job.frequencyOffsetOf(ic)) + ", phase offset " + CodeUtils::d2Str(job.phaseOffsetOf(ic)) +
           " (initial condition " + std::to_string(ic) + ")";
}

void RasterReturnTime::warnIfIdle(const Param& param) const {
    std::string why;
    if (firstPertNode >= lastPertNode) {
        why = quoted("First pert node") + " (" + i2Str(firstPertNode) + ") is not below " + quoted("Last pert node") +
              " (" + i2Str(lastPertNode) + "), so no node is kicked (the nodes First .. Last - 1 are)";
    } else if (!(freqPertMin < freqPertMax)) {
        why = quoted("Freq pert minimum") + " (" + CodeUtils::d2Str(freqPertMin) + ") is not below " +
              quoted("Freq pert maximum") + " (" + CodeUtils::d2Str(freqPertMax) +
              "), so there is no frequency offset (the offsets run from the minimum up to below the maximum)";
    } else if (!(param.isModeERT() || param.isModeRMRT() || param.isModeMaxp() || param.isModeStraj())) {
        why = "none of " + quoted("Mode RMRT") + ", " + quoted("Mode ERT") + ", " + quoted("Mode maxp") + " and " +
              quoted("Mode save traj") + " is on, so nothing is integrated or written";
    } else if (param.rkSteps < 2) {
        why = quoted("RK steps") + " is " + i2Str(param.rkSteps) + ", so no step is integrated (a kick needs at least 2)";
    }
    if (why.empty()) return;
    Diagnostics::warn(quoted("Mode raster rt") + " is on, but the raster integrates nothing: " + why);
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

// The subdirectories are made (and announced) in the working directory, and
// silently under the directory part of the output name, where the files go.
void RasterReturnTime::makeResultDirectories(const Param& param) const {
    const std::string outputDir = param.getOfile("path");
    for (const char* dir : kResultDirectories) {
        ResultDirectories::cdir(dir);
        if (!outputDir.empty()) ResultDirectories::makeDirectory(outputDir + dir);
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
    threshRows = rows;
}

double RasterReturnTime::getThresh(int k) { return thresholds.at(k); }

bool RasterReturnTime::vecConvergence(double* values, double eps, int n) {
    for (int i = 0; i < n; ++i) {
        if (std::isnan(values[i]) || std::fabs(values[i]) > eps) return false;
    }
    return true;
}

// ---- result files ------------------------------------------------------------------

// Every initial condition of the raster writes the same files.
void RasterReturnTime::addResultFiles(const Param& param, results::PlannedFiles& list) const {
    using namespace results;
    if (!walks()) return;
    const std::string& name = param.outputFilename;
    const int steps = param.rkSteps;
    if (param.isModeERT()) {
        list.add(name, {{Kind::rasterEnergyTrajectory, kEnergyTraj}});
        if (param.saveRKEvery >= 1 && param.saveRKEvery < steps) {
            list.add(name,
                     {{Kind::rasterFrequencySamples, kFrequencySamples}, {Kind::rasterPhaseSamples, kPhaseSamples}});
        }
        list.add(name, {{Kind::rasterEnergyReturn, kEnergyReturn},
                        {Kind::rasterFrequencyEndpoints, kFrequency},
                        {Kind::rasterPhaseEndpoints, kPhase}});
    }
    if (param.isModeRMRT()) {
        list.add(name, {{Kind::rasterMeanReturn, kMeanReturn},
                        {Kind::rasterFrequencyEndpoints, kFrequency},
                        {Kind::rasterPhaseEndpoints, kPhase}});
    }
    if (param.isModeMaxp()) list.add(name, {{Kind::rasterMaxima, kMaxima}});
    if (param.isModeStraj() && steps >= 2) {
        list.add(name, {{Kind::rasterFrequencyTrajectory, kFreqTraj}, {Kind::rasterPhaseTrajectory, kPhasTraj}});
    }
}
