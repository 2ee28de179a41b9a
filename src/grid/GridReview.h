#ifndef TESSALY_GRIDREVIEW_H
#define TESSALY_GRIDREVIEW_H

#include <string>
#include <vector>

class PowerGrid;

// What a grid as read holds that no physicist would accept, or that is most
// likely a mistake of the input: checked once, after reading and before the
// power flow, so that a run whose numbers would mean nothing says so.
class GridReview {
public:
    explicit GridReview(const PowerGrid& grid);

    // The swing equation divides by every node's inertia: when `integrating`
    // (the switch key of an analysis that integrates) is on, an inertia that
    // is 0, negative or not finite is invalid input naming the nodes, and a
    // missing "Inertia" key is named as such.
    void requireInertia(const std::string& integrating) const;
    // Warnings, each once: negative damping, line records without a reverse
    // record, islands (and those whose powers cannot balance), phases that
    // look like degrees.
    void warnAboutGrid() const;
    // Why the power flow cannot find a steady state, when the grid's islands
    // tell: an island apart from the reference node's whose powers cannot
    // balance. Empty otherwise.
    std::string missedSteadyStateCause() const;

    struct Island {
        std::vector<int> nodes;
        double netPower;     // sum of "Power mech" - "Power diag"
        double absorbable;   // the most the island's couplings can turn into losses
        bool holdsReference;
    };
    const std::vector<Island>& islands() const { return parts; }
    // An island apart from the reference node's (whose power the power flow
    // sets) that has no steady state.
    static bool unbalanced(const Island& island);

private:
    void warnNegativeDamping() const;
    void warnOneWayRecords() const;
    void warnIslands() const;
    void warnDegreeLikeAngles() const;

    const PowerGrid& grid;
    std::vector<Island> parts;
};

#endif
