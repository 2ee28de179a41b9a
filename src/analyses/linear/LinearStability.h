#ifndef TESSALY_LINEARSTABILITY_H
#define TESSALY_LINEARSTABILITY_H

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "analyses/linear/LinearModes.h"
#include "analyses/linear/LinearSpectrum.h"
#include "analyses/linear/LinearSystem.h"

class InputText;
class Param;
class PowerGrid;
namespace results {
class PlannedFiles;
}

// Linear stability of the steady state ("Mode linear stability"): the
// eigenvalues of the swing equations linearised at the power flow's
// solution, their frequencies and damping ratios, the least-damped modes
// with the participation of every node, and whether any mode grows.
class LinearStability {
public:
    // Which path finds the eigenvalues: every one (dense), the least damped
    // (iterative), or by grid size (auto: dense up to kDenseMaxNodes).
    enum class Solver { dense, iterative, automatic };
    static const int kDenseMaxNodes;
    static const int kDenseLimitNodes;  // dense at most this many (memory)
    static const int kDefaultModes;

    void read(InputText& in, std::ostream& console);
    static std::vector<std::string> keys();
    // Throws InputError for settings or node values the analysis cannot
    // work with (nodes without a finite positive inertia among them).
    void validate(const Param& param, PowerGrid& grid) const;
    void addResultFiles(const Param& param, results::PlannedFiles& files) const;

    // Linearises at the grid's steady state as it is now (after the power
    // flow, before analyses that change the grid run).
    void takeSteadyState(PowerGrid& grid);
    // Computes the eigenvalues, writes the result files, warns when the
    // steady state is linearly unstable and prints the summary on `console`.
    void run(const Param& param, std::ostream& console);
    // The manifest's "linear" section (results null before run()).
    nlohmann::ordered_json manifestSection() const;

    int modesWanted() const { return modes; }
    Solver solver() const { return solverChoice; }
    // The path run() takes (or took) for a grid of `nodes` nodes.
    SpectrumPath pathFor(const LinearSystem& system) const;
    const std::optional<LinearModes>& result() const { return found; }

    void setModes(int count) { modes = count; }
    void setSolver(Solver choice) { solverChoice = choice; }

private:
    int modes = kDefaultModes;
    Solver solverChoice = Solver::automatic;
    LinearSystem system;
    bool steadyStateTaken = false;
    std::optional<LinearModes> found;
    SpectrumPath path = SpectrumPath::general;
    int requested = 0;
    std::string problem;

    void writeFiles(const Param& param) const;
    void report(std::ostream& console) const;
};

#endif
