#include "ensemble/Ensemble.h"

#include <stdexcept>

// ---- non-finite trajectories -----------------------------------------------------------

void NonFiniteLog::note(long long trajectory, const NonFiniteWindow& window) {
    ++affected;
    if (!earliest || trajectory < earliest->first) earliest = std::make_pair(trajectory, window);
}

void NonFiniteLog::merge(const NonFiniteLog& other) {
    affected += other.affected;
    if (other.earliest && (!earliest || other.earliest->first < earliest->first)) earliest = other.earliest;
}

// count, then (only when it is not 0) trajectory, finite step, non-finite step.
std::vector<double> NonFiniteLog::toValues() const {
    std::vector<double> values{static_cast<double>(affected)};
    if (earliest) {
        values.insert(values.end(), {static_cast<double>(earliest->first), static_cast<double>(earliest->second.finiteAt),
                                     static_cast<double>(earliest->second.nonFiniteAt)});
    }
    return values;
}

NonFiniteLog NonFiniteLog::fromValues(const std::vector<double>& values) {
    NonFiniteLog log;
    if (values.empty()) return log;
    log.affected = static_cast<long long>(values[0]);
    if (log.affected > 0) {
        if (values.size() < 4) throw std::runtime_error("the non-finite trajectories of a process came incomplete");
        log.earliest = std::make_pair(static_cast<long long>(values[1]),
                                      NonFiniteWindow{static_cast<long long>(values[2]), static_cast<long long>(values[3])});
    }
    return log;
}

NonFiniteLog NonFiniteLog::gathered(const NonFiniteLog& own, const ProcessGroup& processes) {
    if (processes.size() == 1) return own;
    const std::vector<std::vector<double>> all = processes.gather(own.toValues());
    NonFiniteLog merged = own;
    for (std::size_t rank = 1; rank < all.size(); ++rank) merged.merge(fromValues(all[rank]));
    return merged;
}

void reportNonFinite(RunStatus* status, const NonFiniteLog& log, const std::string& analysis, const std::string& unit,
                     long long total, const std::function<std::string(long long)>& nameOf) {
    if (status == nullptr || !log.first()) return;
    const auto& [index, window] = *log.first();
    RunStatus::NonFinite report;
    report.analysis = analysis;
    report.unit = unit;
    report.count = log.count();
    report.total = total;
    report.firstIndex = index;
    report.first = nameOf(index);
    report.finiteAt = window.finiteAt;
    report.nonFiniteAt = window.nonFiniteAt;
    status->trajectoriesNonFinite(report);
}

// ---- the engine ---------------------------------------------------------------------------

const std::chrono::milliseconds Ensemble::kProgressTick{50};

Ensemble::Ensemble(const Parallelism& parallelism, long long trajectories)
    : processes(*parallelism.processes),
      threads(std::max(parallelism.threads, 1)),
      total(std::max(trajectories, 0LL)),
      mine(total > processes.rank() ? (total - processes.rank() - 1) / processes.size() + 1 : 0) {}

int Ensemble::workerThreads() const { return static_cast<int>(std::min<long long>(threads, mine)); }

void Ensemble::beginProgress(const Progress& progress) {
    if (progress.units <= 0 || !progress.describe) return;
    describe = progress.describe;
    meter.begin(
        progress.units, [this](long long done, long long) { return describeNow(done); }, ProgressMeter::kAnalysis);
}

std::string Ensemble::describeNow(long long unitCount) const {
    return describe(unitCount, finished.load(), latest.load());
}
