// The flows on the line records: the flow measure, statistics, the overload
// check of the cascade, the losses a switched-off record takes with it and
// capacities from the flows at the steady state.
#include "grid/PowerGrid.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>

#include "diagnostics/Diagnostics.h"
#include "input/Param.h"
#include "util/CodeUtils.h"

const char* flowMeasureName(FlowMeasure measure) {
    return measure == FlowMeasure::active ? "active" : "apparent";
}

double PowerGrid::flowOf(TransmissionLine& line, const double* theta) const {
    // The record only reads the phases.
    if (rules.flowMeasure == FlowMeasure::apparent) return line.getFlow(const_cast<double*>(theta));
    // Also keeps the null line (node indices -1) from reading the phases.
    if (!line.isOnline() || line.isNull()) return 0.0;
    const double coupling =
        line.getCouplingMag() * std::sin(theta[line.getFromNode()] - theta[line.getToNode()] - line.getCouplingAng());
    return std::fabs(line.getCflow().real() + coupling);
}

void PowerGrid::measureFlow(double* theta) {
    for (std::vector<TransmissionLine>& list : lines) {
        for (TransmissionLine& line : list) {
            if (rules.flowMeasure == FlowMeasure::apparent) {
                line.measureFlow(theta);
                continue;
            }
            const double flow = flowOf(line, theta);
            line.addMeanFlow(flow);
            line.setMaxFlow(flow);
        }
    }
}

void PowerGrid::resetLineFlows() {
    for (std::vector<TransmissionLine>& list : lines) {
        for (TransmissionLine& line : list) {
            line.resetMaxFlow();
            line.resetMeanFlow();
        }
    }
}

void PowerGrid::getFIJ(std::vector<double>* out, double divisor) {
    out->clear();
    for (std::vector<TransmissionLine>& list : lines) {
        for (TransmissionLine& line : list) {
            out->push_back(line.getFromNode());
            out->push_back(line.getToNode());
            out->push_back(line.getMeanFlow() / divisor);
            out->push_back(line.getMaxFlow());
        }
    }
}

PowerGrid::LoadPeak PowerGrid::tripOverloadedLines(const double* theta, double t, std::vector<Trip>& trips) {
    LoadPeak peak;
    for (std::vector<TransmissionLine>& list : lines) {
        for (TransmissionLine& line : list) {
            const double flow = flowOf(line, theta);
            const double ratio = flow / line.getCapacity();
            if (ratio > peak.ratio) peak = LoadPeak{flow, ratio, line.getFromNode(), line.getToNode()};
            if (flow > line.getCapacity()) {
                switchOff(line);
                trips.push_back(Trip{line.getFromNode(), line.getToNode(), t});
            }
        }
    }
    return peak;
}

void PowerGrid::checkLines(double* theta, std::vector<int>* fromList, std::vector<int>* toList,
                           std::vector<double>* timeList, double t, Param& param) {
    // Empty until a record trips: no allocation on the steps without trips.
    std::vector<Trip> trips;
    const LoadPeak peak = tripOverloadedLines(theta, t, trips);
    for (const Trip& trip : trips) {
        fromList->push_back(trip.from);
        toList->push_back(trip.to);
        timeList->push_back(trip.time);
    }
    param.lineMaxFlows.push_back(peak.flow);
    param.lineMaxRatios.push_back(peak.ratio);
    param.lineMaxIds.push_back(peak.from);
    param.lineMaxIds.push_back(peak.to);
}

// ---- switching records off ------------------------------------------------------

void PowerGrid::switchOff(TransmissionLine& line) {
    line.setOnline(false);
    // A record without a reverse one leaves the null line, which every grid
    // (and every worker's copy) shares, as it is.
    TransmissionLine* reverse = getTrLine(line.getToNode(), line.getFromNode());
    if (!reverse->isNull()) reverse->setOnline(false);
    couplingsStale = true;
    if (!rules.lossesInDiag) return;
    updateDiag(line.getFromNode());
    if (!reverse->isNull()) updateDiag(line.getToNode());
}

bool PowerGrid::switchOffLine(int i, int j) {
    TransmissionLine* line = getTrLine(i, j);
    if (line->isNull()) line = getTrLine(j, i);
    if (line->isNull()) return false;
    switchOff(*line);
    return true;
}

double PowerGrid::lossTerm(const TransmissionLine& line) const {
    // The expression of calcCflow: the same bits as the real part of the
    // record's constant flow term.
    const double v = nodes[line.getFromNode()].getVoltMagSs();
    const double scale = v * v * line.getAdmittanceMag();
    return scale * std::cos(line.getAdmittanceAng());
}

// The terms of the records out of service are summed in line-list order
// and taken from the value as read: the result depends on which records
// are out, not on the order they went out in.
void PowerGrid::updateDiag(int node) {
    double removed = 0;
    for (const TransmissionLine& line : lines[node]) {
        if (!line.isOnline()) removed += lossTerm(line);
    }
    nodes[node].setPowerDiag(diagAsRead[node] - removed);
}

// A "Power diag" below the sum of its node's terms (beyond rounding) is no
// value that holds them: switched off, the records would leave a negative
// conductance behind.
void PowerGrid::keepDiagAsRead() {
    diagAsRead.clear();
    int below = 0;
    int first = -1;
    double firstDiag = 0;
    double firstTerms = 0;
    for (int i = 0; i < numNodes; ++i) {
        const double diag = nodes[i].getPowerDiag();
        diagAsRead.push_back(diag);
        double terms = 0;
        double scale = std::fabs(diag);
        for (const TransmissionLine& line : lines[i]) {
            terms += lossTerm(line);
            scale += std::fabs(lossTerm(line));
        }
        if (!(diag - terms >= -1e-9 * std::max(scale, 1.0))) {
            if (below++ == 0) {
                first = i;
                firstDiag = diag;
                firstTerms = terms;
            }
        }
    }
    if (below == 0) return;
    std::ostringstream text;
    text << quoted("Line losses in diag") << " is on, but the " << quoted("Power diag") << " of "
         << countOf(static_cast<std::size_t>(below), "node", "nodes") << " is below the sum of V_i^2 Y cos(alpha) "
         << "of its line records (first node " << first << ": " << firstDiag << " against " << firstTerms
         << "): a record switched off would leave a negative conductance behind; give \"Power diag\" as the sum "
         << "of those terms plus the shunt conductance, or leave the key out";
    Diagnostics::warn(text.str());
}

// ---- capacities from the steady state ----------------------------------------

// A record that carries no more than the power flow's tolerance at the
// steady state has no flow to scale: a capacity from it would be set by
// rounding, and the rounding noise of the steady state would trip it. It is
// left without a limit.
int PowerGrid::applyBaseFlowCapacities() {
    if (!(rules.capacityFactor > 0)) return 0;
    const std::vector<double> theta = getVoltAngSS();
    int set = 0;
    int idle = 0;
    for (std::vector<TransmissionLine>& list : lines) {
        for (TransmissionLine& line : list) {
            const double capacity = line.getCapacity();
            const bool rated = capacity > 0 && std::isfinite(capacity);
            if (!line.isOnline() || (rated && !rules.capacityForAll)) continue;
            const double flow = flowOf(line, theta.data());
            if (flow > nrPrecision) {
                line.setCapacity(rules.capacityFactor * flow);
                ++set;
            } else {
                line.setCapacity(std::numeric_limits<double>::infinity());
                ++idle;
            }
        }
    }
    if (idle > 0) {
        Diagnostics::warn(quoted("Capacity from base flow") + ": " +
                          countOf(static_cast<std::size_t>(idle), "line record carries", "line records carry") +
                          " no more than " + quoted("NR precision") + " (" + CodeUtils::d2Str(nrPrecision) +
                          ") at the steady state and " + (idle == 1 ? "is" : "are") +
                          " left without a limit: a capacity from no flow would trip on rounding noise");
    }
    return set;
}

// ---- islands ------------------------------------------------------------------

int PowerGrid::islands(std::vector<int>& islandOf) const {
    std::vector<int> parent(static_cast<std::size_t>(numNodes));
    for (int i = 0; i < numNodes; ++i) parent[i] = i;
    auto root = [&parent](int k) {
        while (parent[k] != k) k = parent[k] = parent[parent[k]];
        return k;
    };
    for (const std::vector<TransmissionLine>& list : lines) {
        for (const TransmissionLine& line : list) {
            if (couplingOf(line) != 0) parent[root(line.getFromNode())] = root(line.getToNode());
        }
    }
    islandOf.assign(static_cast<std::size_t>(numNodes), -1);
    std::vector<int> label(static_cast<std::size_t>(numNodes), -1);
    int count = 0;
    for (int i = 0; i < numNodes; ++i) {
        int& own = label[root(i)];
        if (own < 0) own = count++;
        islandOf[i] = own;
    }
    return count;
}

PowerGrid::Overloads PowerGrid::overloadsAt(double* theta) {
    Overloads found;
    for (std::vector<TransmissionLine>& list : lines) {
        for (TransmissionLine& line : list) {
            const double flow = flowOf(line, theta);
            if (!(flow > line.getCapacity())) continue;
            // A line is counted once, by the direction the overload check meets first.
            const TransmissionLine* record = findLine(line.getToNode(), line.getFromNode());
            TransmissionLine reverse = record != nullptr ? *record : TransmissionLine();
            const bool countedWithReverse =
                line.getFromNode() > line.getToNode() && flowOf(reverse, theta) > reverse.getCapacity();
            if (!countedWithReverse) ++found.lines;
            const double ratio = flow / line.getCapacity();
            if (found.worstFrom < 0 || ratio > found.worstRatio) {
                found.worstFrom = line.getFromNode();
                found.worstTo = line.getToNode();
                found.worstRatio = ratio;
            }
        }
    }
    return found;
}
