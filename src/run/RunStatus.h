#ifndef TESSALY_RUNSTATUS_H
#define TESSALY_RUNSTATUS_H

#include <string>

// What decides the exit status of a run that got past reading its input.
// Results that could not be written weigh more than a missed steady state:
// status 4 says results are missing, whatever else went wrong, and the
// manifest and the warnings still tell of the power flow.
class RunStatus {
public:
    static const int kComplete = 0;
    // Completed, but a power flow did not find the steady state.
    static const int kSteadyStateMissed = 3;
    // Completed, but a file of the run could not be written.
    static const int kResultsIncomplete = 4;

    // A power flow of the run did not converge: warns once for it, naming
    // `powerFlow` and the remaining total error, followed by `advice` when
    // there is any.
    void steadyStateMissed(const std::string& powerFlow, double remainingError, const std::string& advice = "");
    // `files` files of the run could not be written (each was warned about
    // when it failed): warns once that the results are incomplete.
    void filesUnwritten(std::size_t files);
    int exitStatus() const;

private:
    bool steadyStateMissing = false;
    bool resultsIncomplete = false;
};

#endif
