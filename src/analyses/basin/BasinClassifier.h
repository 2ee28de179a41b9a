#ifndef TESSALY_BASINCLASSIFIER_H
#define TESSALY_BASINCLASSIFIER_H

#include <optional>
#include <vector>

// What became of a perturbed state, in the order of the class codes written.
enum class BasinClass : int {
    returned = 0,         // settled at the steady state's phase differences
    otherFixedPoint = 1,  // settled at the phase differences of another synchronous state
    notReturned = 2,      // nodes slip against each other for good (a desynchronised limit cycle)
    undecided = 3,        // still moving at the end, or blown up
};

constexpr int kBasinClasses = 4;

// The stable names of the classes ("returned", "other_fixed_point", ...).
const char* basinClassName(BasinClass c);

// What the classification looks at. Time is cut into blocks of `blockSteps`
// steps, aligned so that the last step of the integration ends one; the
// settle window is the last kBlocksPerWindow blocks.
struct BasinCriteria {
    static constexpr int kBlocksPerWindow = 8;

    double band = 0.01;          // every |ω_i| below it counts as in the band
    double phaseTolerance = 0.1; // rad, on phase differences
    int blockSteps = 1;
    int steps = 0;               // the longest a sample is integrated
    double stepWidth = 0.01;
    bool fullLength = false;     // no early stop: classes are those at the end

    int windowSteps() const { return kBlocksPerWindow * blockSteps; }
};

// Classifies one trajectory after a kick, step by step. At the end of every
// block it looks at the last window (and the one before it):
//
// - settled: every node stayed within the band for the whole window and the
//   phase differences moved less than the tolerance in it; then `returned`
//   when every phase difference to node 0 is the steady state's (modulo 2π)
//   to the tolerance, else `otherFixedPoint`;
// - slipping: within the window some node turned a full 2π against another
//   (the spread of the nodes' unwrapped phase advances is at least 2π). At
//   the end that is `notReturned`; before, it is decided only when the
//   window before slipped too and every node's mean frequency agrees between
//   the two windows to within the band (the motion has stopped changing);
// - a window whose phase advances are not finite (the state blew up) is
//   `undecided`.
//
// A sample neither settled nor slipping at the end is `undecided`. Every
// decision before the end is one that the end would repeat for a trajectory
// that kept doing what it did: settling near a stable fixed point, or
// circling on a limit cycle. With early decisions on, the first one stops
// the sample; with `fullLength` every sample runs to the end, the early
// decision that would have been taken is kept aside, and outcome() says
// whether it differed from the end's.
//
// Allocates only when made; a step costs one pass over the nodes.
class BasinClassifier {
public:
    struct Outcome {
        BasinClass basinClass = BasinClass::undecided;
        int decisionStep = 0;  // the step the class was decided at
        // Full length only: an early decision was due and named another class.
        bool earlyDiffered = false;
    };

    BasinClassifier(const BasinCriteria& criteria, const std::vector<double>& steadyPhases);

    // The state before the first step.
    void begin(const double* phases);
    // After step `step` (from 1): whether the sample goes on.
    bool afterStep(int step, const double* phases, const double* freqs);
    // Once afterStep returned false or the last step was shown.
    Outcome outcome() const;

private:
    struct Decision {
        BasinClass basinClass;
        int step;
    };

    // The class due at the end of block `block` (ending at `step`): before
    // the end none when nothing is certain yet.
    std::optional<BasinClass> classifyEarly(long long block, int step, const double* phases);
    BasinClass classifyAtEnd(long long block, int step, const double* phases);
    // Sums of the advances over the window that ends with block `last`.
    void sumWindow(long long last, std::vector<double>& sums) const;
    bool settled(int step) const;
    bool atSteadyState(const double* phases) const;

    const BasinCriteria criteria;
    const std::vector<double>& steady;
    int n;
    int firstBoundary;  // the step that ends block 0 (0 when block 0 is empty)
    std::vector<double> previous;  // the phases after the last step
    std::vector<double> advance;   // per node, in the current block
    // The last 2 x kBlocksPerWindow blocks' advances, block k at row k % rows.
    std::vector<double> blocks;
    std::vector<double> window, earlier;  // sums over the last window and the one before
    int lastOutside = 0;  // the last step some node was outside the band
    std::optional<Decision> early;
    std::optional<Decision> atEnd;
};

#endif
