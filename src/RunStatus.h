#ifndef TESSALY_RUNSTATUS_H
#define TESSALY_RUNSTATUS_H

#include <string>

// What decides the exit status of a run that got past reading its input.
class RunStatus {
public:
    static const int kComplete = 0;
    // Completed, but a power flow did not find the steady state.
    static const int kSteadyStateMissed = 3;

    // A power flow of the run did not converge: warns once for it, naming
    // `powerFlow` and the remaining total error, followed by `advice` when
    // there is any.
    void steadyStateMissed(const std::string& powerFlow, double remainingError, const std::string& advice = "");
    int exitStatus() const;

private:
    bool steadyStateMissing = false;
};

#endif
