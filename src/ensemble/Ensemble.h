#ifndef TESSALY_ENSEMBLE_H
#define TESSALY_ENSEMBLE_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "diagnostics/Progress.h"
#include "diagnostics/RunStatus.h"
#include "ensemble/ProcessGroup.h"
#include "ensemble/Trajectory.h"
#include "ensemble/WorkerPool.h"

// The trajectories that went non-finite in an ensemble: how many, and the
// first of them by index with the steps around which it broke. Each worker
// keeps its own; merged they do not depend on which worker integrated what.
class NonFiniteLog {
public:
    void note(long long trajectory, const NonFiniteWindow& window);
    void merge(const NonFiniteLog& other);
    long long count() const { return affected; }
    // The first trajectory by index and its window; none when count() is 0.
    const std::optional<std::pair<long long, NonFiniteWindow>>& first() const { return earliest; }

    // As numbers, to send from one process to another, and back.
    std::vector<double> toValues() const;
    static NonFiniteLog fromValues(const std::vector<double>& values);
    // Every process's log merged at the leader (the others keep their own).
    static NonFiniteLog gathered(const NonFiniteLog& own, const ProcessGroup& processes);

private:
    long long affected = 0;
    std::optional<std::pair<long long, NonFiniteWindow>> earliest;
};

// Tells `status` (none when null) of the trajectories in `log`: the warning
// names the analysis, what its trajectories are (`unit`, plural), how many of
// `total`, and the first as `nameOf(index)` gives it.
void reportNonFinite(RunStatus* status, const NonFiniteLog& log, const std::string& analysis, const std::string& unit,
                     long long total, const std::function<std::string(long long)>& nameOf);

// One analysis' many trajectories (initial conditions, samples, scenarios)
// spread over the threads and processes of a run: the ensemble engine every
// analysis over many trajectories runs on.
//
// Process r of R integrates the trajectories r, r + R, r + 2R, ... (its
// share); within a process, worker threads take them one at a time as they
// come free, each with a worker object it made on its own thread (the
// integrator, the state, the observers and the writers of one trajectory at
// a time), so memory does not grow with the trajectories. The thread that
// runs the ensemble draws the progress line meanwhile. Records a trajectory
// writes go to byte ranges known before the run (see EnsembleFiles), so the
// order in which workers finish changes no result byte.
class Ensemble {
public:
    // The progress line: the text before the common tail, from the units the
    // workers counted (steps or samples, through counters on unitsDone()),
    // the trajectories finished and the trajectory a worker took up last.
    using Describe = std::function<std::string(long long units, long long finished, long long latest)>;
    struct Progress {
        long long units = 0;  // in this process's share; 0 shows no line
        Describe describe;
    };

    Ensemble(const Parallelism& parallelism, long long trajectories);
    Ensemble(const Ensemble&) = delete;
    Ensemble& operator=(const Ensemble&) = delete;

    long long trajectories() const { return total; }
    // This process's share.
    long long share() const { return mine; }
    bool isMine(long long trajectory) const { return trajectory % processes.size() == processes.rank(); }
    // The k-th trajectory of this process's share.
    long long trajectoryOf(long long k) const { return processes.rank() + k * processes.size(); }
    // Worker threads for the share: never more than it has trajectories.
    int workerThreads() const;
    const ProcessGroup& group() const { return processes; }

    // What the workers count for the progress line.
    std::atomic<long long>& unitsDone() { return units; }

    // Integrates every trajectory of this process's share. `makeWorker(w)`
    // runs on worker thread w and returns the worker (a pointer-like owner);
    // `worker->integrate(trajectory, log)` integrates one trajectory and
    // notes in `log` when it went non-finite. Returns the non-finite
    // trajectories of this process. A worker that throws stops the others
    // from taking more; the exception is rethrown here.
    template <class MakeWorker>
    NonFiniteLog run(MakeWorker makeWorker, const Progress& progress);

    // For trajectories that must be prepared one after another on this
    // thread (each from the state the one before left): every process
    // calls `prepare(t)` for every trajectory t in order, which returns what
    // a worker needs to integrate it (null for another process's
    // trajectory). Prepared trajectories of this share go to the workers,
    // `aheadPerThread` per worker at most prepared and not yet retired;
    // `integrate(w, item, log)` runs on worker thread w, and `retire(item)`
    // on this thread, in trajectory order, once integrated.
    template <class Item, class Prepare, class Integrate, class Retire>
    NonFiniteLog runPrepared(Prepare prepare, Integrate integrate, Retire retire, std::size_t aheadPerThread,
                             const Progress& progress);

private:
    static const std::chrono::milliseconds kProgressTick;

    void beginProgress(const Progress& progress);
    std::string describeNow(long long unitCount) const;

    const ProcessGroup& processes;
    int threads;
    long long total;
    long long mine;
    std::atomic<long long> units{0};
    std::atomic<long long> finished{0};
    std::atomic<long long> latest{0};
    ProgressMeter meter;
    Describe describe;
};

// ---- templates -----------------------------------------------------------------------

template <class MakeWorker>
NonFiniteLog Ensemble::run(MakeWorker makeWorker, const Progress& progress) {
    NonFiniteLog merged;
    if (mine == 0) return merged;
    const int count = workerThreads();
    std::vector<NonFiniteLog> logs(static_cast<std::size_t>(count));
    std::atomic<long long> next{0};
    latest.store(trajectoryOf(0));
    beginProgress(progress);
    WorkerPool pool(count);
    for (int w = 0; w < count; ++w) {
        pool.submit([&, w](int) {
            auto worker = makeWorker(w);
            for (long long k; (k = next.fetch_add(1)) < mine;) {
                const long long trajectory = trajectoryOf(k);
                latest.store(trajectory);
                worker->integrate(trajectory, logs[static_cast<std::size_t>(w)]);
                finished.fetch_add(1);
            }
        });
    }
    try {
        while (pool.waitUntilAtMost(0, kProgressTick) > 0) meter.advanceTo(units.load());
    } catch (...) {
        // A worker failed: the others take no further trajectory.
        next.store(mine);
        throw;
    }
    meter.end();
    for (const NonFiniteLog& log : logs) merged.merge(log);
    return merged;
}

template <class Item, class Prepare, class Integrate, class Retire>
NonFiniteLog Ensemble::runPrepared(Prepare prepare, Integrate integrate, Retire retire, std::size_t aheadPerThread,
                                   const Progress& progress) {
    const int count = std::max(1, workerThreads());
    std::vector<NonFiniteLog> logs(static_cast<std::size_t>(count));
    struct Pending {
        std::unique_ptr<Item> item;
        std::atomic<bool> integrated{false};
    };
    std::deque<std::unique_ptr<Pending>> pending;
    beginProgress(progress);
    // Last: its threads end before what they work on goes.
    WorkerPool pool(count);
    auto retireIntegrated = [&] {
        while (!pending.empty() && pending.front()->integrated.load(std::memory_order_acquire)) {
            retire(*pending.front()->item);
            finished.fetch_add(1);
            pending.pop_front();
        }
    };
    // Waits for one more trajectory at a time (or the next look at the
    // progress), until no more than `unretired` are held.
    auto waitUntilAtMost = [&](std::size_t unretired) {
        while (pending.size() > unretired) {
            const std::size_t unfinished = pool.unfinished();
            if (unfinished > 0) pool.waitUntilAtMost(unfinished - 1, kProgressTick);
            meter.advanceTo(units.load());
            retireIntegrated();
        }
    };
    const std::size_t ahead = std::max<std::size_t>(1, aheadPerThread * static_cast<std::size_t>(count));
    for (long long t = 0; t < total; ++t) {
        std::unique_ptr<Item> item = prepare(t);
        if (!isMine(t) || !item) continue;
        auto next = std::make_unique<Pending>();
        next->item = std::move(item);
        Pending* handed = next.get();
        pending.push_back(std::move(next));
        latest.store(t);
        pool.submit([handed, &integrate, &logs](int w) {
            integrate(w, *handed->item, logs[static_cast<std::size_t>(w)]);
            handed->integrated.store(true, std::memory_order_release);
        });
        retireIntegrated();
        waitUntilAtMost(ahead - 1);
    }
    waitUntilAtMost(0);
    meter.end();
    NonFiniteLog merged;
    for (const NonFiniteLog& log : logs) merged.merge(log);
    return merged;
}

#endif
