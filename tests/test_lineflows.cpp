#include <gtest/gtest.h>

#include <cmath>

#include "input/Param.h"
#include "grid/PowerGrid.h"

namespace {

// Nodes 0-1-2 in a chain, both directions of each line, unit voltage and
// admittance, coupling 1: the flow of a line is |1 - e^(i d)| = 2|sin(d/2)|.
void chainGrid(PowerGrid& grid) {
    grid.setNumNodes(3);
    for (int k = 0; k < 3; ++k) grid.getNode(k)->setVoltMagSs(1);
    int ends[4][2] = {{0, 1}, {1, 0}, {1, 2}, {2, 1}};
    for (auto& e : ends) {
        TransmissionLine* line = grid.provideTrLine(e[0], e[1]);
        line->setAdmittanceMag(1);
        line->setCouplingMag(1);
        line->setCapacity(10);
    }
    grid.calcCflow();
}

double flowFor(double d) { return 2 * std::fabs(std::sin(d / 2)); }

struct Trips {
    std::vector<int> from, to;
    std::vector<double> times;
};

}  // namespace

TEST(LineFlows, MeasureAverageAndReset) {
    PowerGrid grid;
    chainGrid(grid);
    double a[3] = {M_PI / 3, 0, 0};
    double b[3] = {0, 0, M_PI};
    grid.measureFlow(a);
    grid.measureFlow(b);
    std::vector<double> fij{42};
    grid.getFIJ(&fij, 2);
    ASSERT_EQ(fij.size(), 16u);
    // Record order: list by list, each from the front.
    EXPECT_EQ((std::vector<double>{fij[0], fij[1], fij[4], fij[5], fij[8], fij[9], fij[12], fij[13]}),
              (std::vector<double>{0, 1, 1, 0, 1, 2, 2, 1}));
    EXPECT_NEAR(fij[2], (flowFor(M_PI / 3) + 0) / 2, 1e-15);
    EXPECT_NEAR(fij[3], flowFor(M_PI / 3), 1e-15);
    EXPECT_NEAR(fij[10], (0 + flowFor(M_PI)) / 2, 1e-15);
    EXPECT_NEAR(fij[11], 2.0, 1e-15);

    grid.getFIJ(&fij, 0);
    EXPECT_TRUE(std::isinf(fij[2]));
    grid.getFIJ(&fij, 2);

    grid.getTrLine(1, 2)->setOnline(false);
    grid.resetLineFlows();
    grid.getFIJ(&fij, 1);
    for (std::size_t r = 0; r < 4; ++r) {
        EXPECT_EQ(fij[4 * r + 2], 0.0);
        EXPECT_EQ(fij[4 * r + 3], 0.0);
    }
    EXPECT_FALSE(grid.getTrLine(1, 2)->isOnline());
    EXPECT_TRUE(grid.getTrLine(2, 1)->isOnline());

    PowerGrid empty;
    empty.getFIJ(&fij, 1);
    EXPECT_TRUE(fij.empty());
}

TEST(LineFlows, CheckWithinCapacityRecordsTheMostLoadedLine) {
    PowerGrid grid;
    chainGrid(grid);
    grid.getTrLine(2, 1)->setCapacity(4);  // ratio 2/4 beats 1/10 and 2/10
    Param param;
    Trips trips;
    double theta[3] = {M_PI / 3, 0, M_PI};
    grid.checkLines(theta, &trips.from, &trips.to, &trips.times, 1.5, param);
    EXPECT_TRUE(trips.from.empty() && trips.to.empty() && trips.times.empty());
    ASSERT_EQ(param.lineMaxRatios.size(), 1u);
    EXPECT_NEAR(param.lineMaxRatios[0], 0.5, 1e-15);
    EXPECT_NEAR(param.lineMaxFlows[0], 2.0, 1e-15);
    EXPECT_EQ(param.lineMaxIds, (std::vector<int>{2, 1}));
    for (int k = 0; k < 3; ++k) {
        for (const TransmissionLine& line : grid.linesOf(k)) EXPECT_TRUE(line.isOnline());
    }

    // Equal ratios: the earlier record keeps the place.
    grid.getTrLine(2, 1)->setCapacity(10);
    grid.checkLines(theta, &trips.from, &trips.to, &trips.times, 2.5, param);
    EXPECT_EQ(param.lineMaxIds, (std::vector<int>{2, 1, 1, 2}));
}

TEST(LineFlows, OverloadSwitchesBothDirectionsAndReportsOnce) {
    PowerGrid grid;
    chainGrid(grid);
    grid.getTrLine(1, 2)->setCapacity(1.5);
    grid.getTrLine(2, 1)->setCapacity(1.5);
    Param param;
    Trips trips;
    double theta[3] = {0, 0, M_PI};  // flow 2 on both directions of 1-2
    grid.checkLines(theta, &trips.from, &trips.to, &trips.times, 0.75, param);
    EXPECT_EQ(trips.from, std::vector<int>{1});
    EXPECT_EQ(trips.to, std::vector<int>{2});
    EXPECT_EQ(trips.times, std::vector<double>{0.75});
    EXPECT_FALSE(grid.getTrLine(1, 2)->isOnline());
    EXPECT_FALSE(grid.getTrLine(2, 1)->isOnline());
    EXPECT_TRUE(grid.getTrLine(0, 1)->isOnline());
    EXPECT_EQ(param.lineMaxIds, (std::vector<int>{1, 2}));

    // Switched-off lines carry nothing afterwards and trip no more.
    grid.checkLines(theta, &trips.from, &trips.to, &trips.times, 1.0, param);
    EXPECT_EQ(trips.from.size(), 1u);
    EXPECT_EQ(param.lineMaxIds, (std::vector<int>{1, 2, -1, -1}));
}

TEST(LineFlows, OverloadWithoutOppositeRecordAndZeroCapacity) {
    PowerGrid grid;
    grid.setNumNodes(3);
    for (int k = 0; k < 3; ++k) grid.getNode(k)->setVoltMagSs(1);
    TransmissionLine* oneWay = grid.provideTrLine(2, 0);  // no record 0->2
    oneWay->setAdmittanceMag(1);
    oneWay->setCouplingMag(1);
    TransmissionLine* idle = grid.provideTrLine(0, 1);  // capacity 0, flow 0: ratio NaN
    idle->setAdmittanceMag(1);
    idle->setCouplingMag(1);
    grid.calcCflow();
    Param param;
    Trips trips;
    double theta[3] = {0.5, 0.5, 1.0};
    grid.checkLines(theta, &trips.from, &trips.to, &trips.times, 3, param);
    EXPECT_EQ(trips.from, std::vector<int>{2});
    EXPECT_EQ(trips.to, std::vector<int>{0});
    EXPECT_FALSE(grid.getTrLine(2, 0)->isOnline());
    EXPECT_TRUE(grid.getTrLine(0, 1)->isOnline());
    EXPECT_TRUE(TransmissionLine::getNullLine()->isNull());
    EXPECT_FALSE(TransmissionLine::getNullLine()->isOnline());
    EXPECT_TRUE(std::isinf(param.lineMaxRatios[0]));
    EXPECT_EQ(param.lineMaxIds, (std::vector<int>{2, 0}));
}

TEST(LineFlows, NoLoadedLineReportsMinusOnePair) {
    PowerGrid grid;
    chainGrid(grid);
    Param param;
    Trips trips;
    double level[3] = {0.2, 0.2, 0.2};
    grid.checkLines(level, &trips.from, &trips.to, &trips.times, 1, param);
    for (int k = 0; k < 3; ++k) {
        for (TransmissionLine line : grid.linesOf(k)) grid.getTrLine(k, line.getToNode())->setOnline(false);
    }
    double theta[3] = {0, 1, 2};
    grid.checkLines(theta, &trips.from, &trips.to, &trips.times, 2, param);
    EXPECT_EQ(param.lineMaxIds, (std::vector<int>{-1, -1, -1, -1}));
    EXPECT_EQ(param.lineMaxFlows, (std::vector<double>{0, 0}));
    EXPECT_EQ(param.lineMaxRatios, (std::vector<double>{0, 0}));
    EXPECT_TRUE(trips.from.empty());
}
