// The basin analysis' run: rounds of samples on the ensemble engine, the
// counts gathered from every process, the files and the warnings.
#include <algorithm>
#include <memory>

#include "analyses/basin/BasinStability.h"
#include "diagnostics/Diagnostics.h"
#include "diagnostics/RunStatus.h"
#include "dynamics/Function.h"
#include "ensemble/Ensemble.h"
#include "ensemble/EnsembleFiles.h"
#include "input/Param.h"
#include "output/ResultCatalogue.h"
#include "output/ResultDirectories.h"
#include "output/ResultFile.h"
#include "output/ResultPaths.h"
#include "util/CodeUtils.h"

namespace {

// A sample's record: node, sample, phase offset, frequency offset, class,
// decision time; a node's: node, samples, the four counts, stability, error.
constexpr int kSampleValues = 6;
constexpr int kNodeValues = 8;

// Samples prepared ahead of the workers, per worker: enough that a long
// sample at the front does not leave the others idle.
constexpr std::size_t kSamplesAheadPerThread = 64;

long long recordBytes(results::Kind kind) {
    const results::KindInfo& info = results::kindInfo(kind);
    return results::recordWidth(info, {}) * static_cast<long long>(results::itemSize(info.dtype));
}

}  // namespace

// The next round: every node that has not reached its sample count (nor,
// with a target, its standard error) gets its next batch; without a target
// the first round is all of them.
std::vector<BasinStability::RoundPart> BasinStability::nextRound() const {
    std::vector<RoundPart> parts;
    long long start = 0;
    for (std::size_t p = 0; p < tallies.size(); ++p) {
        const NodeResult& r = tallies[p];
        if (r.samples >= samples) continue;
        if (errorTarget && r.samples > 0 && r.standardError() <= *errorTarget) continue;
        const long long count = std::min<long long>(errorTarget ? kBatchSamples : samples, samples - r.samples);
        parts.push_back(RoundPart{p, r.samples, count, start});
        start += count;
    }
    return parts;
}

// Every process's counts of the round (per part the four classes, then the
// integrated steps and the early decisions that differed) summed and known
// to every process, which then choose the same next round.
void BasinStability::gatherRound(const ProcessGroup& processes, const std::vector<RoundPart>& parts,
                                 std::vector<double>& own) {
    std::vector<long long> sums(own.size(), 0);
    const std::vector<std::vector<double>> all = processes.gather(own);
    for (const std::vector<double>& values : all) {
        for (std::size_t k = 0; k < sums.size() && k < values.size(); ++k) sums[k] += static_cast<long long>(values[k]);
    }
    processes.broadcast(sums);
    for (std::size_t q = 0; q < parts.size(); ++q) {
        NodeResult& r = tallies[parts[q].position];
        r.samples += parts[q].count;
        for (int c = 0; c < kBasinClasses; ++c) r.counts[c] += sums[q * kBasinClasses + c];
    }
    integratedSteps += sums[sums.size() - 2];
    differing += sums[sums.size() - 1];
}

void BasinStability::run(Param& param, Function& function, const Parallelism& parallelism) {
    const ProcessGroup& processes = *parallelism.processes;
    // A seed from the clock may differ between the processes: the leader's counts.
    std::vector<long long> seedValue{static_cast<long long>(param.randSeedStart)};
    processes.broadcast(seedValue);
    runSeed = static_cast<std::uint32_t>(seedValue[0]);
    if (processes.isLeader()) ResultDirectories::makeDirectory(param.getOfile("path") + "basin");

    BasinJob job;
    job.function = &function;
    job.kernel = &function.kernel();
    job.variant = function.kernelVariant();
    job.steadyPhases = grid->getVoltAngSS();
    job.criteria = rules;

    NonFiniteLog nonFinite;
    {
        const long long sampleBytes = recordBytes(results::Kind::basinSamples);
        EnsembleFiles files({{results::path(param.outputFilename, results::kBasinSamples), sampleBytes, sampleBytes}},
                            processes);
        nonFinite = runRounds(job, files[0], parallelism);
    }
    // The sample file is complete when every process has closed its share.
    processes.barrier();
    ran = true;
    reportNonFinite(NonFiniteLog::gathered(nonFinite, processes));
    if (!processes.isLeader()) return;
    writeStability(param);
    warnAboutTheResults();
}

// Each round on the ensemble: the samples are drawn in record order on this
// thread (every process draws all of them, so each node's stream advances
// alike everywhere), integrated by the workers, and retired in record order
// here, where their records are written: in a run of one process they are
// consecutive, so the writer's buffer takes many of them per write.
NonFiniteLog BasinStability::runRounds(const BasinJob& job, EnsembleFiles::File& sampleFile,
                                       const Parallelism& parallelism) {
    NonFiniteLog nonFinite;
    RangeWriter writer(sampleFile.file, EnsembleWriters::kBuffer);
    std::vector<std::unique_ptr<BasinSampleStream>> streams(nodeList.size());
    std::vector<std::unique_ptr<BasinWorker>> workers(static_cast<std::size_t>(std::max(parallelism.threads, 1)));
    std::atomic<long long> steps{0};
    long long base = 0;
    for (std::vector<RoundPart> parts = nextRound(); !parts.empty(); parts = nextRound()) {
        rounds.push_back(Round{base, parts});
        const long long total = parts.back().start + parts.back().count;
        Ensemble ensemble(parallelism, total);
        std::vector<double> own(parts.size() * kBasinClasses + 2, 0.0);
        std::size_t part = 0;
        auto prepare = [&](long long t) -> std::unique_ptr<BasinSample> {
            while (t >= parts[part].start + parts[part].count) ++part;
            const RoundPart& p = parts[part];
            std::unique_ptr<BasinSampleStream>& stream = streams[p.position];
            if (!stream) stream = std::make_unique<BasinSampleStream>(runSeed, nodeList[p.position]);
            auto sample = std::make_unique<BasinSample>();
            stream->next(offsets, sample->phaseOffset, sample->freqOffset);
            sample->index = p.first + (t - p.start);
            // A node at its last sample needs its stream no more.
            if (sample->index + 1 == samples) stream.reset();
            if (!ensemble.isMine(t)) return nullptr;
            sample->record = base + t;
            sample->part = part;
            sample->node = nodeList[p.position];
            return sample;
        };
        auto integrate = [&](int w, BasinSample& sample, NonFiniteLog& log) {
            std::unique_ptr<BasinWorker>& worker = workers[static_cast<std::size_t>(w)];
            if (!worker) worker = std::make_unique<BasinWorker>(job, steps);
            worker->integrate(sample, log);
            ensemble.unitsDone().fetch_add(1, std::memory_order_relaxed);
        };
        auto retire = [&](BasinSample& sample) {
            const BasinClassifier::Outcome& outcome = sample.outcome;
            const double record[kSampleValues] = {static_cast<double>(sample.node), static_cast<double>(sample.index),
                                                  sample.phaseOffset, sample.freqOffset,
                                                  static_cast<double>(static_cast<int>(outcome.basinClass)),
                                                  outcome.decisionStep * rules.stepWidth};
            writer.moveTo(sampleFile.start + sample.record * sampleFile.stride);
            writer.append(record, kSampleValues);
            own[sample.part * kBasinClasses + static_cast<int>(outcome.basinClass)] += 1;
            own[own.size() - 2] += static_cast<double>(sample.steps);
            if (outcome.earlyDiffered) own[own.size() - 1] += 1;
        };
        Ensemble::Progress progress;
        const long long share = ensemble.share();
        progress.units = share;
        const std::string round = rounds.size() > 1 || errorTarget ? "batch " + std::to_string(rounds.size()) + ", "
                                                                  : std::string();
        progress.describe = [&, share, round](long long done, long long, long long latest) {
            std::size_t q = 0;
            while (q + 1 < parts.size() && latest >= parts[q + 1].start) ++q;
            return "basin: " + round + std::to_string(std::min(done, share)) + "/" + std::to_string(share) +
                   " samples (node " + std::to_string(nodeList[parts[q].position]) + ")";
        };
        nonFinite.merge(ensemble.runPrepared<BasinSample>(prepare, integrate, retire, kSamplesAheadPerThread,
                                                          progress));
        writer.flush();
        gatherRound(ensemble.group(), parts, own);
        base += total;
        // A node that reached its target before its sample count frees its stream.
        for (const RoundPart& p : parts) {
            if (tallies[p.position].samples < samples && errorTarget &&
                tallies[p.position].standardError() <= *errorTarget) {
                streams[p.position].reset();
            }
        }
    }
    return nonFinite;
}

void BasinStability::writeStability(const Param& param) const {
    ResultFile file(results::path(param.outputFilename, results::kBasinStability),
                    static_cast<std::size_t>(recordBytes(results::Kind::basinStability)));
    for (const NodeResult& r : tallies) {
        const double record[kNodeValues] = {static_cast<double>(r.node),       static_cast<double>(r.samples),
                                            static_cast<double>(r.counts[0]), static_cast<double>(r.counts[1]),
                                            static_cast<double>(r.counts[2]), static_cast<double>(r.counts[3]),
                                            r.stability(),                     r.standardError()};
        file.write(record, kNodeValues);
    }
}

// ---- warnings -------------------------------------------------------------------------------

void BasinStability::warnAboutTheResults() const {
    const long long all = samplesRun();
    long long undecided = 0;
    for (const NodeResult& r : tallies) undecided += r.counts[static_cast<int>(BasinClass::undecided)];
    if (undecided > 0) {
        Diagnostics::warn("the basin analysis: " + std::to_string(undecided) + " of " + std::to_string(all) +
                          " samples are undecided (still moving at the end, t = " +
                          CodeUtils::d2Str(rules.steps * rules.stepWidth) +
                          ", or blown up): they count as not returned in the basin stability; integrate longer "
                          "(\"RK steps\") or check \"Basin band\" and \"Basin settle time\"");
    }
    if (differing > 0) {
        Diagnostics::warn("the basin analysis: an early decision would have given " + std::to_string(differing) +
                          " of " + std::to_string(all) +
                          " samples another class than the end (\"Basin full length\" is on: the classes written "
                          "are those at the end); on this grid keep \"Basin full length\" on");
    }
    if (!errorTarget) return;
    long long missed = 0;
    const NodeResult* worst = nullptr;
    for (const NodeResult& r : tallies) {
        if (r.standardError() <= *errorTarget) continue;
        ++missed;
        if (!worst || r.standardError() > worst->standardError()) worst = &r;
    }
    if (worst) {
        Diagnostics::warn("the basin analysis: " + countOf(static_cast<std::size_t>(missed), "node", "nodes") +
                          " did not reach \"Basin standard error\" " + CodeUtils::d2Str(*errorTarget) + " within " +
                          std::to_string(samples) + " \"Basin samples\" (the largest: " +
                          CodeUtils::d2Str(worst->standardError()) + " at node " + std::to_string(worst->node) +
                          "); raise \"Basin samples\"");
    }
}

void BasinStability::reportNonFinite(const NonFiniteLog& log) const {
    ::reportNonFinite(status, log, "basin analysis", "samples", samplesRun(),
                      [this](long long record) { return describeRecord(record); });
}

// The node, sample and offsets of a record of the sample file, drawn again.
std::string BasinStability::describeRecord(long long record) const {
    for (const Round& round : rounds) {
        for (const RoundPart& p : round.parts) {
            if (record < round.base + p.start || record >= round.base + p.start + p.count) continue;
            const long long index = p.first + (record - round.base - p.start);
            BasinSampleStream stream(runSeed, nodeList[p.position]);
            double phase = 0;
            double freq = 0;
            for (long long k = 0; k <= index; ++k) stream.next(offsets, phase, freq);
            return "node " + std::to_string(nodeList[p.position]) + ", sample " + std::to_string(index) +
                   " (phase offset " + CodeUtils::d2Str(phase) + ", frequency offset " + CodeUtils::d2Str(freq) +
                   "; record " + std::to_string(record) + ")";
        }
    }
    return "record " + std::to_string(record);
}
