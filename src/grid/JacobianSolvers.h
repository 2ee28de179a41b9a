#ifndef TESSALY_JACOBIANSOLVERS_H
#define TESSALY_JACOBIANSOLVERS_H

#include <Eigen/IterativeLinearSolvers>
#include <Eigen/SparseCore>
#include <Eigen/SparseLU>

// The sparse linear solvers of the Newton step of the power flow, and the
// measure that tells which of them a grid needs.
namespace jacobian {

using SparseMatrix = Eigen::SparseMatrix<double>;

// Entries below the diagonal of the Cholesky factor of a matrix whose
// pattern is that of pattern + pattern^T, under the minimum-degree ordering a
// sparse factorisation would use: what a direct solve fills in. Counting
// stops beyond `limit` (the result is then limit + 1), so measuring a grid
// whose factor would not fit in memory costs about `limit` steps.
long long choleskyFill(const SparseMatrix& pattern, long long limit);

// Entries strictly below the diagonal of pattern + pattern^T.
long long lowerEntries(const SparseMatrix& pattern);

// Krylov solves of J x = f for the reduced Jacobians J of one Newton
// iteration, preconditioned by an incomplete Cholesky factorisation of -J
// (positive definite on a connected grid near a stable steady state):
// conjugate gradients where J is symmetric (equal couplings both ways and
// φ_ji = -φ_ij, e.g. no coupling angles), BiCGSTAB otherwise, the
// factorisation then taken of -J's lower triangle mirrored, which is close
// to -J while the angles are small. The pattern must stay that of the first
// solve.
class IterativeSolver {
public:
    // x with J x = f whose residual sums to at most `residualL1` in absolute
    // value (as far as rounding lets the method's own residual tell); false
    // when the method does not get there within its iteration limit, or
    // failed at an earlier step (whose Jacobian was much like this one).
    bool solve(const SparseMatrix& J, const Eigen::VectorXd& f, double residualL1, Eigen::VectorXd& x);

private:
    using Preconditioner = Eigen::IncompleteCholesky<double>;
    SparseMatrix negated;
    Eigen::ConjugateGradient<SparseMatrix, Eigen::Lower | Eigen::Upper, Preconditioner> cg;
    Eigen::BiCGSTAB<SparseMatrix, Preconditioner> bicgstab;
    bool cgAnalysed = false;
    bool bicgstabAnalysed = false;
    bool gaveUp = false;

    template <typename Method>
    bool tryMethod(Method& method, bool& analysed, const Eigen::VectorXd& f, double tolerance, double residualL1,
                   Eigen::VectorXd& x);
};

// The sparse LU of the Newton step; its pattern is analysed once, at the
// first factorisation.
class DirectSolver {
public:
    // False when J is singular.
    bool solve(const SparseMatrix& J, const Eigen::VectorXd& f, Eigen::VectorXd& x);

private:
    Eigen::SparseLU<SparseMatrix> lu;
    bool analysed = false;
};

}  // namespace jacobian

#endif
