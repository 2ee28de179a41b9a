// Runs on several threads give the files and the console text of a run on
// one, byte for byte: the raster with every mode, the stochastic analysis
// with runs beside each other and in order, appending runs, and a parallel
// run killed part-way.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "RunComparison.h"
#include "TestSupport.h"

using namespace testsupport;
using Json = nlohmann::json;

namespace {

// The run on 2, 3 and 7 threads against the run on one.
void expectSameOnEveryThreadCount(const std::string& input) {
    const Outcome one = runWithThreads(input, 1);
    for (int threads : {2, 3, 7}) {
        expectSameRun(runWithThreads(input, threads), one, std::to_string(threads) + " threads");
    }
}

}  // namespace

TEST(ParallelRaster, EveryModeGivesTheSameBytesOnEveryThreadCount) {
    const Outcome one = runWithThreads(kEveryRasterMode, 1);
    // Every kind of raster file is there, with records of every initial condition.
    for (const char* file : {"heijtor/heijtorall", "etraj/etrajall", "frequency/frequencyTrajall", "phase/phaseTrajall",
                             "frequency/frequencyall", "phase/phaseall", "ijtor/ijtorall", "ipm/ipmall",
                             "frequency/freqTrajall", "phase/phasTrajall"}) {
        EXPECT_GT(one.files.count(file) ? one.files.at(file).size() : 0u, 0u) << file;
    }
    EXPECT_EQ(one.files.at("heijtor/heijtorall").size(), 24u * 5 * 8);
    expectSameOnEveryThreadCount(kEveryRasterMode);
}

// Runs with a cascade that puts its lines back are independent: they
// integrate beside each other with the results (and the console text, the
// warnings and the manifest's account of the files) of runs in order.
TEST(ParallelStochastic, IndependentRunsGiveTheSameBytesOnEveryThreadCount) {
    const std::string input = everyStochasticMode("Cascade restore lines\n");
    const Outcome one = runWithThreads(input, 1);
    EXPECT_EQ(one.files.count("stochcas/stochcasTww1tn1"), 1u);
    EXPECT_EQ(one.files.count("pseries/seriestn1w1"), 1u);
    EXPECT_GT(one.files.at("surv/survww0tn2").size(), 0u);
    expectSameOnEveryThreadCount(input);

    ScratchDir single, many;
    for (const ScratchDir* dir : {&single, &many}) writeText(dir->file("input.txt"), input);
    ASSERT_EQ(runWithArguments(single.path(), {"-j", "1", "input.txt"}).status, 0);
    ASSERT_EQ(runWithArguments(many.path(), {"-j", "3", "input.txt"}).status, 0);
    const Json inOrder = Json::parse(readText(single.file("Manifestw.json")));
    const Json beside = Json::parse(readText(many.file("Manifestw.json")));
    EXPECT_EQ(beside["files"], inOrder["files"]);
    EXPECT_EQ(beside["stochastic"], inOrder["stochastic"]);
    EXPECT_EQ(beside["random_seed"], inOrder["random_seed"]);
}

// Without "Cascade restore lines" the lines a cascade trips stay out for the
// runs after it, which then run in order, on any number of threads. The
// third configuration's power flows do not converge: the warnings come in
// the order of the runs either way.
TEST(ParallelStochastic, DependentRunsAndFailingPowerFlowsKeepTheirOrder) {
    std::string input = everyStochasticMode("");
    expectSameOnEveryThreadCount(input);
    std::string failing = everyStochasticMode("Cascade restore lines\nTurbine prated\n0 0 0 0 60\n");
    const Outcome one = runWithThreads(failing, 1);
    EXPECT_EQ(one.run.status, 3);
    EXPECT_TRUE(contains(one.run.err, "for run \"ww0tn2\" did not converge")) << one.run.err;
    expectSameOnEveryThreadCount(failing);
}

// The progress line (forced on, into a pipe) of runs in order names the run
// and its step; of runs beside each other, the runs done. Either way the
// console text is that of a run without it.
TEST(ParallelStochastic, ProgressLineOfRunsInOrderAndBesideEachOther) {
    for (const char* extra : {"", "Cascade restore lines\n"}) {
        const Outcome quiet = runWithThreads(everyStochasticMode(extra), 2);
        const Outcome shown = runIn(everyStochasticMode(extra), {TESSALY_BIN, "-j", "2", "--progress"});
        EXPECT_EQ(maskTimes(shown.run.out), maskTimes(quiet.run.out)) << extra;
        EXPECT_EQ(shown.files, quiet.files) << extra;
        const std::string first = *extra ? "\rstochastic: 0/6 runs done, 0:00 elapsed"
                                         : "\rstochastic: run 1/6 (config 0, part 0), step 0/1000, 0:00 elapsed";
        EXPECT_TRUE(contains(shown.run.err, first)) << shown.run.err;
    }
}

// A second run appends its records after the first one's, whatever threads
// either ran on; the manifest says where.
TEST(ParallelRaster, AppendingRunStartsAtTheSizeTheFilesHad) {
    const Outcome reference = runWithThreads(kEveryRasterMode, 1);
    ScratchDir dir;
    writeText(dir.file("input.txt"), kEveryRasterMode);
    ASSERT_EQ(runWithArguments(dir.path(), {"-j", "2", "input.txt"}).status, 0);
    const RunResult second = runWithArguments(dir.path(), {"-j", "3", "input.txt"});
    ASSERT_EQ(second.status, 0) << second.err;
    const Json manifest = Json::parse(readText(dir.file("Manifestall.json")));
    const std::map<std::string, std::string> files = resultsIn(dir.path());
    for (const Json& entry : manifest["files"]) {
        const std::string path = entry["path"];
        const std::string& once = reference.files.at(path);
        EXPECT_EQ(entry["offset"], once.size()) << path;
        EXPECT_EQ(files.at(path), once + once) << path;
    }
    EXPECT_EQ(manifest["files"].size(), 10u);
    EXPECT_EQ(manifest["threads"], 3);
}

// A result file that cannot be written is warned about once, whatever the
// number of threads that had records for it; the other files are whole.
TEST(ParallelRaster, FileThatCannotBeWrittenIsWarnedAboutOnce) {
    const Outcome reference = runWithThreads(kEveryRasterMode, 1);
    ScratchDir dir;
    writeText(dir.file("input.txt"), kEveryRasterMode);
    ASSERT_EQ(mkdir(dir.file("ipm").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("ipm/ipmall").c_str(), 0755), 0);
    const RunResult run = runWithArguments(dir.path(), {"-j", "3", "input.txt"});
    const std::string warning = "tessaly: warning: cannot write ipm/ipmall: Is a directory\n";
    ASSERT_TRUE(contains(run.err, warning)) << run.err;
    EXPECT_EQ(run.err.find(warning), run.err.rfind(warning)) << run.err;
    const std::map<std::string, std::string> files = resultsIn(dir.path());
    for (const auto& [path, bytes] : reference.files) {
        if (path == "ipm/ipmall") continue;
        EXPECT_TRUE(files.count(path) && files.at(path) == bytes) << path;
    }
}

// Killed while its workers integrate, a run's manifest says it is not complete.
TEST(ParallelRaster, RunKilledPartWayStaysIncomplete) {
    ScratchDir dir;
    std::string input = kEveryRasterMode;
    input.replace(input.find("RK steps\n120"), 12, "RK steps\n2000000000");
    input.replace(input.find("Mode ERT\n"), 9, "");
    input.replace(input.find("Mode save traj\n"), 15, "");
    writeText(dir.file("input.txt"), input);
    // The workers have started once the result files exist.
    ASSERT_TRUE(killWhenThere(dir.path(), {"-j", "3", "input.txt"}, dir.file("ipm/ipmall"), 50));
    const Json manifest = Json::parse(readText(dir.file("Manifestall.json")));
    EXPECT_EQ(manifest["complete"], false);
    EXPECT_EQ(manifest["exit_status"], nullptr);
    EXPECT_EQ(manifest["threads"], 3);
    ASSERT_EQ(manifest["files"].size(), 4u);
    for (const Json& file : manifest["files"]) EXPECT_EQ(file["offset"], 0) << file["path"];
}
