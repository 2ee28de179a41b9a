#include "analyses/raster/RasterWorker.h"

#include <algorithm>
#include <utility>

#include "input/Param.h"
#include "ensemble/ProcessGroup.h"
#include "output/ResultCatalogue.h"
#include "output/ResultPaths.h"

namespace {

// A writer's buffer: enough to stream a long trajectory in few system calls
// (a pwrite and, where the file grows, an ftruncate per buffer), no more
// than one initial condition's bytes.
const long long kWriterBuffer = 256 * 1024;

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
    // The leader makes and measures the files; the others open them once
    // they know where the records start.
    const bool shared = processes.size() > 1;
    std::vector<long long> starts;
    for (int slot = 0; slot < slotCount; ++slot) {
        if (!written[slot] || !processes.isLeader()) continue;
        const PositionedFile::Layout layout{recordBytes(static_cast<Slot>(slot), param, nodes), {}, shared};
        files[slot].reset(new File{PositionedFile(results::path(param.outputFilename, stems[slot]), true, layout), 0,
                                   stride[slot]});
        files[slot]->start = files[slot]->file.sizeAtOpen();
    }
    for (int slot = 0; slot < slotCount; ++slot) {
        if (written[slot]) starts.push_back(files[slot] ? files[slot]->start : 0);
    }
    processes.broadcast(starts);
    std::size_t next = 0;
    for (int slot = 0; slot < slotCount; ++slot) {
        if (!written[slot]) continue;
        const long long start = starts[next++];
        if (!files[slot]) {
            const PositionedFile::Layout layout{recordBytes(static_cast<Slot>(slot), param, nodes), start, shared};
            files[slot].reset(new File{
                PositionedFile(results::path(param.outputFilename, stems[slot]), false, layout), start, stride[slot]});
        }
    }
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
      initialPhases(job.nodes),
      initialFreqs(job.nodes),
      phases(job.nodes),
      freqs(job.nodes),
      nextPhases(job.nodes),
      nextFreqs(job.nodes),
      counter(stepsDone) {
    for (int slot = 0; slot < RasterFiles::slotCount; ++slot) {
        RasterFiles::File* file = files[static_cast<RasterFiles::Slot>(slot)];
        if (file != nullptr) writers[slot].emplace(file->file, static_cast<std::size_t>(std::clamp(
                                                                    file->stride, 1LL, kWriterBuffer)));
    }
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
        trajectory.emplace(n, writer(F::frequencyTrajectory), writer(F::phaseTrajectory));
    }
}

void RasterWorker::integrate(long long ic) {
    const std::size_t phaseCount = job.phaseOffsets.size();
    const double phaseOffset = job.phaseOffsets[ic % phaseCount];
    const double freqOffset = job.frequencyOffsets[ic / phaseCount % job.frequencyOffsets.size()];
    const int node = job.nodeOf(ic);
    for (int i = 0; i < job.nodes; ++i) {
        initialFreqs[i] = 0.0;
        initialPhases[i] = job.steadyPhases[i];
    }
    initialPhases[node] = job.steadyPhases[node] + phaseOffset;
    initialFreqs[node] = freqOffset;
    phases = initialPhases;
    freqs = initialFreqs;

    for (int slot = 0; slot < RasterFiles::slotCount; ++slot) {
        if (!writers[slot]) continue;
        const RasterFiles::File& file = *files[static_cast<RasterFiles::Slot>(slot)];
        writers[slot]->moveTo(file.start + ic * file.stride);
    }
    const InitialCondition condition{ic, node, initialPhases.data(), initialFreqs.data()};
    if (energy) energy->begin(condition);
    if (meanReturn) meanReturn->begin(condition);
    if (maxima) maxima->begin(condition);
    if (trajectory) trajectory->begin(condition);

    const double h = job.param->stepWidth;
    const int steps = job.steps();
    for (int step = 1; step <= steps; ++step) {
        rk.rk4(*job.kernel, job.variant, h, freqs.data(), phases.data(), nextFreqs.data(), nextPhases.data());
        std::swap(freqs, nextFreqs);
        std::swap(phases, nextPhases);
        if (energy) energy->afterStep(step, phases.data(), freqs.data());
        if (meanReturn) meanReturn->afterStep(step, phases.data(), freqs.data());
        if (maxima) maxima->afterStep(step, phases.data(), freqs.data());
        if (trajectory) trajectory->afterStep(step, phases.data(), freqs.data());
        counter.advance();
    }

    // The energy mode's endpoint block goes first in the shared files.
    if (energy) energy->end(condition, phases.data(), freqs.data());
    if (meanReturn) meanReturn->end(condition, phases.data(), freqs.data());
    if (maxima) maxima->end(condition, phases.data(), freqs.data());
    if (trajectory) trajectory->end(condition, phases.data(), freqs.data());
    counter.flush();
}
