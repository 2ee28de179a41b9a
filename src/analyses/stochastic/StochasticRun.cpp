#include "analyses/stochastic/StochasticRun.h"

#include <stdexcept>

const char* analysisModeKey(StochasticAnalysis analysis) {
    switch (analysis) {
        case StochasticAnalysis::cascade: return "Mode stoch casc";
        case StochasticAnalysis::lineFlows: return "Mode stoch lf";
        case StochasticAnalysis::survivalAll: return "Mode surv all";
        case StochasticAnalysis::survival: return "Mode surv";
        case StochasticAnalysis::trajectory: return "Mode save traj";
    }
    return "";
}

// index, trips (count, then from, to, time each), analysis ends (count, then
// analysis, survival size, flank size each), the non-finite window (0, or 1
// and its two steps).
void StochasticRun::appendResults(std::vector<double>& values) const {
    values.push_back(index);
    values.push_back(static_cast<double>(trippedLines.size()));
    for (const Trip& trip : trippedLines) {
        values.insert(values.end(), {static_cast<double>(trip.from), static_cast<double>(trip.to), trip.time});
    }
    values.push_back(static_cast<double>(analysisEnds.size()));
    for (const AnalysisEnd& end : analysisEnds) {
        values.insert(values.end(), {static_cast<double>(end.analysis), static_cast<double>(end.survivalSize),
                                     static_cast<double>(end.flankSize)});
    }
    values.push_back(nonFinite ? 1.0 : 0.0);
    if (nonFinite) {
        values.insert(values.end(),
                      {static_cast<double>(nonFinite->finiteAt), static_cast<double>(nonFinite->nonFiniteAt)});
    }
}

int StochasticRun::readResults(const std::vector<double>& values, std::size_t& at, std::vector<StochasticRun>& runs) {
    auto next = [&] {
        if (at >= values.size()) throw std::runtime_error("the results of a stochastic run came incomplete");
        return values[at++];
    };
    const int index = static_cast<int>(next());
    if (index < 0 || static_cast<std::size_t>(index) >= runs.size()) {
        throw std::runtime_error("the results of an unknown stochastic run " + std::to_string(index) + " came");
    }
    StochasticRun& run = runs[index];
    for (long long k = static_cast<long long>(next()); k > 0; --k) {
        const int from = static_cast<int>(next());
        const int to = static_cast<int>(next());
        run.trippedLines.push_back({from, to, next()});
    }
    for (long long k = static_cast<long long>(next()); k > 0; --k) {
        const auto analysis = static_cast<StochasticAnalysis>(static_cast<int>(next()));
        const auto survivalSize = static_cast<long long>(next());
        run.analysisEnds.push_back({analysis, survivalSize, static_cast<long long>(next())});
    }
    if (next() != 0) {
        const auto finiteAt = static_cast<long long>(next());
        run.nonFinite = NonFiniteWindow{finiteAt, static_cast<long long>(next())};
    }
    return index;
}
