#include "RunStatus.h"

#include "CodeUtils.h"

void RunStatus::steadyStateMissed(const std::string& powerFlow, double remainingError, const std::string& advice) {
    steadyStateMissing = true;
    CodeUtils::warn(powerFlow + " did not converge (remaining total error " + CodeUtils::d2Str(remainingError) +
                    "): what is computed from it starts from a state that is not steady; the run ends with "
                    "exit status 3" + (advice.empty() ? std::string() : "; " + advice));
}

int RunStatus::exitStatus() const { return steadyStateMissing ? kSteadyStateMissed : kComplete; }
