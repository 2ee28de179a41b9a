#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "TransmissionLine.h"

TEST(TransmissionLine, OutOfServiceLineKeepsItsValuesButCouplesAndCarriesNothing) {
    double phases[2] = {1.0, -1.0};
    TransmissionLine line(0, 1);
    line.setCouplingMag(4);
    line.setCflow(std::complex<double>(2, -1));
    line.setCapacity(7);
    line.setOnline(false);
    EXPECT_EQ(line.getCouplingMag(), 0.0);
    EXPECT_EQ(line.getCflow(), std::complex<double>(0, 0));
    EXPECT_EQ(line.getFlow(phases), 0.0);
    EXPECT_EQ(line.getCapacity(), 7.0);

    // Even an infinite coupling drops out entirely rather than turning into NaN.
    line.setCouplingMag(std::numeric_limits<double>::infinity());
    EXPECT_EQ(line.getCouplingMag(), 0.0);
    double nanPhases[2] = {std::nan(""), 0.0};
    EXPECT_EQ(line.getFlow(nanPhases), 0.0);

    line.setCouplingMag(4);
    line.setOnline(true);
    EXPECT_EQ(line.getCouplingMag(), 4.0);
    EXPECT_EQ(line.getCflow(), std::complex<double>(2, -1));
}

TEST(TransmissionLine, NullLineIsSharedAndInert) {
    TransmissionLine* null = TransmissionLine::getNullLine();
    ASSERT_EQ(null, TransmissionLine::getNullLine());
    EXPECT_TRUE(null->isNull());
    EXPECT_FALSE(null->isOnline());
    EXPECT_EQ(null->getFromNode(), -1);
    EXPECT_EQ(null->getToNode(), -1);

    double phases[1] = {0.5};
    null->setCapacity(3);
    null->setCouplingMag(9);
    null->setCflow(std::complex<double>(5, 5));
    null->setOnline(true);
    EXPECT_EQ(null->getCouplingMag(), 0.0);
    EXPECT_EQ(null->getCflow(), std::complex<double>(0, 0));
    EXPECT_EQ(null->getFlow(phases), 0.0);
    null->setOnline(false);
}

TEST(TransmissionLine, FlowStatistics) {
    TransmissionLine line(0, 1);
    line.setMaxFlow(2);
    EXPECT_TRUE(line.setMaxFlow(-3));
    EXPECT_EQ(line.getMaxFlow(), 3.0);
    EXPECT_FALSE(line.setMaxFlow(3));
    EXPECT_EQ(line.getMaxFlow(), 3.0);
    line.resetMaxFlow();

    double a[2] = {M_PI / 3, 0.0};  // flow 1
    double b[2] = {M_PI, 0.0};      // flow 2
    line.setCflow(std::complex<double>(1, 0));
    line.setCouplingMag(1);
    EXPECT_NEAR(line.measureFlow(a), 1.0, 1e-15);
    EXPECT_NEAR(line.measureFlow(b), 2.0, 1e-15);
    EXPECT_NEAR(line.measureFlow(a), 1.0, 1e-15);
    EXPECT_NEAR(line.getMeanFlow(), 4.0, 1e-14);
    EXPECT_NEAR(line.getMaxFlow(), 2.0, 1e-15);
    line.addMeanFlow(1);
    EXPECT_NEAR(line.getMeanFlow(), 5.0, 1e-14);
    line.resetMeanFlow();
    line.resetMaxFlow();
    EXPECT_EQ(line.getMeanFlow(), 0.0);
    EXPECT_EQ(line.getMaxFlow(), 0.0);
}
