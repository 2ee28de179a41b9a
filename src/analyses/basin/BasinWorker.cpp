#include "analyses/basin/BasinWorker.h"

#include "ensemble/Ensemble.h"

// ---- the samples ---------------------------------------------------------------------

namespace {

std::uint32_t streamKey(int node) { return static_cast<std::uint32_t>(node); }

}  // namespace

BasinSampleStream::BasinSampleStream(std::uint32_t seed, int node) : generator(seed) {
    const std::uint32_t key[2] = {seed, streamKey(node)};
    generator.seed(key, 2);
}

// The 53-bit draw of two 32-bit outputs: uniform in [0, 1).
double BasinSampleStream::uniform() {
    const std::uint32_t high = generator.randInt() >> 5;
    const std::uint32_t low = generator.randInt() >> 6;
    return (high * 67108864.0 + low) * (1.0 / 9007199254740992.0);
}

void BasinSampleStream::next(const BasinBox& box, double& phaseOffset, double& freqOffset) {
    phaseOffset = box.phaseMin + (box.phaseMax - box.phaseMin) * uniform();
    freqOffset = box.freqMin + (box.freqMax - box.freqMin) * uniform();
}

// ---- the worker ----------------------------------------------------------------------

BasinWorker::BasinWorker(const BasinJob& job, std::atomic<long long>& stepsDone)
    : job(job),
      rk(static_cast<int>(job.steadyPhases.size()), job.function),
      trajectory(static_cast<int>(job.steadyPhases.size())),
      classifier(job.criteria, job.steadyPhases),
      initialPhases(job.steadyPhases.size()),
      initialFreqs(job.steadyPhases.size()),
      counter(stepsDone) {}

// The steady state with the node's phase and frequency offset by the sample's.
void BasinWorker::integrate(BasinSample& sample, NonFiniteLog& nonFinite) {
    for (std::size_t i = 0; i < initialPhases.size(); ++i) {
        initialPhases[i] = job.steadyPhases[i];
        initialFreqs[i] = 0.0;
    }
    initialPhases[sample.node] = job.steadyPhases[sample.node] + sample.phaseOffset;
    initialFreqs[sample.node] = sample.freqOffset;
    trajectory.start(initialPhases.data(), initialFreqs.data());
    classifier.begin(initialPhases.data());

    const BasinCriteria& criteria = job.criteria;
    sample.steps = trajectory.integrate(rk, *job.kernel, job.variant, criteria.stepWidth, criteria.steps, counter,
                                        [this](int step, const double* phases, const double* freqs) {
                                            return classifier.afterStep(step, phases, freqs);
                                        });
    counter.flush();
    sample.outcome = classifier.outcome();
    sample.broke = trajectory.finish();
    if (sample.broke) nonFinite.note(sample.record, *sample.broke);
}
