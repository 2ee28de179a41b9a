#include "analyses/contingency/ContingencyOutcome.h"

#include <stdexcept>

namespace {

const std::size_t kFixedValues = 9;

}  // namespace

// index, from, to, islands, desynchronised, max frequency, max load ratio,
// returned, trip count, then from, to, time of every trip.
void ContingencyOutcome::appendTo(long long index, std::vector<double>& values) const {
    values.insert(values.end(), {static_cast<double>(index), static_cast<double>(outage.from),
                                 static_cast<double>(outage.to), static_cast<double>(islands),
                                 static_cast<double>(desynchronised), maxFrequency, maxLoadRatio,
                                 returned ? 1.0 : 0.0, static_cast<double>(trips.size())});
    for (const PowerGrid::Trip& trip : trips) {
        values.insert(values.end(), {static_cast<double>(trip.from), static_cast<double>(trip.to), trip.time});
    }
}

ContingencyOutcome ContingencyOutcome::readFrom(const std::vector<double>& values, std::size_t& at,
                                                long long& index) {
    if (values.size() - at < kFixedValues) throw std::runtime_error("a contingency's results came incomplete");
    const double* v = values.data() + at;
    ContingencyOutcome outcome;
    index = static_cast<long long>(v[0]);
    outcome.outage = Outage{static_cast<int>(v[1]), static_cast<int>(v[2])};
    outcome.islands = static_cast<int>(v[3]);
    outcome.desynchronised = static_cast<int>(v[4]);
    outcome.maxFrequency = v[5];
    outcome.maxLoadRatio = v[6];
    outcome.returned = v[7] != 0;
    const std::size_t trips = static_cast<std::size_t>(v[8]);
    at += kFixedValues;
    if ((values.size() - at) / 3 < trips) throw std::runtime_error("a contingency's trips came incomplete");
    for (std::size_t k = 0; k < trips; ++k, at += 3) {
        outcome.trips.push_back(
            PowerGrid::Trip{static_cast<int>(values[at]), static_cast<int>(values[at + 1]), values[at + 2]});
    }
    outcome.done = true;
    return outcome;
}
