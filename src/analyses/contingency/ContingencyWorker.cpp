#include "analyses/contingency/ContingencyWorker.h"

#include <algorithm>
#include <cmath>

#include "ensemble/Ensemble.h"

namespace {

// The per-node record: final frequency, largest |frequency|, island.
const int kNodeColumns = 3;

// Largest of the values; NaN once any is NaN.
double largest(const std::vector<double>& values) {
    double top = 0;
    for (double v : values) {
        if (!(v <= top)) top = v;
    }
    return top;
}

bool outsideBand(double omega, double band) { return !(std::fabs(omega) <= band); }

}  // namespace

ContingencyWorker::ContingencyWorker(const ContingencyJob& job, EnsembleFiles& files,
                                     std::vector<ContingencyOutcome>& outcomes, std::atomic<long long>& stepsDone)
    : job(job),
      outcomes(outcomes),
      grid(*job.steady),
      function(job.param, &grid),
      rk(grid.getNumNodes(), &function),
      trajectory(grid.getNumNodes()),
      writers(files),
      counter(stepsDone),
      peakFrequency(static_cast<std::size_t>(grid.getNumNodes())),
      nodeRecord(static_cast<std::size_t>(grid.getNumNodes()) * kNodeColumns) {
    function.setKernelVariant(job.variant);
    // At most every record trips once: the list never grows during a step.
    std::size_t records = 0;
    for (int i = 0; i < grid.getNumNodes(); ++i) records += grid.linesOf(i).size();
    trips.reserve(records);
}

void ContingencyWorker::integrate(long long contingency, NonFiniteLog& nonFinite) {
    const Outage outage = (*job.outages)[static_cast<std::size_t>(contingency)];
    // Nothing carries over from the contingency before: lines, and with
    // "Line losses in diag" the nodes' diagonal powers, as at the steady state.
    grid = *job.steady;
    trips.clear();
    std::fill(peakFrequency.begin(), peakFrequency.end(), 0.0);
    lastStepOutsideBand = -1;
    trajectory.start(job.steadyPhases);

    double maxLoadRatio = 0;
    const double h = job.stepWidth;
    if (job.outageStep == 0) grid.switchOffLine(outage.from, outage.to);
    for (int s = 1; s <= job.steps; ++s) {
        trajectory.stepFrom(rk, h, counter);
        trajectory.swap();
        // The outage, then the trip rule on the same state: only what the
        // state already overloads trips with it.
        if (s == job.outageStep) grid.switchOffLine(outage.from, outage.to);
        const PowerGrid::LoadPeak peak = grid.tripOverloadedLines(trajectory.th, s * h, trips);
        if (peak.ratio > maxLoadRatio) maxLoadRatio = peak.ratio;
        observeFrequencies(s, trajectory.om);
    }

    ContingencyOutcome& outcome = outcomes[static_cast<std::size_t>(contingency)];
    outcome = ContingencyOutcome{};
    outcome.outage = outage;
    outcome.maxLoadRatio = maxLoadRatio;
    finishOutcome(outcome);
    writers.moveTo(contingency);
    writers[0].append(nodeRecord.data(), nodeRecord.size());
    counter.flush();
    if (const std::optional<NonFiniteWindow> broke = trajectory.finish()) nonFinite.note(contingency, *broke);
}

void ContingencyWorker::observeFrequencies(int step, const double* omega) {
    bool outside = false;
    for (std::size_t i = 0; i < peakFrequency.size(); ++i) {
        const double size = std::fabs(omega[i]);
        if (!(size <= peakFrequency[i])) peakFrequency[i] = size;
        outside = outside || outsideBand(omega[i], job.band);
    }
    if (outside) lastStepOutsideBand = step;
}

void ContingencyWorker::finishOutcome(ContingencyOutcome& outcome) {
    outcome.trips = trips;
    outcome.islands = grid.islands(islandOf);
    const std::size_t n = peakFrequency.size();
    for (std::size_t i = 0; i < n; ++i) {
        const double omega = trajectory.om[i];
        if (outsideBand(omega, job.band)) ++outcome.desynchronised;
        nodeRecord[kNodeColumns * i] = omega;
        nodeRecord[kNodeColumns * i + 1] = peakFrequency[i];
        nodeRecord[kNodeColumns * i + 2] = islandOf[i];
    }
    outcome.maxFrequency = largest(peakFrequency);
    // Inside the band at every state of the last settleSteps steps and at the end.
    outcome.returned = lastStepOutsideBand < job.steps - job.settleSteps;
    outcome.done = true;
}
