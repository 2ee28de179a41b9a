#include "analyses/linear/LinearModes.h"

#include <Eigen/SparseLU>
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace {

using Complex = std::complex<double>;
using ComplexLU = Eigen::SparseLU<Eigen::SparseMatrix<Complex>>;

constexpr double kPi = 3.14159265358979323846;
constexpr double kPositiveRealPart = 1e-9;

// Real parts are compared on a grid of `tolerance` (rounded to the nearest
// step): parts that agree to rounding rank as equal, so that modes whose
// real parts are equal in exact arithmetic come in order of frequency
// whatever the last digits of the solver.
double realRank(Complex lambda, double tolerance) {
    return tolerance > 0 ? std::round(lambda.real() / tolerance) : lambda.real();
}

// Report order (see LinearModes), before conjugate pairs are interleaved.
bool before(Complex a, Complex b, double tolerance) {
    const double rankA = realRank(a, tolerance), rankB = realRank(b, tolerance);
    if (rankA != rankB) return rankA > rankB;
    if (std::abs(a.imag()) != std::abs(b.imag())) return std::abs(a.imag()) < std::abs(b.imag());
    return a.imag() > b.imag();
}

// Eigenvalues of equal rank and |imaginary part| sorted as + + - - (a
// repeated pair) become + - + -: every conjugate pair adjacent.
void interleavePairs(std::vector<int>& order, const std::vector<Complex>& values, double tolerance) {
    std::size_t start = 0;
    while (start < order.size()) {
        std::size_t end = start + 1;
        const Complex first = values[order[start]];
        while (end < order.size() && realRank(values[order[end]], tolerance) == realRank(first, tolerance) &&
               std::abs(values[order[end]].imag()) == std::abs(first.imag())) {
            ++end;
        }
        std::vector<int> positive, negative;
        for (std::size_t k = start; k < end; ++k) (values[order[k]].imag() < 0 ? negative : positive).push_back(order[k]);
        if (first.imag() != 0 && positive.size() == negative.size()) {
            for (std::size_t k = 0; k < positive.size(); ++k) {
                order[start + 2 * k] = positive[k];
                order[start + 2 * k + 1] = negative[k];
            }
        }
        start = end;
    }
}

// The `count` eigenvalues nearest 0 (ties by index).
std::vector<char> rotationFlags(const std::vector<Complex>& values, int count) {
    std::vector<int> order(values.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return std::abs(values[a]) < std::abs(values[b]); });
    std::vector<char> flags(values.size(), 0);
    for (int k = 0; k < count && k < static_cast<int>(order.size()); ++k) flags[order[k]] = 1;
    return flags;
}

// A null vector of P(λ) (transposed: a left one) by inverse iteration from a
// fixed start, so that every run gives the same vector.
Eigen::VectorXcd nullVector(ComplexLU& lu, bool transposed, int n) {
    Eigen::VectorXcd x(n);
    for (int i = 0; i < n; ++i) x[i] = Complex(1.0 + 0.5 * std::sin(i + 1.0), 0.25 * std::cos(3.0 * i));
    for (int step = 0; step < 3; ++step) {
        const Eigen::VectorXcd next = transposed ? Eigen::VectorXcd(lu.transpose().solve(x)) : lu.solve(x);
        const double size = next.norm();
        if (!(size > 0) || !std::isfinite(size)) break;
        x = next / size;
    }
    return x;
}

// Right (x) and left (u) null vectors of P(λ), from the factorisation of
// P at λ moved by a little more than rounding (P(λ) itself is singular).
bool modeVectors(const LinearSystem& system, Complex lambda, Eigen::VectorXcd& x, Eigen::VectorXcd& u, bool wantRight) {
    double offset = 1e-10 * (std::abs(lambda) + 1e-6 * system.scale);
    for (int attempt = 0; attempt < 3; ++attempt, offset *= 1000) {
        ComplexLU lu;
        lu.compute(system.pencilAt(lambda + offset));
        if (lu.info() != Eigen::Success) continue;
        if (wantRight) x = nullVector(lu, false, system.nodes);
        u = system.symmetric ? x : nullVector(lu, true, system.nodes);
        return true;
    }
    return false;
}

// |w_θi v_θi| + |w_ωi v_ωi| with v = (x, λx) and w = ((λ + B) z, z), z = M u.
std::vector<double> participationOf(const LinearSystem& system, Complex lambda, const Eigen::VectorXcd& x,
                                    const Eigen::VectorXcd& u) {
    std::vector<double> shares(system.nodes);
    double total = 0;
    for (int i = 0; i < system.nodes; ++i) {
        const double weight = std::abs(x[i]) * std::abs(u[i]) / system.inertiaInv[i];
        shares[i] = weight * (std::abs(lambda + system.dampingRate(i)) + std::abs(lambda));
        total += shares[i];
    }
    for (double& share : shares) share = total > 0 && std::isfinite(total) ? share / total : std::nan("");
    return shares;
}

void selectLeastDamped(LinearModes& modes, int wanted) {
    const int count = static_cast<int>(modes.eigenvalues.size());
    for (int k = 0; k < count; ++k) {
        if (modes.rotation[k]) continue;
        const bool full = static_cast<int>(modes.leastDamped.size()) >= wanted;
        const bool partner = !modes.leastDamped.empty() &&
                             modes.eigenvalues[k] == std::conj(modes.eigenvalues[modes.leastDamped.back()]) &&
                             modes.eigenvalues[k].imag() < 0;
        if (full && !partner) break;
        modes.leastDamped.push_back(k);
    }
}

void computeParticipation(LinearModes& modes, const LinearSystem& system, const Spectrum& spectrum,
                          const std::vector<int>& shapeOf) {
    for (int k : modes.leastDamped) {
        const Complex lambda = modes.eigenvalues[k];
        if (!modes.participation.empty() && lambda.imag() < 0 &&
            lambda == std::conj(modes.eigenvalues[modes.leastDamped[modes.participation.size() - 1]])) {
            // The conjugate mode's vectors are the conjugates: the same shares.
            modes.participation.push_back(modes.participation.back());
            continue;
        }
        Eigen::VectorXcd x, u;
        const bool shapeKnown = !spectrum.modeShapes.empty();
        if (shapeKnown) x = spectrum.modeShapes[shapeOf[k]];
        const bool found = (shapeKnown && system.symmetric) ? (u = x, true) : modeVectors(system, lambda, x, u, !shapeKnown);
        modes.participation.push_back(found ? participationOf(system, lambda, x, u)
                                            : std::vector<double>(system.nodes, std::nan("")));
    }
}

}  // namespace

double dampingRatio(std::complex<double> lambda) {
    const double size = std::abs(lambda);
    return size > 0 ? -lambda.real() / size : std::nan("");
}

double frequencyOf(std::complex<double> lambda) { return lambda.imag() / (2 * kPi); }

LinearModes analyseModes(const LinearSystem& system, Spectrum spectrum, int wanted) {
    LinearModes modes;
    modes.tolerance = kPositiveRealPart * system.scale;
    const std::vector<char> flags = rotationFlags(spectrum.eigenvalues, system.rotationModes);
    // A rotation mode is 0 exactly (the rows of L sum to 0); what the solver
    // left of it is rounding, and its sign would mean nothing.
    for (std::size_t k = 0; k < flags.size(); ++k) {
        if (flags[k]) spectrum.eigenvalues[k] = Complex(0, 0);
    }
    std::vector<int> order(spectrum.eigenvalues.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        return before(spectrum.eigenvalues[a], spectrum.eigenvalues[b], modes.tolerance);
    });
    interleavePairs(order, spectrum.eigenvalues, modes.tolerance);
    std::vector<int> shapeOf;
    for (int k : order) {
        modes.eigenvalues.push_back(spectrum.eigenvalues[k]);
        modes.rotation.push_back(flags[k]);
        shapeOf.push_back(k);
    }
    selectLeastDamped(modes, wanted);
    if (spectrum.path == SpectrumPath::iterative) {
        // Only what was asked for: the others are merely the nearest to the shift.
        LinearModes kept;
        kept.tolerance = modes.tolerance;
        std::vector<int> keptShape;
        for (std::size_t k = 0; k < modes.eigenvalues.size(); ++k) {
            const bool selected = std::find(modes.leastDamped.begin(), modes.leastDamped.end(), static_cast<int>(k)) !=
                                  modes.leastDamped.end();
            if (!selected && !modes.rotation[k]) continue;
            if (selected) kept.leastDamped.push_back(static_cast<int>(kept.eigenvalues.size()));
            kept.eigenvalues.push_back(modes.eigenvalues[k]);
            kept.rotation.push_back(modes.rotation[k]);
            keptShape.push_back(shapeOf[k]);
        }
        modes = kept;
        shapeOf = keptShape;
    }
    computeParticipation(modes, system, spectrum, shapeOf);

    for (std::size_t k = 0; k < modes.eigenvalues.size(); ++k) {
        if (modes.rotation[k]) continue;
        if (modes.eigenvalues[k].real() > modes.tolerance) modes.unstable.push_back(static_cast<int>(k));
        if (modes.leastDampedOscillatory < 0 && modes.eigenvalues[k].imag() > 0) {
            modes.leastDampedOscillatory = static_cast<int>(k);
        }
    }
    return modes;
}
