#ifndef TESSALY_LINEARSPECTRUM_H
#define TESSALY_LINEARSPECTRUM_H

#include <Eigen/Core>
#include <complex>
#include <string>
#include <vector>

#include "analyses/linear/LinearSystem.h"

// How the eigenvalues of a linearised grid are found.
//
// The dense paths give every eigenvalue (LAPACK, on OpenBLAS):
// - symmetric: L symmetric and D_i / M_i = c at every node. With
//   S = M^-1/2 L M^-1/2 and its eigenvalues μ (one symmetric N x N problem),
//   λ = -c/2 ± sqrt(c²/4 - μ).
// - proportional: D_i / M_i = c, L not symmetric: the same roots of the
//   eigenvalues μ of M⁻¹L (one general N x N problem).
// - general: the Hessenberg QR of the 2N x 2N first-order matrix.
// The iterative path gives the eigenvalues nearest a small positive shift σ
// (shift-invert Arnoldi, Spectra), through a sparse factorisation of
// P(σ) = σ² M + σ D + L: no N x N matrix anywhere.
enum class SpectrumPath { symmetric, proportional, general, iterative };

// "dense-symmetric", "dense-proportional", "dense-general", "iterative".
const char* spectrumPathName(SpectrumPath path);
// Why that path: the structure it relies on, or that was missing.
std::string spectrumPathReason(SpectrumPath path, const LinearSystem& system);

// The dense path that the structure of `system` allows.
SpectrumPath densePath(const LinearSystem& system);

struct Spectrum {
    SpectrumPath path = SpectrumPath::general;
    std::vector<std::complex<double>> eigenvalues;
    // Iterative path: the θ part of each eigenvalue's mode (the right null
    // vector of P(λ)); empty for the dense paths.
    std::vector<Eigen::VectorXcd> modeShapes;
    // The eigenvalues the solver was asked for; fewer came out when it did
    // not converge (`problem` says why).
    int requested = 0;
    std::string problem;
};

// Every eigenvalue (dense paths) or the `wanted` nearest the shift
// (iterative), unordered. A finite system only.
Spectrum computeSpectrum(const LinearSystem& system, SpectrumPath path, int wanted);

#endif
