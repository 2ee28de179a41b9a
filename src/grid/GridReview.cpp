#include "grid/GridReview.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "diagnostics/Diagnostics.h"
#include "grid/PowerGrid.h"
#include "util/CodeUtils.h"

namespace {

// How many nodes or records a message lists before it counts the rest.
const std::size_t kListed = 5;

const double kTwoPi = 6.283185307179586;

// "0, 3, 7 and 2 more".
std::string listed(const std::vector<std::string>& items, std::size_t total) {
    std::string text;
    for (std::size_t k = 0; k < items.size() && k < kListed; ++k) text += (k == 0 ? "" : ", ") + items[k];
    if (total > std::min(items.size(), kListed)) text += " and " + std::to_string(total - std::min(items.size(), kListed)) + " more";
    return text;
}

std::string nodeList(const std::vector<int>& nodes) {
    std::vector<std::string> items;
    for (std::size_t k = 0; k < nodes.size() && k < kListed; ++k) items.push_back(std::to_string(nodes[k]));
    return listed(items, nodes.size());
}

// The reverse record of `line` when it couples node pair (from, to) back.
const TransmissionLine* reverseOf(const PowerGrid& grid, const TransmissionLine& line) {
    for (const TransmissionLine& other : grid.linesOf(line.getToNode())) {
        if (other.getToNode() == line.getFromNode()) return &other;
    }
    return nullptr;
}

// Powers an island can absorb at a steady state: its couplings' terms sum to
// zero over the island but for the phase shifts. A record i->j with a reverse
// record of the same coupling and angle contributes with it
// -2 K cos(θi - θj) sin φ, at most K |sin φ| per record; any other record up
// to its coupling.
double absorbablePower(const PowerGrid& grid, const std::vector<int>& nodes) {
    double most = 0;
    for (int i : nodes) {
        for (const TransmissionLine& line : grid.linesOf(i)) {
            const double k = PowerGrid::couplingOf(line);
            if (k == 0) continue;
            const TransmissionLine* reverse = reverseOf(grid, line);
            const bool mirrored = reverse != nullptr && PowerGrid::couplingOf(*reverse) == k &&
                                  reverse->getCouplingAng() == line.getCouplingAng();
            most += mirrored ? std::fabs(k * std::sin(line.getCouplingAng())) : std::fabs(k);
        }
    }
    return most;
}

}  // namespace

GridReview::GridReview(const PowerGrid& grid) : grid(grid) {
    for (std::vector<int>& nodes : grid.islands()) {
        Island island;
        island.netPower = 0;
        for (int i : nodes) island.netPower += grid.nodeAt(i).getPowerMech() - grid.nodeAt(i).getPowerDiag();
        island.absorbable = absorbablePower(grid, nodes);
        island.holdsReference = std::find(nodes.begin(), nodes.end(), grid.getRefNode()) != nodes.end();
        island.nodes = std::move(nodes);
        parts.push_back(std::move(island));
    }
}

bool GridReview::unbalanced(const Island& island) {
    if (island.holdsReference) return false;
    // Rounding of the sums aside.
    const double tolerance = 1e-9 * std::max(1.0, std::fabs(island.netPower) + island.absorbable);
    return std::fabs(island.netPower) > island.absorbable + tolerance;
}

void GridReview::requireInertia(const std::string& integrating) const {
    const int n = grid.getNumNodes();
    if (n == 0) return;
    if (!grid.keyGiven("Inertia")) {
        throw InputError(quoted("Inertia") + " was not given, so every node's inertia is 0, but " +
                         quoted(integrating) + " integrates the swing equation, which divides by it: give every "
                         "node a positive inertia");
    }
    std::vector<int> bad;
    for (int i = 0; i < n; ++i) {
        const double m = grid.nodeAt(i).getInertia();
        if (!(m > 0) || !std::isfinite(m)) bad.push_back(i);
    }
    if (bad.empty()) return;
    const double first = grid.nodeAt(bad.front()).getInertia();
    throw InputError(quoted("Inertia") + " is " + CodeUtils::d2Str(first) + " at node " +
                     std::to_string(bad.front()) + (bad.size() > 1 ? " (and not positive at " +
                     countOf(bad.size(), "node", "nodes") + ": " + nodeList(bad) + ")" : "") + ", but " +
                     quoted(integrating) + " integrates the swing equation, which divides by it: every node needs "
                     "a positive, finite inertia");
}

void GridReview::warnAboutGrid() const {
    warnNegativeDamping();
    warnOneWayRecords();
    warnIslands();
    warnDegreeLikeAngles();
}

void GridReview::warnNegativeDamping() const {
    std::vector<int> nodes;
    for (int i = 0; i < grid.getNumNodes(); ++i) {
        if (grid.nodeAt(i).getDamping() < 0) nodes.push_back(i);
    }
    if (nodes.empty()) return;
    Diagnostics::warn(quoted("Damping") + " is negative at " + countOf(nodes.size(), "node", "nodes") + " (" +
                      nodeList(nodes) + "): such a node feeds energy into every oscillation (intended only for "
                      "a model of negative-damping devices)");
}

void GridReview::warnOneWayRecords() const {
    std::vector<std::string> pairs;
    std::size_t count = 0;
    for (int i = 0; i < grid.getNumNodes(); ++i) {
        for (const TransmissionLine& line : grid.linesOf(i)) {
            if (PowerGrid::couplingOf(line) == 0) continue;
            const TransmissionLine* reverse = reverseOf(grid, line);
            if (reverse != nullptr && PowerGrid::couplingOf(*reverse) != 0) continue;
            ++count;
            if (pairs.size() < kListed) {
                pairs.push_back("(" + std::to_string(line.getFromNode()) + ", " + std::to_string(line.getToNode()) + ")");
            }
        }
    }
    if (count == 0) return;
    Diagnostics::warn(countOf(count, "line record has", "line records have") +
                      " no reverse record (from, to: " + listed(pairs, count) +
                      "): each couples only its sending node, so the line acts one way; give both directions "
                      "(both entries of \"Coupling mag\", or both rows of \"Line list\") for a line");
}

void GridReview::warnIslands() const {
    if (parts.size() < 2) return;
    std::vector<std::string> sizes;
    std::vector<int> apart;
    for (const Island& island : parts) {
        sizes.push_back(std::to_string(island.nodes.size()));
        if (!island.holdsReference) apart.insert(apart.end(), island.nodes.begin(), island.nodes.end());
    }
    std::sort(apart.begin(), apart.end());
    Diagnostics::warn("the grid falls apart into " + std::to_string(parts.size()) + " islands of " +
                      listed(sizes, sizes.size()) + " nodes: " + countOf(apart.size(), "node", "nodes") + " (" + nodeList(apart) + ") " +
                      (apart.size() == 1 ? "is" : "are") + " not connected to the reference node " +
                      std::to_string(grid.getRefNode()) + ", and each island rotates on its own");
    for (const Island& island : parts) {
        if (!unbalanced(island)) continue;
        Diagnostics::warn("the island of " + countOf(island.nodes.size(), "node", "nodes") + " (" +
                          nodeList(island.nodes) + ") has powers (\"Power mech\" - \"Power diag\") summing to " +
                          CodeUtils::d2Str(island.netPower) + ", which its lines cannot balance: it has no steady "
                          "state, and its frequency drifts without end");
    }
}

std::string GridReview::missedSteadyStateCause() const {
    for (const Island& island : parts) {
        if (unbalanced(island)) {
            return "the island of nodes " + nodeList(island.nodes) + " has powers summing to " +
                   CodeUtils::d2Str(island.netPower) + ", which no steady state balances";
        }
    }
    return "";
}

void GridReview::warnDegreeLikeAngles() const {
    std::vector<int> nodes;
    for (int i = 0; i < grid.getNumNodes(); ++i) {
        if (std::fabs(grid.nodeAt(i).getVoltPhaseSs()) > kTwoPi) nodes.push_back(i);
    }
    if (nodes.empty()) return;
    Diagnostics::warn(quoted("Voltage ang") + " is " + CodeUtils::d2Str(grid.nodeAt(nodes.front()).getVoltPhaseSs()) +
                      " at node " + std::to_string(nodes.front()) + ", beyond 2π (at " +
                      countOf(nodes.size(), "node", "nodes") + "): phases are in radians; are these degrees?");
}
