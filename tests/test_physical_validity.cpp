// Runs whose numbers mean nothing say so: trajectories that blow up, and
// the exit status that tells a script which problem to mend first.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>

#include "TestSupport.h"

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
