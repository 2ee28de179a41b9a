#ifndef TESSALY_BASINWORKER_H
#define TESSALY_BASINWORKER_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "analyses/basin/BasinClassifier.h"
#include "diagnostics/Progress.h"
#include "dynamics/RungeKutta.h"
#include "dynamics/SwingKernel.h"
#include "ensemble/Trajectory.h"
#include "util/MTRand.h"

class Function;
class NonFiniteLog;

// The box the perturbations are drawn from, around the steady state of the
// perturbed node.
struct BasinBox {
    double phaseMin;
    double phaseMax;
    double freqMin;
    double freqMax;
};

// The perturbations of one node: an MT19937 stream seeded with the run's seed
// and the node index (init_by_array), each sample taking its phase offset and
// then its frequency offset, each from two draws (53 bits, uniform in
// [min, max)). Sample k of a node is the same whatever else the run does.
class BasinSampleStream {
public:
    BasinSampleStream(std::uint32_t seed, int node);
    // The next sample's phase and frequency offset.
    void next(const BasinBox& box, double& phaseOffset, double& freqOffset);

private:
    double uniform();
    MTRand generator;
};

// What every worker of a basin run reads and none changes while they run.
struct BasinJob {
    Function* function = nullptr;
    const SwingKernel* kernel = nullptr;  // the grid's, built before the workers start
    KernelVariant variant = KernelVariant::exact;
    std::vector<double> steadyPhases;
    BasinCriteria criteria;
};

// One sample on its way through the ensemble: where it comes from, and
// (filled in by the worker) what became of it.
struct BasinSample {
    long long record = 0;  // its place in the sample file of this run
    std::size_t part = 0;  // of its round: which node's batch
    int node = 0;
    long long index = 0;   // the node's sample number
    double phaseOffset = 0;
    double freqOffset = 0;

    BasinClassifier::Outcome outcome;
    long long steps = 0;  // integrated
    std::optional<NonFiniteWindow> broke;
};

// One worker thread's integrator, trajectory and classifier. Integrates
// samples one after another; memory does not grow with steps or samples.
class BasinWorker {
public:
    BasinWorker(const BasinJob& job, std::atomic<long long>& stepsDone);

    void integrate(BasinSample& sample, NonFiniteLog& nonFinite);

private:
    const BasinJob& job;
    RungeKutta rk;
    Trajectory trajectory;
    BasinClassifier classifier;
    std::vector<double> initialPhases, initialFreqs;
    StepCounter counter;
};

#endif
