// Runs on several threads give the files and the console text of a run on
// one, byte for byte: the raster with every mode, the stochastic analysis
// with runs beside each other and in order, appending runs, and a parallel
// run killed part-way.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "TestSupport.h"

using namespace testsupport;
using Json = nlohmann::json;

namespace {

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
std::string everyStochasticMode(const std::string& extra) {
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
// input and the manifest aside; the report's timing line masked.
std::map<std::string, std::string> resultsIn(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const std::string& path : filesUnder(dir)) {
        if (path == "input.txt" || isRunManifest(path)) continue;
        std::string bytes = readText(dir + "/" + path);
        if (path.rfind("Param", 0) == 0) bytes = std::regex_replace(bytes, std::regex("TimeTaken\\(sec\\): .*"), "#");
        files[path] = bytes;
    }
    return files;
}

struct Outcome {
    RunResult run;
    std::map<std::string, std::string> files;
};

// Runs `input` in a fresh directory with `threads` worker threads.
Outcome runWithThreads(const std::string& input, int threads) {
    ScratchDir dir;
    writeText(dir.file("input.txt"), input);
    Outcome outcome{runWithArguments(dir.path(), {"-j", std::to_string(threads), "input.txt"}), {}};
    outcome.files = resultsIn(dir.path());
    return outcome;
}

// The run on 2, 3 and 7 threads against the run on one.
void expectSameOnEveryThreadCount(const std::string& input) {
    const Outcome one = runWithThreads(input, 1);
    for (int threads : {2, 3, 7}) {
        const Outcome many = runWithThreads(input, threads);
        EXPECT_EQ(many.run.status, one.run.status) << many.run.err;
        EXPECT_EQ(maskTimes(many.run.out), maskTimes(one.run.out)) << threads << " threads";
        EXPECT_EQ(many.run.err, one.run.err) << threads << " threads";
        ASSERT_EQ(many.files.size(), one.files.size()) << threads << " threads";
        for (const auto& [path, bytes] : one.files) {
            EXPECT_TRUE(many.files.count(path) && many.files.at(path) == bytes) << path << ", " << threads << " threads";
        }
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

// Killed while its workers integrate, a run's manifest says it is not complete.
TEST(ParallelRaster, RunKilledPartWayStaysIncomplete) {
    ScratchDir dir;
    std::string input = kEveryRasterMode;
    input.replace(input.find("RK steps\n120"), 12, "RK steps\n2000000000");
    input.replace(input.find("Mode ERT\n"), 9, "");
    input.replace(input.find("Mode save traj\n"), 15, "");
    writeText(dir.file("input.txt"), input);
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(dir.path().c_str()) != 0 || !freopen("/dev/null", "w", stdout) ||
            !freopen("/dev/null", "w", stderr) || !freopen("/dev/null", "r", stdin)) {
            _exit(127);
        }
        execl(TESSALY_BIN, TESSALY_BIN, "-j", "3", "input.txt", static_cast<char*>(nullptr));
        _exit(127);
    }
    // The workers have started once the result files exist.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!fileExists(dir.file("ipm/ipmall")) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    kill(child, SIGKILL);
    int raw = 0;
    waitpid(child, &raw, 0);
    ASSERT_TRUE(WIFSIGNALED(raw));
    const Json manifest = Json::parse(readText(dir.file("Manifestall.json")));
    EXPECT_EQ(manifest["complete"], false);
    EXPECT_EQ(manifest["exit_status"], nullptr);
    EXPECT_EQ(manifest["threads"], 3);
    ASSERT_EQ(manifest["files"].size(), 4u);
    for (const Json& file : manifest["files"]) EXPECT_EQ(file["offset"], 0) << file["path"];
}
