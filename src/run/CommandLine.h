#ifndef TESSALY_COMMANDLINE_H
#define TESSALY_COMMANDLINE_H

#include <optional>
#include <ostream>
#include <string>

#include "run/RunOptions.h"

// What the command line depends on besides the arguments.
struct CommandLineEnvironment {
    // TESSALY_THREADS, or null when not set.
    const char* threadsVariable = nullptr;
    bool stderrIsTerminal = false;
    // The hardware threads the process may run on (its CPU affinity; 0 when
    // unknown).
    unsigned hardwareThreads = 0;

    // The environment of this process.
    static CommandLineEnvironment ofProcess();
};

// The parsed command line: the options of a run, or the exit status when the
// program ends at once (--help and --version: 0; a usage error: 2, with a
// message on `err`).
struct CommandLine {
    RunOptions options;
    std::optional<int> exitStatus;
};

// Parses `tessaly [OPTIONS] [INPUT]`. --help and --version write to `out`,
// usage errors to `err`.
CommandLine parseCommandLine(int argc, const char* const* argv, const CommandLineEnvironment& environment,
                             std::ostream& out, std::ostream& err);

// A thread count as given by `source` (an option or the environment
// variable): a whole number of at least 1 that fits an int, nothing else.
// Throws std::invalid_argument naming `source` otherwise.
int parseThreadCount(const std::string& text, const std::string& source);

#endif
