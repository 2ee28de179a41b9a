// The Newton-Raphson power flow: tries from random or given starting phases,
// the Newton iteration and the choice of its linear solver.
#include "grid/PowerGrid.h"

#include <Eigen/QR>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <new>
#include <vector>

#include "diagnostics/Diagnostics.h"
#include "diagnostics/Progress.h"
#include "grid/JacobianSolvers.h"
#include "util/CodeUtils.h"

namespace {

const int kMaxNewtonSteps = 1000;
const int kMaxTries = 10;
const int kProgressEvery = 100;
const double kRandomPhaseScale = 0.0005;
// The iterative solver's residual per Newton step, as a share of the
// power-flow tolerance: the step lands where an exact solve would, so the
// iteration takes the same steps.
const double kLinearResidualShare = 0.01;

}  // namespace

bool PowerGrid::NRPF() { return NRPF(nrPrecision); }

bool PowerGrid::NRPF(double precision) {
    std::cout << "==================== Newton Raphson Power Flow ====================\n";
    prepareStartingPhases(precision);
    double err = totalMismatch();
    powerFlow = PowerFlowOutcome{true, err, 0, 0};
    if (precision >= err) {
        std::cout << "The grid already fulfills the power flow condition.\n"
                  << "Total error: " << err << '\n';
        return true;
    }
    std::cout << "Use Newton Raphson to determine power flow.\n"
              << "Try " << 1 << "/" << kMaxTries << '\n';

    // A try that ends in NaN leaves NaN in the slack power; every try starts
    // from the slack power the grid came with.
    bool hasNodes = !nodes.empty();
    double refPowerAtEntry = hasNodes ? getPowerMech(refNode) : 0.0;
    auto restoreRefPower = [&] {
        if (hasNodes) setPowerMech(refNode, refPowerAtEntry);
    };

    int steps = 0;
    int attempt = 1;
    ProgressMeter progress;
    progress.begin(
        0,
        [&](long long, long long) {
            return "power flow: try " + std::to_string(attempt) + "/" + std::to_string(kMaxTries) + ", Newton step " +
                   std::to_string(steps);
        },
        ProgressMeter::kPowerFlow);
    std::vector<double> mismatch;
    bool diverged = false;
    for (; attempt <= kMaxTries; ++attempt) {
        restoreRefPower();
        steps = 0;
        mismatch = newtonTry(precision, steps, progress);
        int n = static_cast<int>(mismatch.size());
        std::cout << "Total error: " << CodeUtils::dAbsArrSum(mismatch.data(), n) << '\n';
        diverged = CodeUtils::anynan(mismatch.data(), n);
        if (!diverged) break;
        randomizePhases();
        if (attempt == kMaxTries) break;
        std::cout << "Try " << attempt + 1 << "/" << kMaxTries << '\n';
    }
    progress.end();

    const double totalError = CodeUtils::dAbsArrSum(mismatch.data(), static_cast<int>(mismatch.size()));
    const bool converged = steps < kMaxNewtonSteps && !diverged;
    powerFlow = PowerFlowOutcome{converged, totalError, steps, std::min(attempt, kMaxTries)};
    std::cout << "Newton Raphson iteration ended after \n"
              << steps << " / " << static_cast<double>(kMaxNewtonSteps) << " steps.\n"
              << "The total deviation from steady state is: " << totalError << '\n';
    if (diverged) restoreRefPower();
    if (!converged) {
        std::cout << "The Newton Raphson iteration did not converge.\n";
        return false;
    }
    for (Node& node : nodes) node.setVoltPhaseSs(node.getVoltPhase());
    return true;
}


PowerGrid::NrSolver PowerGrid::usedNrSolver() const {
    if (nrSolver != NrSolver::Auto) return nrSolver;
    if (numNodes <= kDenseSolverMaxNodes) return NrSolver::Dense;
    if (measuredSolver.revision != recordPatternRevision || measuredSolver.refNode != refNode) {
        measuredSolver = MeasuredSolver{recordPatternRevision, refNode, measureSolver()};
    }
    return measuredSolver.solver;
}

PowerGrid::NrSolver PowerGrid::measureSolver() const {
    Eigen::SparseMatrix<double> pattern = jacobianPattern();
    const long long limit =
        static_cast<long long>(kDirectSolverMaxFill) * std::max<long long>(jacobian::lowerEntries(pattern), 1);
    return jacobian::choleskyFill(pattern, limit) > limit ? NrSolver::Iterative : NrSolver::Sparse;
}

Eigen::SparseMatrix<double> PowerGrid::jacobianPattern() const {
    const int n = static_cast<int>(nodes.size());
    std::vector<Eigen::Triplet<double>> entries;
    for (int r = 0; r < n - 1; ++r) {
        for (const TransmissionLine& line : lines[IWOR(r)]) {
            int j = line.getToNode();
            if (j != refNode) entries.emplace_back(r, j < refNode ? j : j - 1, 1.0);
        }
        entries.emplace_back(r, r, 1.0);
    }
    Eigen::SparseMatrix<double> pattern(std::max(n - 1, 0), std::max(n - 1, 0));
    pattern.setFromTriplets(entries.begin(), entries.end());
    return pattern;
}

const char* PowerGrid::nrSolverName(NrSolver s) {
    switch (s) {
        case NrSolver::Dense:
            return "dense";
        case NrSolver::Sparse:
            return "sparse";
        case NrSolver::Iterative:
            return "iterative";
        case NrSolver::Auto:
            break;
    }
    return "auto";
}

// Calls work(solve), where solve(f) returns x with J x = f for the reduced
// Jacobian J at the working phases of the moment, by the solver in use. The
// grid has at least one node; `precision` is the power-flow tolerance, which
// the iterative solver's residual is tied to.
template <typename Work>
auto PowerGrid::withJacobianSolver(double precision, Work work) {
    int n = static_cast<int>(nodes.size());
    const NrSolver solver = usedNrSolver();
    if (solver != NrSolver::Dense) {
        Eigen::SparseMatrix<double> J;
        jacobian::DirectSolver direct;
        jacobian::IterativeSolver iterative;
        auto solve = [&](const Eigen::VectorXd& f) -> Eigen::VectorXd {
            if (f.size() == 0) return f;
            sparseJij(J);
            Eigen::VectorXd x;
            // A step the Krylov methods do not finish (a Jacobian far from
            // definite, or singular) is solved by the LU.
            if (solver == NrSolver::Iterative && iterative.solve(J, f, kLinearResidualShare * precision, x)) return x;
            // A singular Jacobian ends the try with NaN, as the dense QR does.
            if (!direct.solve(J, f, x)) return Eigen::VectorXd::Constant(f.size(), std::nan(""));
            return x;
        };
        return work(solve);
    }
    std::vector<std::vector<double>> K(n, std::vector<double>(n, 0.0));
    std::vector<std::vector<double>> Phi(n, std::vector<double>(n, 0.0));
    for (int i = 0; i < n; ++i) {
        for (TransmissionLine& line : lines[i]) {
            K[i][line.getToNode()] = line.getCouplingMag();
            Phi[i][line.getToNode()] = line.getCouplingAng();
        }
    }
    Eigen::MatrixXd J(n - 1, n - 1);
    auto solve = [&](const Eigen::VectorXd& f) -> Eigen::VectorXd {
        Jij(K, Phi, J);
        return Eigen::HouseholderQR<Eigen::MatrixXd>(J).solve(f);
    };
    return work(solve);
}

template <typename JacobianSolver>
std::vector<double> PowerGrid::iterateNewton(double precision, int& steps, JacobianSolver& solve,
                                             ProgressMeter& progress) {
    int n = static_cast<int>(nodes.size());
    std::vector<double> mismatch(n);
    Node& ref = *getNode(refNode);
    for (int i = 0; i < n; ++i) mismatch[i] = PFlFunc(i);
    ref.setVoltPhase(0);

    Eigen::VectorXd f(n - 1);
    // "Not greater than" so that a NaN error ends the try at once.
    while (CodeUtils::dAbsArrSum(mismatch.data(), n) > precision && steps < kMaxNewtonSteps) {
        ++steps;
        for (int r = 0; r < n - 1; ++r) f(r) = PFlFunc(IWOR(r));
        Eigen::VectorXd dx = -solve(f);
        for (int r = 0; r < n - 1; ++r) {
            Node& node = nodes[IWOR(r)];
            node.setVoltPhase(CodeUtils::smallerAngle(node.getVoltPhase() + dx(r)));
        }
        for (int i = 0; i < n; ++i) mismatch[i] = PFlFunc(i);
        ref.setPowerMech(ref.getPowerMech() - mismatch[refNode]);
        mismatch[refNode] = 0;
        progress.advance();
        if (steps % kProgressEvery == 0) {
            std::cout << "Step " << steps << "/" << kMaxNewtonSteps
                      << ". Total error: " << CodeUtils::dAbsArrSum(mismatch.data(), n) << '\n';
        }
    }
    return mismatch;
}

std::vector<double> PowerGrid::NRMethod(double precision, int& steps) {
    ProgressMeter silent;
    return newtonTry(precision, steps, silent);
}

std::vector<double> PowerGrid::newtonTry(double precision, int& steps, ProgressMeter& progress) {
    steps = 0;
    if (nodes.empty()) return {};
    return withJacobianSolver(precision,
                              [&](auto& solve) { return iterateNewton(precision, steps, solve, progress); });
}

double PowerGrid::PFlFunc(int i) {
    requireNode(i);
    double theta = nodes[i].getVoltPhase();
    double sum = 0;
    for (TransmissionLine& line : lines[i]) {
        sum += line.getCouplingMag() *
               std::sin(theta - nodes[line.getToNode()].getVoltPhase() - line.getCouplingAng());
    }
    return nodes[i].getPowerMech() - nodes[i].getPowerDiag() - sum;
}

// Row i of the full derivative matrix holds K_ij cos(theta_i - theta_j - phi_ij)
// off the diagonal and minus their sum on it; the reference node's row and
// column are left out.
void PowerGrid::Jij(const std::vector<std::vector<double>>& K, const std::vector<std::vector<double>>& Phi,
                    Eigen::MatrixXd& J) {
    int n = static_cast<int>(nodes.size());
    for (int r = 0; r < n - 1; ++r) {
        int i = IWOR(r);
        double thetaI = nodes[i].getVoltPhase();
        double rowSum = 0;
        for (int j = 0; j < n; ++j) {
            if (j == i) continue;
            double entry = K[i][j] * std::cos(thetaI - nodes[j].getVoltPhase() - Phi[i][j]);
            rowSum += entry;
            if (j != refNode) J(r, j < refNode ? j : j - 1) = entry;
        }
        J(r, r) = -rowSum;
    }
}

// Row r holds the records of node IWOR(r) as in Jij, in line-list order; every
// record is an entry (zero when out of service) so the pattern never changes.
void PowerGrid::sparseJij(Eigen::SparseMatrix<double>& J) {
    int n = static_cast<int>(nodes.size());
    std::vector<Eigen::Triplet<double>> entries;
    for (int r = 0; r < n - 1; ++r) {
        int i = IWOR(r);
        double thetaI = nodes[i].getVoltPhase();
        double rowSum = 0;
        for (TransmissionLine& line : lines[i]) {
            int j = line.getToNode();
            double entry = line.getCouplingMag() * std::cos(thetaI - nodes[j].getVoltPhase() - line.getCouplingAng());
            rowSum += entry;
            if (j != refNode) entries.emplace_back(r, j < refNode ? j : j - 1, entry);
        }
        entries.emplace_back(r, r, -rowSum);
    }
    J.resize(n - 1, n - 1);
    J.setFromTriplets(entries.begin(), entries.end());
}

void PowerGrid::prepareStartingPhases(double precision) {
    switch (nrStart) {
        case NrStart::Random:
            checkAllphasesZero();
            break;
        case NrStart::Flat:
            break;
        case NrStart::Dc:
            startFromLinearisedSolution(precision);
            break;
    }
}

// One Newton step from all phases 0 with the solver in use: the solution of
// the power balance linearised around the flat state. The slack power is left
// to the iteration.
void PowerGrid::startFromLinearisedSolution(double precision) {
    int n = static_cast<int>(nodes.size());
    if (n == 0) return;
    for (Node& node : nodes) node.setVoltPhase(0);
    withJacobianSolver(precision, [&](auto& solve) {
        Eigen::VectorXd f(n - 1);
        for (int r = 0; r < n - 1; ++r) f(r) = PFlFunc(IWOR(r));
        Eigen::VectorXd dx = -solve(f);
        for (int r = 0; r < n - 1; ++r) nodes[IWOR(r)].setVoltPhase(CodeUtils::smallerAngle(dx(r)));
    });
}

void PowerGrid::checkAllphasesZero() {
    for (const Node& node : nodes) {
        if (!(node.getVoltPhase() == 0)) return;
    }
    randomizePhases();
}

void PowerGrid::randomizePhases() {
    for (int k = 0; k < static_cast<int>(nodes.size()); ++k) {
        nodes[k].setVoltPhase(CodeUtils::randD(0, k) * kRandomPhaseScale);
    }
}

double PowerGrid::totalMismatch() {
    std::vector<double> mismatch;
    mismatch.reserve(nodes.size());
    for (int i = 0; i < static_cast<int>(nodes.size()); ++i) mismatch.push_back(PFlFunc(i));
    return CodeUtils::dAbsArrSum(mismatch.data(), static_cast<int>(mismatch.size()));
}

