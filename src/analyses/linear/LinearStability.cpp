#include "analyses/linear/LinearStability.h"

#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>

#include "diagnostics/Diagnostics.h"
#include "grid/PowerGrid.h"
#include "input/InputText.h"
#include "input/InputValues.h"
#include "input/Param.h"
#include "output/ResultDirectories.h"
#include "output/ResultFile.h"
#include "output/ResultPaths.h"
#include "util/CodeUtils.h"

using Json = nlohmann::ordered_json;

// Up to here every eigenvalue costs at most seconds (2,000 nodes, the
// general path: about 30 s on two cores; see the README); above, the
// iterative path finds the least damped.
const int LinearStability::kDenseMaxNodes = 2000;
// (2N)² doubles: 800 MB at 5,000 nodes.
const int LinearStability::kDenseLimitNodes = 5000;
const int LinearStability::kDefaultModes = 20;

namespace {

const char* const kModeKey = "Mode linear stability";
// Participation factors of every least-damped mode at every node, held at
// once: the bound of the other per-node tables.
constexpr long long kMaxParticipationEntries = 1LL << 26;

const std::pair<const char*, LinearStability::Solver> kSolvers[] = {
    {"dense", LinearStability::Solver::dense},
    {"iterative", LinearStability::Solver::iterative},
    {"auto", LinearStability::Solver::automatic},
};

const char* solverName(LinearStability::Solver solver) {
    for (const auto& entry : kSolvers) {
        if (entry.second == solver) return entry.first;
    }
    return "auto";
}

const ReaderKey<LinearStability> kLinearKeys[] = {
    {"Linear modes",
     [](LinearStability& linear, ReaderCursor& cursor) {
         linear.setModes(InputValues::readintForKey(cursor.in, cursor.key));
     }},
    {"Linear solver",
     [](LinearStability& linear, ReaderCursor& cursor) {
         const std::string value = InputValues::readValueLine(cursor.in);
         std::string allowed;
         for (const auto& entry : kSolvers) {
             if (CodeUtils::lineIs(value, entry.first)) {
                 linear.setSolver(entry.second);
                 return;
             }
             allowed += (allowed.empty() ? "" : ", ") + std::string(entry.first);
         }
         throw InputError(quoted(cursor.key) + " is " + quoted(value) + " (allowed " + allowed + ")");
     }},
};

Json number(double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    return x;
}

Json modeJson(const LinearModes& modes, int k) {
    const std::complex<double> lambda = modes.eigenvalues[k];
    return Json{{"index", k},
                {"real", number(lambda.real())},
                {"imag", number(lambda.imag())},
                {"frequency", number(frequencyOf(lambda))},
                {"damping_ratio", number(dampingRatio(lambda))}};
}

std::string eigenvalueText(std::complex<double> lambda) {
    std::ostringstream text;
    text << lambda.real();
    if (lambda.imag() != 0) text << " +/- " << std::abs(lambda.imag()) << "i";
    return text.str();
}

int firstNonRotation(const LinearModes& modes) {
    for (std::size_t k = 0; k < modes.eigenvalues.size(); ++k) {
        if (!modes.rotation[k]) return static_cast<int>(k);
    }
    return -1;
}

}  // namespace

void LinearStability::read(InputText& in, std::ostream& console) {
    console << "-------------------- Linear stability reading " << " --------------------\n";
    scanBlock(in, console, *this, kLinearKeys);
}

std::vector<std::string> LinearStability::keys() { return keyNames(kLinearKeys); }

void LinearStability::validate(const Param&, PowerGrid& grid) const {
    const int n = grid.getNumNodes();
    if (modes < 1) {
        throw InputError(quoted("Linear modes") + " is " + std::to_string(modes) + ", but it must be at least 1");
    }
    if (static_cast<long long>(modes) * n > kMaxParticipationEntries) {
        throw InputError(quoted("Linear modes") + " is " + std::to_string(modes) + ": with " + std::to_string(n) +
                         " nodes its participation factors would be more than the " +
                         std::to_string(kMaxParticipationEntries) + " values allowed");
    }
    if (solverChoice == Solver::dense && n > kDenseLimitNodes) {
        throw InputError(quoted("Linear solver") + " is \"dense\", but the grid has " + std::to_string(n) +
                         " nodes, more than the " + std::to_string(kDenseLimitNodes) +
                         " the dense solver takes (it holds a (2N)^2 matrix); use \"iterative\" or \"auto\"");
    }
    if (solverChoice == Solver::iterative && 2LL * n < modes + 4LL) {
        throw InputError(quoted("Linear solver") + " is \"iterative\", but the grid's " + std::to_string(2 * n) +
                         " eigenvalues are too few for " + quoted("Linear modes") + " " + std::to_string(modes) +
                         " (at least " + quoted("Linear modes") + " + 4 needed); use \"dense\"");
    }
    for (int i = 0; i < n; ++i) {
        const Node* node = grid.getNode(i);
        const double inverse = node->getInertiaInv();
        if (!(std::isfinite(inverse) && inverse > 0 && std::isfinite(node->getInertia()))) {
            throw InputError(quoted("Inertia") + " of node " + std::to_string(i) + " is " +
                             CodeUtils::d2Str(node->getInertia()) + ", but " + quoted(kModeKey) +
                             " needs every inertia finite and greater than 0 (the linearised dynamics divide by it)");
        }
        if (!std::isfinite(node->getDamping())) {
            throw InputError(quoted("Damping") + " of node " + std::to_string(i) + " is " +
                             CodeUtils::d2Str(node->getDamping()) + ", but " + quoted(kModeKey) +
                             " needs every damping finite");
        }
    }
}

void LinearStability::addResultFiles(const Param& param, results::PlannedFiles& files) const {
    files.add(param.outputFilename, {{results::Kind::linearEigenvalues, results::kLinearEigenvalues},
                                     {results::Kind::linearParticipation, results::kLinearParticipation}});
}

void LinearStability::takeSteadyState(PowerGrid& grid) {
    system = linearise(grid, grid.getVoltAngSS());
    steadyStateTaken = true;
}

SpectrumPath LinearStability::pathFor(const LinearSystem& linear) const {
    const bool dense = solverChoice == Solver::dense ||
                       (solverChoice == Solver::automatic && linear.nodes <= kDenseMaxNodes);
    return dense ? densePath(linear) : SpectrumPath::iterative;
}

void LinearStability::run(const Param& param, std::ostream& console) {
    path = pathFor(system);
    if (!system.finite) {
        problem = "the linearised swing equations hold values that are not finite (a steady state or coupling "
                  "that is not finite)";
        Diagnostics::warn("linear stability: " + problem + "; no eigenvalue is computed");
        found = LinearModes();
    } else {
        // The iterative path looks at more modes near the shift than it
        // reports, to rank the least damped among them.
        Spectrum spectrum = computeSpectrum(system, path, system.rotationModes + 2 * modes + 2);
        requested = spectrum.requested;
        problem = spectrum.problem;
        found = analyseModes(system, std::move(spectrum), modes);
        if (!problem.empty()) {
            Diagnostics::warn("linear stability: " + problem + " (" + spectrumPathName(path) + " solver): " +
                              std::to_string(found->eigenvalues.size()) + " of the " + std::to_string(requested) +
                              " eigenvalues asked for were found, and the results hold only those");
        }
    }
    writeFiles(param);
    if (!found->unstable.empty()) {
        const std::complex<double> worst = found->eigenvalues[found->unstable.front()];
        Diagnostics::warn("the steady state is linearly unstable: " +
                          countOf(found->unstable.size(), "eigenvalue", "eigenvalues") +
                          " other than the rotation modes " + (found->unstable.size() == 1 ? "has" : "have") +
                          " a positive real part, the largest " + CodeUtils::d2Str(worst.real()) + " (frequency " +
                          CodeUtils::d2Str(frequencyOf(worst)) + "): small deviations from it grow");
    }
    report(console);
}

void LinearStability::writeFiles(const Param& param) const {
    const std::string directory = results::directoryPart(param.outputFilename) + "linear";
    ResultDirectories::makeDirectory(directory);
    const LinearModes& modesFound = *found;
    ResultFile eigenvalues(results::path(param.outputFilename, results::kLinearEigenvalues), 5 * sizeof(double));
    for (std::size_t k = 0; k < modesFound.eigenvalues.size(); ++k) {
        const std::complex<double> lambda = modesFound.eigenvalues[k];
        eigenvalues.write({lambda.real(), lambda.imag(), frequencyOf(lambda), dampingRatio(lambda),
                           modesFound.rotation[k] ? 1.0 : 0.0});
    }
    eigenvalues.close();
    ResultFile participation(results::path(param.outputFilename, results::kLinearParticipation),
                             static_cast<std::size_t>(system.nodes) * sizeof(double));
    for (const std::vector<double>& shares : modesFound.participation) participation.write(shares);
    participation.close();
}

void LinearStability::report(std::ostream& console) const {
    const LinearModes& modesFound = *found;
    console << "-------------------- Linear stability --------------------\n";
    console << "solver: " << spectrumPathName(path) << " (" << spectrumPathReason(path, system) << ")\n";
    int rotations = 0;
    for (char flag : modesFound.rotation) rotations += flag;
    console << "eigenvalues: " << modesFound.eigenvalues.size()
            << (path == SpectrumPath::iterative ? " (the least damped and the rotation modes)" : " (every one)")
            << ", rotation modes: " << rotations << ", islands: " << system.islands << '\n';
    const int least = firstNonRotation(modesFound);
    if (least >= 0) console << "least-damped mode: " << eigenvalueText(modesFound.eigenvalues[least]) << '\n';
    if (modesFound.leastDampedOscillatory >= 0) {
        const std::complex<double> lambda = modesFound.eigenvalues[modesFound.leastDampedOscillatory];
        console << "least-damped oscillatory mode: " << eigenvalueText(lambda) << ", frequency "
                << frequencyOf(lambda) << ", damping ratio " << dampingRatio(lambda) << '\n';
    }
    console << "participation factors: " << modesFound.participation.size() << " least-damped modes\n";
    if (!modesFound.unstable.empty()) {
        console << "steady state: linearly unstable (" << modesFound.unstable.size()
                << " eigenvalues with a positive real part)\n";
    } else if (least >= 0) {
        console << "steady state: linearly stable (no eigenvalue but the rotation modes has a positive real part)\n";
    }
}

Json LinearStability::manifestSection() const {
    Json section = Json::object();
    section["modes"] = modes;
    section["solver"] = solverName(solverChoice);
    section["path"] = found ? Json(spectrumPathName(path)) : Json(nullptr);
    section["path_reason"] = found ? Json(spectrumPathReason(path, system)) : Json(nullptr);
    section["islands"] = steadyStateTaken ? Json(system.islands) : Json(nullptr);
    if (!found) {
        for (const char* key : {"eigenvalues", "requested", "problem", "rotation_modes", "tolerance",
                                "least_damped", "least_damped_oscillatory", "participation_modes", "unstable",
                                "unstable_modes"}) {
            section[key] = nullptr;
        }
        return section;
    }
    const LinearModes& modesFound = *found;
    section["eigenvalues"] = modesFound.eigenvalues.size();
    section["requested"] = requested;
    section["problem"] = problem.empty() ? Json(nullptr) : Json(problem);
    int rotations = 0;
    for (char flag : modesFound.rotation) rotations += flag;
    section["rotation_modes"] = rotations;
    section["tolerance"] = number(modesFound.tolerance);
    const int least = firstNonRotation(modesFound);
    section["least_damped"] = least >= 0 ? modeJson(modesFound, least) : Json(nullptr);
    section["least_damped_oscillatory"] =
        modesFound.leastDampedOscillatory >= 0 ? modeJson(modesFound, modesFound.leastDampedOscillatory) : Json(nullptr);
    section["participation_modes"] = modesFound.leastDamped;
    section["unstable"] = !modesFound.unstable.empty();
    section["unstable_modes"] = modesFound.unstable;
    return section;
}
