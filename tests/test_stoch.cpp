// The stochastic wind-input analysis in process: its reader and report, wind
// series to turbine power, the driver, and the five analyses on a small grid.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <numeric>

#include "util/CodeUtils.h"
#include "dynamics/Function.h"
#include "util/MTRand.h"
#include "input/Param.h"
#include "grid/PowerGrid.h"
#include "diagnostics/RunStatus.h"
#include "dynamics/RungeKutta.h"
#include "analyses/stochastic/StochasticInput.h"
#include "SimulationFixture.h"
#include "TestSupport.h"
#include "diagnostics/Diagnostics.h"

using namespace testsupport;

namespace {

const double kRated3 = 12.5 * 12.5 * 12.5;

// Triangle 0-1-2, couplings and admittances 8 in both directions, generators
// at 0 and 1 (powers 1.5 and 0.5), a load of -2 at node 2, the reference node.
void buildTriangle(PowerGrid& grid, double capacity) {
    grid.setNumNodes(3);
    const double power[3] = {1.5, 0.5, -2};
    const short type[3] = {Node::GENERATOR, Node::GENERATOR, Node::LOAD};
    for (int i = 0; i < 3; ++i) {
        Node* node = grid.getNode(i);
        node->setType(type[i]);
        node->setPowerMechInit(power[i]);
        node->setPowerMech(power[i]);
        node->setDamping(0.5);
        node->setInertia(1);
        node->setInertiaInv(1);
        node->setVoltMagSs(1);
        for (int j = 0; j < 3; ++j) {
            if (j == i) continue;
            TransmissionLine* line = grid.provideTrLine(i, j);
            line->setCouplingMag(8);
            line->setAdmittanceMag(8);
            line->setCapacity(capacity);
        }
    }
    grid.setRefNode(2);
    grid.calcCflow();
}

bool isNan(double x) { return std::isnan(x); }

class Stoch : public SimulationTest {
protected:
    std::unique_ptr<StochasticInput> stoch;

    void SetUp() override {
        buildTriangle(grid, 100);
        grid.NRPF();
        param.setRandSeed(7);
        startSimulation(250, "run");
        stoch = std::make_unique<StochasticInput>(&grid, &param);
    }

    // Reads `text` as the analysis' part of an input file; returns what the
    // reader printed.
    std::string read(const std::string& text) {
        writeText("input.txt", text);
        testing::internal::CaptureStdout();
        stoch->readFromFile("input.txt");
        return testing::internal::GetCapturedStdout();
    }

    // Turbine at node 0 whose derived rated power makes it deliver the node's
    // own 1.5 at the mean wind speed 8: with a steady wind of 8 the grid stays
    // at its steady state.
    void quietTurbineAtNode0(int windSamples) {
        param.setModeStepFun(true);
        stoch->turbineNodes = {{0}};
        stoch->windSeries = {std::vector<double>(windSamples, 8.0)};
    }
};

// ---- reader and report -----------------------------------------------------------

TEST_F(Stoch, ReportOfDefaults) {
    EXPECT_EQ(read("RK steps\n100\n"), "-------------------- StochasticInput reading  --------------------\n");
    EXPECT_EQ(stoch->toString(),
              "=================== Stochastic Input ====================\n"
              "----------------- Algorithm Parameters ------------------\n"
              "TurbineNodeConfigs: \n"
              "\n"
              "------------------ Turbine Parameters -------------------\n"
              "Rated speed: 12.5\n"
              "Rated power: \n"
              "\n"
              "Average speed: 8\n"
              "\n"
              "---------------------- Exceedance -----------------------\n"
              "Threshold: 0.01\n"
              "InitializationSteps: 0\n"
              "Interval: 100\n"
              "\n"
              "----------------- Frequency Histogram -------------------\n"
              "Bin width: 0.005\n"
              "Number of bins: 5000\n"
              "Minimum Frequency: -12.5\n"
              "Maximum Frequency: 12.5\n"
              "\n\n");
}

TEST_F(Stoch, MatrixHandsItsEndingLineBackAndOddBinNumberLosesABin) {
    std::string out = read(
        "Turbine nodes\n0 1\n2\nTurbine vrated\n10\n"
        "Freq hist bin num\n7\n"
        "Freq time lags\n0.5 1 0.005 -0.005\n"
        "Wind series\n1 2 3\n4 5\nWind mult\n");
    EXPECT_EQ(out,
              "-------------------- StochasticInput reading  --------------------\n"
              "read Turbine nodes\nread Turbine vrated\nread Freq hist bin num\n"
              "read Freq time lags\nread Wind series\nread Wind mult\n");
    EXPECT_EQ(stoch->turbineNodes, (std::vector<std::vector<int>>{{0, 1}, {2}}));
    EXPECT_EQ(stoch->turbineVrated, 10);
    EXPECT_EQ(stoch->getFreqHistBinNum(), 6);
    EXPECT_EQ(stoch->freqHistHalfBins, 3);
    // Halves round away from zero.
    EXPECT_EQ(stoch->timeLagSteps, (std::vector<int>{50, 100, 1, -1}));
    EXPECT_EQ(stoch->windSeries, (std::vector<std::vector<double>>{{1, 2, 3}, {4, 5}}));
    EXPECT_TRUE(stoch->isMultipleWindSer());

    std::string report = stoch->toString();
    EXPECT_TRUE(contains(report, "TurbineNodeConfigs: \n0 1 \n2 \n\n"));
    EXPECT_TRUE(contains(report, "Minimum Frequency: -0.015\nMaximum Frequency: 0.015\n"));
}

TEST_F(Stoch, EmptyLineAfterStochFilenameEndsTheBlock) {
    read("Turbine vmean\n9\nStoch filename\n\nTurbine vrated\n10\n");
    EXPECT_EQ(stoch->stochFilename, "");
    EXPECT_EQ(stoch->turbineVmean, 9);
    EXPECT_EQ(stoch->turbineVrated, 12.5);
}

TEST_F(Stoch, WindSeriesExtThatCannotBeReadIsAnInputError) {
    for (const char* text : {"Wind series ext\n\nWind mult\n", "Wind series ext\nmissing.txt\n"}) {
        try {
            read(text);
            ADD_FAILURE() << "no error for " << text;
        } catch (const InputError& error) {
            testing::internal::GetCapturedStdout();
            EXPECT_TRUE(contains(error.what(), "\"Wind series ext\" names the file \"")) << error.what();
        }
    }
    // The file name line is a line value: an empty one ends the block.
    EXPECT_FALSE(stoch->isMultipleWindSer());
}

TEST_F(Stoch, ReportFileFollowsTheReportSwitch) {
    param.writeParamFile = false;
    EXPECT_FALSE(stoch->toFile(&param));
    EXPECT_FALSE(fileExists("Paramrun"));
    param.writeParamFile = true;
    EXPECT_TRUE(stoch->toFile(&param));
    EXPECT_TRUE(stoch->toFile(&param));
    EXPECT_EQ(readText("Paramrun"), stoch->toString() + stoch->toString());

    // A report that cannot be written is not skipped silently.
    param.outputFilename = "missing-dir/run";
    testing::internal::CaptureStderr();
    EXPECT_TRUE(stoch->toFile(&param));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot write Parammissing-dir/run"), std::string::npos);
}

TEST_F(Stoch, CommentsForeignLinesAndExternalWindSeries) {
    writeText("series.txt", "7 8 9\n10 11\n\n12\n");
    read("// Wind series\n1 2 3\nTurbine vmean \n9\nStoch filename\nmine\n"
         "Wind series ext\nseries.txt\nRenewable share\n0.5 0.25\nTurbine prated\n3 4\n");
    EXPECT_EQ(stoch->windSeries, (std::vector<std::vector<double>>{{7, 8, 9}, {10, 11}}));
    EXPECT_EQ(stoch->turbineVmean, 8);
    EXPECT_EQ(stoch->stochFilename, "mine");
    EXPECT_TRUE(stoch->isFlucShare());
    EXPECT_TRUE(stoch->isPratedGiven());
    EXPECT_EQ(stoch->turbinePrated, (std::vector<double>{3, 4}));
    EXPECT_TRUE(contains(stoch->toString(), "Rated power: \n3 4 \n"));
}

// ---- wind series to power ----------------------------------------------------------

TEST_F(Stoch, PowerCurveSaturatesAtRatedSpeed) {
    stoch->turbinePrated = {0, 0, 1000};
    double pfac = stoch->powerCurvePfac(2);
    EXPECT_DOUBLE_EQ(pfac, 1000 / kRated3);
    EXPECT_DOUBLE_EQ(stoch->powerCurveFunc(-15, pfac), 1000);
    EXPECT_DOUBLE_EQ(stoch->powerCurveFunc(6.25, pfac), 125);
    EXPECT_DOUBLE_EQ(stoch->powerCurveFunc(-6.25, pfac), 125);
}

TEST_F(Stoch, StepFunctionHoldsEverySampleForOneTimeUnit) {
    param.setModeStepFun(true);
    stoch->turbinePrated = {kRated3, 0, 0};  // power = speed cubed
    std::vector<double> speed = {2, 3, 4};
    std::vector<double> power;
    stoch->stochasticPseries(0, &speed, &power, param);
    ASSERT_EQ(power.size(), 200u);
    EXPECT_EQ(std::count(power.begin(), power.begin() + 100, 8.0), 100);
    EXPECT_EQ(std::count(power.begin() + 100, power.end(), 27.0), 100);

    std::vector<double> single = {5};
    stoch->stochasticPseries(0, &single, &power, param);
    EXPECT_TRUE(power.empty());
}

TEST_F(Stoch, GivenSeriesIsOnePowerValuePerSampleAndDecidesLast) {
    param.setModeStepFun(true);
    param.setModeGivenSeries(true);
    stoch->turbinePrated = {kRated3, 0, 0};
    std::vector<double> speed = {2, -3, 20};
    std::vector<double> power;
    stoch->stochasticPseries(0, &speed, &power, param);
    EXPECT_EQ(power, (std::vector<double>{8, 27, kRated3}));
}

TEST_F(Stoch, InterpolationStartsAtTheSampleAndUsesFreshSeeds) {
    std::vector<double> first = stoch->stochInterp(param, {0.0, 1.0}, {5, 9}, 0.01);
    std::vector<double> second = stoch->stochInterp(param, {0.0, 1.0}, {5, 9}, 0.01);
    EXPECT_EQ(param.getRandSeed(), 9u);
    ASSERT_EQ(first.size(), 100u);
    ASSERT_EQ(second.size(), 100u);
    EXPECT_EQ(first[0], 5);
    EXPECT_EQ(second[0], 5);
    EXPECT_NE(first, second);

    param.setRandSeed(7);
    EXPECT_EQ(stoch->stochInterp(param, {0.0, 1.0}, {5, 9}, 0.01), first);
}

TEST_F(Stoch, InterpolationBlendsForwardAndBackwardPaths) {
    // Two values per interval: the sample itself, then the mean of the far end
    // and one relaxation step of the forward path from generator A (seed s).
    const double d1 = stoch->windD1;
    const double dt = 0.5;
    std::vector<double> values = stoch->stochInterp(param, {0.0, 1.0}, {4, 10}, dt);
    ASSERT_EQ(values.size(), 2u);
    MTRand forward(8);
    double xi = forward.randNorm(0.0, 2.0);
    double a1 = (10.0 - 4.0) / -1.0;
    double b1 = ((4.0 + 10.0) * 0.0 - 10.0 * 1.0) / -1.0;
    double f1 = 4 - (4 - a1 * 0.5 - b1) * d1 * dt + std::sqrt(d1 * dt) * xi;
    EXPECT_EQ(values[0], 4);
    EXPECT_DOUBLE_EQ(values[1], 0.5 * 10 + 0.5 * f1);
}

TEST_F(Stoch, InterpolationReadsTheBackwardPathInReverse) {
    // Four values per interval on the interval [1, 3]: both relaxation paths
    // in full, the backward one drawn from generator B (seed 2s).
    const double d1 = stoch->windD1;
    const double dt = 0.5;
    const double t0 = 1, t1 = 3, y0 = 4, y1 = 10;
    std::vector<double> values = stoch->stochInterp(param, {t0, t1}, {y0, 7, y1}, dt);
    ASSERT_EQ(values.size(), 4u);

    MTRand a(8), b(16);
    const double d = 2 * t0 - t1;
    const double a1 = (y1 - y0) / d, b1 = ((y0 + y1) * t0 - y1 * t1) / d;
    const double a2 = (y0 - y1) / d, b2 = ((y0 + y1) * t0 - y0 * t1) / d;
    std::vector<double> f = {y0}, g = {y1};
    for (int k = 0; k < 4; ++k) {
        const double t = t0 + (k + 1) * dt;
        const double xiA = a.randNorm(0.0, 2.0);
        const double xiB = b.randNorm(0.0, 2.0);
        f.push_back(f[k] - (f[k] - a1 * t - b1) * d1 * dt + std::sqrt(d1 * dt) * xiA);
        g.push_back(g[k] - (g[k] - a2 * t - b2) * d1 * dt + std::sqrt(d1 * dt) * xiB);
    }
    for (int m = 0; m < 4; ++m) {
        const double w = m / 4.0;
        EXPECT_DOUBLE_EQ(values[m], w * g[3 - m] + (1 - w) * f[m]) << "value " << m;
    }
}

TEST_F(Stoch, InterpolationModeSeriesAdvancesTheSeedPerSamplePair) {
    param.setModeSif(true);
    stoch->turbinePrated = {kRated3, 0, 0};
    std::vector<double> speed = {5, 9, 7};
    std::vector<double> power;
    stoch->stochasticPseries(0, &speed, &power, param);
    ASSERT_EQ(power.size(), 200u);
    EXPECT_DOUBLE_EQ(power[0], 125);
    EXPECT_DOUBLE_EQ(power[100], 729);
    EXPECT_EQ(param.getRandSeed(), 9u);

    std::vector<double> single = {5};
    stoch->stochasticPseries(0, &single, &power, param);
    EXPECT_TRUE(power.empty());
    EXPECT_EQ(param.getRandSeed(), 9u);
}

TEST_F(Stoch, DerivedRatedPowerDeliversTheNodePowerAtMeanSpeed) {
    grid.setPowerMech(1, 2);
    param.setModeGivenSeries(true);
    stoch->currentWindPart = {{8, 8, 16}};
    stoch->prepareTurbines(param, {1}, 0);
    ASSERT_EQ(stoch->turbinePrated.size(), 3u);
    EXPECT_DOUBLE_EQ(stoch->turbinePrated[1], 2 * std::pow(12.5 / 8, 3));
    ASSERT_EQ(stoch->powerSeries.size(), 1u);
    EXPECT_EQ(stoch->powerSeries[0][0], 2);
    EXPECT_DOUBLE_EQ(stoch->powerSeries[0][2], 2 * std::pow(12.5 / 8, 3));
}

TEST_F(Stoch, RenewableShareListIsPerTurbineOrPerNode) {
    param.setModeGivenSeries(true);
    stoch->flucShare = true;
    stoch->currentWindPart = {{8}, {8}};

    stoch->renewableShare = {0.7};
    stoch->prepareTurbines(param, {2}, 0);
    EXPECT_EQ(stoch->sharePower, (std::vector<double>{0, 0, 0.7}));
    // Only the share fluctuates: at the mean speed the node keeps its power.
    EXPECT_DOUBLE_EQ(stoch->powerSeries[0][0], grid.getPowerMech(2));

    stoch->renewableShare = {0.1, 0.2};
    stoch->prepareTurbines(param, {2}, 0);
    EXPECT_EQ(stoch->sharePower, (std::vector<double>{0.1, 0.2, 0}));
    stoch->prepareTurbines(param, {0, 2}, 0);
    EXPECT_EQ(stoch->sharePower, (std::vector<double>{0.1, 0, 0.2}));
}

TEST_F(Stoch, BalanceFactorKeepsTotalGenerationAndStationaryPointUsesIt) {
    stoch->powerSeries = {{0.25, 0.75}};
    stoch->calcBalanceFactor({1});
    // G = 1.5 + 0.5, mean turbine power 0.5, rest 2 - 0.5.
    EXPECT_DOUBLE_EQ(stoch->balanceFactor, 1.5 / 1.5);
    stoch->powerSeries = {{0.2, 0.4}};
    stoch->calcBalanceFactor({1});
    double factor = (2 - CodeUtils::dvecMean({0.2, 0.4})) / 1.5;
    EXPECT_EQ(stoch->balanceFactor, factor);

    stoch->setPowerMechStationary({1});
    EXPECT_EQ(grid.getPowerMech(0), 1.5 * factor);
    EXPECT_EQ(grid.getPowerMech(1), CodeUtils::dvecMean({0.2, 0.4}));
}

TEST_F(Stoch, WindSeriesIsCutIntoPartsOfTheRunLength) {
    param.rkSteps = 100;
    param.setStepWidth(0.1);
    param.setModeStepFun(true);
    std::vector<double> series(50);
    std::iota(series.begin(), series.end(), 0.0);
    int parts = 1;
    int len = 50;
    stoch->getPartsAndLen(parts, len, &series);
    EXPECT_EQ(len, 11);
    EXPECT_EQ(parts, 4);

    std::vector<std::vector<double>> all = {series, series};
    std::vector<std::vector<double>> current;
    stoch->getCurrentWindPart(3, len, &all, &current);
    ASSERT_EQ(current.size(), 2u);
    EXPECT_EQ(current[1].front(), 33);
    EXPECT_EQ(current[1].back(), 43);

    param.setModeGivenSeries(true);
    stoch->getPartsAndLen(parts, len, &series);
    EXPECT_EQ(len, 100);
    EXPECT_EQ(parts, 0);
}

// ---- driver ----------------------------------------------------------------------------

TEST_F(Stoch, RunsAreNamedAfterPartAndConfiguration) {
    param.setModeStepFun(true);
    param.rkSteps = 100;
    stoch->writeStoch = true;
    stoch->turbineNodes = {{0}, {1, 0}};
    stoch->windSeries = {{8, 9, 10, 11}, {8, 8, 8, 8}};
    stoch->stochSwing(param, *rk);
    EXPECT_EQ(param.outputFilename, "runtn1");
    // Three turbine runs, 300 step-function values each.
    EXPECT_EQ(fileSize("windspeedPseries"), 3 * 300 * 8);
    EXPECT_EQ(fileSize("pseries/Pseriestn0w0"), 2 * 300 * 8);
    EXPECT_EQ(fileSize("pseries/Pseriestn1w0"), 300 * 8);

    param.outputFilename = "run";
    stoch->writeStoch = false;
    stoch->multipleWindSer = true;
    stoch->windSeries = {{8, 9, 10, 11, 12, 13, 14}, {8, 8, 8, 8, 8, 8, 8}};
    stoch->stochSwing(param, *rk);  // parts of ceil(1) + 1 = 2 samples: 3 parts
    EXPECT_EQ(param.outputFilename, "runw2tn1");
}

// ---- analyses ----------------------------------------------------------------------------

TEST_F(Stoch, SurvivalRecordsFollowTheFirstCountedStepThenEveryInterval) {
    quietTurbineAtNode0(4);
    param.setModeSurv(true);
    stoch->timeLags = {0.5, 1};
    stoch->calcTLagSteps(stoch->timeLags);
    stoch->stochSwing(param, *rk);

    std::vector<double> surv = readDoubles("surv/survruntn0");
    ASSERT_EQ(surv.size(), 12u);
    EXPECT_EQ(std::vector<double>(surv.begin(), surv.begin() + 3), std::vector<double>(3, 1));
    EXPECT_EQ(std::vector<double>(surv.begin() + 3, surv.begin() + 9), std::vector<double>(6, 100));
    EXPECT_TRUE(std::all_of(surv.begin() + 9, surv.end(), isNan));

    std::vector<int32_t> hist = readInts("hist/histFreqruntn0");
    ASSERT_EQ(hist.size(), 3u * 5000);
    EXPECT_EQ(std::accumulate(hist.begin(), hist.begin() + 5000, 0), 250);
    EXPECT_EQ(hist[2500] + hist[2499], 250);
    // Lags of 50 and 100 steps count at steps 0, 50, ..., 200 and 0, 100, 200.
    std::vector<int32_t> half = readInts("hist/histIncrFreqruntn0-0.5");
    std::vector<int32_t> one = readInts("hist/histIncrFreqruntn0-1");
    ASSERT_EQ(half.size(), 3u * 5000);
    ASSERT_EQ(one.size(), 3u * 5000);
    EXPECT_EQ(std::accumulate(half.begin() + 5000, half.begin() + 10000, 0), 5);
    EXPECT_EQ(std::accumulate(one.begin() + 10000, one.end(), 0), 3);
    // Nobody crosses the band: per node an empty upward list, NaN, empty downward list, NaN.
    std::vector<double> flanks = readDoubles("flanks/flanksruntn0");
    ASSERT_EQ(flanks.size(), 6u);
    EXPECT_TRUE(std::all_of(flanks.begin(), flanks.end(), isNan));
}

TEST_F(Stoch, NothingCountedWhenSettlingTakesTheWholeRun) {
    quietTurbineAtNode0(4);
    param.setModeSurv(true);
    stoch->surviveInitSteps = 250;
    stoch->timeLags = {0.5};
    stoch->calcTLagSteps(stoch->timeLags);
    stoch->stochSwing(param, *rk);
    std::vector<double> surv = readDoubles("surv/survruntn0");
    ASSERT_EQ(surv.size(), 3u);
    EXPECT_TRUE(std::all_of(surv.begin(), surv.end(), isNan));
    std::vector<int32_t> hist = readInts("hist/histFreqruntn0");
    ASSERT_EQ(hist.size(), 3u * 5000);
    EXPECT_EQ(std::accumulate(hist.begin(), hist.end(), 0), 0);
}

TEST_F(Stoch, LagThatNeverDividesACountedStepIsStillWritten) {
    quietTurbineAtNode0(4);
    param.setModeSurv(true);
    stoch->surviveInitSteps = 10;
    stoch->timeLags = {0.5, 3};
    stoch->calcTLagSteps(stoch->timeLags);
    stoch->stochSwing(param, *rk);
    std::vector<int32_t> half = readInts("hist/histIncrFreqruntn0-0.5");
    std::vector<int32_t> three = readInts("hist/histIncrFreqruntn0-3");
    EXPECT_EQ(std::accumulate(half.begin(), half.end(), 0), 3 * 4);
    ASSERT_EQ(three.size(), 3u * 5000);
    EXPECT_EQ(std::accumulate(three.begin(), three.end(), 0), 0);
}

TEST_F(Stoch, AllNodeSurvivalCountsStepsWhereEveryNodeIsInside) {
    quietTurbineAtNode0(4);
    param.setModeSurvivall(true);
    stoch->surviveInitSteps = 50;
    stoch->stochSwing(param, *rk);
    std::vector<double> surv = readDoubles("surv/survruntn0");
    ASSERT_EQ(surv.size(), 3u);  // records after steps 50 and 150, then NaN
    EXPECT_EQ(surv[0], 1);
    EXPECT_EQ(surv[1], 100);
    EXPECT_TRUE(std::isnan(surv[2]));
}

TEST_F(Stoch, HistogramBinsClampToTheEnds) {
    EXPECT_EQ(stoch->histBin(2.4 * 0.005, 0.005), 2502);
    EXPECT_EQ(stoch->histBin(0, 0.005), 2500);
    EXPECT_EQ(stoch->histBin(-1e-9, 0.005), 2499);
    EXPECT_EQ(stoch->histBin(-20, 0.005), 0);
    EXPECT_EQ(stoch->histBin(1e300, 0.005), 4999);
    EXPECT_EQ(stoch->histBin(std::numeric_limits<double>::quiet_NaN(), 0.005), -1);
}

TEST_F(Stoch, FlanksRecordLeavingAndReturningTimes) {
    param.resetFlanks();
    const double dt = 0.01;
    double omega[3] = {0, 0, 0};
    for (int s = 0; s <= 10; ++s) {
        double omegaNew[3] = {0, 0.005, 0};
        if (s == 7 || s == 8) omegaNew[0] = -0.02;
        if (s == 9) omegaNew[0] = 0.01;  // exactly the threshold: inside
        stoch->checkFlanks(param, s * dt, omega, omegaNew);
        std::copy(omegaNew, omegaNew + 3, omega);
    }
    EXPECT_EQ(param.flanksA[0], (std::vector<double>{7 * dt}));
    EXPECT_EQ(param.flanksB[0], (std::vector<double>{9 * dt}));
    EXPECT_TRUE(param.flanksA[1].empty());
    EXPECT_TRUE(param.flanksB[1].empty());
}

TEST_F(Stoch, TrajectoryWritesEveryStepButTheLast) {
    quietTurbineAtNode0(4);
    param.setModeStraj(true);
    param.rkSteps = 3;
    stoch->stochSwing(param, *rk);
    EXPECT_EQ(fileSize("frequency/freqTrajruntn0"), 2 * 3 * 8);
    std::vector<double> phases = readDoubles("phase/phasTrajruntn0");
    ASSERT_EQ(phases.size(), 6u);
    std::vector<double> steady = grid.getVoltAngSS();
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(phases[3 + i], steady[i], 1e-6);

    param.rkSteps = 1;
    param.outputFilename = "single";
    stoch->stochSwing(param, *rk);
    EXPECT_FALSE(fileExists("frequency/freqTrajsingletn0"));
    EXPECT_FALSE(fileExists("phase/phasTrajsingletn0"));
}

TEST_F(Stoch, FlowsAreListedPerLineRecord) {
    quietTurbineAtNode0(4);
    param.setModeStochLf(true);
    stoch->stochSwing(param, *rk);
    std::vector<double> fij = readDoubles("flow/fijruntn0");
    ASSERT_EQ(fij.size(), 6u * 4);
    EXPECT_EQ(fij[0], 0);
    EXPECT_EQ(fij[1], 1);
    // Steady state: the mean over the run equals the maximum.
    for (int r = 0; r < 6; ++r) EXPECT_NEAR(fij[4 * r + 2], fij[4 * r + 3], 1e-6);
    EXPECT_GT(fij[3], 0);
}

TEST_F(Stoch, CascadeWithoutOverloadRecordsOneMaximumPerStep) {
    quietTurbineAtNode0(4);
    param.setModeStochCASC(true);
    stoch->stochSwing(param, *rk);
    EXPECT_EQ(fileSize("stochcas/stochcasIruntn0"), 0);
    EXPECT_EQ(fileSize("stochcas/stochcasIIruntn0"), 0);
    EXPECT_EQ(fileSize("stochcas/stochcasTruntn0"), 0);
    EXPECT_EQ(fileSize("stochcas/maxLruntn0"), 250 * 8);
    EXPECT_EQ(fileSize("stochcas/maxLpruntn0"), 250 * 8);
    EXPECT_EQ(fileSize("stochcas/maxlijruntn0"), 250 * 2 * 4);
    std::vector<double> ratios = readDoubles("stochcas/maxLpruntn0");
    EXPECT_GT(ratios[0], 0);
    EXPECT_LT(ratios[0], 1);
    // The cascade's survival and flank records have their directories too.
    EXPECT_EQ(fileSize("surv/survruntn0"), 4 * 8);  // records after steps 0, 100, 200, then NaN
    EXPECT_EQ(fileSize("flanks/flanksruntn0"), 3 * 2 * 8);
}

TEST_F(Stoch, OverloadedLineTripsOnceAtTimeZeroAndStaysOut) {
    buildTriangle(grid, 100);
    grid.NRPF();
    grid.getTrLine(0, 1)->setCapacity(1e-3);
    grid.getTrLine(1, 0)->setCapacity(1e-3);
    quietTurbineAtNode0(4);
    param.setModeStochCASC(true);
    stoch->surviveInitSteps = 20;
    stoch->turbineNodes = {{0}, {0}};
    stoch->stochSwing(param, *rk);

    EXPECT_EQ(readInts("stochcas/stochcasIruntn0"), (std::vector<int32_t>{0}));
    EXPECT_EQ(readInts("stochcas/stochcasIIruntn0"), (std::vector<int32_t>{1}));
    EXPECT_EQ(readDoubles("stochcas/stochcasTruntn0"), (std::vector<double>{0}));
    EXPECT_FALSE(grid.getTrLine(0, 1)->isOnline());
    EXPECT_FALSE(grid.getTrLine(1, 0)->isOnline());
    // The second configuration finds the line out already and writes only its own maxima.
    EXPECT_EQ(fileSize("stochcas/stochcasIruntn1"), 0);
    EXPECT_EQ(fileSize("stochcas/maxLruntn1"), 250 * 8);
    // Written out as they came, not held for the whole run.
    EXPECT_TRUE(param.lineMaxFlows.empty());
}

// The cascade writes its per-step maxima out in blocks and its survival
// counts as they come, while it runs: a long run begins with the records of
// a short one, block boundaries or not.
TEST_F(Stoch, CascadeRecordsOfALongRunBeginWithThoseOfAShortOne) {
    param.setModeStochCASC(true);
    param.setModeStepFun(true);
    stoch->surviveInterval = 40;
    stoch->turbineNodes = {{0}};
    std::vector<double> gusts;
    for (int k = 0; k < 30; ++k) gusts.push_back(8 + 3 * std::sin(k));
    stoch->windSeries = {gusts};
    for (const auto& [steps, name] : {std::pair{1000, "short"}, {2600, "long"}}) {
        param.rkSteps = steps;
        param.outputFilename = name;
        // Both from the input's powers: a run's turbines start from the powers the run before left.
        grid.resetPowerMech();
        stoch->stochSwing(param, *rk);
        EXPECT_TRUE(param.lineMaxFlows.empty() && param.lineMaxIds.empty()) << "held after the run";
    }
    for (const char* stem : {"stochcas/maxL", "stochcas/maxLp", "stochcas/maxlij"}) {
        const std::string shortRun = readText(stem + std::string("shorttn0"));
        const std::string longRun = readText(stem + std::string("longtn0"));
        EXPECT_EQ(longRun.size(), shortRun.size() / 1000 * 2600) << stem;
        EXPECT_TRUE(longRun.compare(0, shortRun.size(), shortRun) == 0) << stem;
    }
    // The short run's NaN record ends it; the long one goes on.
    const std::vector<double> shortSurvival = readDoubles("surv/survshorttn0");
    const std::vector<double> longSurvival = readDoubles("surv/survlongtn0");
    ASSERT_EQ(shortSurvival.size(), 1000u / 40 + 1);
    ASSERT_EQ(longSurvival.size(), 2600u / 40 + 1);
    EXPECT_TRUE(std::isnan(shortSurvival.back()));
    EXPECT_TRUE(std::equal(shortSurvival.begin(), shortSurvival.end() - 1, longSurvival.begin()));
    // The wind varies: the largest flows are not one value repeated.
    const std::vector<double> maxima = readDoubles("stochcas/maxLlongtn0");
    EXPECT_NE(*std::min_element(maxima.begin(), maxima.end()), *std::max_element(maxima.begin(), maxima.end()));
}

TEST_F(Stoch, LinesTrippedByACascadeAreReportedOnceOrPutBack) {
    grid.getTrLine(0, 1)->setCapacity(1e-3);
    grid.getTrLine(1, 0)->setCapacity(1e-3);
    quietTurbineAtNode0(4);
    param.setModeStochCASC(true);
    param.setModeStochLf(true);
    stoch->turbineNodes = {{0}, {0}};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    stoch->stochSwing(param, *rk);
    testing::internal::GetCapturedStdout();
    // The line's capacity is far below its steady flow: it trips at once, said once.
    const std::string overloaded = "tessaly: warning: \"Mode stoch casc\" of run \"";
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.substr(err.find('\n') + 1),
              "tessaly: warning: \"Mode stoch lf\" of run \"runtn0\" starts with 1 line out of service that a "
              "cascade switched off; tripped lines stay out for every later analysis and configuration of this run "
              "(\"Cascade restore lines\" puts them back after each cascade)\n");
    EXPECT_EQ(err.find(overloaded + "runtn0\" starts with 1 line overloaded at the steady state, the most (0, 1) at "),
              0u) << err;
    EXPECT_FALSE(grid.getTrLine(0, 1)->isOnline());

    // Put back after each cascade: the second configuration trips the line again.
    grid.putLinesInService();
    param.cascadeRestoreLines = true;
    param.outputFilename = "restored";
    StochasticInput again(&grid, &param);
    again.turbineNodes = stoch->turbineNodes;
    again.windSeries = stoch->windSeries;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    again.stochSwing(param, *rk);
    testing::internal::GetCapturedStdout();
    const std::string againErr = testing::internal::GetCapturedStderr();
    EXPECT_EQ(againErr.find(overloaded + "restoredtn0\" starts with 1 line overloaded"), 0u) << againErr;
    EXPECT_EQ(std::count(againErr.begin(), againErr.end(), '\n'), 1) << againErr;
    EXPECT_EQ(readInts("stochcas/stochcasIrestoredtn0"), (std::vector<int32_t>{0}));
    EXPECT_EQ(readInts("stochcas/stochcasIrestoredtn1"), (std::vector<int32_t>{0}));
    EXPECT_TRUE(grid.getTrLine(0, 1)->isOnline());
    EXPECT_TRUE(grid.getTrLine(1, 0)->isOnline());
}

TEST_F(Stoch, PowerFlowThatMissesTheSteadyStateEndsTheRunWithStatusThree) {
    // Node 1's turbine brings 50, far more than its two lines can carry away.
    param.setModeStepFun(true);
    param.setModeStochLf(true);
    param.rkSteps = 100;
    stoch->pratedGiven = true;
    stoch->turbinePrated = {0, 50, 0};
    stoch->turbineNodes = {{1}};
    stoch->windSeries = {{20, 20, 20}};
    RunStatus status;
    stoch->setRunStatus(&status);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    stoch->stochSwing(param, *rk);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(contains(out, "did not converge")) << out;
    EXPECT_EQ(err.find("tessaly: warning: the power flow of \"Mode stoch lf\" for run \"runtn0\" did not converge "
                       "(remaining total error "),
              0u)
        << err;
    EXPECT_EQ(status.exitStatus(), 3);
    EXPECT_EQ(RunStatus().exitStatus(), 0);
}

TEST_F(Stoch, CascadeSurvivalRecordsEveryStepWithIntervalOne) {
    ASSERT_EQ(mkdir("surv", 0755), 0);
    quietTurbineAtNode0(4);
    param.setModeStochCASC(true);
    param.rkSteps = 3;
    stoch->surviveInterval = 1;
    stoch->stochSwing(param, *rk);
    std::vector<double> surv = readDoubles("surv/survruntn0");
    ASSERT_EQ(surv.size(), 4u);
    EXPECT_EQ(std::vector<double>(surv.begin(), surv.begin() + 3), std::vector<double>(3, 1));
    EXPECT_TRUE(std::isnan(surv[3]));
}

}  // namespace
