#include "diagnostics/RunStatus.h"

#include "util/CodeUtils.h"

void RunStatus::steadyStateMissed(const std::string& powerFlow, double remainingError, const std::string& advice) {
    steadyStateMissing = true;
    Diagnostics::warn(powerFlow + " did not converge (remaining total error " + CodeUtils::d2Str(remainingError) +
                      "): what is computed from it starts from a state that is not steady; the run ends with "
                      "exit status 3 (4 when results are also incomplete)" +
                      (advice.empty() ? std::string() : "; " + advice));
}

void RunStatus::filesUnwritten(std::size_t files) {
    if (files == 0 || resultsIncomplete) return;
    resultsIncomplete = true;
    Diagnostics::warn("the results are incomplete: " + std::to_string(files) + (files == 1 ? " file" : " files") +
                      " of the run could not be written (see above); the run ends with exit status 4");
}

void RunStatus::trajectoriesNonFinite(const NonFinite& report) {
    if (report.count <= 0) return;
    nonFiniteReports.push_back(report);
    Diagnostics::warn("the " + report.analysis + ": " + std::to_string(report.count) + " of " +
                      std::to_string(report.total) + " " + report.unit +
                      " became non-finite (NaN or infinite states; their records are written as computed); the "
                      "first: " + report.first + ", between steps " + std::to_string(report.finiteAt) + " and " +
                      std::to_string(report.nonFiniteAt) +
                      "; a step width too large for the grid's fastest time scale is the usual cause (\"RK "
                      "stepwidth\"); the run ends with exit status 5 (3 or 4 when a power flow also missed or "
                      "results are incomplete)");
}

int RunStatus::exitStatus() const {
    if (resultsIncomplete) return kResultsIncomplete;
    if (steadyStateMissing) return kSteadyStateMissed;
    return nonFiniteReports.empty() ? kComplete : kNonFinite;
}
