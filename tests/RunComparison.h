#ifndef TESSALY_TESTS_RUNCOMPARISON_H
#define TESSALY_TESTS_RUNCOMPARISON_H

// Inputs that switch on every raster or every stochastic mode, and the
// comparison of two runs of the program: exit status, console text, the
// program's warnings and every file they wrote.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>

#include "TestSupport.h"

namespace testsupport {

// Five nodes on a ring with a chord; 4 nodes x 3 frequency x 2 phase kicks,
// every raster mode with the energy mode's sampling, 120 steps.
const std::string kEveryRasterMode =
    "Random seed\n11\nRK steps\n120\nRK stepwidth\n0.02\nSave RK every\n7\nEnergy thresh\n0.05\n"
    "Output filename\nall\nMode raster rt\nMode ERT\nMode RMRT\nMode maxp\nMode save traj\n"
    "Number of nodes\n5\nPower mech\n1.5 -1 1 -1 -0.5\nDamping\n0.4\nInertia\n1\n"
    "Coupling mag\n0 6 0 6 6\n6 0 6 0 0\n0 6 0 6 0\n6 0 6 0 6\n6 0 0 6 0\n"
    "First pert node\n0\nLast pert node\n4\nFreq pert minimum\n-0.3\nFreq pert maximum\n0.4\nFreq pert step\n0.3\n"
    "Phase pert minimum\n0\nPhase pert maximum\n0.5\nPhase pert step\n0.4\n"
    "RT threshold low\n0.01\nRT threshold high\n0.05\nNum of thresh\n3\n";

// The five-node grid of the wind example, three turbine configurations, two
// wind parts, every stochastic analysis and both series modes (the
// interpolation draws from seeds that advance with every call); `extra` adds
// keys.
inline std::string everyStochasticMode(const std::string& extra) {
    return "Random seed\n42\nOutput filename\nw\nRK steps\n200\nRK stepwidth\n0.01\n"
           "Mode stepfunc\nMode sif\nMode stoch casc\nMode stoch lf\nMode surv all\nMode surv\nMode save traj\n" +
           extra +
           "Number of nodes\n5\nPower mech\n2 1 -1 -1 -1\nDamping\n0.5\nInertia\n1\nVoltage mag\n1\n"
           "Node type\n0 0 1 1 1\n"
           "Coupling mag\n0 6 6 0 6\n6 0 6 0 0\n6 6 0 6 0\n0 0 6 0 6\n6 0 0 6 0\n"
           "Admittance mag\n0 6 6 0 6\n6 0 6 0 0\n6 6 0 6 0\n0 0 6 0 6\n6 0 0 6 0\n"
           "Line capacity\n0 3 3 0 1.5\n3 0 3 0 0\n3 3 0 5 0\n0 0 5 0 5\n1.5 0 0 5 0\nReference node\n0\n"
           "Turbine nodes\n1\n0 1\n4\nSurvive init steps\n20\nSurvive interval\n50\nFreq time lags\n0.5 1\n"
           "Freq hist bin num\n40\nWrite stoch\n1\nStoch filename\nseries\nWind mult\n"
           "Wind series\n8 9.5 12 7 15 9 8.5\n9 11 8 16 10 7 9\n";
}

// Every file a run left in `dir` (paths relative to it) with its bytes, the
// inputs and the manifest aside; the report's timing line masked.
inline std::map<std::string, std::string> resultsIn(const std::string& dir,
                                                    const std::vector<std::string>& inputs = {"input.txt"}) {
    std::map<std::string, std::string> files;
    for (const std::string& path : filesUnder(dir)) {
        if (std::find(inputs.begin(), inputs.end(), path) != inputs.end() || isRunManifest(path)) continue;
        const std::string bytes = readText(dir + "/" + path);
        files[path] = path.rfind("Param", 0) == 0 ? maskReportTime(bytes) : bytes;
    }
    return files;
}

struct Outcome {
    RunResult run;
    std::map<std::string, std::string> files;
    std::string manifest;  // the text of the run's manifest
};

// Runs `command` (the program with its options, or a launcher and the
// program; "input.txt" is added) on `input` in a fresh directory; `prepare`
// as for runCommand.
inline Outcome runIn(const std::string& input, std::vector<std::string> command,
                     const std::vector<std::string>& environment = {}, const std::function<void()>& prepare = {}) {
    ScratchDir dir;
    writeText(dir.file("input.txt"), input);
    command.push_back("input.txt");
    Outcome outcome{runCommand(dir.path(), command, "", environment, prepare), resultsIn(dir.path()), ""};
    for (const std::string& path : filesUnder(dir.path())) {
        if (isRunManifest(path)) outcome.manifest = readText(dir.file(path));
    }
    return outcome;
}

// Runs `input` in a fresh directory with `threads` worker threads.
inline Outcome runWithThreads(const std::string& input, int threads) {
    return runIn(input, {TESSALY_BIN, "-j", std::to_string(threads)});
}

// The program's own lines of standard error (a launcher may add its own).
inline std::string programLines(const std::string& err) {
    std::istringstream in(err);
    std::string lines;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("tessaly: ", 0) == 0) lines += line + "\n";
    }
    return lines;
}

// The same status, console text, warnings and files, byte for byte.
inline void expectSameRun(const Outcome& run, const Outcome& reference, const std::string& label) {
    EXPECT_EQ(run.run.status, reference.run.status) << label << ": " << run.run.err;
    EXPECT_EQ(maskTimes(run.run.out), maskTimes(reference.run.out)) << label;
    EXPECT_EQ(programLines(run.run.err), programLines(reference.run.err)) << label;
    ASSERT_EQ(run.files.size(), reference.files.size()) << label;
    for (const auto& [path, bytes] : reference.files) {
        EXPECT_TRUE(run.files.count(path) && run.files.at(path) == bytes) << path << ", " << label;
    }
}

}  // namespace testsupport

#endif
