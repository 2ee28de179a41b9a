// Runs over three processes of an MPI launcher (on one machine, more
// processes than cores) give the files and the console text of a run in one
// process, byte for byte; only the first process prints.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "ContingencyGrids.h"
#include "RunComparison.h"
#include "TestSupport.h"

using namespace testsupport;
using Json = nlohmann::json;

namespace {

// Open MPI refuses to start as root without the first two (the tests and CI
// run as root). It keeps what it allocates at its start to the end, partly
// in components it unloads at exit, which no leak suppression can name: the
// leak check of a sanitized build stays off here (every other test has it).
const std::vector<std::string> kLauncherEnvironment = {
    "OMPI_ALLOW_RUN_AS_ROOT=1", "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1", "ASAN_OPTIONS=detect_leaks=0"};

Outcome runOnThreeProcesses(const std::string& input, int threads) {
    return runIn(input, {TESSALY_MPIEXEC, "-n", "3", "--oversubscribe", TESSALY_BIN, "-j", std::to_string(threads)},
                 kLauncherEnvironment);
}

}  // namespace

TEST(ClusterRuns, RasterOverThreeProcessesGivesTheBytesOfOne) {
    const Outcome one = runWithThreads(kEveryRasterMode, 1);
    ASSERT_EQ(one.run.status, 0) << one.run.err;
    const Outcome three = runOnThreeProcesses(kEveryRasterMode, 2);
    expectSameRun(three, one, "3 processes of 2 threads");
    const Json manifest = Json::parse(three.manifest);
    EXPECT_EQ(manifest["ranks"], 3);
    EXPECT_EQ(manifest["complete"], true);
    EXPECT_EQ(manifest["files"], Json::parse(one.manifest)["files"]);
}

// Independent runs go to the processes in turn; runs that depend on each
// other (a cascade's trips stay out; here the last ones split the grid and
// their power flows fail) run in the first process alone.
TEST(ClusterRuns, StochasticRunsOverThreeProcessesGiveTheBytesOfOne) {
    for (const char* extra : {"Cascade restore lines\n", ""}) {
        const std::string input = everyStochasticMode(extra);
        const Outcome one = runWithThreads(input, 1);
        const Outcome three = runOnThreeProcesses(input, 2);
        expectSameRun(three, one, std::string("3 processes ") + extra);
        const Json manifest = Json::parse(three.manifest);
        const Json reference = Json::parse(one.manifest);
        EXPECT_EQ(manifest["files"], reference["files"]) << extra;
        EXPECT_EQ(manifest["stochastic"], reference["stochastic"]) << extra;
    }
}

// Contingencies go to the processes in turn; the leader gathers their
// outcomes and writes the summary and the trips in contingency order.
TEST(ClusterRuns, ContingenciesOverThreeProcessesGiveTheBytesOfOne) {
    FiveNodeGrid grid;
    grid.lossy = true;
    grid.extraKeys = "Mode contingency\n";
    const Outcome one = runWithThreads(grid.text(), 1);
    ASSERT_EQ(one.run.status, 0) << one.run.err;
    ASSERT_FALSE(one.files.at("contingency/tripsfive").empty());
    const Outcome three = runOnThreeProcesses(grid.text(), 2);
    expectSameRun(three, one, "3 processes of 2 threads");
    const Json manifest = Json::parse(three.manifest);
    EXPECT_EQ(manifest["files"], Json::parse(one.manifest)["files"]);
    EXPECT_EQ(manifest["contingency"], Json::parse(one.manifest)["contingency"]);
}

// Basin samples in batches until a target standard error: every process
// draws every sample, integrates its share and learns the others' counts
// after each batch, so all choose the same next batch.
TEST(ClusterRuns, BasinOverThreeProcessesGivesTheBytesOfOne) {
    const std::string input =
        "Random seed\n3\nRK steps\n4000\nRK stepwidth\n0.05\nOutput filename\nthree\nNumber of nodes\n3\n"
        "Power mech\n0.25 -0.25 0\nDamping\n0.1\nInertia\n1\nCoupling mag\n0 0.5 0\n0.5 0 3\n0 3 0\n"
        "Reference node\n1\nMode basin\nBasin samples\n250\nBasin nodes\n2 0 1\nBasin standard error\n0.03\n";
    const Outcome one = runWithThreads(input, 1);
    ASSERT_EQ(one.run.status, 0) << one.run.err;
    const Outcome three = runOnThreeProcesses(input, 2);
    expectSameRun(three, one, "3 processes of 2 threads");
    EXPECT_EQ(Json::parse(three.manifest)["basin"], Json::parse(one.manifest)["basin"]);
}

// Standard input reaches the first process only: the prompted form is refused
// at once by every process, instead of leaving the others waiting.
TEST(ClusterRuns, PromptedInputIsRefused) {
    ScratchDir dir;
    writeText(dir.file("input.txt"), kEveryRasterMode);
    const RunResult r = runCommand(dir.path(), {TESSALY_MPIEXEC, "-n", "2", "--oversubscribe", TESSALY_BIN},
                                   "input.txt\n", kLauncherEnvironment);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(programLines(r.err),
              "tessaly: error: a run over 2 processes needs INPUT on the command line (standard input reaches the "
              "first process only)\n");
    EXPECT_EQ(entries(dir.path()), std::set<std::string>{"input.txt"});
}
