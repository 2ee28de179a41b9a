#include "analyses/stochastic/StochasticStatistics.h"

#include <algorithm>
#include <cmath>

#include "input/Param.h"

void StochasticStatistics::checkFlanks(Param& param, double t, const double* omega, const double* omegaNew) const {
    const std::size_t tracked = std::min({static_cast<std::size_t>(std::max(param.numNodes, 0)),
                                          param.flanksA.size(), param.flanksB.size()});
    for (std::size_t i = 0; i < tracked; ++i) {
        const bool wasOutside = std::fabs(omega[i]) > surviveThreshold;
        const bool isOutside = std::fabs(omegaNew[i]) > surviveThreshold;
        if (!wasOutside && isOutside) param.flanksA[i].push_back(t);
        if (wasOutside && !isOutside) param.flanksB[i].push_back(t);
    }
}

int StochasticStatistics::histBin(double x, double width) const {
    if (freqHistHalfBins < 1) return -1;
    const double q = std::floor(x / width);
    if (std::isnan(q)) return -1;
    if (q < -freqHistHalfBins) return 0;
    if (q > freqHistHalfBins - 1) return freqHistBinNum - 1;
    return static_cast<int>(q) + freqHistHalfBins;
}
