#ifndef TESSALY_RUNSTATUS_H
#define TESSALY_RUNSTATUS_H

#include <string>
#include <vector>

#include "diagnostics/Diagnostics.h"

// What decides the exit status of a run that got past reading its input.
// The status names the first thing to mend: results that could not be
// written weigh most (4: a rerun has to write them, whatever else went
// wrong), then a missed steady state (3: every trajectory started from a
// state that is not steady, which often is why some blew up), then
// trajectories that became non-finite (5). The warnings and the manifest
// still tell of all of them.
class RunStatus {
public:
    static constexpr int kComplete = kExitComplete;
    static constexpr int kSteadyStateMissed = kExitSteadyStateMissed;
    static constexpr int kResultsIncomplete = kExitResultsIncomplete;
    static constexpr int kNonFinite = kExitNonFinite;

    // Trajectories of one analysis whose state became NaN or infinite.
    struct NonFinite {
        std::string analysis;   // e.g. "raster"
        std::string unit;       // what a trajectory is, plural: "initial conditions", "runs"
        long long count = 0;
        long long total = 0;
        long long firstIndex = 0;  // the first affected trajectory by index
        std::string first;         // it, as the analysis names it: "node 3, ..."
        long long finiteAt = 0;    // last step it was seen finite
        long long nonFiniteAt = 0; // step it was seen not to be
    };

    // A power flow of the run did not converge: warns once for it, naming
    // `powerFlow` and the remaining total error, followed by `advice` when
    // there is any.
    void steadyStateMissed(const std::string& powerFlow, double remainingError, const std::string& advice = "");
    // `files` files of the run could not be written (each was warned about
    // when it failed): warns once that the results are incomplete.
    void filesUnwritten(std::size_t files);
    // Warns once for the analysis, with the count and the first trajectory.
    void trajectoriesNonFinite(const NonFinite& report);
    const std::vector<NonFinite>& nonFinite() const { return nonFiniteReports; }
    int exitStatus() const;

private:
    bool steadyStateMissing = false;
    bool resultsIncomplete = false;
    std::vector<NonFinite> nonFiniteReports;
};

#endif
