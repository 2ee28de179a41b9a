// Raster configuration keys, the raster report, thresholds and the
// return-time table.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "grid/PowerGrid.h"
#include "analyses/raster/RasterObservers.h"
#include "analyses/raster/RasterReturnTime.h"
#include "TestSupport.h"

using namespace testsupport;

namespace {

const double kInf = std::numeric_limits<double>::infinity();

// Reads `text` as an input file; returns what the reader printed.
std::string readConfig(RasterReturnTime& raster, const std::string& text) {
    ScratchDir dir;
    writeText(dir.file("in.txt"), text);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(raster.readFromFile(dir.file("in.txt")));
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(RasterConfig, ReadsEveryKeyAndReportsIt) {
    PowerGrid grid;
    RasterReturnTime raster(&grid);
    std::string out = readConfig(raster,
                              "Number of nodes\n4\n"
                              "Freq pert minimum\n-0.5\nFreq pert maximum\n0.5\nFreq pert step\n0.25\n"
                              "Phase pert minimum\n0.1\nPhase pert maximum\n1.1\nPhase pert step\n0.5\n"
                              "Pertub delay\n3\nFirst pert node\n1\nLast pert node\n3\n"
                              "RT threshold high\n0.05\nRT threshold low\n0.01\n"
                              "Freq pert step\n0.125\n");
    EXPECT_EQ(out,
              "read Freq pert minimum\nread Freq pert maximum\nread Freq pert step\n"
              "read Phase pert minimum\nread Phase pert maximum\nread Phase pert step\n"
              "read Pertub delay\nread First pert node\nread Last pert node\n"
              "read RT threshold high\nread RT threshold low\nread Freq pert step\n");
    EXPECT_EQ(raster.toString(),
              "=============== Raster return time Input ================\n"
              "----------------- Algorithm Parameters ------------------\n"
              "FirstPertNode: 1\nLastPertNode: 3\n"
              "FreqPertMin: -0.5\nFreqPertStep: 0.125\nFreqPertMax: 0.5\n"
              "PhasePertMin: 0.1\nPhasePertStep: 0.5\nPhasePertMax: 1.1\n"
              "PertDelay: 3\nThresholdHigh: 0.05\nThresholdLow: 0.01\nThresholdNumber: 2\n\n");
    EXPECT_EQ(raster.getPertDelay(), 3.0);
}

TEST(RasterConfig, PertDelayTruncatesTowardZeroWithinIntRange) {
    PowerGrid grid;
    RasterReturnTime raster(&grid);
    raster.setPertDelay(2.9);
    EXPECT_EQ(raster.getPertDelay(), 2.0);
    raster.setPertDelay(-2.9);
    EXPECT_EQ(raster.getPertDelay(), -2.0);
    raster.setPertDelay(1e12);
    EXPECT_EQ(raster.getPertDelay(), 2147483647.0);
    raster.setPertDelay(std::nan(""));
    EXPECT_EQ(raster.getPertDelay(), 0.0);
}

TEST(RasterConfig, LinesThatAreNotKeysSetNothing) {
    PowerGrid grid;
    RasterReturnTime raster(&grid);
    std::string out = readConfig(raster,
                              "//Freq pert minimum\n0.7\n"
                              "Freq pert minimum \n0.8\n"
                              "Thresh spread\n0.3\n"
                              "\nFreq pert maximum\n0.9\n");
    EXPECT_EQ(out, "read Thresh spread\n");
    EXPECT_EQ(raster.getFreqPertMin(), 0.0);
    EXPECT_EQ(raster.getFreqPertMax(), 0.0);
    EXPECT_EQ(raster.getThreshSpread(), 0.0);

    RasterReturnTime blankFirst(&grid);
    EXPECT_EQ(readConfig(blankFirst, "\nFreq pert minimum\n0.7\n"), "");
    EXPECT_EQ(blankFirst.getFreqPertMin(), 0.0);
}

TEST(RasterConfig, ThresholdCountFollowsKeysUnlessFixed) {
    PowerGrid grid;
    RasterReturnTime counted(&grid);
    readConfig(counted, "RT threshold high\n0.05\nRT threshold low\n0.01\nRT threshold high\n0.04\n");
    EXPECT_EQ(counted.getNumOfThresh(), 3);
    EXPECT_FALSE(counted.isFixedThreshNum());

    for (const char* text : {"Num of thresh\n5\nRT threshold high\n0.05\nRT threshold low\n0.01\n",
                             "RT threshold high\n0.05\nRT threshold low\n0.01\nNum of thresh\n5\n"}) {
        RasterReturnTime fixed(&grid);
        readConfig(fixed, text);
        EXPECT_EQ(fixed.getNumOfThresh(), 5) << text;
        EXPECT_TRUE(fixed.isFixedThreshNum());
        EXPECT_EQ(fixed.getThresholds().size(), 5u);
    }

    RasterReturnTime highOnly(&grid);
    readConfig(highOnly, "RT threshold high\n0.05\n");
    ASSERT_EQ(highOnly.getThresholds().size(), 1u);
    EXPECT_EQ(highOnly.getThresh(0), 0.0);  // the single threshold is the low one
}

TEST(RasterThresholds, ResetBuildsEvenlySpacedThresholdsAndTable) {
    PowerGrid grid;
    grid.setNumNodes(4);
    RasterReturnTime raster(&grid);
    raster.setNumOfThresh(3);
    raster.setThresholdLow(0.01);
    raster.setThresholdHigh(0.05);
    raster.resetThresh();
    EXPECT_NEAR(raster.getThresh(0), 0.01, 1e-15);
    EXPECT_NEAR(raster.getThresh(1), 0.03, 1e-15);
    EXPECT_NEAR(raster.getThresh(2), 0.05, 1e-15);
    EXPECT_THROW(raster.getThresh(3), std::out_of_range);
    EXPECT_EQ(raster.getThreshRows(), 3);
    ReturnTable table(raster.getThresholds(), 4);
    EXPECT_FALSE(table.inside(2, 3));
    EXPECT_THROW(table.time(0, 4), std::out_of_range);

    raster.setNumOfThresh(0);
    raster.resetThresh();
    EXPECT_EQ(raster.getThreshRows(), 0);
    EXPECT_TRUE(raster.getThresholds().empty());
    ReturnTable empty(raster.getThresholds(), 4);
    double out[4];
    empty.means(out, raster.getNumOfThresh());
    EXPECT_TRUE(std::isnan(out[0]));
}

TEST(RasterThresholds, ReturnTimeIsLastEntryIntoTheBand) {
    PowerGrid grid;
    grid.setNumNodes(1);
    RasterReturnTime raster(&grid);
    raster.setNumOfThresh(1);
    raster.setThresholdLow(0.1);
    raster.resetThresh();
    ReturnTable table(raster.getThresholds(), 1);

    auto feed = [&](std::vector<double> magnitudes) {
        for (size_t s = 0; s < magnitudes.size(); ++s) table.update(&magnitudes[s], s + 1.0, 0);
    };
    feed({0.5, -0.05, 0.2, 0.01, -0.02});
    EXPECT_EQ(table.time(0, 0), 4.0);
    EXPECT_TRUE(table.inside(0, 0));

    table.clear();
    feed({0.5, 0.05, 0.2, 0.01, 0.2});
    EXPECT_EQ(table.time(0, 0), kInf);
    EXPECT_FALSE(table.inside(0, 0));

    table.clear();
    feed({0.05, 0.1});  // exactly on the threshold counts as outside
    EXPECT_FALSE(table.inside(0, 0));
    table.clear();
    feed({0.05, std::nan("")});
    EXPECT_EQ(table.time(0, 0), kInf);

    double zero = 0.0;
    EXPECT_THROW(table.update(&zero, 1.0, 1), std::out_of_range);
}

TEST(RasterThresholds, MeanOverThresholds) {
    PowerGrid grid;
    grid.setNumNodes(2);
    RasterReturnTime raster(&grid);
    raster.setNumOfThresh(2);
    raster.setThresholdLow(0.1);
    raster.setThresholdHigh(0.3);
    raster.resetThresh();
    ReturnTable table(raster.getThresholds(), 2);
    double first[2] = {0.2, 0.05};
    double second[2] = {0.2, 0.05};
    table.update(first, 1.0);
    table.update(second, 2.0);
    double mean[2];
    table.means(mean, raster.getNumOfThresh());
    EXPECT_EQ(mean[0], kInf);  // never inside the 0.1 band
    EXPECT_EQ(mean[1], 1.0);
}

TEST(RasterThresholds, VecConvergence) {
    PowerGrid grid;
    RasterReturnTime raster(&grid);
    double v[3] = {0.1, -0.2, std::nan("")};
    EXPECT_TRUE(raster.vecConvergence(v, 0.0, 0));
    EXPECT_TRUE(raster.vecConvergence(v, 0.2, 2));
    EXPECT_FALSE(raster.vecConvergence(v, 0.19, 2));
    EXPECT_FALSE(raster.vecConvergence(v, 1.0, 3));
}
