#include "analyses/raster/RasterWorker.h"

#include <algorithm>

#include "ensemble/Ensemble.h"
#include "ensemble/ProcessGroup.h"
#include "input/Param.h"
#include "output/ResultCatalogue.h"
#include "output/ResultPaths.h"

namespace {

bool sampling(const Param& param) { return param.saveRKEvery >= 1 && param.saveRKEvery < param.rkSteps; }

// Steps 1, 1 + R, 1 + 2R, ... below S.
long long sampledSteps(const Param& param) {
    return sampling(param) ? (param.rkSteps - 2) / param.saveRKEvery + 1 : 0;
}

}  // namespace

int RasterJob::nodeOf(long long ic) const {
    const long long perNode =
        static_cast<long long>(frequencyOffsets.size()) * static_cast<long long>(phaseOffsets.size());
    return firstNode + static_cast<int>(ic / perNode);
}

double RasterJob::frequencyOffsetOf(long long ic) const {
    return frequencyOffsets[ic / phaseOffsets.size() % frequencyOffsets.size()];
}

double RasterJob::phaseOffsetOf(long long ic) const { return phaseOffsets[ic % phaseOffsets.size()]; }

int RasterJob::steps() const {
    const bool observed =
        param->isModeERT() || param->isModeRMRT() || param->isModeMaxp() || param->isModeStraj();
    return observed ? std::max(param->rkSteps - 1, 0) : 0;
}

// ---- the files ---------------------------------------------------------------------

RasterFiles::RasterFiles(const Param& param, int nodes, const ProcessGroup& processes) {
    const long long state = static_cast<long long>(nodes) * static_cast<long long>(sizeof(double));
    const long long steps = std::max(param.rkSteps - 1, 0);
    long long stride[slotCount] = {};
    bool written[slotCount] = {};
    auto add = [&](Slot slot, long long bytes) {
        written[slot] = true;
        stride[slot] += bytes;
    };
    if (param.isModeERT()) {
        add(energyTrajectory, steps * static_cast<long long>(sizeof(double)));
        if (sampling(param)) {
            add(frequencySamples, sampledSteps(param) * state);
            add(phaseSamples, sampledSteps(param) * state);
        }
        add(energyReturn, 5 * static_cast<long long>(sizeof(double)));
        add(frequencyEndpoints, 2 * state);
        add(phaseEndpoints, 2 * state);
    }
    if (param.isModeRMRT()) {
        add(meanReturn, 5 * state);
        add(frequencyEndpoints, 2 * state);
        add(phaseEndpoints, 2 * state);
    }
    if (param.isModeMaxp()) add(maxima, 8 * state);
    if (param.isModeStraj() && param.rkSteps >= 2) {
        add(frequencyTrajectory, steps * state);
        add(phaseTrajectory, steps * state);
    }

    const char* const stems[slotCount] = {
        results::kEnergyTraj, results::kFrequencySamples, results::kPhaseSamples, results::kEnergyReturn,
        results::kFrequency,  results::kPhase,            results::kMeanReturn,   results::kMaxima,
        results::kFreqTraj,   results::kPhasTraj};
    std::vector<EnsembleFiles::FilePlan> plans;
    for (int slot = 0; slot < slotCount; ++slot) {
        if (!written[slot]) continue;
        index[slot] = plans.size();
        plans.push_back({results::path(param.outputFilename, stems[slot]),
                         recordBytes(static_cast<Slot>(slot), param, nodes), stride[slot]});
    }
    ensembleFiles = std::make_unique<EnsembleFiles>(plans, processes);
}

// The record of each file as the run manifest describes it.
long long RasterFiles::recordBytes(Slot slot, const Param& param, int nodes) {
    static const results::Kind kinds[slotCount] = {
        results::Kind::rasterEnergyTrajectory,    results::Kind::rasterFrequencySamples,
        results::Kind::rasterPhaseSamples,        results::Kind::rasterEnergyReturn,
        results::Kind::rasterFrequencyEndpoints,  results::Kind::rasterPhaseEndpoints,
        results::Kind::rasterMeanReturn,          results::Kind::rasterMaxima,
        results::Kind::rasterFrequencyTrajectory, results::Kind::rasterPhaseTrajectory};
    const results::KindInfo& info = results::kindInfo(kinds[slot]);
    results::RecordShape shape;
    shape.nodes = nodes;
    shape.steps = param.rkSteps;
    return results::recordWidth(info, shape) * static_cast<long long>(results::itemSize(info.dtype));
}

// ---- the worker --------------------------------------------------------------------

RasterWorker::RasterWorker(const RasterJob& job, RasterFiles& files, std::atomic<long long>& stepsDone)
    : job(job),
      files(files),
      rk(job.nodes, job.function),
      trajectory(job.nodes),
      initialPhases(job.nodes),
      initialFreqs(job.nodes),
      writers(files.files()),
      counter(stepsDone) {
    const Param& param = *job.param;
    const double h = param.stepWidth;
    const int n = job.nodes;
    using F = RasterFiles;
    if (param.isModeERT()) {
        energy.emplace(*job.energy, param.getEnThresh(), h, sampling(param) ? param.saveRKEvery : 0, n,
                       EnergyReturnObserver::Writers{writer(F::energyTrajectory), writer(F::frequencySamples),
                                                     writer(F::phaseSamples), writer(F::energyReturn),
                                                     writer(F::frequencyEndpoints), writer(F::phaseEndpoints)});
    }
    if (param.isModeRMRT()) {
        meanReturn.emplace(*job.thresholds, job.bands, h, n,
                           MeanReturnObserver::Writers{writer(F::meanReturn), writer(F::frequencyEndpoints),
                                                       writer(F::phaseEndpoints)});
    }
    if (param.isModeMaxp()) maxima.emplace(h, n, writer(F::maxima));
    if (writer(F::frequencyTrajectory) != nullptr) {
        saved.emplace(n, writer(F::frequencyTrajectory), writer(F::phaseTrajectory));
    }
}

RangeWriter* RasterWorker::writer(RasterFiles::Slot slot) {
    const std::optional<std::size_t> index = files.indexOf(slot);
    return index ? &writers[*index] : nullptr;
}

void RasterWorker::integrate(long long ic, NonFiniteLog& nonFinite) {
    const int node = job.nodeOf(ic);
    for (int i = 0; i < job.nodes; ++i) {
        initialFreqs[i] = 0.0;
        initialPhases[i] = job.steadyPhases[i];
    }
    initialPhases[node] = job.steadyPhases[node] + job.phaseOffsetOf(ic);
    initialFreqs[node] = job.frequencyOffsetOf(ic);
    trajectory.start(initialPhases.data(), initialFreqs.data());

    writers.moveTo(ic);
    const InitialCondition condition{ic, node, initialPhases.data(), initialFreqs.data()};
    if (energy) energy->begin(condition);
    if (meanReturn) meanReturn->begin(condition);
    if (maxima) maxima->begin(condition);
    if (saved) saved->begin(condition);

    const double h = job.param->stepWidth;
    const int steps = job.steps();
    trajectory.integrate(rk, *job.kernel, job.variant, h, steps, counter,
                         [this](int step, const double* phases, const double* freqs) {
                             if (energy) energy->afterStep(step, phases, freqs);
                             if (meanReturn) meanReturn->afterStep(step, phases, freqs);
                             if (maxima) maxima->afterStep(step, phases, freqs);
                             if (saved) saved->afterStep(step, phases, freqs);
                             return true;
                         });

    // The energy mode's endpoint block goes first in the shared files.
    if (energy) energy->end(condition, trajectory.th, trajectory.om);
    if (meanReturn) meanReturn->end(condition, trajectory.th, trajectory.om);
    if (maxima) maxima->end(condition, trajectory.th, trajectory.om);
    if (saved) saved->end(condition, trajectory.th, trajectory.om);
    counter.flush();
    if (const std::optional<NonFiniteWindow> broke = trajectory.finish()) nonFinite.note(ic, *broke);
}
