#include "analyses/linear/LinearSpectrum.h"

#include <lapacke.h>

#include <Eigen/SparseCholesky>
#include <Eigen/SparseLU>
#include <Spectra/GenEigsRealShiftSolver.h>
#include <algorithm>
#include <cmath>
#include <memory>

// OpenBLAS's own control of its threads (the library the build links).
extern "C" void openblas_set_num_threads(int threads);

namespace {

using Complex = std::complex<double>;

// OpenBLAS splits some of its sums over its threads, so their count changes
// the last digits of the spectrum: it is the same on every machine and for
// every -j, rather than one per core. Two threads use this 2-core machine
// whole and lose little elsewhere (the dense paths are memory-bound).
constexpr int kBlasThreads = 2;

// Every dense solve below goes through this first.
void fixBlasThreads() { openblas_set_num_threads(kBlasThreads); }

// The two roots of λ² + c λ + μ = 0. A complex pair from a real μ is an
// exact conjugate pair; otherwise the larger root comes without
// cancellation and the smaller as μ / larger, so that a root near 0 (a slow
// mode, or the rotation mode itself) keeps its digits.
void rootsOf(Complex mu, double c, std::vector<Complex>& out) {
    const double half = c / 2;
    if (mu.imag() == 0 && half * half - mu.real() < 0) {
        const double frequency = std::sqrt(mu.real() - half * half);
        out.emplace_back(-half, frequency);
        out.emplace_back(-half, -frequency);
        return;
    }
    Complex root = std::sqrt(Complex(half * half, 0) - mu);
    if (root.real() * half < 0) root = -root;
    const Complex larger = -half - root;
    out.push_back(larger);
    out.push_back(larger == Complex(0, 0) ? Complex(0, 0) : mu / larger);
}

// Eigenvalues of the general n x n matrix `a` (column-major, overwritten);
// false when the QR iteration did not converge.
bool generalEigenvalues(std::vector<double>& a, int n, std::vector<Complex>& out) {
    std::vector<double> wr(n), wi(n);
    double unused = 0;
    fixBlasThreads();
    if (n > 0 && LAPACKE_dgeev(LAPACK_COL_MAJOR, 'N', 'N', n, a.data(), n, wr.data(), wi.data(), &unused, 1, &unused,
                               1) != 0) {
        return false;
    }
    for (int k = 0; k < n; ++k) out.emplace_back(wr[k], wi[k]);
    return true;
}

// Adds L's entries, each multiplied by rowFactor[i] * columnFactor[j], to the
// n x n column-major block of `a` starting at row `top`, column 0 (leading
// dimension lda).
void addScaledLaplacian(const LinearSystem& system, const std::vector<double>& rowFactor,
                        const std::vector<double>& columnFactor, std::vector<double>& a, int top, int lda) {
    for (int j = 0; j < system.nodes; ++j) {
        for (Eigen::SparseMatrix<double>::InnerIterator it(system.laplacian, j); it; ++it) {
            const int i = static_cast<int>(it.row());
            a[static_cast<std::size_t>(j) * lda + top + i] += it.value() * rowFactor[i] * columnFactor[j];
        }
    }
}

Spectrum symmetricSpectrum(const LinearSystem& system) {
    Spectrum spectrum;
    const int n = system.nodes;
    std::vector<double> root(n);
    for (int i = 0; i < n; ++i) root[i] = std::sqrt(system.inertiaInv[i]);
    std::vector<double> s(static_cast<std::size_t>(n) * n, 0.0), mu(n);
    addScaledLaplacian(system, root, root, s, 0, n);
    fixBlasThreads();
    if (n > 0 && LAPACKE_dsyevd(LAPACK_COL_MAJOR, 'N', 'U', n, s.data(), n, mu.data()) != 0) {
        spectrum.problem = "the symmetric eigenvalue solver did not converge";
        return spectrum;
    }
    for (double value : mu) rootsOf(Complex(value, 0), system.dampingPerInertia, spectrum.eigenvalues);
    return spectrum;
}

Spectrum proportionalSpectrum(const LinearSystem& system) {
    Spectrum spectrum;
    const int n = system.nodes;
    std::vector<double> a(static_cast<std::size_t>(n) * n, 0.0), ones(n, 1.0);
    addScaledLaplacian(system, system.inertiaInv, ones, a, 0, n);
    std::vector<Complex> mu;
    if (!generalEigenvalues(a, n, mu)) {
        spectrum.problem = "the QR iteration did not converge";
        return spectrum;
    }
    for (Complex value : mu) rootsOf(value, system.dampingPerInertia, spectrum.eigenvalues);
    return spectrum;
}

// J = [[0, I], [-M⁻¹L, -M⁻¹D]].
Spectrum generalSpectrum(const LinearSystem& system) {
    Spectrum spectrum;
    const int n = system.nodes, size = 2 * n;
    std::vector<double> j(static_cast<std::size_t>(size) * size, 0.0), minus(n), ones(n, 1.0);
    for (int i = 0; i < n; ++i) {
        minus[i] = -system.inertiaInv[i];
        j[static_cast<std::size_t>(n + i) * size + i] = 1;
        j[static_cast<std::size_t>(n + i) * size + n + i] = -system.dampingRate(i);
    }
    addScaledLaplacian(system, minus, ones, j, n, size);
    if (!generalEigenvalues(j, size, spectrum.eigenvalues)) spectrum.problem = "the QR iteration did not converge";
    return spectrum;
}

// ---- iterative -----------------------------------------------------------------

// y = (J - σ I)⁻¹ x for the first-order matrix J, through P(σ): with x = (a, b)
// in θ and ω parts, P(σ) y_θ = -(M b + (D + σ M) a) and y_ω = a + σ y_θ.
template <typename Factorisation>
class ShiftInvert {
public:
    using Scalar = double;
    explicit ShiftInvert(const LinearSystem& linear) : system(linear), n(linear.nodes) {}

    Eigen::Index rows() const { return 2 * n; }
    Eigen::Index cols() const { return 2 * n; }

    bool factorise(double shift) {
        sigma = shift;
        factorisation.compute(system.pencilAt(shift));
        return factorisation.info() == Eigen::Success;
    }
    // Spectra sets the shift it was made with; factorise() has taken it.
    void set_shift(double) {}

    void perform_op(const double* in, double* out) const {
        Eigen::VectorXd rhs(n);
        for (int i = 0; i < n; ++i) {
            const double m = 1 / system.inertiaInv[i];
            rhs[i] = -(m * in[n + i] + (system.damping[i] + sigma * m) * in[i]);
        }
        const Eigen::VectorXd theta = factorisation.solve(rhs);
        for (int i = 0; i < n; ++i) {
            out[i] = theta[i];
            out[n + i] = in[i] + sigma * theta[i];
        }
    }

private:
    const LinearSystem& system;
    int n;
    double sigma = 0;
    Factorisation factorisation;
};

template <typename Factorisation>
Spectrum iterate(const LinearSystem& system, int wanted) {
    Spectrum spectrum;
    spectrum.path = SpectrumPath::iterative;
    const int size = 2 * system.nodes;
    // Spectra needs nev + 2 <= ncv <= 2N.
    const int nev = std::min(wanted, size - 2);
    spectrum.requested = nev;
    if (nev < 1) {
        spectrum.problem = "the grid is too small for the iterative solver";
        return spectrum;
    }
    const int ncv = std::min(size, std::max(2 * nev + 1, nev + 20));
    ShiftInvert<Factorisation> op(system);
    // Just right of the rotation modes at 0, where P(σ) is singular; the
    // shift moves on if P(σ) cannot be factorised.
    double shift = 1e-6 * system.scale;
    bool factorised = op.factorise(shift);
    for (int attempt = 1; attempt < 4 && !factorised; ++attempt) {
        shift *= 10;
        factorised = op.factorise(shift);
    }
    if (!factorised) {
        spectrum.problem = "P(σ) = σ²M + σD + L could not be factorised";
        return spectrum;
    }
    Spectra::GenEigsRealShiftSolver<ShiftInvert<Factorisation>> solver(op, nev, ncv, shift);
    solver.init();
    const Eigen::Index found = solver.compute(Spectra::SortRule::LargestMagn, 1000, 1e-10);
    if (solver.info() != Spectra::CompInfo::Successful) spectrum.problem = "the Arnoldi iteration did not converge";
    const Eigen::VectorXcd values = solver.eigenvalues();
    const Eigen::MatrixXcd vectors = solver.eigenvectors();
    const Eigen::Index count = std::min<Eigen::Index>(found, values.size());
    for (Eigen::Index k = 0; k < count; ++k) {
        spectrum.eigenvalues.push_back(values[k]);
        spectrum.modeShapes.push_back(vectors.col(k).head(system.nodes));
    }
    // The matrix is real: a converged eigenvalue's conjugate is one too,
    // whether or not its own Ritz value passed the test.
    for (Eigen::Index k = 0; k < count; ++k) {
        if (values[k].imag() == 0) continue;
        const Complex partner = std::conj(values[k]);
        if (std::find(spectrum.eigenvalues.begin(), spectrum.eigenvalues.end(), partner) != spectrum.eigenvalues.end()) {
            continue;
        }
        spectrum.eigenvalues.push_back(partner);
        spectrum.modeShapes.push_back(vectors.col(k).head(system.nodes).conjugate());
    }
    return spectrum;
}

}  // namespace

const char* spectrumPathName(SpectrumPath path) {
    switch (path) {
        case SpectrumPath::symmetric: return "dense-symmetric";
        case SpectrumPath::proportional: return "dense-proportional";
        case SpectrumPath::general: return "dense-general";
        case SpectrumPath::iterative: return "iterative";
    }
    return "unknown";
}

std::string spectrumPathReason(SpectrumPath path, const LinearSystem& system) {
    switch (path) {
        case SpectrumPath::symmetric: return "symmetric couplings, equal damping per inertia";
        case SpectrumPath::proportional: return "equal damping per inertia, couplings not symmetric";
        case SpectrumPath::general:
            return system.symmetric ? "damping per inertia differs between nodes"
                                    : "couplings not symmetric, damping per inertia differs between nodes";
        case SpectrumPath::iterative:
            return system.symmetric ? "sparse Cholesky factorisation (symmetric couplings)"
                                    : "sparse LU factorisation (couplings not symmetric)";
    }
    return "";
}

SpectrumPath densePath(const LinearSystem& system) {
    if (!system.proportional) return SpectrumPath::general;
    return system.symmetric ? SpectrumPath::symmetric : SpectrumPath::proportional;
}

Spectrum computeSpectrum(const LinearSystem& system, SpectrumPath path, int wanted) {
    Spectrum spectrum;
    switch (path) {
        case SpectrumPath::symmetric: spectrum = symmetricSpectrum(system); break;
        case SpectrumPath::proportional: spectrum = proportionalSpectrum(system); break;
        case SpectrumPath::general: spectrum = generalSpectrum(system); break;
        case SpectrumPath::iterative:
            // P(σ) is symmetric positive definite for σ > 0 when L is
            // symmetric and positive semi-definite; an LDLᵀ that meets a
            // non-positive pivot still factorises a symmetric indefinite L.
            return system.symmetric ? iterate<Eigen::SimplicialLDLT<Eigen::SparseMatrix<double>>>(system, wanted)
                                    : iterate<Eigen::SparseLU<Eigen::SparseMatrix<double>>>(system, wanted);
    }
    spectrum.path = path;
    spectrum.requested = 2 * system.nodes;
    return spectrum;
}
