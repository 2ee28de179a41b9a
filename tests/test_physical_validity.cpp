// Runs whose numbers mean nothing say so: trajectories that blow up, and
// the exit status that tells a script which problem to mend first.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "util/CodeUtils.h"

using namespace testsupport;

namespace {

nlohmann::json manifestOf(const ScratchDir& dir, const std::string& name) {
    return nlohmann::json::parse(readText(dir.file("Manifest" + name + ".json")));
}

// Two nodes with one stiff line: a step of 1.5 is far beyond what RK4 can
// integrate there (the local oscillation has a period of about 2), so every
// kick blows up, the large ones soonest.
std::string stiffRaster(double stepWidth) {
    return "Random seed\n3\nRK steps\n400\nRK stepwidth\n" + std::to_string(stepWidth) +
           "\nMode raster rt\nMode RMRT\nOutput filename\nstiff\n"
           "Number of nodes\n2\nPower mech\n0.5 -0.5\nDamping\n3\nInertia\n1 1\nCoupling mag\n0 8\n8 0\n"
           "First pert node\n0\nLast pert node\n2\nFreq pert minimum\n-1\nFreq pert maximum\n1\nFreq pert step\n1\n"
           "RT threshold high\n0.1\n";
}

// `samples` wind speeds between 8 and 13, one time unit apart.
std::string windSeries(int samples) {
    std::string series;
    for (int k = 0; k < samples; ++k) series += std::to_string(8 + k % 6) + " ";
    return series;
}

}  // namespace

TEST(NonFiniteStates, BlownUpRasterWritesItsRecordsWarnsOnceAndEndsWithFive) {
    ScratchDir one;
    ScratchDir three;
    writeText(one.file("input.txt"), stiffRaster(1.5));
    writeText(three.file("input.txt"), stiffRaster(1.5));
    RunResult a = runWithArguments(one.path(), {"-j", "1", "input.txt"});
    RunResult b = runWithArguments(three.path(), {"-j", "3", "input.txt"});
    EXPECT_EQ(a.status, 5);
    EXPECT_EQ(b.status, 5);
    // The first initial condition by index, whatever thread integrated it.
    EXPECT_EQ(a.err, b.err);
    EXPECT_TRUE(contains(a.err, "tessaly: warning: the raster: 4 of 4 initial conditions became non-finite")) << a.err;
    EXPECT_TRUE(contains(a.err, "the first: node 0, frequency offset -1, phase offset 0 (initial condition 0), "
                                "between steps ")) << a.err;
    // Once, after the warning about the step width that made it happen.
    EXPECT_EQ(std::count(a.err.begin(), a.err.end(), '\n'), 2) << a.err;
    EXPECT_EQ(a.err.find("tessaly: warning: \"RK stepwidth\" is 1.5, but node 0 has a time scale of 0.333333 (the "
                         "decay Damping / Inertia of its frequency), and RK4 integrates accurately only up to a step "
                         "of 0.333333: the trajectories will be wrong or blow up; a step of 0.1 would do\n"), 0u)
        << a.err;
    // Records as computed: every initial condition's full record.
    EXPECT_EQ(fileSize(one.file("ijtor/ijtorstiff")), 4 * 5 * 2 * 8);
    EXPECT_EQ(readText(one.file("ijtor/ijtorstiff")), readText(three.file("ijtor/ijtorstiff")));

    const nlohmann::json manifest = manifestOf(one, "stiff");
    EXPECT_EQ(manifest["exit_status"], 5);
    EXPECT_EQ(manifest["complete"], true);
    ASSERT_EQ(manifest["non_finite"].size(), 1u);
    const nlohmann::json& entry = manifest["non_finite"][0];
    EXPECT_EQ(entry["analysis"], "raster");
    EXPECT_EQ(entry["count"], 4);
    EXPECT_EQ(entry["total"], 4);
    EXPECT_EQ(entry["first"]["index"], 0);
    EXPECT_LT(entry["first"]["finite_at_step"].get<long long>(), entry["first"]["non_finite_at_step"].get<long long>());
    EXPECT_EQ(manifest["non_finite"], manifestOf(three, "stiff")["non_finite"]);
}

TEST(NonFiniteStates, TrajectoriesThatStayFiniteLeaveTheStatusAlone) {
    ScratchDir dir;
    RunResult r = runOnInput(dir.path(), stiffRaster(0.01));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(contains(r.err, "non-finite")) << r.err;
    EXPECT_TRUE(manifestOf(dir, "stiff")["non_finite"].empty());
}

TEST(NonFiniteStates, AMissedSteadyStateOutranksBlownUpTrajectories) {
    ScratchDir dir;
    // No steady state (power 20 over a line of 8), and a step that blows up.
    std::string input = stiffRaster(1.5);
    input.replace(input.find("0.5 -0.5"), 8, "20 -20");
    RunResult r = runOnInput(dir.path(), input);
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_TRUE(contains(r.err, "did not converge")) << r.err;
    EXPECT_TRUE(contains(r.err, "became non-finite")) << r.err;
    EXPECT_EQ(manifestOf(dir, "stiff")["exit_status"], 3);
}

TEST(NonFiniteStates, BlownUpStochasticRunsNameTheFirstRun) {
    for (const char* threads : {"1", "2"}) {
        ScratchDir dir;
        writeText(dir.file("input.txt"),
                  "Random seed\n5\nRK steps\n1000\nRK stepwidth\n1.5\nMode stepfunc\nMode surv all\n"
                  "Output filename\nwind\nNumber of nodes\n3\nPower mech\n1.5 0.5 -2\nDamping\n3\nInertia\n1\n"
                  "Node type\n0 0 1\nCoupling mag\n0 8 8\n8 0 8\n8 8 0\nReference node\n2\n"
                  "Turbine nodes\n0\n1\nWind series\n" + windSeries(2000) + "\n");
        RunResult r = runWithArguments(dir.path(), {"-j", threads, "input.txt"});
        EXPECT_EQ(r.status, 5) << threads << r.err;
        EXPECT_TRUE(contains(r.err, "the stochastic analysis: 2 of 2 runs became non-finite")) << r.err;
        EXPECT_TRUE(contains(r.err, "the first: run \"windtn0\", between steps ")) << r.err;
        const nlohmann::json manifest = manifestOf(dir, "wind");
        EXPECT_FALSE(manifest.at("stochastic").at("runs").at(0).at("non_finite").is_null());
        ASSERT_EQ(manifest.at("non_finite").size(), 1u);
        EXPECT_EQ(manifest["non_finite"][0]["count"], 2);
    }
}

// ---- the step width ------------------------------------------------------------------

namespace {

// Two nodes on a line of coupling K: the local oscillation has rate sqrt(K).
std::string twoNodeRaster(double coupling, double stepWidth, const std::string& inertia = "Inertia\n1\n") {
    return "Random seed\n3\nRK steps\n50\nRK stepwidth\n" + CodeUtils::d2Str(stepWidth) +
           "\nMode raster rt\nMode RMRT\nNumber of nodes\n2\nPower mech\n0.5 -0.5\nDamping\n0.1\n" + inertia +
           "Coupling mag\n0 " + CodeUtils::d2Str(coupling) + "\n" + CodeUtils::d2Str(coupling) + " 0\n"
           "First pert node\n0\nLast pert node\n1\nFreq pert minimum\n0\nFreq pert maximum\n0.1\nFreq pert step\n0.1\n"
           "RT threshold high\n0.1\n";
}

}  // namespace

TEST(StepWidth, BeyondWhatRk4IntegratesAccuratelyIsWarnedWithAStepThatWouldDo) {
    ScratchDir dir;
    // Rate sqrt(100 cos(θ1 - θ2)) = 9.99: a step of 0.2 is twice the accurate bound.
    RunResult r = runOnInput(dir.path(), twoNodeRaster(100, 0.2));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "tessaly: warning: \"RK stepwidth\" is 0.2, but node 0 has a time scale of 0.100001 "
                                "(its oscillation against its neighbours), and RK4 integrates accurately only up to "
                                "a step of 0.100001: the trajectories will be wrong or blow up; a step of 0.05 would "
                                "do\n")) << r.err;
    // The suggested step, and a grid without an integrating analysis, say nothing.
    ScratchDir fine;
    EXPECT_EQ(runOnInput(fine.path(), twoNodeRaster(100, 0.05)).err, "");
    ScratchDir flowOnly;
    std::string noRaster = twoNodeRaster(100, 0.2);
    noRaster.erase(noRaster.find("Mode raster rt\n"), std::string("Mode raster rt\n").size());
    EXPECT_FALSE(contains(runOnInput(flowOnly.path(), noRaster).err, "RK stepwidth")) << noRaster;
}

// ---- inertia -------------------------------------------------------------------------

TEST(Inertia, ZeroNegativeOrMissingStopsAnIntegratingRunBeforeItWritesAnything) {
    struct Case {
        std::string inertia;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"", "tessaly: error: \"Inertia\" was not given, so every node's inertia is 0, but \"Mode raster rt\" "
             "integrates the swing equation, which divides by it: give every node a positive inertia\n"},
        {"Inertia\n1 0\n", "tessaly: error: \"Inertia\" is 0 at node 1, but \"Mode raster rt\" integrates the swing "
                           "equation, which divides by it: every node needs a positive, finite inertia\n"},
        {"Inertia\n-2 nan\n", "tessaly: error: \"Inertia\" is -2 at node 0 (and not positive at 2 nodes: 0, 1), but "
                              "\"Mode raster rt\" integrates the swing equation, which divides by it: every node "
                              "needs a positive, finite inertia\n"},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        RunResult r = runOnInput(dir.path(), twoNodeRaster(4, 0.01, c.inertia));
        EXPECT_EQ(r.status, 2) << c.inertia;
        EXPECT_TRUE(contains(r.err, c.error)) << r.err;
        EXPECT_EQ(entries(dir.path()), std::set<std::string>{"input.txt"}) << c.inertia;
        writeText(dir.file("input.txt"), twoNodeRaster(4, 0.01, c.inertia));
        EXPECT_EQ(runWithArguments(dir.path(), {"--check", "input.txt"}).status, 2);
    }
    // A power flow alone divides by no inertia.
    ScratchDir flowOnly;
    RunResult r = runOnInput(flowOnly.path(), "Number of nodes\n2\nPower mech\n0.5 -0.5\nCoupling mag\n0 4\n4 0\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
}

// ---- what the grid holds ---------------------------------------------------------------

TEST(GridReview, NegativeDampingOneWayRecordsIslandsAndDegreesAreNamed) {
    ScratchDir dir;
    // Nodes 0-1 coupled both ways, 1->2 one way, and an island 3-4 whose loads
    // nothing can feed; node 2 with negative damping, node 1's angle in degrees.
    RunResult r = runOnInput(dir.path(),
                             "Random seed\n1\nNumber of nodes\n5\nPower mech\n1 -1 0 0 -0.4\n"
                             "Damping\n0.5 0.5 -0.2 0.5 0.5\nInertia\n1\nVoltage ang\n0 30 0 0 0\n"
                             "Coupling mag\n0 2 0 0 0\n2 0 3 0 0\n0 0 0 0 0\n0 0 0 0 4\n0 0 0 4 0\n");
    EXPECT_TRUE(contains(r.err, "tessaly: warning: \"Damping\" is negative at 1 node (2): such a node feeds energy "
                                "into every oscillation")) << r.err;
    EXPECT_TRUE(contains(r.err, "tessaly: warning: 1 line record has no reverse record (from, to: (1, 2)): each "
                                "couples only its sending node")) << r.err;
    EXPECT_TRUE(contains(r.err, "tessaly: warning: the grid falls apart into 2 islands of 3, 2 nodes: 2 nodes (3, 4) "
                                "are not connected to the reference node 0")) << r.err;
    EXPECT_TRUE(contains(r.err, "tessaly: warning: the island of 2 nodes (3, 4) has powers (\"Power mech\" - \"Power "
                                "diag\") summing to -0.4, which its lines cannot balance: it has no steady state"))
        << r.err;
    EXPECT_TRUE(contains(r.err, "tessaly: warning: \"Voltage ang\" is 30 at node 1, beyond 2π (at 1 node): phases "
                                "are in radians; are these degrees?")) << r.err;
    // The power flow cannot converge, and says why.
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(contains(r.err, "; the island of nodes 3, 4 has powers summing to -0.4, which no steady state "
                                "balances\n")) << r.err;
}

TEST(GridReview, ABalancedIslandAndLossyMirroredLinesAreNoMistake) {
    ScratchDir dir;
    // Island 2-3 balanced; lines with a phase shift can absorb what they lose.
    RunResult r = runOnInput(dir.path(),
                             "Random seed\n1\nNumber of nodes\n4\nPower mech\n1 -1 0.3 -0.29\nDamping\n0.5\n"
                             "Inertia\n1\nCoupling mag\n0 2 0 0\n2 0 0 0\n0 0 0 3\n0 0 3 0\n"
                             "Coupling ang\n0 0 0 0\n0 0 0 0\n0 0 0 0.01\n0 0 0.01 0\n");
    EXPECT_TRUE(contains(r.err, "falls apart into 2 islands")) << r.err;
    EXPECT_FALSE(contains(r.err, "cannot balance")) << r.err;
    EXPECT_FALSE(contains(r.err, "no reverse record")) << r.err;
}

TEST(ReferenceNode, TakingUpAnImbalanceIsWarnedAndRecorded) {
    ScratchDir dir;
    RunResult r = runOnInput(dir.path(),
                             "Random seed\n1\nOutput filename\nslack\nNumber of nodes\n3\nPower mech\n0 1 -0.5\n"
                             "Damping\n0.5\nInertia\n1\nCoupling mag\n0 2 2\n2 0 2\n2 2 0\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.err, "tessaly: warning: the power flow changed the \"Power mech\" of the reference node 0 "
                                "from 0 to -0.5, more than 5 % of the total generation (1)")) << r.err;
    const nlohmann::json reference = manifestOf(dir, "slack")["power_flow"]["reference_power"];
    EXPECT_EQ(reference["node"], 0);
    EXPECT_EQ(reference["given"], 0.0);
    EXPECT_NEAR(reference["solved"].get<double>(), -0.5, 1e-9);
}

// ---- analyses that would do nothing ------------------------------------------------------

TEST(IdleAnalyses, ARasterWithoutInitialConditionsAndModesWithoutTheirAnalysisSaySo) {
    struct Case {
        std::string change;  // appended to a two-node grid
        std::string warning;
    };
    const std::string grid =
        "Number of nodes\n2\nPower mech\n0.5 -0.5\nDamping\n0.5\nInertia\n1\nCoupling mag\n0 4\n4 0\n";
    const std::vector<Case> cases = {
        {"Mode raster rt\nMode RMRT\nFirst pert node\n1\nLast pert node\n1\n",
         "\"Mode raster rt\" is on, but the raster integrates nothing: \"First pert node\" (1) is not below \"Last "
         "pert node\" (1), so no node is kicked"},
        {"Mode raster rt\nMode RMRT\nLast pert node\n1\nFreq pert minimum\n0.5\nFreq pert maximum\n-0.5\n",
         "\"Mode raster rt\" is on, but the raster integrates nothing: \"Freq pert minimum\" (0.5) is not below "
         "\"Freq pert maximum\" (-0.5)"},
        {"Mode raster rt\nLast pert node\n1\nFreq pert maximum\n0.5\nFreq pert step\n0.5\n",
         "\"Mode raster rt\" is on, but the raster integrates nothing: none of \"Mode RMRT\""},
        {"Mode RMRT\n", "\"Mode RMRT\" is on, but \"Mode raster rt\" is off: no raster runs"},
        {"Mode surv\n", "\"Mode surv\" is on, but no stochastic input is: nothing runs it"},
        {"Wind series\n8 9 10\n", "\"Wind series\" and the stochastic input's other keys are given, but no "
                                  "stochastic input is on"},
    };
    for (const Case& c : cases) {
        ScratchDir dir;
        RunResult r = runOnInput(dir.path(), grid + c.change);
        EXPECT_EQ(r.status, 0) << c.change << r.err;
        EXPECT_TRUE(contains(r.err, "tessaly: warning: " + c.warning)) << c.change << r.err;
    }
}

// ---- the stochastic input ----------------------------------------------------------------

TEST(StochasticSettings, SharesOutsideTheUnitRangeSilentTurbinesAndMissingVoltagesAreNamed) {
    const std::string grid = "Random seed\n5\nRK steps\n50\nMode stepfunc\nMode stoch lf\nNumber of nodes\n3\n"
                             "Power mech\n1.5 0 -1.5\nDamping\n0.5\nInertia\n1\nNode type\n0 0 1\n"
                             "Coupling mag\n0 8 8\n8 0 8\n8 8 0\nReference node\n2\nWind series\n" + windSeries(60) + "\n";
    ScratchDir dir;
    RunResult r = runOnInput(dir.path(), grid + "Turbine nodes\n1\nRenewable share\n0 0 0\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "tessaly: warning: turbine node 1 of configuration 0 has \"Renewable share\" 0, so a "
                                "rated power of 0: its turbine power is 0 at every step and the wind has no effect"))
        << r.err;
    EXPECT_TRUE(contains(r.err, "tessaly: warning: \"Voltage mag\" is 0 at every node (not given), but \"Mode stoch "
                                "lf\" measures line flows")) << r.err;
    ScratchDir share;
    r = runOnInput(share.path(), grid + "Voltage mag\n1\nTurbine nodes\n0\nRenewable share\n0.5 0 1.5\n");
    EXPECT_TRUE(contains(r.err, "tessaly: warning: \"Renewable share\" is 1.5 at entry 2, outside 0 .. 1")) << r.err;
    EXPECT_FALSE(contains(r.err, "Voltage mag")) << r.err;
    EXPECT_FALSE(contains(r.err, "turbine node")) << r.err;
}

// ---- results others can read, and every run's description ------------------------------------

TEST(ResultDirectories, FollowTheUmaskLikeMkdir) {
    for (const mode_t mask : {mode_t(022), mode_t(077)}) {
        ScratchDir dir;
        writeText(dir.file("input.txt"), stiffRaster(0.01));
        RunResult r = runCommand(dir.path(), {TESSALY_BIN, "input.txt"}, "", {}, [mask] { umask(mask); });
        ASSERT_EQ(r.status, 0) << r.err;
        struct stat info;
        ASSERT_EQ(stat(dir.file("ijtor").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0777 & ~mask) << std::oct << mask;
    }
}

TEST(AppendedRuns, EveryRunsManifestIsKeptInTheLatest) {
    ScratchDir dir;
    writeText(dir.file("input.txt"), stiffRaster(0.01));
    for (int k = 0; k < 3; ++k) ASSERT_EQ(runProgram(dir.path(), "input.txt\n").status, 0);
    const nlohmann::json latest = manifestOf(dir, "stiff");
    ASSERT_EQ(latest["earlier_runs"].size(), 2u);
    // Each run's records start where the run before it left the file.
    const long long record = 4 * 5 * 2 * 8;
    for (int k = 0; k < 3; ++k) {
        const nlohmann::json& run = k < 2 ? latest["earlier_runs"][k] : latest;
        // The earlier ones are kept once, in the latest.
        EXPECT_EQ(run.contains("earlier_runs"), k == 2);
        const nlohmann::json& file = run["files"][0];
        EXPECT_EQ(file["path"], "ijtor/ijtorstiff");
        EXPECT_EQ(file["offset"], k * record);
        EXPECT_EQ(file["records"], 4);
    }

    // A manifest that is none is kept aside, said once.
    writeText(dir.file("Manifeststiff.json"), "not json");
    RunResult r = runProgram(dir.path(), "input.txt\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.err, "tessaly: warning: the manifest \"Manifeststiff.json\" of an earlier run with this "
                                "output name is no manifest this program can read; it is kept as "
                                "\"Manifeststiff.json.1\"")) << r.err;
    EXPECT_EQ(readText(dir.file("Manifeststiff.json.1")), "not json");
    EXPECT_TRUE(manifestOf(dir, "stiff")["earlier_runs"].empty());
}

// ---- number lists ------------------------------------------------------------------------------

TEST(NumberLists, CommasBetweenNumbersAreNamedWithTheLine) {
    ScratchDir dir;
    RunResult r = runOnInput(dir.path(), "Number of nodes\n2\nPower mech\n0.5, -0.5\nCoupling mag\n0 4\n4 0\n");
    EXPECT_TRUE(contains(r.err, "tessaly: warning: line 4 of \"input.txt\", \"0.5, -0.5\", separates numbers by "
                                "commas: only the 1 number before the first comma is read (numbers are separated "
                                "by blanks)\n")) << r.err;
    // Matrix rows and files named by "ext" keys too, once per file.
    writeText(dir.file("k.txt"), "0, 4\n4, 0\n");
    r = runOnInput(dir.path(), "Number of nodes\n2\nPower mech\n0.5 -0.5\nCoupling mag ext\nk.txt\n");
    const std::string comma = "line 1 of \"k.txt\", \"0, 4\", separates numbers by commas";
    EXPECT_TRUE(contains(r.err, comma)) << r.err;
    EXPECT_EQ(r.err.find("separates numbers by commas"), r.err.rfind("separates numbers by commas")) << r.err;
}
