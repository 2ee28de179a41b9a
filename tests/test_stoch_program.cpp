// The stochastic analysis through the program: the shipped wind example, and
// input the analysis cannot run on, refused before any result is written.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>

#include "TestSupport.h"

using namespace testsupport;

namespace {

// Triangle grid, a turbine per configuration row, wind samples one time unit
// apart; 100 steps of 0.01 need two wind samples in step-function mode.
std::string gridInput() {
    return "Random seed\n5\nRK steps\n100\nRK stepwidth\n0.01\n"
           "Number of nodes\n3\nPower mech\n1.5 0.5 -2\nDamping\n0.5\nInertia\n1\nVoltage mag\n1\n"
           "Node type\n0 0 1\nCoupling mag\n0 8 8\n8 0 8\n8 8 0\nAdmittance mag\n0 8 8\n8 0 8\n8 8 0\n"
           "Line capacity\n0 50 50\n50 0 50\n50 50 0\nReference node\n2\n";
}

// Runs `stochastic` (the analysis' keys and switches) after the grid; expects
// the run to stop with status 2 naming every text of `expected`, before the
// power flow and with nothing but the input left behind.
void expectRefused(const std::string& stochastic, const std::vector<std::string>& expected) {
    ScratchDir dir;
    RunResult run = runOnInput(dir.path(), gridInput() + stochastic);
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_TRUE(contains(run.err, "tessaly: error: ")) << run.err;
    for (const std::string& text : expected) EXPECT_TRUE(contains(run.err, text)) << run.err;
    EXPECT_FALSE(contains(run.out, "Newton Raphson")) << run.out;
    EXPECT_EQ(entries(dir.path()), std::set<std::string>{"input.txt"});
}

const std::string kSurvival = "Mode stepfunc\nMode surv\nTurbine nodes\n0\nWind series\n8 8 8\n";

TEST(StochLimits, MissingWindSeries) {
    expectRefused("Mode stepfunc\nMode save traj\nTurbine nodes\n0\n", {"\"Wind series\" has no rows"});
}

TEST(StochLimits, ConfigurationLongerThanTheWindRows) {
    expectRefused("Mode stepfunc\nMode save traj\nTurbine nodes\n0 1\nWind series\n8 8 8\n",
                  {"\"Turbine nodes\" row 0 has 2 turbines", "\"Wind series\" has 1 rows"});
}

TEST(StochLimits, TurbineOutsideTheGridEvenInALaterConfiguration) {
    expectRefused("Mode stepfunc\nMode save traj\nWrite stoch\n1\nTurbine nodes\n0\n1 3\nWind series\n8 8 8\n8 8 8\n",
                  {"\"Turbine nodes\" row 1 names node 3", "the grid has 3 nodes (allowed 0..2)"});
}

TEST(StochLimits, TurbineWithoutGivenRatedPower) {
    expectRefused("Mode stepfunc\nTurbine prated\n2\nTurbine nodes\n1\nWind series\n8 8 8\n",
                  {"names node 1", "\"Turbine prated\" has 1 values"});
}

TEST(StochLimits, WindRowShorterThanItsParts) {
    // Parts of ceil(100 * 0.01) + 1 = 2 samples; row 0 makes three parts.
    expectRefused("Mode stepfunc\nWind mult\nTurbine nodes\n0 1\nWind series\n8 8 8 8 8 8\n8 8 8 8\n",
                  {"\"Wind series\" row 1 has 4 samples", "need at least 6"});
}

TEST(StochLimits, PowerSeriesShorterThanTheRun) {
    expectRefused("Mode stepfunc\nMode stoch lf\nTurbine nodes\n0\nWind series\n8\n",
                  {"power series hold 0 values", "\"RK steps\" is 100"});
    expectRefused("Mode given series\nMode save traj\nTurbine nodes\n0\nWind series\n8 8 8\n",
                  {"power series hold 3 values", "\"RK steps\" is 100"});
    expectRefused("Mode stepfunc\nMode stoch casc\nSurvive init steps\n250\nTurbine nodes\n0\nWind series\n8 8 8\n",
                  {"power series hold 200 values", "\"Survive init steps\" is 250"});
}

TEST(StochLimits, NoSeriesModeWhileAnAnalysisReadsPower) {
    expectRefused("Mode stoch inp\nMode surv all\nTurbine nodes\n0\nWind series\n8 8 8\n",
                  {"no series mode is on", "\"Mode stepfunc\""});
}

TEST(StochLimits, SurvivalSettings) {
    expectRefused(kSurvival + "Survive interval\n0\n", {"\"Survive interval\" is 0", "at least 1"});
    expectRefused(kSurvival + "Freq time lags\n0.5 0.001\n",
                  {"\"Freq time lags\" entry 0.001 is 0 steps", "at least 1 step"});
    expectRefused(kSurvival + "Survive init steps\n-1\n", {"\"Survive init steps\" is -1"});
    expectRefused(kSurvival + "Freq hist bin num\n1\n", {"\"Freq hist bin num\" gives 0 bins"});
}

TEST(StochLimits, StepWidthTheSeriesModesCannotUse) {
    // The later "RK stepwidth" wins over the one of the grid input.
    expectRefused("RK stepwidth\n0\n" + kSurvival, {"\"RK stepwidth\" is 0"});
}

TEST(StochLimits, ParameterNodeCountDiffersFromTheGrid) {
    // "Stddev stepwidth" takes the next line as a dummy, so the parameter set
    // skips "Number of nodes" while the grid reads it.
    std::string input = gridInput();
    input.replace(input.find("Number of nodes"), 0, "Stddev stepwidth\n");
    ScratchDir dir;
    RunResult run = runOnInput(dir.path(), input + "Mode stepfunc\nMode stoch casc\nTurbine nodes\n0\nWind series\n8 8 8\n");
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(contains(run.err, "\"Number of nodes\" of the parameters is 1, but the grid has 3 nodes")) << run.err;
    EXPECT_FALSE(fileExists(dir.file("stochcas")));
}

TEST(StochLimits, NothingToRunIsNotAnError) {
    ScratchDir dir;
    // One part needs 2 samples; a single sample makes none: a warning, no run.
    RunResult run = runOnInput(dir.path(), gridInput() + kSurvival.substr(0, kSurvival.find("Wind series")) +
                                               "Wind mult\nWind series\n8\n");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(contains(run.err, "tessaly: warning: \"Wind series\" row 0 has 1 samples")) << run.err;
    EXPECT_TRUE(contains(run.out, "Done."));
    EXPECT_FALSE(fileExists(dir.file("surv")));
}

// ---- the shipped example --------------------------------------------------------------

long expectedSize(const std::string& path, long bytes) {
    long size = fileSize(path);
    EXPECT_EQ(size, bytes) << path;
    return size;
}

TEST(StochExample, EveryModeWritesRecordsOfTheDocumentedSize) {
    ScratchDir dir;
    for (const char* name : {"wind.txt", "wind_series.txt"}) {
        writeText(dir.file(name), readText(std::string(TESSALY_SOURCE_DIR) + "/examples/" + name));
    }
    RunResult run = runProgram(dir.path(), "wind.txt\n");
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_TRUE(contains(run.out, "Done."));
    // The tripped line leaves the grid connected, so every later re-solve converges.
    EXPECT_FALSE(contains(run.out, "did not converge"));

    // 5 nodes, 500 steps, 50 settling steps, records every 100 counted steps,
    // 12 line records; two wind parts times the configurations {1} and {0, 1}.
    const long nodes = 5, steps = 500, records = 5, lineRecords = 12, bins = 5000;
    // The cascade runs first and finds "surv" and "flanks" made for it, in the
    // first configuration too.
    EXPECT_FALSE(contains(run.err, "cannot write")) << run.err;
    for (const char* name : {"windw0tn0", "windw0tn1", "windw1tn0", "windw1tn1"}) {
        const std::string d = dir.path() + "/";
        const std::string r = name;
        const long survivalWriters = 3;
        // Cascade and all-node survival: records and a NaN each; per node: records and N NaNs.
        expectedSize(d + "surv/surv" + r,
                     8 * ((records + 1) * (survivalWriters - 1) + (records + 1) * nodes));
        expectedSize(d + "hist/histFreq" + r, 4 * nodes * bins);
        expectedSize(d + "hist/histIncrFreq" + r + "-0.5", 4 * nodes * bins);
        expectedSize(d + "hist/histIncrFreq" + r + "-1", 4 * nodes * bins);
        expectedSize(d + "stochcas/maxL" + r, 8 * steps);
        expectedSize(d + "stochcas/maxLp" + r, 8 * steps);
        expectedSize(d + "stochcas/maxlij" + r, 4 * 2 * steps);
        expectedSize(d + "flow/fij" + r, 8 * 4 * lineRecords);
        expectedSize(d + "frequency/freqTraj" + r, 8 * (steps - 1) * nodes);
        expectedSize(d + "phase/phasTraj" + r, 8 * (steps - 1) * nodes);

        long trips = fileSize(d + "stochcas/stochcasI" + r);
        EXPECT_EQ(fileSize(d + "stochcas/stochcasII" + r), trips);
        EXPECT_EQ(fileSize(d + "stochcas/stochcasT" + r), 2 * trips);
        // Each analysis writes a NaN after each node's upward and downward list.
        std::vector<double> flanks = readDoubles(d + "flanks/flanks" + r);
        EXPECT_EQ(std::count_if(flanks.begin(), flanks.end(), [](double x) { return std::isnan(x); }),
                  survivalWriters * 2 * nodes);
    }
    // Interpolated series of 500 values; node 1 turns in both configurations.
    for (const char* part : {"w0", "w1"}) {
        expectedSize(dir.file("pseries/windtn0") + part, 8 * steps);
        expectedSize(dir.file("pseries/windtn1") + part, 8 * 2 * steps);
    }
    // Step-function and interpolated wind speeds for each of six turbine runs.
    expectedSize(dir.file("windspeedwind"), 8 * 6 * 2 * steps);
    EXPECT_TRUE(fileExists(dir.file("Paramwindw1tn1")));
}

}  // namespace
