// The raster driver and its four modes on a small grid with a known steady
// state, the input limits, and the program end to end.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>

#include "util/CodeUtils.h"
#include "dynamics/Function.h"
#include "input/Param.h"
#include "grid/PowerGrid.h"
#include "analyses/raster/RasterObservers.h"
#include "analyses/raster/RasterReturnTime.h"
#include "dynamics/RungeKutta.h"
#include "SimulationFixture.h"
#include "TestSupport.h"
#include "diagnostics/Diagnostics.h"

using namespace testsupport;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kA = std::asin(0.5);
const char* const kResultDirs[] = {"heijtor", "frequency", "ijtor", "phase", "etraj", "ipm"};

// Chain 0-1-2-3 with couplings 2 in both directions, no phase shifts, powers
// 1, 0, -1, 0: the steady state is (a, 0, -a, -a) with sin a = 1/2.
void buildChain(PowerGrid& grid, double damping) {
    grid.setNumNodes(4);
    const double power[4] = {1, 0, -1, 0};
    const double steady[4] = {kA, 0, -kA, -kA};
    for (int i = 0; i < 4; ++i) {
        Node* node = grid.getNode(i);
        node->setPowerMechInit(power[i]);
        node->setPowerMech(power[i]);
        node->setDamping(damping);
        node->setInertia(2);
        node->setInertiaInv(0.5);
        node->setVoltPhaseSs(steady[i]);
    }
    for (int i = 0; i < 3; ++i) {
        grid.provideTrLine(i, i + 1)->setCouplingMag(2);
        grid.provideTrLine(i + 1, i)->setCouplingMag(2);
    }
}

class RasterRun : public SimulationTest {
protected:
    std::unique_ptr<RasterReturnTime> raster;

    void SetUp() override {
        buildChain(grid, 0.5);
        startSimulation(3, "run");
        raster = std::make_unique<RasterReturnTime>(&grid);
    }

    // One frequency row at node `node` with offset f and one phase offset p.
    void singleCondition(int node, double f, double p) {
        raster->setFirstPertNode(node);
        raster->setLastPertNode(node + 1);
        raster->setFreqPertMin(f);
        raster->setFreqPertMax(f + 1);
        raster->setFreqStepw(1);
        raster->setPhasePertMin(p);
        raster->setPhasePertMax(p);
        raster->setPhaseStepw(0);
    }
    void oneThreshold(double thr) {
        raster->setNumOfThresh(1);
        raster->setThresholdLow(thr);
        raster->setThresholdHigh(thr);
        raster->resetThresh();
    }
    void run() {
        testing::internal::CaptureStdout();
        raster->rasterRT(param, *function);
        testing::internal::GetCapturedStdout();
    }
    std::vector<double> result(const std::string& middle) { return readDoubles(middle + "run"); }
    long count(const std::string& middle) {
        long bytes = fileSize(middle + "run");
        return bytes < 0 ? -1 : bytes / 8;
    }
    std::vector<double> steady() { return grid.getVoltAngSS(); }
};

TEST_F(RasterRun, WalksNodesThenFrequencyRowsThenPhaseOffsets) {
    param.modeRMRT = true;
    param.rkSteps = 1;
    raster->setFirstPertNode(2);
    raster->setLastPertNode(4);
    raster->setFreqPertMax(0.2);
    raster->setFreqStepw(0.1);
    raster->setPhasePertMax(0.5);
    raster->setPhaseStepw(0.25);
    testing::internal::CaptureStdout();
    raster->rasterRT(param, *function);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Directory heijtor created\nDirectory frequency created\nDirectory ijtor created\n"
              "Directory phase created\nDirectory etraj created\nDirectory ipm created\n");

    std::vector<double> rec = result("ijtor/ijtor");
    const double expected[8][3] = {{2, 0, 0}, {2, 0, 0.25}, {2, 0.1, 0}, {2, 0.1, 0.25},
                                   {3, 0, 0}, {3, 0, 0.25}, {3, 0.1, 0}, {3, 0.1, 0.25}};
    ASSERT_EQ(rec.size(), 8u * 4 * 5);
    for (int c = 0; c < 8; ++c) {
        for (int j = 0; j < 4; ++j) {
            const double* g = &rec[(c * 4 + j) * 5];
            int node = static_cast<int>(expected[c][0]);
            EXPECT_EQ(g[0], node) << c;
            EXPECT_EQ(g[1], j);
            EXPECT_EQ(g[2], steady()[node] + expected[c][2]) << c;
            EXPECT_DOUBLE_EQ(g[3], expected[c][1]) << c;
        }
    }

    // The walk happens once per object.
    run();
    EXPECT_EQ(count("ijtor/ijtor"), 8 * 4 * 5);
}

TEST_F(RasterRun, EqualPhaseLimitsRunOneOffsetPerRow) {
    param.modeRMRT = true;
    param.rkSteps = 1;
    raster->setFirstPertNode(2);
    raster->setLastPertNode(4);
    raster->setFreqPertMax(0.2);
    raster->setFreqStepw(0.1);
    raster->setPhasePertMin(1);
    raster->setPhasePertMax(1);
    raster->setPhaseStepw(0.25);
    run();
    std::vector<double> rec = result("ijtor/ijtor");
    ASSERT_EQ(rec.size(), 4u * 4 * 5);
    for (int c = 0; c < 4; ++c) EXPECT_EQ(rec[c * 20 + 2], steady()[c < 2 ? 2 : 3] + 1);
}

TEST_F(RasterRun, EmptyRasterCreatesDirectoriesButNoFiles) {
    param.modeRMRT = param.modeERT = param.modeMaxp = param.modeStraj = true;
    raster->setLastPertNode(4);
    run();
    for (const char* d : kResultDirs) EXPECT_TRUE(fileExists(d)) << d;
    EXPECT_EQ(count("ijtor/ijtor"), -1);
    EXPECT_EQ(count("frequency/frequency"), -1);

    // Offsets that could never end a row are harmless when no node is walked.
    RasterReturnTime noNodes(&grid);
    noNodes.setFreqPertMax(0.2);
    noNodes.setPhasePertMax(0.5);
    testing::internal::CaptureStdout();
    EXPECT_NO_THROW(noNodes.rasterRT(param, *function));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(count("ijtor/ijtor"), -1);
}

TEST_F(RasterRun, RecordSizesPerInitialCondition) {
    param.modeRMRT = param.modeERT = param.modeMaxp = param.modeStraj = true;
    oneThreshold(0.05);
    singleCondition(1, 0.1, 0.2);
    raster->setFreqPertMax(1.05);  // two frequency rows: 0.1 and 1.1 > max
    raster->setFreqStepw(0.5);
    run();
    const int ics = 2;
    EXPECT_EQ(count("frequency/freqTraj"), ics * 2 * 4);
    EXPECT_EQ(count("phase/phasTraj"), ics * 2 * 4);
    EXPECT_EQ(count("ipm/ipm"), ics * 8 * 4);
    EXPECT_EQ(count("ijtor/ijtor"), ics * 5 * 4);
    EXPECT_EQ(count("heijtor/heijtor"), ics * 5);
    EXPECT_EQ(count("etraj/etraj"), ics * 2);
    EXPECT_EQ(count("frequency/frequencyTraj"), -1);  // sampling every 98 steps of 3
    EXPECT_EQ(count("frequency/frequency"), ics * 2 * 2 * 4);  // energy block, then return-time block
    EXPECT_EQ(count("phase/phase"), ics * 2 * 2 * 4);

    // Both blocks of one condition hold its initial and its final state.
    std::vector<double> freq = result("frequency/frequency");
    std::vector<double> traj = result("frequency/freqTraj");
    for (int block = 0; block < 2; ++block) {
        EXPECT_EQ(freq[block * 8 + 1], 0.1);
        for (int j = 0; j < 4; ++j) EXPECT_EQ(freq[block * 8 + 4 + j], traj[4 + j]);
    }
}

TEST_F(RasterRun, NoStepsStillWritesRecordsOfTheInitialState) {
    param.modeRMRT = param.modeERT = param.modeMaxp = param.modeStraj = true;
    param.setEnThresh(0.1);
    for (int steps : {1, 0}) {
        param.rkSteps = steps;
        raster = std::make_unique<RasterReturnTime>(&grid);
        oneThreshold(0.05);
        singleCondition(1, 0.3, 0.2);
        run();
    }
    EXPECT_EQ(count("frequency/freqTraj"), -1);
    EXPECT_EQ(count("phase/phasTraj"), -1);
    EXPECT_EQ(count("frequency/frequencyTraj"), -1);
    EXPECT_EQ(count("etraj/etraj"), 0);

    std::vector<double> ipm = result("ipm/ipm");
    ASSERT_EQ(ipm.size(), 2u * 8 * 4);
    for (int g = 0; g < 8; ++g) {
        for (int k = 4; k < 8; ++k) EXPECT_EQ(ipm[g * 8 + k], 0.0);
    }
    std::vector<double> ijtor = result("ijtor/ijtor");
    ASSERT_EQ(ijtor.size(), 2u * 5 * 4);
    for (int g = 0; g < 8; ++g) EXPECT_EQ(ijtor[g * 5 + 4], kInf);
    std::vector<double> heijtor = result("heijtor/heijtor");
    ASSERT_EQ(heijtor.size(), 10u);
    EXPECT_EQ(heijtor[4], kInf);
    EXPECT_EQ(heijtor[9], kInf);

    std::vector<double> freq = result("frequency/frequency");
    std::vector<double> phase = result("phase/phase");
    ASSERT_EQ(freq.size(), 2u * 2 * 2 * 4);
    ASSERT_EQ(phase.size(), freq.size());
    for (size_t k = 0; k < freq.size(); ++k) {
        int node = static_cast<int>(k % 4);
        EXPECT_EQ(freq[k], node == 1 ? 0.3 : 0.0) << k;
        EXPECT_EQ(phase[k], steady()[node] + (node == 1 ? 0.2 : 0.0)) << k;
    }
}

TEST_F(RasterRun, TrajectoryRecordsEveryStepWithWrappedPhases) {
    param.rkSteps = 4;
    param.modeStraj = true;
    singleCondition(0, 0.1, 4.0);  // a phase outside the principal range
    run();

    std::vector<double> om(4, 0.0), th = steady(), omNext(4), thNext(4);
    th[0] += 4.0;
    om[0] = 0.1;
    std::vector<double> freqTraj = result("frequency/freqTraj"), phasTraj = result("phase/phasTraj");
    ASSERT_EQ(freqTraj.size(), 3u * 4);
    ASSERT_EQ(phasTraj.size(), 3u * 4);
    for (int s = 0; s < 3; ++s) {
        rk->rk4(0.01, om.data(), th.data(), omNext.data(), thNext.data());
        om = omNext;
        th = thNext;
        for (int j = 0; j < 4; ++j) {
            EXPECT_EQ(freqTraj[s * 4 + j], om[j]);
            EXPECT_EQ(phasTraj[s * 4 + j], th[j]);
            EXPECT_LE(std::fabs(phasTraj[s * 4 + j]), 3.14159265359);
        }
    }
}

TEST_F(RasterRun, EnergyModeSamplesEveryRthStep) {
    param.rkSteps = 300;
    param.saveRKEvery = 98;
    param.modeERT = param.modeStraj = true;
    singleCondition(0, 0.2, 0);
    run();

    std::vector<double> samples = result("frequency/frequencyTraj");
    std::vector<double> phaseSamples = result("phase/phaseTraj");
    std::vector<double> every = result("frequency/freqTraj");
    std::vector<double> everyPhase = result("phase/phasTraj");
    ASSERT_EQ(samples.size(), 4u * 4);
    ASSERT_EQ(phaseSamples.size(), 4u * 4);
    ASSERT_EQ(every.size(), 299u * 4);
    const int sampledSteps[4] = {1, 99, 197, 295};
    for (int r = 0; r < 4; ++r) {
        for (int j = 0; j < 4; ++j) {
            EXPECT_EQ(samples[r * 4 + j], every[(sampledSteps[r] - 1) * 4 + j]);
            EXPECT_EQ(phaseSamples[r * 4 + j], everyPhase[(sampledSteps[r] - 1) * 4 + j]);
        }
    }
    EXPECT_EQ(count("etraj/etraj"), 299);

    param.saveRKEvery = 300;
    param.modeStraj = false;
    raster = std::make_unique<RasterReturnTime>(&grid);
    singleCondition(0, 0.2, 0);
    run();
    EXPECT_EQ(count("frequency/frequencyTraj"), 16);
    EXPECT_EQ(count("etraj/etraj"), 2 * 299);
}

// Every initial condition starts from an empty return table: a kicked one
// first leaves node 1 inside its band since a late step, the condition at
// rest after it is inside from the first step on.
TEST_F(RasterRun, ReturnTimesAreMeasuredPerInitialCondition) {
    param.modeRMRT = true;
    param.rkSteps = 200;
    oneThreshold(0.05);
    singleCondition(1, -0.06, 0);
    raster->setFreqPertMax(0.01);
    raster->setFreqStepw(0.06);  // offsets -0.06, then 0
    testing::internal::CaptureStdout();
    raster->rasterRT(param, *function, Parallelism{1});
    testing::internal::GetCapturedStdout();
    std::vector<double> rec = result("ijtor/ijtor");
    ASSERT_EQ(rec.size(), 2u * 20);
    EXPECT_GT(rec[1 * 5 + 4], 0.02);
    EXPECT_LT(rec[1 * 5 + 4], 1.99);
    for (int j = 0; j < 4; ++j) EXPECT_EQ(rec[20 + j * 5 + 4], 0.01) << j;
}

TEST_F(RasterRun, MaximaArePerInitialConditionAndSigned) {
    param.modeMaxp = true;
    param.rkSteps = 20;
    singleCondition(0, -0.3, 0);
    raster->setFreqPertMax(0.01);
    raster->setFreqStepw(0.3);  // kicked by -0.3, then at rest
    testing::internal::CaptureStdout();
    raster->rasterRT(param, *function, Parallelism{1});
    testing::internal::GetCapturedStdout();

    std::vector<double> rec = result("ipm/ipm");
    ASSERT_EQ(rec.size(), 2u * 32);
    const double* kicked = &rec[0];
    EXPECT_EQ(kicked[0], 0.0);
    EXPECT_EQ(kicked[3], -0.3);
    EXPECT_LT(kicked[4], -0.2);
    EXPECT_EQ(kicked[5], 0.01);
    for (int j = 0; j < 4; ++j) {
        const double* atRest = &rec[32 + j * 8];
        EXPECT_LT(std::fabs(atRest[4]), 1e-12) << j;
        EXPECT_NEAR(atRest[6], steady()[j], 1e-12) << j;
        if (j != 1) {
            EXPECT_EQ(atRest[7], 0.01) << j;  // ties keep the first time
        }
    }
}

TEST_F(RasterRun, EnergyVanishesAtRestAndDecaysOnALosslessGrid) {
    EnergyMeasure energy(grid);
    std::vector<double> phases = steady(), freqs(4, 0.0);
    EXPECT_NEAR(energy.current(phases.data(), freqs.data()), 0.0, 1e-14);
    EXPECT_NEAR(energy.harmonic(phases.data(), freqs.data()), 0.0, 1e-14);

    freqs[2] = 0.3;
    EXPECT_NEAR(energy.kinetic(freqs.data()), 0.5 * 2 * 0.09, 1e-15);
    EXPECT_NEAR(energy.current(phases.data(), freqs.data()), 0.09, 1e-14);

    // Near the steady state the energy is its quadratic approximation.
    freqs[2] = 0.0;
    phases[1] += 1e-3;
    phases[3] -= 2e-3;
    double e = energy.current(phases.data(), freqs.data());
    double quadratic = energy.harmonic(phases.data(), freqs.data());
    EXPECT_GT(e, 0.0);
    EXPECT_NEAR(e, quadratic, 1e-3 * quadratic);

    param.modeERT = true;
    param.rkSteps = 600;
    param.saveRKEvery = 1000;
    singleCondition(0, 0.05, 0);
    run();
    std::vector<double> trajectory = result("etraj/etraj");
    ASSERT_EQ(trajectory.size(), 599u);
    EXPECT_GT(trajectory.front(), 0.0);
    EXPECT_LT(trajectory.back(), 0.5 * trajectory.front());
    for (size_t s = 1; s < trajectory.size(); ++s) EXPECT_LE(trajectory[s], trajectory[s - 1] + 1e-15) << s;
}

// The return time of each initial condition is the step after which its own
// energy stays below the threshold.
TEST_F(RasterRun, EnergyReturnTimeIsPerInitialCondition) {
    param.modeERT = true;
    param.rkSteps = 400;
    param.setEnThresh(0.02);
    singleCondition(0, -0.2, 0);
    raster->setFreqPertMax(0.3);
    raster->setFreqStepw(0.2);  // -0.2 (energy 0.04 at the start), 0, 0.2
    run();

    std::vector<double> energy = result("etraj/etraj");
    std::vector<double> rec = result("heijtor/heijtor");
    ASSERT_EQ(energy.size(), 3u * 399);
    ASSERT_EQ(rec.size(), 15u);
    for (int c = 0; c < 3; ++c) {
        size_t lastAbove = 0;
        for (size_t s = 0; s < 399; ++s) {
            if (energy[c * 399 + s] >= 0.02) lastAbove = s + 1;
        }
        ASSERT_LT(lastAbove, 399u) << c;
        EXPECT_DOUBLE_EQ(rec[c * 5 + 4], (lastAbove + 1) * 0.01) << c;
        EXPECT_DOUBLE_EQ(rec[c * 5 + 3], -0.2 + 0.2 * c) << c;
    }
    EXPECT_EQ(rec[9], 0.01);
    EXPECT_GT(rec[4], 0.02);
}

struct LimitCase {
    std::string name;
    std::function<void(RasterReturnTime&, Param&)> configure;
    std::string message;
};

// The fast kernel changes last bits only: every return time of a raster with
// all return-time modes stays the same, and the states agree to rounding.
TEST_F(RasterRun, FastKernelGivesTheSameReturnTimes) {
    param.modeRMRT = param.modeERT = param.modeMaxp = true;
    param.rkSteps = 2500;
    param.setEnThresh(0.05);
    for (const char* name : {"exact", "fast"}) {
        param.outputFilename = name;
        function->useFastKernel(name == std::string("fast"));
        raster = std::make_unique<RasterReturnTime>(&grid);
        raster->setNumOfThresh(3);
        raster->setThresholdLow(0.01);
        raster->setThresholdHigh(0.1);
        raster->setFirstPertNode(0);
        raster->setLastPertNode(4);
        raster->setFreqPertMin(-0.6);
        raster->setFreqPertMax(0.7);
        raster->setFreqStepw(0.4);
        raster->setPhasePertMin(-1);
        raster->setPhasePertMax(1.5);
        raster->setPhaseStepw(0.5);
        run();
    }
    EXPECT_NE(readText("ipm/ipmexact"), readText("ipm/ipmfast"));  // the fast kernel did run
    for (const char* file : {"ijtor/ijtor", "heijtor/heijtor"}) {
        std::vector<double> exact = readDoubles(std::string(file) + "exact");
        ASSERT_EQ(exact.size(), 4u * 4 * 5 * 5 * (std::string(file) == "ijtor/ijtor" ? 4 : 1));
        EXPECT_EQ(exact, readDoubles(std::string(file) + "fast")) << file;
    }
    std::vector<double> exact = readDoubles("ipm/ipmexact"), fast = readDoubles("ipm/ipmfast");
    ASSERT_EQ(exact.size(), fast.size());
    for (size_t k = 0; k < exact.size(); ++k) EXPECT_NEAR(fast[k], exact[k], 1e-12) << k;
}

TEST_F(RasterRun, UnusableConfigurationsStopBeforeWriting) {
    using R = RasterReturnTime;
    const std::vector<LimitCase> cases = {
        {"last node", [](R& r, Param&) { r.setLastPertNode(5); },
         "\"Last pert node\" is 5, but the grid has 4 nodes (allowed 0..4)"},
        {"first node", [](R& r, Param&) { r.setFirstPertNode(-1); },
         "\"First pert node\" is -1, but the grid has 4 nodes (allowed 0..3)"},
        {"freq step", [](R& r, Param&) { r.setFreqStepw(0); }, "\"Freq pert step\" is 0, but"},
        {"freq max", [](R& r, Param&) { r.setFreqPertMax(kInf); }, "\"Freq pert maximum\" is inf, but it must be finite"},
        {"phase step", [](R& r, Param&) { r.setPhaseStepw(-0.1); }, "\"Phase pert step\" is -0.1, but"},
        // Steps that leave an offset where it is would never end the walk.
        {"freq step below precision", [](R& r, Param&) { r.setFreqPertMin(1e20), r.setFreqPertMax(2e20); },
         "\"Freq pert step\" is 0.1, too small to move the offsets from \"Freq pert minimum\" (1e+20)"},
        {"phase step below precision", [](R& r, Param&) { r.setPhasePertMax(1e17); },
         "\"Phase pert step\" is 0.25, too small to move the offsets from \"Phase pert minimum\" (0) to "
         "\"Phase pert maximum\" (1e+17)"},
        {"phase step, equal limits", [](R& r, Param&) { r.setPhasePertMax(0), r.setPhaseStepw(-0.1); },
         "\"Phase pert step\" is -0.1, but"},
        {"node count maxp", [](R&, Param& p) { p.numNodes = 3, p.modeMaxp = true; },
         "\"Number of nodes\" is 3, but the grid has 4 nodes (they must be equal while \"Mode maxp\" is on)"},
        {"node count ERT", [](R&, Param& p) { p.numNodes = 5, p.modeERT = true; },
         "\"Number of nodes\" is 5, but the grid has 4 nodes (they must be equal while \"Mode ERT\" is on)"},
        {"save every", [](R&, Param& p) { p.saveRKEvery = 0, p.modeERT = true; },
         "\"Save RK every\" is 0, but it must be at least 1 while \"Mode ERT\" is on"},
        {"threshold count", [](R& r, Param& p) { r.setNumOfThresh(-2), p.modeRMRT = true; },
         "\"Num of thresh\" is -2, but it must be at least 0"},
    };
    for (const LimitCase& c : cases) {
        Param p;
        p.numNodes = 4;
        RasterReturnTime r(&grid);
        r.setLastPertNode(4);
        r.setFreqPertMax(0.2);
        r.setFreqStepw(0.1);
        r.setPhasePertMax(0.5);
        r.setPhaseStepw(0.25);
        c.configure(r, p);
        try {
            r.rasterRT(p, *function);
            ADD_FAILURE() << c.name << ": no error";
        } catch (const InputError& e) {
            EXPECT_TRUE(contains(e.what(), c.message)) << c.name << ": " << e.what();
        }
        EXPECT_FALSE(fileExists("heijtor")) << c.name;
    }

    // The same node-count difference is harmless for the modes that use the grid's count.
    param.numNodes = 3;
    param.modeRMRT = true;
    param.rkSteps = 1;
    singleCondition(0, 0, 0);
    run();
    EXPECT_EQ(count("ijtor/ijtor"), 20);
}

const char* const kBadRangeInput =
    "Number of nodes\n2\nRK steps\n3\nMode raster rt\nMode RMRT\n"
    "Power mech\n0.5 -0.5\nDamping\n0.1\nInertia\n1\nCoupling mag\n0 1\n1 0\n"
    "First pert node\n0\nLast pert node\n7\nFreq pert maximum\n0.1\nFreq pert step\n0.1\n";

TEST(RasterProgram, InputLimitEndsTheRunWithStatusTwo) {
    ScratchDir dir;
    RunResult r = runOnInput(dir.path(), kBadRangeInput);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(contains(r.err, "tessaly: error: \"Last pert node\" is 7, but the grid has 2 nodes (allowed 0..2)"))
        << r.err;
    for (const char* d : kResultDirs) EXPECT_FALSE(fileExists(dir.file(d))) << d;
}

TEST(RasterProgram, ExampleRunsEveryMode) {
    ScratchDir dir;
    writeText(dir.file("raster.txt"), readText(TESSALY_SOURCE_DIR "/examples/raster.txt"));
    RunResult r = runProgram(dir.path(), "raster.txt\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "read Num of thresh\n"));
    for (const char* file : {"heijtor/heijtor", "etraj/etraj", "frequency/frequencyTraj", "frequency/frequency",
                             "ijtor/ijtor", "ipm/ipm", "frequency/freqTraj", "phase/phasTraj"}) {
        EXPECT_GT(fileSize(dir.file(std::string(file) + "raster")), 0) << file;
    }
    EXPECT_TRUE(contains(readText(dir.file("Paramraster")), "=============== Raster return time Input"));
}

}  // namespace
