#ifndef TESSALY_RUNOPTIONS_H
#define TESSALY_RUNOPTIONS_H

#include <optional>
#include <string>
#include <vector>

// How the program was asked to run: what the command line and the
// environment say, checked and resolved to plain values.
struct RunOptions {
    // The input file; none: ask for its name on standard input, as the
    // program always has.
    std::optional<std::string> input;
    // Read and validate the input only: no power flow, no file written.
    bool check = false;
    // Run as if started in this directory (empty: where started).
    std::string directory;
    // Worker threads (at least 1), recorded in the run manifest.
    int threads = 1;
    // Integrate with the fast kernel, as the input key "Mode fast" does.
    bool fast = false;
    // The progress line on standard error.
    bool progress = false;
    // The program's arguments as given, the program name first.
    std::vector<std::string> commandLine;
};

#endif
