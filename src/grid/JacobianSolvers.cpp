#include "grid/JacobianSolvers.h"

#include <Eigen/OrderingMethods>
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace jacobian {

namespace {

// Iterations before the step goes to the sparse LU. A network with random
// lines needs about 50 at any size; a long chain of nodes (which the
// measured choice gives the LU) needs hundreds at 10,000 nodes and runs
// into the limit at 100,000.
const int kMaxIterations = 1000;

// Restarts after a solve whose true residual misses the target. Where the
// target lies below the rounding floor they cannot reach it, and the step is
// taken as it is: the next Newton step corrects what it leaves.
const int kMaxRestarts = 2;

// pattern + pattern^T with every entry 1: no sum cancels to a zero entry.
SparseMatrix symmetricPattern(const SparseMatrix& pattern) {
    SparseMatrix ones = pattern;
    ones.coeffs().setOnes();
    SparseMatrix transposed = ones.transpose();
    return ones + transposed;
}

// Same pattern and the same value in every entry as its transpose.
bool isSymmetric(const SparseMatrix& m) {
    SparseMatrix transposed = m.transpose();
    if (m.nonZeros() != transposed.nonZeros()) return false;
    for (int col = 0; col < m.outerSize(); ++col) {
        SparseMatrix::InnerIterator a(m, col);
        SparseMatrix::InnerIterator b(transposed, col);
        for (; a && b; ++a, ++b) {
            if (a.index() != b.index() || !(a.value() == b.value())) return false;
        }
        if (a || b) return false;
    }
    return true;
}

bool allFinite(const SparseMatrix& m) {
    const double* v = m.valuePtr();
    return std::all_of(v, v + m.nonZeros(), [](double x) { return std::isfinite(x); });
}

}  // namespace

long long lowerEntries(const SparseMatrix& pattern) {
    SparseMatrix sym = symmetricPattern(pattern);
    long long count = 0;
    for (int col = 0; col < sym.outerSize(); ++col) {
        for (SparseMatrix::InnerIterator it(sym, col); it; ++it) count += it.index() > col;
    }
    return count;
}

// The row-subtree walk that finds the elimination tree and the factor's
// pattern column by column: row k of L has an entry in every node on the
// tree paths from the entries of A's column k (above the diagonal) up to k.
// Each step of a walk is one entry, so the work is the count itself.
long long choleskyFill(const SparseMatrix& pattern, long long limit) {
    const int m = static_cast<int>(pattern.cols());
    SparseMatrix sym = symmetricPattern(pattern);
    Eigen::PermutationMatrix<Eigen::Dynamic, Eigen::Dynamic, int> order;
    Eigen::AMDOrdering<int>()(sym, order);
    SparseMatrix permuted;
    permuted = sym.twistedBy(order.inverse());

    std::vector<int> parent(m, -1);
    std::vector<int> visited(m, -1);
    long long count = 0;
    for (int k = 0; k < m; ++k) {
        visited[k] = k;
        for (SparseMatrix::InnerIterator it(permuted, k); it; ++it) {
            if (it.index() >= k) continue;
            for (int i = static_cast<int>(it.index()); visited[i] != k; i = parent[i]) {
                if (parent[i] == -1) parent[i] = k;
                visited[i] = k;
                if (++count > limit) return limit + 1;
            }
        }
    }
    return count;
}

bool IterativeSolver::solve(const SparseMatrix& J, const Eigen::VectorXd& f, double residualL1, Eigen::VectorXd& x) {
    if (gaveUp) return false;
    negated = -J;
    const double fNorm = f.norm();
    if (!std::isfinite(fNorm) || !allFinite(negated)) return false;
    if (fNorm == 0) {
        x = Eigen::VectorXd::Zero(f.size());
        return true;
    }
    // Eigen's methods stop at |r|_2 <= tolerance |f|_2, and |r|_1 <= sqrt(m) |r|_2.
    const double eps = std::numeric_limits<double>::epsilon();
    double tolerance = residualL1 / (std::sqrt(static_cast<double>(f.size())) * fNorm);
    tolerance = tolerance > eps ? std::min(tolerance, 0.5) : eps;
    const bool solved = isSymmetric(negated) ? tryMethod(cg, cgAnalysed, f, tolerance, residualL1, x)
                                             : tryMethod(bicgstab, bicgstabAnalysed, f, tolerance, residualL1, x);
    gaveUp = !solved;
    return solved;
}

template <typename Method>
bool IterativeSolver::tryMethod(Method& method, bool& analysed, const Eigen::VectorXd& f, double tolerance,
                                double residualL1, Eigen::VectorXd& x) {
    if (!analysed) method.analyzePattern(negated);
    analysed = true;
    method.factorize(negated);
    if (method.info() != Eigen::Success) return false;
    method.setTolerance(tolerance);
    method.setMaxIterations(kMaxIterations);
    // J x = f is (-J)(-x) = f. The methods track their residual by
    // recurrence, which drifts from the true one (BiCGSTAB's by a factor of
    // several); a restart from the solution found measures it afresh.
    Eigen::VectorXd y = method.solve(f);
    for (int restart = 0; method.info() == Eigen::Success; ++restart) {
        if (restart == kMaxRestarts || (negated * y - f).lpNorm<1>() <= residualL1) {
            x = -y;
            return true;
        }
        y = method.solveWithGuess(f, y);
    }
    return false;
}

bool DirectSolver::solve(const SparseMatrix& J, const Eigen::VectorXd& f, Eigen::VectorXd& x) {
    // Every record and diagonal is an entry at every step, so the pattern of
    // the first step holds for all.
    if (!analysed) lu.analyzePattern(J);
    analysed = true;
    lu.factorize(J);
    if (lu.info() != Eigen::Success) return false;
    x = lu.solve(f);
    return true;
}

}  // namespace jacobian
