// Linear stability: the eigenvalues of every solver path against the closed
// form λ = -c/2 ± sqrt(c²/4 - μ) on rings and meshed grids, the rotation
// modes of islands, the iterative path against the dense spectrum, and a
// whole run whose steady state is linearly unstable.
#include <gtest/gtest.h>

#include <Eigen/Eigenvalues>
#include <cmath>
#include <complex>
#include <nlohmann/json.hpp>
#include <random>
#include <vector>

#include "TestSupport.h"
#include "analyses/linear/LinearModes.h"
#include "analyses/linear/LinearSpectrum.h"
#include "analyses/linear/LinearSystem.h"
#include "grid/PowerGrid.h"

namespace {

using namespace testsupport;
using Complex = std::complex<double>;

struct Line {
    int from, to;
    double k, phi;
};

void buildGrid(PowerGrid& grid, int n, const std::vector<Line>& lines, const std::vector<double>& inertia,
               const std::vector<double>& damping) {
    grid.setNumNodes(n);
    for (int i = 0; i < n; ++i) {
        Node* node = grid.getNode(i);
        node->setInertia(inertia[i]);
        node->setInertiaInv(1 / inertia[i]);
        node->setDamping(damping[i]);
    }
    for (const Line& line : lines) {
        TransmissionLine* record = grid.provideTrLine(line.from, line.to);
        record->setCouplingMag(line.k);
        record->setCouplingAng(line.phi);
        record->setOnline(true);
    }
}

// Both records of every undirected pair.
std::vector<Line> bothWays(const std::vector<std::pair<int, int>>& pairs, double k) {
    std::vector<Line> lines;
    for (auto [a, b] : pairs) {
        lines.push_back({a, b, k, 0});
        lines.push_back({b, a, k, 0});
    }
    return lines;
}

std::vector<std::pair<int, int>> ring(int n, int first = 0) {
    std::vector<std::pair<int, int>> pairs;
    for (int i = 0; i < n; ++i) pairs.push_back({first + i, first + (i + 1) % n});
    return pairs;
}

// λ = -c/2 ± sqrt(c²/4 - μ) for every μ.
std::vector<Complex> closedForm(const std::vector<double>& mu, double c) {
    std::vector<Complex> lambdas;
    for (double m : mu) {
        const Complex root = std::sqrt(Complex(c * c / 4 - m, 0));
        lambdas.push_back(-c / 2 + root);
        lambdas.push_back(-c / 2 - root);
    }
    return lambdas;
}

// Pairs every expected eigenvalue with the nearest computed one not taken
// yet; each must agree to 1e-9 of its size (the rotation mode, 0, to
// 1e-12 of the system's scale).
void expectSameEigenvalues(const std::vector<Complex>& expected, std::vector<Complex> computed, double scale,
                           const std::string& what) {
    ASSERT_EQ(expected.size(), computed.size()) << what;
    for (Complex lambda : expected) {
        std::size_t nearest = 0;
        for (std::size_t k = 1; k < computed.size(); ++k) {
            if (std::abs(computed[k] - lambda) < std::abs(computed[nearest] - lambda)) nearest = k;
        }
        const double bound = std::abs(lambda) > 1e-6 ? 1e-9 * std::abs(lambda) : 1e-12 * scale;
        EXPECT_LE(std::abs(computed[nearest] - lambda), bound) << what << ": expected " << lambda << ", nearest "
                                                               << computed[nearest];
        computed.erase(computed.begin() + static_cast<long>(nearest));
    }
}

// The eigenvalues of M^-1/2 L M^-1/2 from a dense matrix assembled here
// from the lines (not from LinearSystem).
std::vector<double> weightedLaplacianEigenvalues(int n, const std::vector<Line>& lines, const std::vector<double>& theta,
                                                 const std::vector<double>& inertia) {
    Eigen::MatrixXd S = Eigen::MatrixXd::Zero(n, n);
    for (const Line& line : lines) {
        const double c = line.k * std::cos(theta[line.from] - theta[line.to] - line.phi);
        const double scale = 1 / std::sqrt(inertia[line.from]);
        S(line.from, line.from) += c * scale * scale;
        S(line.from, line.to) -= c * scale / std::sqrt(inertia[line.to]);
    }
    Eigen::SelfAdjointEigenSolver<Eigen::MatrixXd> solver(S, Eigen::EigenvaluesOnly);
    const Eigen::VectorXd values = solver.eigenvalues();
    return std::vector<double>(values.data(), values.data() + n);
}

void expectEveryPathGives(const LinearSystem& system, const std::vector<Complex>& expected, const std::string& what) {
    for (SpectrumPath path : {SpectrumPath::symmetric, SpectrumPath::proportional, SpectrumPath::general}) {
        const Spectrum spectrum = computeSpectrum(system, path, 0);
        EXPECT_TRUE(spectrum.problem.empty()) << spectrum.problem;
        expectSameEigenvalues(expected, spectrum.eigenvalues, system.scale, what + ", " + spectrumPathName(path));
    }
}

TEST(LinearStability, EveryPathGivesTheClosedFormOnAUniformRing) {
    const int n = 40;
    const double k = 8, m = 2, d = 0.6;
    PowerGrid grid;
    const std::vector<Line> lines = bothWays(ring(n), k);
    buildGrid(grid, n, lines, std::vector<double>(n, m), std::vector<double>(n, d));
    const LinearSystem system = linearise(grid, std::vector<double>(n, 0.0));
    EXPECT_TRUE(system.symmetric);
    EXPECT_TRUE(system.proportional);
    EXPECT_EQ(densePath(system), SpectrumPath::symmetric);
    const double pi = std::acos(-1.0);
    std::vector<double> mu;
    for (int q = 0; q < n; ++q) mu.push_back(2 * k / m * (1 - std::cos(2 * pi * q / n)));
    expectEveryPathGives(system, closedForm(mu, d / m), "ring");

    const LinearModes modes = analyseModes(system, computeSpectrum(system, SpectrumPath::symmetric, 0), 6);
    ASSERT_EQ(modes.eigenvalues.size(), 2u * n);
    EXPECT_TRUE(modes.rotation[0]);
    EXPECT_NEAR(std::abs(modes.eigenvalues[0]), 0, 1e-12);
    EXPECT_TRUE(modes.unstable.empty());
    // Every oscillatory mode decays at c/2; the slowest of the least damped
    // comes first, each pair whole and with participation summing to 1.
    ASSERT_EQ(modes.leastDamped.size(), 6u);
    for (std::size_t r = 0; r < modes.leastDamped.size(); ++r) {
        const Complex lambda = modes.eigenvalues[modes.leastDamped[r]];
        EXPECT_NEAR(lambda.real(), -d / m / 2, 1e-12);
        EXPECT_EQ(lambda.imag() < 0, r % 2 == 1);
        double total = 0;
        for (double share : modes.participation[r]) total += share;
        EXPECT_NEAR(total, 1, 1e-12);
    }
    EXPECT_EQ(modes.leastDampedOscillatory, modes.leastDamped[0]);
}

TEST(LinearStability, EveryPathGivesTheClosedFormOnAMeshedGridAwayFromFlatPhases) {
    const int rows = 5, columns = 6, n = rows * columns;
    std::vector<std::pair<int, int>> pairs;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            if (c + 1 < columns) pairs.push_back({r * columns + c, r * columns + c + 1});
            if (r + 1 < rows) pairs.push_back({r * columns + c, (r + 1) * columns + c});
        }
    }
    const std::vector<Line> lines = bothWays(pairs, 5);
    const std::vector<double> inertia(n, 1.5), damping(n, 0.45);
    std::vector<double> theta(n);
    for (int i = 0; i < n; ++i) theta[i] = 0.2 * std::sin(1.0 + i);
    PowerGrid grid;
    buildGrid(grid, n, lines, inertia, damping);
    const LinearSystem system = linearise(grid, theta);
    ASSERT_TRUE(system.symmetric);
    expectEveryPathGives(system, closedForm(weightedLaplacianEigenvalues(n, lines, theta, inertia), 0.3), "mesh");
}

TEST(LinearStability, IslandsRotateFreelyAndAnUndampedOneDriftsToo) {
    // Rings of 5 and 7 nodes and an undamped pair, nothing between them.
    std::vector<std::pair<int, int>> pairs = ring(5);
    for (auto pair : ring(7, 5)) pairs.push_back(pair);
    pairs.push_back({12, 13});
    const int n = 14;
    std::vector<double> damping(n, 0.4);
    damping[12] = damping[13] = 0;
    PowerGrid grid;
    buildGrid(grid, n, bothWays(pairs, 3), std::vector<double>(n, 1.0), damping);
    const LinearSystem system = linearise(grid, std::vector<double>(n, 0.0));
    EXPECT_EQ(system.islands, 3);
    EXPECT_EQ(system.rotationModes, 4);
    const LinearModes modes = analyseModes(system, computeSpectrum(system, SpectrumPath::general, 0), 4);
    int rotations = 0, partners = 0;
    for (std::size_t k = 0; k < modes.eigenvalues.size(); ++k) {
        if (modes.rotation[k]) {
            ++rotations;
            EXPECT_LT(std::abs(modes.eigenvalues[k]), 1e-6);
        } else if (std::abs(modes.eigenvalues[k] - Complex(-0.4, 0)) < 1e-9) {
            ++partners;
        }
    }
    EXPECT_EQ(rotations, 4);
    // Each damped island's rotation comes with the real mode -D/M, an ordinary one.
    EXPECT_EQ(partners, 2);
    EXPECT_TRUE(modes.unstable.empty());
    // The undamped pair's oscillation ±i sqrt(6) is the least damped mode.
    EXPECT_NEAR(modes.eigenvalues[modes.leastDamped[0]].imag(), std::sqrt(6.0), 1e-9);
}

TEST(LinearStability, OneWayRecordsAndLinesOutOfServiceCountAsTheSwingEquationCountsThem) {
    // Node 2 feels no other node; 0 and 1 follow it through the record 1 -> 2.
    PowerGrid grid;
    buildGrid(grid, 4, {{0, 1, 4, 0}, {1, 0, 4, 0}, {1, 2, 2, 0.1}, {0, 3, 5, 0}, {3, 0, 5, 0}},
              std::vector<double>(4, 1.0), std::vector<double>(4, 0.5));
    grid.getTrLine(0, 3)->setOnline(false);
    grid.getTrLine(3, 0)->setOnline(false);
    const std::vector<double> theta = {0.3, 0.1, -0.2, 0.0};
    const LinearSystem system = linearise(grid, theta);
    EXPECT_FALSE(system.symmetric);
    const Eigen::MatrixXd L = Eigen::MatrixXd(system.laplacian);
    const double c01 = 4 * std::cos(0.2), c12 = 2 * std::cos(0.3 - 0.1);
    Eigen::MatrixXd expected = Eigen::MatrixXd::Zero(4, 4);
    expected << c01, -c01, 0, 0, -c01, c01 + c12, -c12, 0, 0, 0, 0, 0, 0, 0, 0, 0;
    EXPECT_LT((L - expected).cwiseAbs().maxCoeff(), 1e-15);
    // Node 2 and the cut-off node 3 each turn on their own; 0 and 1 do not.
    EXPECT_EQ(system.rotationModes, 2);
    EXPECT_EQ(system.islands, 2);
}

// A ring with random chords and random couplings at phases away from 0
// (with phase shifts, L is then not symmetric).
void randomGrid(PowerGrid& grid, int n, double phi, std::vector<Line>& lines) {
    std::mt19937 random(11u);
    std::uniform_real_distribution<double> coupling(4, 8);
    std::uniform_int_distribution<int> node(0, n - 1);
    std::vector<std::pair<int, int>> pairs = ring(n);
    for (int c = 0; c < n / 3; ++c) {
        const int a = node(random), b = node(random);
        if (a != b && std::abs(a - b) != 1 && std::abs(a - b) != n - 1) pairs.push_back({a, b});
    }
    for (auto [a, b] : pairs) {
        const double k = coupling(random);
        lines.push_back({a, b, k, phi});
        lines.push_back({b, a, k, phi});
    }
    buildGrid(grid, n, lines, std::vector<double>(n, 1.2), std::vector<double>(n, 0.36));
}

void expectIterativeAgreesWithDense(double phi) {
    PowerGrid grid;
    std::vector<Line> lines;
    const int n = 300;
    randomGrid(grid, n, phi, lines);
    std::vector<double> theta(n);
    for (int i = 0; i < n; ++i) theta[i] = 0.1 * std::sin(0.5 * i);
    const LinearSystem system = linearise(grid, theta);
    ASSERT_EQ(system.symmetric, phi == 0);
    const int wanted = 12;
    const LinearModes dense = analyseModes(system, computeSpectrum(system, densePath(system), 0), wanted);
    const LinearModes iterative =
        analyseModes(system, computeSpectrum(system, SpectrumPath::iterative, system.rotationModes + 2 * wanted + 2),
                     wanted);
    ASSERT_EQ(iterative.leastDamped.size(), dense.leastDamped.size());
    for (std::size_t r = 0; r < dense.leastDamped.size(); ++r) {
        const Complex a = dense.eigenvalues[dense.leastDamped[r]];
        const Complex b = iterative.eigenvalues[iterative.leastDamped[r]];
        EXPECT_LT(std::abs(a - b), 1e-8 * std::abs(a)) << "mode " << r << ": " << a << " and " << b;
        double difference = 0;
        for (int i = 0; i < system.nodes; ++i) {
            difference = std::max(difference, std::abs(dense.participation[r][i] - iterative.participation[r][i]));
        }
        EXPECT_LT(difference, 1e-6) << "participation of mode " << r;
    }
}

TEST(LinearStability, IterativeLeastDampedModesAgreeWithTheFullSpectrum) {
    expectIterativeAgreesWithDense(0.0);   // sparse Cholesky
    expectIterativeAgreesWithDense(0.05);  // sparse LU: the couplings are no longer symmetric
}

const char* const kUnstableRing =
    "Random seed\n1\nOutput filename\nring\nMode linear stability\nNumber of nodes\n6\nNR start\nflat\n"
    "Power mech\n1 -1 1 -1 1 -1\nDamping\nDAMPING\nInertia\n1\nLine list\n"
    "0 1 8 0\n1 0 8 0\n1 2 8 0\n2 1 8 0\n2 3 8 0\n3 2 8 0\n3 4 8 0\n4 3 8 0\n4 5 8 0\n5 4 8 0\n5 0 8 0\n0 5 8 0\n"
    "Linear modes\n4\n";

nlohmann::json linearSection(const std::string& dir) {
    return nlohmann::json::parse(readText(dir + "/Manifestring.json"))["linear"];
}

TEST(LinearStabilityRun, NegativeDampingIsFlaggedAsLinearlyUnstable) {
    ScratchDir stable, unstable;
    std::string input = kUnstableRing;
    const RunResult calm = runOnInput(stable.path(), input.replace(input.find("DAMPING"), 7, "0.2"));
    input = kUnstableRing;
    const RunResult growing = runOnInput(unstable.path(), input.replace(input.find("DAMPING"), 7, "-0.2"));
    ASSERT_EQ(calm.status, 0) << calm.err;
    ASSERT_EQ(growing.status, 0) << growing.err;
    EXPECT_EQ(calm.err, "");
    EXPECT_TRUE(contains(calm.out, "steady state: linearly stable")) << calm.out;
    EXPECT_TRUE(contains(growing.err, "tessaly: warning: the steady state is linearly unstable: 11 eigenvalues "
                                      "other than the rotation modes have a positive real part"))
        << growing.err;
    EXPECT_TRUE(contains(growing.out, "steady state: linearly unstable (11 eigenvalues"));
    EXPECT_FALSE(linearSection(stable.path())["unstable"].get<bool>());
    const nlohmann::json section = linearSection(unstable.path());
    EXPECT_TRUE(section["unstable"].get<bool>());
    EXPECT_EQ(section["unstable_modes"].size(), 11u);
    EXPECT_EQ(section["rotation_modes"], 1);
    // Every eigenvalue; participation rows of six nodes for the real mode
    // D/M = 0.2 and two pairs: the fourth mode's partner joins it.
    EXPECT_EQ(readDoubles(unstable.file("linear/eigenvaluesring")).size(), 12u * 5);
    EXPECT_EQ(readDoubles(unstable.file("linear/participationring")).size(), 5u * 6);
    EXPECT_NEAR(section["least_damped"]["real"].get<double>(), 0.2, 1e-12);
}

TEST(LinearStabilityRun, NodesWithoutInertiaAreRefusedBeforeAnythingIsWritten) {
    ScratchDir dir;
    std::string input = kUnstableRing;
    input.replace(input.find("DAMPING"), 7, "0.2");
    input.replace(input.find("Inertia\n1\n"), 10, "Inertia\n1 1 0 1 1 1\n");
    const RunResult run = runOnInput(dir.path(), input);
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(contains(run.err, "\"Inertia\" of node 2 is 0, but \"Mode linear stability\" needs every inertia "
                                  "finite and greater than 0"))
        << run.err;
    EXPECT_FALSE(fileExists(dir.file("Manifestring.json")));
}

}  // namespace
