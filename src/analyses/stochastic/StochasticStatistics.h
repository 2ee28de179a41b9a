#ifndef TESSALY_STOCHASTICSTATISTICS_H
#define TESSALY_STOCHASTICSTATISTICS_H

#include <vector>

class Param;

// The settings and rules of the statistics a stochastic run counts: the
// survival band, the frequency and increment histograms and the flank
// records. Read by the workers that integrate the runs; the stochastic
// reader fills them.
class StochasticStatistics {
public:
    // Records the times node frequencies leave and re-enter the survival band
    // in param's flank lists.
    void checkFlanks(Param& param, double t, const double* omega, const double* omegaNew) const;
    // Bin of value x for bins of width `width`: values beyond either end fall
    // into the end bins; -1 for NaN, which no histogram counts.
    int histBin(double x, double width) const;

    double surviveThreshold = 0.01;
    int surviveInitSteps = 0;
    int surviveInterval = 100;
    int freqHistBinNum = 5000;
    int freqHistHalfBins = 2500;
    double freqHistBinWidth = 0.005;
    std::vector<double> timeLags;
    std::vector<int> timeLagSteps;
    double freqIncrHistBinWidth = 0.005;
};

#endif
