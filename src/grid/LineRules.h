#ifndef TESSALY_LINERULES_H
#define TESSALY_LINERULES_H

// How the grid measures the flow of a line record, what switching a record
// off does to the power balance of its sending node, and whether capacities
// come from the flows at the steady state. Every setting is an opt-in grid
// key; the defaults are the program's behaviour without them.
enum class FlowMeasure {
    // |V_i² Y e^(−iα) − K e^(i(θ_i − θ_j − α))|: the apparent power entering
    // the record's series element ("Admittance mag" Y, "Admittance ang" α).
    apparent,
    // |V_i² Y cos α + K sin(θ_i − θ_j − φ)|: the record's active power in the
    // swing equation, its share of "Power diag" plus its coupling term.
    active,
};

// "apparent" or "active".
const char* flowMeasureName(FlowMeasure measure);

struct LineRules {
    // "Line losses in diag": "Power diag" holds V_i² Y cos α of every record
    // i -> j, and switching a record off takes that term out of node i's.
    bool lossesInDiag = false;
    FlowMeasure flowMeasure = FlowMeasure::apparent;
    // "Capacity from base flow": capacity = factor × the record's flow at the
    // steady state, for records without a rating (capacity 0, infinite or not
    // a number) or, with "Capacity from base flow for" all, for every record.
    // 0: off.
    double capacityFactor = 0;
    bool capacityForAll = false;
};

#endif
