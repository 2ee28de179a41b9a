// The power flow on large grids: the fill that decides the solver, the
// iterative solver against the sparse LU, and the memory the power flow of a
// random network of 10,000 nodes takes.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "grid/JacobianSolvers.h"
#include "grid/PowerGrid.h"

namespace {

using Solver = PowerGrid::NrSolver;

void connect(PowerGrid& grid, int a, int b, double phi) {
    for (TransmissionLine* line : {grid.provideTrLine(a, b), grid.provideTrLine(b, a)}) {
        line->setCouplingMag(8);
        line->setCouplingAng(phi);
    }
}

void ringNodes(PowerGrid& grid, int n, double phi) {
    grid.setNumNodes(n);
    for (int k = 0; k < n; ++k) {
        const double p = k % 2 == 0 ? 1.0 : -1.0;
        grid.getNode(k)->setPowerMech(p);
        grid.getNode(k)->setPowerMechInit(p);
    }
    for (int k = 0; k < n; ++k) connect(grid, k, (k + 1) % n, phi);
}

void addRandomChords(PowerGrid& grid, int chords, unsigned seed, double phi) {
    const int n = grid.getNumNodes();
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> pick(0, n - 1);
    for (int added = 0; added < chords;) {
        const int a = pick(gen), b = pick(gen);
        if (a == b || !grid.getTrLine(a, b)->isNull()) continue;
        connect(grid, a, b, phi);
        ++added;
    }
}

// A ring of n nodes and n/2 chords between random pairs (average degree 3):
// generators and loads alternate, couplings 8 with angle phi both ways, so
// the Jacobian is symmetric only for phi = 0. The angles make the lines
// lossy; each node's diagonal power is what its lines draw at equal phases
// (as for an imported grid), so the losses need no more than small phase
// differences.
void randomNetwork(PowerGrid& grid, int n, unsigned seed, double phi = 0) {
    ringNodes(grid, n, phi);
    addRandomChords(grid, n / 2, seed, phi);
    for (int k = 0; k < n; ++k) {
        grid.getNode(k)->setPowerDiag(static_cast<double>(grid.linesOf(k).size()) * 8 * std::sin(phi));
    }
}

// The ring with a chord from every tenth node of one half to the node
// opposite: chords that never cross, a grid a factorisation barely fills.
void parallelChords(PowerGrid& grid, int n) {
    ringNodes(grid, n, 0);
    for (int k = 0; k < n / 2; k += 10) connect(grid, k, k + n / 2, 0);
}

struct Solved {
    bool converged;
    int steps;
    std::vector<double> phases;
    double slack;
};

Solved solve(PowerGrid& grid, Solver solver, PowerGrid::NrStart start, double precision) {
    for (int k = 0; k < grid.getNumNodes(); ++k) grid.getNode(k)->setVoltPhase(0);
    grid.resetPowerMech();
    grid.setNrSolver(solver);
    grid.setNrStart(start);
    testing::internal::CaptureStdout();
    const bool converged = grid.NRPF(precision);
    testing::internal::GetCapturedStdout();
    return {converged, grid.lastPowerFlow().steps, grid.getVoltAngSS(), grid.getPowerMech(grid.getRefNode())};
}

double wrappedDistance(double a, double b) { return std::fabs(std::remainder(a - b, 2 * M_PI)); }

// Pattern with its diagonal and the entries (i, j) and (j, i) of each edge.
jacobian::SparseMatrix symmetricPattern(int m, const std::vector<std::pair<int, int>>& edges) {
    std::vector<Eigen::Triplet<double>> entries;
    for (int i = 0; i < m; ++i) entries.emplace_back(i, i, 1.0);
    for (const auto& e : edges) {
        entries.emplace_back(e.first, e.second, 1.0);
        entries.emplace_back(e.second, e.first, 1.0);
    }
    jacobian::SparseMatrix pattern(m, m);
    pattern.setFromTriplets(entries.begin(), entries.end());
    return pattern;
}

// The grid's reduced Jacobian at phases drawn from ±0.3 rad and the
// mismatches there.
void jacobianAtRandomPhases(PowerGrid& grid, jacobian::SparseMatrix& J, Eigen::VectorXd& f) {
    const int n = grid.getNumNodes();
    std::mt19937 gen(3);
    std::uniform_real_distribution<double> phase(-0.3, 0.3);
    for (int k = 0; k < n; ++k) grid.getNode(k)->setVoltPhase(k == grid.getRefNode() ? 0 : phase(gen));
    grid.sparseJij(J);
    f.resize(n - 1);
    for (int r = 0; r < n - 1; ++r) f(r) = grid.PFlFunc(grid.IWOR(r));
}

long long statusKiB(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) return std::stoll(line.substr(prefix.size()));
    }
    return -1;
}

}  // namespace

TEST(JacobianFill, CountsTheFactorOfGraphsWithKnownFill) {
    // A cycle's elimination closes a smaller cycle at every node: m edges
    // and m - 3 fill entries. A path fills nothing, a complete graph is full.
    const int m = 50;
    std::vector<std::pair<int, int>> cycle, path, complete;
    for (int i = 0; i < m; ++i) cycle.emplace_back(i, (i + 1) % m);
    for (int i = 0; i + 1 < m; ++i) path.emplace_back(i, i + 1);
    for (int i = 0; i < m; ++i) {
        for (int j = i + 1; j < m; ++j) complete.emplace_back(i, j);
    }
    EXPECT_EQ(jacobian::lowerEntries(symmetricPattern(m, cycle)), m);
    EXPECT_EQ(jacobian::choleskyFill(symmetricPattern(m, cycle), 1 << 20), 2 * m - 3);
    EXPECT_EQ(jacobian::choleskyFill(symmetricPattern(m, path), 1 << 20), m - 1);
    EXPECT_EQ(jacobian::choleskyFill(symmetricPattern(m, complete), 1 << 20), m * (m - 1) / 2);
    // Counting stops past the limit.
    EXPECT_EQ(jacobian::choleskyFill(symmetricPattern(m, complete), 100), 101);

    // One direction of a record counts like both.
    std::vector<Eigen::Triplet<double>> oneWay;
    for (int i = 0; i < m; ++i) oneWay.emplace_back(i, i, 1.0);
    for (int i = 0; i < m; ++i) oneWay.emplace_back(i, (i + 1) % m, 1.0);
    jacobian::SparseMatrix directed(m, m);
    directed.setFromTriplets(oneWay.begin(), oneWay.end());
    EXPECT_EQ(jacobian::lowerEntries(directed), m);
    EXPECT_EQ(jacobian::choleskyFill(directed, 1 << 20), 2 * m - 3);
}

TEST(JacobianIterativeSolver, ReachesItsResidualWithAndWithoutCouplingAngles) {
    // phi = 0: symmetric, conjugate gradients; phi = 0.1: BiCGSTAB.
    for (double phi : {0.0, 0.1}) {
        PowerGrid grid;
        randomNetwork(grid, 2000, 17, phi);
        jacobian::SparseMatrix J;
        Eigen::VectorXd f;
        jacobianAtRandomPhases(grid, J, f);
        jacobian::IterativeSolver solver;
        for (double target : {1e-3, 1e-9}) {
            Eigen::VectorXd x;
            ASSERT_TRUE(solver.solve(J, f, target, x)) << "phi " << phi;
            const double residual = (J * x - f).lpNorm<1>();
            EXPECT_LE(residual, target) << "phi " << phi;
            EXPECT_GT(residual, target * 1e-6) << "phi " << phi << ": the tolerance is not the one asked for";
        }
    }

    // Node 2 without lines: the Jacobian is singular, and the solver leaves
    // this step and the later ones to the LU.
    PowerGrid grid;
    grid.setNumNodes(3);
    connect(grid, 0, 1, 0);
    grid.getNode(2)->setPowerMech(0.1);
    jacobian::SparseMatrix J;
    Eigen::VectorXd f;
    jacobianAtRandomPhases(grid, J, f);
    jacobian::IterativeSolver solver;
    Eigen::VectorXd x;
    EXPECT_FALSE(solver.solve(J, f, 1e-9, x));
    EXPECT_FALSE(solver.solve(J, Eigen::VectorXd::Zero(2), 1e-9, x));
}

TEST(PowerFlowAtScale, IterativeFindsTheSteadyStateOfTheLuInTheSameSteps) {
    const double precision = 2e-9;
    struct Case {
        const char* name;
        void (*build)(PowerGrid&);
        PowerGrid::NrStart start;
    };
    const Case cases[] = {
        {"random chords", [](PowerGrid& g) { randomNetwork(g, 2000, 5); }, PowerGrid::NrStart::Flat},
        {"random chords, dc start", [](PowerGrid& g) { randomNetwork(g, 2000, 5); }, PowerGrid::NrStart::Dc},
        {"random chords with angles", [](PowerGrid& g) { randomNetwork(g, 2000, 6, 0.1); },
         PowerGrid::NrStart::Flat},
        {"parallel chords", [](PowerGrid& g) { parallelChords(g, 2000); }, PowerGrid::NrStart::Flat},
    };
    for (const Case& c : cases) {
        PowerGrid grid;
        c.build(grid);
        grid.setRefNode(7);
        const Solved lu = solve(grid, Solver::Sparse, c.start, precision);
        const Solved iterative = solve(grid, Solver::Iterative, c.start, precision);
        ASSERT_TRUE(lu.converged && iterative.converged) << c.name;
        EXPECT_EQ(lu.steps, iterative.steps) << c.name;
        EXPECT_NEAR(lu.slack, iterative.slack, precision) << c.name;
        double largest = 0;
        for (std::size_t k = 0; k < lu.phases.size(); ++k) {
            largest = std::max(largest, wrappedDistance(lu.phases[k], iterative.phases[k]));
        }
        // Phases that balance to `precision` differ by less than it over the smallest coupling.
        EXPECT_LT(largest, precision) << c.name;
    }
}

TEST(PowerFlowAtScale, AutoMeasuresTheFillAboveTheDenseLimit) {
    PowerGrid grid;
    randomNetwork(grid, PowerGrid::kDenseSolverMaxNodes, 1);
    EXPECT_EQ(grid.usedNrSolver(), Solver::Dense);

    parallelChords(grid, 10000);
    EXPECT_EQ(grid.usedNrSolver(), Solver::Sparse);
    EXPECT_EQ(grid.usedNrSolver(), Solver::Sparse);
    // New records change the measure; a moved reference node is measured again.
    addRandomChords(grid, 5000, 2, 0);
    EXPECT_EQ(grid.usedNrSolver(), Solver::Iterative);
    grid.setRefNode(9999);
    EXPECT_EQ(grid.usedNrSolver(), Solver::Iterative);
    EXPECT_STREQ(PowerGrid::nrSolverName(Solver::Iterative), "iterative");

    grid.setNrSolver(Solver::Sparse);
    EXPECT_EQ(grid.usedNrSolver(), Solver::Sparse);
}

// The sparse LU of this network holds millions of entries (200 MB in all);
// the solver auto takes needs a few MB. The power flow runs in a child
// process, which measures its own peak memory; it dies with the test.
TEST(PowerFlowAtScale, AutoSolvesARandomNetworkOf10000NodesInLittleMemory) {
    const long long boundKiB = 64 << 10;
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(report[0]);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        PowerGrid grid;
        randomNetwork(grid, 10000, 11);
        grid.setNrStart(PowerGrid::NrStart::Flat);
        const long long before = statusKiB("VmRSS");
        // A solver that fills in runs out of address space instead of the machine's memory.
        rlimit space{};
        space.rlim_cur = space.rlim_max = static_cast<rlim_t>(statusKiB("VmSize") + 4 * boundKiB) << 10;
        setrlimit(RLIMIT_AS, &space);
        bool converged = false;
        try {
            testing::internal::CaptureStdout();
            converged = grid.NRPF(1e-8);
            testing::internal::GetCapturedStdout();
        } catch (const std::bad_alloc&) {
        }
        long long growth = converged ? statusKiB("VmHWM") - before : -1;
        if (write(report[1], &growth, sizeof growth) != sizeof growth) _exit(2);
        _exit(0);
    }
    close(report[1]);
    long long growthKiB = -2;
    const bool reported = read(report[0], &growthKiB, sizeof growthKiB) == sizeof growthKiB;
    close(report[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(reported && WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child did not report";
    EXPECT_GE(growthKiB, 0) << "the power flow failed or ran out of address space";
    EXPECT_LT(growthKiB, boundKiB);
}
