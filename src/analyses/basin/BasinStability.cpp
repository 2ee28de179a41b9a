#include "analyses/basin/BasinStability.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <limits>
#include <numeric>
#include <sstream>

#include "diagnostics/Diagnostics.h"
#include "grid/PowerGrid.h"
#include "input/InputText.h"
#include "input/InputValues.h"
#include "input/Param.h"
#include "output/ResultPaths.h"
#include "util/CodeUtils.h"

namespace {

constexpr double kPi = 3.141592653589793;

// The default settle time in units of the grid's slowest decay time 2M/D:
// an oscillation of that node shrinks by e^-1 within it, and a rotation that
// slows down on that time scale changes its mean frequency between two
// windows by 1 - e^-2 of what is left of it, far more than the band.
constexpr double kSettleDecays = 1.0;

template <void (BasinStability::*set)(double)>
void readReal(BasinStability& basin, ReaderCursor& cursor) {
    (basin.*set)(InputValues::readDouble(cursor.in));
}

const ReaderKey<BasinStability> kBasinKeys[] = {
    {"Basin nodes",
     [](BasinStability& basin, ReaderCursor& cursor) { basin.setNodes(InputValues::readDVec(cursor.in)); }},
    {"Basin samples",
     [](BasinStability& basin, ReaderCursor& cursor) {
         basin.setSamples(InputValues::readintForKey(cursor.in, cursor.key));
     }},
    {"Basin standard error", readReal<&BasinStability::setStandardErrorTarget>},
    {"Basin phase minimum", readReal<&BasinStability::setPhaseMin>},
    {"Basin phase maximum", readReal<&BasinStability::setPhaseMax>},
    {"Basin freq minimum", readReal<&BasinStability::setFreqMin>},
    {"Basin freq maximum", readReal<&BasinStability::setFreqMax>},
    {"Basin band", readReal<&BasinStability::setBand>},
    {"Basin settle time", readReal<&BasinStability::setSettleTime>},
    {"Basin phase tolerance", readReal<&BasinStability::setPhaseTolerance>},
    {"Basin full length", [](BasinStability& basin, ReaderCursor&) { basin.setFullLength(); }},
};

std::string number(double x) { return CodeUtils::d2Str(x); }

void requirePositiveFinite(const char* key, double value) {
    if (std::isfinite(value) && value > 0) return;
    throw InputError(quoted(key) + " is " + number(value) + ", but it must be finite and greater than 0");
}

void requireRange(const char* minKey, double min, const char* maxKey, double max) {
    for (const auto& [key, value] : {std::make_pair(minKey, min), std::make_pair(maxKey, max)}) {
        if (!std::isfinite(value)) throw InputError(quoted(key) + " is " + number(value) + ", but it must be finite");
    }
    if (!(min < max) || !std::isfinite(max - min)) {
        throw InputError(quoted(minKey) + " is " + number(min) + " and " + quoted(maxKey) + " is " + number(max) +
                         ": the minimum must lie below the maximum (and the range be finite)");
    }
}

}  // namespace

double BasinStability::NodeResult::stability() const {
    return samples > 0 ? static_cast<double>(counts[0]) / static_cast<double>(samples)
                       : std::numeric_limits<double>::quiet_NaN();
}

double BasinStability::NodeResult::standardError() const {
    const double s = stability();
    return std::sqrt(s * (1 - s) / static_cast<double>(samples));
}

BasinStability::BasinStability(PowerGrid* grid) : grid(grid), offsets{-kPi, kPi, -10, 10} {}

void BasinStability::read(InputText& in, std::ostream& console) { scanBlock(in, console, *this, kBasinKeys); }

std::vector<std::string> BasinStability::keys() { return keyNames(kBasinKeys); }

std::vector<std::string> BasinStability::switchesOn() const {
    std::vector<std::string> switches;
    if (rules.fullLength) switches.push_back("Basin full length");
    return switches;
}

long long BasinStability::samplesRun() const {
    return std::accumulate(tallies.begin(), tallies.end(), 0LL,
                           [](long long sum, const NodeResult& r) { return sum + r.samples; });
}

// ---- validation -------------------------------------------------------------------------

void BasinStability::validate(const Param& param) {
    validateNodes();
    if (samples < 1) {
        throw InputError("\"Basin samples\" is " + std::to_string(samples) + ", but it must be at least 1");
    }
    if (errorTarget) requirePositiveFinite("Basin standard error", *errorTarget);
    validateBox();
    validateRules(param);
    // The seed as read: the stochastic analysis, which runs before, advances the run's.
    runSeed = static_cast<std::uint32_t>(param.randSeedStart);
    tallies.assign(nodeList.size(), NodeResult{});
    for (std::size_t p = 0; p < nodeList.size(); ++p) tallies[p].node = nodeList[p];
}

void BasinStability::validateNodes() {
    const int n = grid->getNumNodes();
    nodeList.clear();
    if (!nodesRead) {
        nodeList.resize(static_cast<std::size_t>(std::max(n, 0)));
        std::iota(nodeList.begin(), nodeList.end(), 0);
    } else {
        for (double value : *nodesRead) {
            if (!(value == std::floor(value))) {
                throw InputError("\"Basin nodes\" lists " + number(value) +
                                 ", which is no node index (a whole number)");
            }
            if (!(value >= 0 && value < n)) {
                throw InputError("\"Basin nodes\" lists " + number(value) + ", but the grid has " + i2Str(n) +
                                 " nodes (allowed 0.." + i2Str(n - 1) + ")");
            }
            const int node = static_cast<int>(value);
            if (std::find(nodeList.begin(), nodeList.end(), node) != nodeList.end()) {
                throw InputError("\"Basin nodes\" lists node " + i2Str(node) +
                                 " twice (its samples would be the same both times)");
            }
            nodeList.push_back(node);
        }
    }
    if (nodeList.empty()) throw InputError("\"Basin nodes\" lists no node, but \"Mode basin\" needs at least one");
}

void BasinStability::validateBox() const {
    requireRange("Basin phase minimum", offsets.phaseMin, "Basin phase maximum", offsets.phaseMax);
    requireRange("Basin freq minimum", offsets.freqMin, "Basin freq maximum", offsets.freqMax);
}

void BasinStability::validateRules(const Param& param) {
    requirePositiveFinite("Basin band", rules.band);
    if (!(rules.phaseTolerance > 0 && rules.phaseTolerance <= kPi)) {
        throw InputError("\"Basin phase tolerance\" is " + number(rules.phaseTolerance) +
                         ", but it must be greater than 0 and at most pi");
    }
    if (settleRead) requirePositiveFinite("Basin settle time", *settleRead);
    settle = settleRead ? *settleRead : defaultSettleTime();
    const double h = param.stepWidth;
    // A block is an eighth of the settle time in whole steps (rounded up,
    // unless it is a whole number but for rounding).
    const double perBlock = settle / (BasinCriteria::kBlocksPerWindow * h);
    const double nearest = std::round(perBlock);
    const double blockSteps = std::fabs(perBlock - nearest) <= 1e-9 * perBlock ? nearest : std::ceil(perBlock);
    const double windowSteps = std::max(blockSteps, 1.0) * BasinCriteria::kBlocksPerWindow;
    if (!(windowSteps <= param.rkSteps)) {
        throw InputError("\"Basin settle time\" is " + number(settle) + (settleRead ? "" : " (the default)") +
                         ", longer than the " + i2Str(param.rkSteps) + " steps of " + number(h) +
                         " a sample is integrated for (\"RK steps\" x \"RK stepwidth\" = " +
                         number(param.rkSteps * h) + "): no sample could settle; integrate longer or settle sooner");
    }
    rules.blockSteps = static_cast<int>(std::max(blockSteps, 1.0));
    rules.steps = param.rkSteps;
    rules.stepWidth = h;
}

// kSettleDecays times the largest 2M/D of the grid's nodes.
double BasinStability::defaultSettleTime() const {
    double slowest = 0;
    for (int i = 0; i < grid->getNumNodes(); ++i) {
        const Node* node = grid->getNode(i);
        const double decay = 2 * node->getInertia() / node->getDamping();
        if (!(std::isfinite(decay) && decay >= 0)) {
            throw InputError("node " + i2Str(i) + " has \"Damping\" " + number(node->getDamping()) +
                             " and \"Inertia\" " + number(node->getInertia()) +
                             ": its decay time 2M/D, from which the default \"Basin settle time\" comes, is not a "
                             "finite time; give \"Basin settle time\"");
        }
        slowest = std::max(slowest, decay);
    }
    if (!(slowest > 0)) {
        throw InputError("the grid's nodes have no inertia: the default \"Basin settle time\" (from the decay times "
                         "2M/D) would be 0; give \"Basin settle time\"");
    }
    return kSettleDecays * slowest;
}

// ---- files --------------------------------------------------------------------------------

void BasinStability::addResultFiles(const Param& param, results::PlannedFiles& files) const {
    using namespace results;
    files.add(param.outputFilename, {{Kind::basinSamples, kBasinSamples}, {Kind::basinStability, kBasinStability}});
}

// ---- text -----------------------------------------------------------------------------------

std::string BasinStability::toString() const {
    std::ostringstream out;
    out << "================ Basin stability Input =================\n"
        << "Nodes:";
    for (int node : nodeList) out << ' ' << node;
    out << "\nSamples: " << samples << "\n"
        << "StandardErrorTarget: " << (errorTarget ? number(*errorTarget) : std::string("none")) << "\n"
        << "PhaseOffsets: " << offsets.phaseMin << ' ' << offsets.phaseMax << "\n"
        << "FreqOffsets: " << offsets.freqMin << ' ' << offsets.freqMax << "\n"
        << "Band: " << rules.band << "\n"
        << "SettleTime: " << settle << (settleRead ? "" : " (default)") << "\n"
        << "WindowSteps: " << rules.windowSteps() << "\n"
        << "PhaseTolerance: " << rules.phaseTolerance << "\n"
        << "FullLength: " << (rules.fullLength ? 1 : 0) << "\n"
        << "Seed: " << runSeed << "\n\n";
    if (ran) out << summary() << "\n";
    return out.str();
}

std::string BasinStability::summary() const {
    std::ostringstream out;
    out << "==================== Basin stability ===================\n"
        << "  node  samples  returned  other fp  not returned  undecided  stability  std error\n";
    for (const NodeResult& r : tallies) {
        out << std::setw(6) << r.node << std::setw(9) << r.samples << std::setw(10) << r.counts[0] << std::setw(10)
            << r.counts[1] << std::setw(14) << r.counts[2] << std::setw(11) << r.counts[3] << std::fixed
            << std::setprecision(6) << std::setw(11) << r.stability() << std::setw(11) << r.standardError()
            << std::defaultfloat << std::setprecision(6) << '\n';
    }
    const long long fullSteps = samplesRun() * rules.steps;
    out << "steps integrated: " << integratedSteps << " of " << fullSteps << " at full length";
    if (integratedSteps > 0 && !rules.fullLength) {
        out << " (" << std::fixed << std::setprecision(1)
            << static_cast<double>(fullSteps) / static_cast<double>(integratedSteps) << "x fewer)" << std::defaultfloat
            << std::setprecision(6);
    }
    out << '\n';
    return out.str();
}
