#include "run/RunStatus.h"

#include "util/CodeUtils.h"
#include "diagnostics/Diagnostics.h"

void RunStatus::steadyStateMissed(const std::string& powerFlow, double remainingError, const std::string& advice) {
    steadyStateMissing = true;
    Diagnostics::warn(powerFlow + " did not converge (remaining total error " + CodeUtils::d2Str(remainingError) +
                    "): what is computed from it starts from a state that is not steady; the run ends with "
                    "exit status 3 (4 when results are also incomplete)" + (advice.empty() ? std::string() : "; " + advice));
}

void RunStatus::filesUnwritten(std::size_t files) {
    if (files == 0 || resultsIncomplete) return;
    resultsIncomplete = true;
    Diagnostics::warn("the results are incomplete: " + std::to_string(files) +
                    (files == 1 ? " file" : " files") +
                    " of the run could not be written (see above); the run ends with exit status 4");
}

int RunStatus::exitStatus() const {
    if (resultsIncomplete) return kResultsIncomplete;
    return steadyStateMissing ? kSteadyStateMissed : kComplete;
}
