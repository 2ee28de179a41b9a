#ifndef TESSALY_DIAGNOSTICS_H
#define TESSALY_DIAGNOSTICS_H

#include <stdexcept>
#include <string>
#include <vector>

// What the whole program reports besides its console text: warnings and
// errors on standard error, the exit statuses, the files that could not be
// written, and the progress line that warnings clear before they are printed.
// Depends on nothing else of the program, so every part may report.

// The exit status of a run.
enum ExitStatus : int {
    kExitComplete = 0,
    // The input file cannot be opened.
    kExitUnopenable = 1,
    // Invalid input or usage: nothing of the run was written.
    kExitInvalidInput = 2,
    // Completed, but a power flow did not find the steady state.
    kExitSteadyStateMissed = 3,
    // Completed, but a file of the run could not be written.
    kExitResultsIncomplete = 4,
    // Completed, but some trajectories became non-finite.
    kExitNonFinite = 5,
};

// Invalid input that the run cannot go on with. The entry point prints
// "tessaly: error: <what>" on standard error and exits with status 2.
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Diagnostics {
public:
    // "tessaly: warning: <message>" on standard error. Thread-safe.
    static void warn(const std::string& message);
    // "tessaly: error: <message>" on standard error, where warnings are shown.
    static void error(const std::string& message);
    // Warns "cannot write PATH: REASON" the first time PATH fails in this run,
    // also where other warnings are not shown, and notes the failure in
    // WriteFailures: the run's results are incomplete and the file is
    // written no more. The reason is errno's, or `error`'s. Thread-safe.
    static void warnUnwritable(const std::string& path);
    static void warnUnwritable(const std::string& path, int error);
    // Off: warn() and error() print nothing. The processes of a cluster run
    // other than the first read the same input and solve the same power
    // flows: their messages would repeat the first one's.
    static void showWarnings(bool on);
    static bool warningsShown();
};

// The files this process could not write (result files, the run report, the
// run manifest), each with the system's reason, in the order they failed.
// A file that failed once is written no more for the rest of the run: a
// later record that happened to fit would follow a gap of lost ones. A run
// with any such file ends with exit status 4 (results incomplete).
// Thread-safe.
class WriteFailures {
public:
    struct Failure {
        std::string path;
        int error;  // the errno value of the failed call
    };

    // Notes that `path` could not be written because of `error`; true the
    // first time for the path (the caller warns then).
    static bool record(const std::string& path, int error);
    static bool hasFailed(const std::string& path);
    static std::vector<Failure> all();
    // The reason as the system words it, e.g. "File too large".
    static std::string reason(int error);
};

// The progress line on standard error: one line that rewrites itself
// ("\r" + text + clear to the end of the line). Off, it writes nothing. A
// warning or console text clears the line first, so nothing is written over.
class ProgressLine {
public:
    // Also measures the terminal width once (texts are cut to it).
    static void enable(bool on);
    static bool enabled();
    static void show(const std::string& text);
    // Erases a line that is shown; nothing otherwise.
    static void clear();
};

#endif
