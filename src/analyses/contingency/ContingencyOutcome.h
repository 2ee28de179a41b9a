#ifndef TESSALY_CONTINGENCYOUTCOME_H
#define TESSALY_CONTINGENCYOUTCOME_H

#include <cstddef>
#include <vector>

#include "grid/PowerGrid.h"

// The line a contingency takes out: its records from -> to and to -> from.
struct Outage {
    int from;
    int to;
};

// What one contingency came to.
struct ContingencyOutcome {
    Outage outage{-1, -1};
    // Every record the trip rule switched off after the outage, in trip order.
    std::vector<PowerGrid::Trip> trips;
    int islands = 0;
    int desynchronised = 0;   // nodes outside the frequency band at the end
    double maxFrequency = 0;  // largest |frequency deviation| of any node
    double maxLoadRatio = 0;  // largest flow / capacity of any record in service
    bool returned = false;    // every node inside the band for the settle time
    bool done = false;        // integrated (by this process)

    // As numbers, to send from one process to another (with its index), and back.
    void appendTo(long long index, std::vector<double>& values) const;
    // The outcome at `at` (moved past it), and its index.
    static ContingencyOutcome readFrom(const std::vector<double>& values, std::size_t& at, long long& index);
};

#endif
