#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>

#include "input/Param.h"
#include "grid/PowerGrid.h"
#include "SwingReference.h"

namespace {

// Two nodes joined both ways with coupling 1 and no phase shift.
void twoNodeGrid(PowerGrid& grid, double p0, double p1) {
    grid.setNumNodes(2);
    grid.getNode(0)->setPowerMech(p0);
    grid.getNode(1)->setPowerMech(p1);
    grid.provideTrLine(0, 1)->setCouplingMag(1);
    grid.provideTrLine(1, 0)->setCouplingMag(1);
}

// A ring of n nodes with alternating generation and load.
void ringGrid(PowerGrid& grid, int n) {
    grid.setNumNodes(n);
    for (int k = 0; k < n; ++k) {
        grid.getNode(k)->setPowerMech(k % 2 == 0 ? 0.3 : -0.3);
        grid.provideTrLine(k, (k + 1) % n)->setCouplingMag(2);
        grid.provideTrLine((k + 1) % n, k)->setCouplingMag(2);
    }
}

struct Outcome {
    bool converged;
    std::string out;
};

Outcome runPowerFlow(PowerGrid& grid, double precision) {
    testing::internal::CaptureStdout();
    bool converged = grid.NRPF(precision);
    return {converged, testing::internal::GetCapturedStdout()};
}

int countOf(const std::string& text, const std::string& needle) {
    int n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Twelve nodes on a ring with two chords, asymmetric couplings with angles,
// diagonal powers and reference node 3.
void meshedGrid(PowerGrid& grid) {
    const int n = 12;
    grid.setNumNodes(n);
    grid.setRefNode(3);
    for (int k = 0; k < n; ++k) {
        double p = (k % 3 == 0 ? 0.9 : -0.45) + 0.01 * k;
        grid.getNode(k)->setPowerMech(p);
        grid.getNode(k)->setPowerMechInit(p);
        grid.getNode(k)->setPowerDiag(0.02 * (k % 4));
    }
    auto connect = [&](int a, int b, double k, double phi) {
        TransmissionLine* ab = grid.provideTrLine(a, b);
        ab->setCouplingMag(k);
        ab->setCouplingAng(phi);
        TransmissionLine* ba = grid.provideTrLine(b, a);
        ba->setCouplingMag(k * 1.1);
        ba->setCouplingAng(-phi / 2);
    };
    for (int k = 0; k < n; ++k) connect(k, (k + 1) % n, 3 + 0.25 * k, 0.01 * k);
    connect(0, 6, 2, 0.05);
    connect(2, 9, 1.5, 0.0);
}

double wrappedDistance(double a, double b) { return std::fabs(std::remainder(a - b, 2 * M_PI)); }

}  // namespace

TEST(PowerFlow, TwoNodesSettleAtMinusPiOverSix) {
    srand(1);
    PowerGrid grid;
    twoNodeGrid(grid, 0.5, -0.5);
    Outcome r = runPowerFlow(grid, 1e-12);
    EXPECT_TRUE(r.converged);
    EXPECT_EQ(r.out.rfind("==================== Newton Raphson Power Flow ====================\n"
                          "Use Newton Raphson to determine power flow.\nTry 1/10\nTotal error: ",
                          0),
              0u);
    EXPECT_NE(r.out.find("\nNewton Raphson iteration ended after \n"), std::string::npos);
    EXPECT_NE(r.out.find(" / 1000 steps.\nThe total deviation from steady state is: "), std::string::npos);
    std::vector<double> phases = grid.getVoltAngSS();
    EXPECT_EQ(phases[0], 0.0);
    EXPECT_NEAR(phases[1] - phases[0], -M_PI / 6, 1e-9);
    EXPECT_NEAR(grid.getPowerMech(0), 0.5, 1e-9);
    EXPECT_NEAR(grid.PFlFunc(1), 0.0, 1e-12);
}

TEST(PowerFlow, BalancedGridKeepsItsFilePhases) {
    PowerGrid grid;
    twoNodeGrid(grid, 0.5, -0.5);
    grid.getNode(1)->setVoltPhase(-std::asin(0.5));
    grid.getNode(0)->setVoltPhaseSs(0.1);
    grid.getNode(1)->setVoltPhaseSs(0.2);
    Outcome r = runPowerFlow(grid, 1e-9);
    EXPECT_TRUE(r.converged);
    EXPECT_EQ(r.out.substr(0, r.out.find("Total error: ")),
              "==================== Newton Raphson Power Flow ====================\n"
              "The grid already fulfills the power flow condition.\n");
    EXPECT_EQ(grid.getVoltAngSS(), (std::vector<double>{0.1, 0.2}));
    EXPECT_EQ(grid.getPowerMech(0), 0.5);

    PowerGrid empty;
    r = runPowerFlow(empty, 1e-9);
    EXPECT_TRUE(r.converged);
    EXPECT_EQ(r.out,
              "==================== Newton Raphson Power Flow ====================\n"
              "The grid already fulfills the power flow condition.\nTotal error: 0\n");
}

TEST(PowerFlow, SingleNodeTakesItsImbalanceIntoTheSlackInOneStep) {
    PowerGrid grid;
    grid.setNumNodes(1);
    grid.getNode(0)->setPowerMech(0.7);
    grid.getNode(0)->setPowerDiag(0.2);
    Outcome r = runPowerFlow(grid, 1e-9);
    EXPECT_TRUE(r.converged);
    EXPECT_EQ(r.out,
              "==================== Newton Raphson Power Flow ====================\n"
              "Use Newton Raphson to determine power flow.\nTry 1/10\nTotal error: 0\n"
              "Newton Raphson iteration ended after \n1 / 1000 steps.\n"
              "The total deviation from steady state is: 0\n");
    EXPECT_EQ(grid.getPowerMech(0), 0.2);
}

TEST(PowerFlow, ProgressLinesEveryHundredStepsAndStepLimit) {
    srand(3);
    PowerGrid grid;
    twoNodeGrid(grid, 0.5, -0.5);
    grid.getNode(0)->setVoltPhaseSs(0.25);
    // A negative precision can never be met: the try runs into the step limit.
    Outcome r = runPowerFlow(grid, -1);
    EXPECT_FALSE(r.converged);
    EXPECT_EQ(countOf(r.out, "\nStep "), 10);
    EXPECT_NE(r.out.find("\nStep 100/1000. Total error: "), std::string::npos);
    EXPECT_NE(r.out.find("\nStep 1000/1000. Total error: "), std::string::npos);
    EXPECT_EQ(r.out.find("Step 0/"), std::string::npos);
    EXPECT_EQ(r.out.find("Step 150/"), std::string::npos);
    EXPECT_NE(r.out.find("\n1000 / 1000 steps.\n"), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.size() - 47), "The Newton Raphson iteration did not converge.\n");
    EXPECT_EQ(grid.getVoltAngSS(), (std::vector<double>{0.25, 0}));
}

TEST(PowerFlow, IsolatedNodeExhaustsTheTriesWithoutPoisoningTheGrid) {
    srand(7);
    PowerGrid grid;
    grid.setNumNodes(3);
    grid.getNode(0)->setPowerMech(0.5);
    grid.getNode(1)->setPowerMech(-0.5);
    grid.provideTrLine(0, 1)->setCouplingMag(1);
    grid.provideTrLine(1, 0)->setCouplingMag(1);
    grid.getNode(2)->setPowerMech(0.1);  // node 2 has no line: singular Jacobian
    for (int k = 0; k < 3; ++k) grid.getNode(k)->setVoltPhaseSs(1.0 + k);

    Outcome r = runPowerFlow(grid, 1e-9);
    EXPECT_FALSE(r.converged);
    EXPECT_EQ(countOf(r.out, "Total error: nan\n") + countOf(r.out, "Total error: -nan\n"), 10);
    EXPECT_NE(r.out.find("\nTry 10/10\n"), std::string::npos);
    EXPECT_EQ(r.out.find("Try 11/10"), std::string::npos);
    // Each try starts from the slack power of the entry and so makes one step
    // before the singular solve yields NaN; a NaN slack would stop it at once.
    EXPECT_NE(r.out.find("Newton Raphson iteration ended after \n1 / 1000 steps.\n"), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.size() - 47), "The Newton Raphson iteration did not converge.\n");
    EXPECT_EQ(grid.getVoltAngSS(), (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(grid.getPowerMech(0), 0.5);
}

TEST(PowerFlow, SameSeedSameResult) {
    std::vector<double> phases[2];
    std::string outs[2];
    for (int run = 0; run < 2; ++run) {
        srand(2024);
        PowerGrid grid;
        ringGrid(grid, 6);
        grid.setRefNode(2);
        Outcome r = runPowerFlow(grid, 1e-12);
        ASSERT_TRUE(r.converged);
        phases[run] = grid.getVoltAngSS();
        outs[run] = r.out;
    }
    EXPECT_EQ(outs[0], outs[1]);
    for (int k = 0; k < 6; ++k) EXPECT_TRUE(sameBits(phases[0][k], phases[1][k]));
    EXPECT_EQ(phases[0][2], 0.0);
}

TEST(PowerFlowSolvers, DenseKeepsTheBitsOfEveryEarlierRun) {
    // Steady state and slack power of meshedGrid as the power flow has always
    // computed them (seed 11, tolerance 1e-12).
    const double expected[] = {0x1.d0d979087cb2p-2,  0x1.d8dd93ff206fp-3,  0x1.1a091376d106p-3, 0x0p+0,
                               0x1.fe9759d0d108p-5,  0x1.a4e58ca95adfp-3,  0x1.b40989c13c76p-2, 0x1.a60a7445e8368p-2,
                               0x1.cede666ef9d8p-2,  0x1.0cb012ae439f8p-1, 0x1.f23c023b4ca58p-2, 0x1.dbcff4f285048p-2};
    for (PowerGrid::NrSolver solver : {PowerGrid::NrSolver::Auto, PowerGrid::NrSolver::Dense}) {
        srand(11);
        PowerGrid grid;
        meshedGrid(grid);
        grid.setNrSolver(solver);
        EXPECT_EQ(grid.usedNrSolver(), PowerGrid::NrSolver::Dense);
        ASSERT_TRUE(runPowerFlow(grid, 1e-12).converged);
        std::vector<double> phases = grid.getVoltAngSS();
        for (int k = 0; k < 12; ++k) EXPECT_TRUE(sameBits(phases[k], expected[k])) << "node " << k;
        EXPECT_TRUE(sameBits(grid.getPowerMech(3), -0x1.8d5c846b991dfp-1));
    }
}

namespace {

// The lines of a power flow without the digits of its errors.
std::string withoutErrors(std::string out) {
    for (std::size_t at = out.find("error"); at != std::string::npos; at = out.find("error", at + 1)) {
        out.erase(at, out.find('\n', at) - at);
    }
    for (std::size_t at = out.find("is: "); at != std::string::npos; at = out.find("is: ", at + 1)) {
        out.erase(at, out.find('\n', at) - at);
    }
    return out;
}

}  // namespace

// The meshed grid's couplings differ between directions, so the iterative
// solver takes its unsymmetric method here.
TEST(PowerFlowSolvers, SparseAndIterativeAgreeWithDenseAndPrintTheSameLines) {
    const double precision = 1e-10;
    for (PowerGrid::NrSolver other : {PowerGrid::NrSolver::Sparse, PowerGrid::NrSolver::Iterative}) {
        for (PowerGrid::NrStart start :
             {PowerGrid::NrStart::Random, PowerGrid::NrStart::Flat, PowerGrid::NrStart::Dc}) {
            PowerGrid grids[2];
            Outcome outcomes[2];
            for (int g = 0; g < 2; ++g) {
                srand(5);
                meshedGrid(grids[g]);
                grids[g].setNrStart(start);
                grids[g].setNrSolver(g == 0 ? PowerGrid::NrSolver::Dense : other);
                outcomes[g] = runPowerFlow(grids[g], precision);
                ASSERT_TRUE(outcomes[g].converged);
            }
            EXPECT_EQ(withoutErrors(outcomes[0].out), withoutErrors(outcomes[1].out));
            for (int k = 0; k < 12; ++k) {
                // Phases that balance to `precision` differ by less than it over the smallest coupling.
                EXPECT_LT(wrappedDistance(grids[0].getVoltAngSS()[k], grids[1].getVoltAngSS()[k]), precision)
                    << "node " << k;
                EXPECT_NEAR(grids[1].PFlFunc(k), 0.0, precision);
            }
            EXPECT_NEAR(grids[0].getPowerMech(3), grids[1].getPowerMech(3), precision);
        }
    }
}

TEST(PowerFlowSolvers, AutoTakesSparseAboveTheDenseLimit) {
    PowerGrid grid;
    grid.setNumNodes(PowerGrid::kDenseSolverMaxNodes);
    EXPECT_EQ(grid.usedNrSolver(), PowerGrid::NrSolver::Dense);
    grid.setNumNodes(PowerGrid::kDenseSolverMaxNodes + 1);
    EXPECT_EQ(grid.usedNrSolver(), PowerGrid::NrSolver::Sparse);
    grid.setNrSolver(PowerGrid::NrSolver::Dense);
    EXPECT_EQ(grid.usedNrSolver(), PowerGrid::NrSolver::Dense);
    EXPECT_STREQ(PowerGrid::nrSolverName(PowerGrid::NrSolver::Sparse), "sparse");
}

TEST(PowerFlowSolvers, SparseHandlesASingleNodeAndASingularJacobianLikeDense) {
    PowerGrid single;
    single.setNumNodes(1);
    for (PowerGrid::NrSolver solver : {PowerGrid::NrSolver::Sparse, PowerGrid::NrSolver::Iterative}) {
        single.setNrSolver(solver);
        single.getNode(0)->setPowerMech(0.7);
        single.getNode(0)->setPowerDiag(0.2);
        EXPECT_TRUE(runPowerFlow(single, 1e-9).converged);
        EXPECT_EQ(single.getPowerMech(0), 0.2);
    }

    // The iterative solver hands the singular steps to the LU.
    std::string outs[3];
    for (int s = 0; s < 3; ++s) {
        srand(7);
        PowerGrid grid;
        grid.setNumNodes(3);
        grid.setNrSolver(s == 0 ? PowerGrid::NrSolver::Dense
                                : (s == 1 ? PowerGrid::NrSolver::Sparse : PowerGrid::NrSolver::Iterative));
        grid.getNode(0)->setPowerMech(0.5);
        grid.getNode(1)->setPowerMech(-0.5);
        grid.provideTrLine(0, 1)->setCouplingMag(1);
        grid.provideTrLine(1, 0)->setCouplingMag(1);
        grid.getNode(2)->setPowerMech(0.1);  // node 2 has no line
        Outcome r = runPowerFlow(grid, 1e-9);
        EXPECT_FALSE(r.converged);
        EXPECT_EQ(grid.getPowerMech(0), 0.5);
        outs[s] = r.out;
    }
    EXPECT_NE(outs[1].find("\nTry 10/10\n"), std::string::npos);
    EXPECT_EQ(outs[0], outs[1]);
    EXPECT_EQ(outs[0], outs[2]);
}

TEST(PowerFlowStart, FlatKeepsTheGivenPhasesAndDcStartsFromTheLinearisedSolution) {
    // A tolerance the start already meets shows the starting phases themselves.
    for (PowerGrid::NrSolver solver :
         {PowerGrid::NrSolver::Dense, PowerGrid::NrSolver::Sparse, PowerGrid::NrSolver::Iterative}) {
        PowerGrid grid;
        twoNodeGrid(grid, 0.5, -0.5);
        grid.setNrSolver(solver);
        grid.setNrStart(PowerGrid::NrStart::Flat);
        runPowerFlow(grid, 10);
        EXPECT_EQ(grid.getNode(1)->getVoltPhase(), 0.0);
        grid.setNrStart(PowerGrid::NrStart::Dc);
        grid.getNode(1)->setVoltPhase(2.0);  // ignored: the linearisation is taken at phases 0
        runPowerFlow(grid, 10);
        EXPECT_EQ(grid.getNode(0)->getVoltPhase(), 0.0);
        EXPECT_NEAR(grid.getNode(1)->getVoltPhase(), -0.5, 1e-15);
    }

    // Flat and dc use no random numbers: any seed gives the same bits.
    for (PowerGrid::NrStart start : {PowerGrid::NrStart::Flat, PowerGrid::NrStart::Dc}) {
        std::vector<double> phases[2];
        for (int run = 0; run < 2; ++run) {
            srand(run == 0 ? 1 : 99);
            PowerGrid grid;
            meshedGrid(grid);
            grid.setNrStart(start);
            ASSERT_TRUE(runPowerFlow(grid, 1e-12).converged);
            phases[run] = grid.getVoltAngSS();
        }
        for (int k = 0; k < 12; ++k) EXPECT_TRUE(sameBits(phases[0][k], phases[1][k]));
    }
}

TEST(SwingEquation, SameBitsAsThePlainFormulaWhileLinesGoOutOfService) {
    const int n = 40;
    std::mt19937 gen(5);
    std::uniform_real_distribution<double> u(-1, 1);
    PowerGrid grid;
    grid.setNumNodes(n);
    for (int k = 0; k < n; ++k) {
        Node* node = grid.getNode(k);
        node->setPowerMech(u(gen));
        node->setPowerDiag(u(gen) * 0.1);
        node->setDamping(0.5 + u(gen) * 0.2);
        node->setInertiaInv(1 / (2 + u(gen)));
        for (int c = 0; c < 3; ++c) {
            int j = static_cast<int>((u(gen) + 1) * 0.5 * n) % n;
            if (j == k) continue;
            TransmissionLine* line = grid.provideTrLine(k, j);
            line->setCouplingMag(3 + u(gen));
            line->setCouplingAng(0.1 * u(gen));
            line->setCapacity(10);
        }
    }
    double theta[n], omega[n];
    for (int k = 0; k < n; ++k) {
        theta[k] = 3 * u(gen);
        omega[k] = u(gen);
    }
    auto expectSameBits = [&](const char* when) {
        for (int i = 0; i < n; ++i) {
            double fast = grid.swingEq(theta, omega, i);
            double plain = perRecordSwingEq(grid, theta, omega, i);
            ASSERT_TRUE(sameBits(fast, plain)) << when << ", node " << i << ": " << fast << " vs " << plain;
        }
    };
    expectSameBits("all lines in service");

    const TransmissionLine& first = grid.linesOf(0).front();
    grid.getTrLine(0, first.getToNode())->setOnline(false);
    expectSameBits("after switching one line off");
    grid.getTrLine(3, grid.linesOf(3).front().getToNode())->setCouplingMag(0.25);
    expectSameBits("after changing a coupling");
    TransmissionLine* kept = grid.getTrLine(2, grid.linesOf(2).front().getToNode());
    grid.swingEq(theta, omega, 2);
    kept->setCouplingMag(0.75);
    grid.markCouplingsStale();
    expectSameBits("after a change through a kept pointer");
    double before = grid.swingEq(theta, omega, 3);
    grid.setPowerMech(3, grid.getPowerMech(3) + 1);
    EXPECT_NE(grid.swingEq(theta, omega, 3), before);
    expectSameBits("after changing a power");

    // Couplings above 3.5 overload their lines; the check switches them off.
    Param param;
    std::vector<int> from, to;
    std::vector<double> times;
    for (int k = 0; k < n; ++k) {
        for (TransmissionLine line : grid.linesOf(k)) grid.getTrLine(k, line.getToNode())->setCapacity(3.5);
    }
    grid.swingEq(theta, omega, 0);  // the compact copy is current again
    grid.checkLines(theta, &from, &to, &times, 2.0, param);
    ASSERT_FALSE(from.empty());
    expectSameBits("after the overload check");

    // A NaN phase at the far end of an out-of-service line still reaches the sum.
    theta[first.getToNode()] = std::nan("");
    expectSameBits("with a NaN phase");
}
