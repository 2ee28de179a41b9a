#ifndef TESSALY_LINEARSYSTEM_H
#define TESSALY_LINEARSYSTEM_H

#include <Eigen/SparseCore>
#include <complex>
#include <vector>

class PowerGrid;

// The swing equations linearised at a steady state θ*:
//   M_i δθ_i'' = -D_i δθ_i' - Σ_j L_ij δθ_j,
// with L_ij = -Σ_r K_r cos(θ*_i - θ*_j - φ_r) over node i's line records r to
// j, and L_ii = Σ_r K_r cos(θ*_i - θ*_to(r) - φ_r) over all of node i's
// records. Every record i -> j adds to row i only, exactly as it adds to
// node i's right-hand side; a record out of service has coupling 0 and adds
// nothing. Its eigenvalues are the roots of det(λ² M + λ D + L) = 0, those
// of the first-order system [[0, I], [-M⁻¹L, -M⁻¹D]] of size 2N.
struct LinearSystem {
    int nodes = 0;
    std::vector<double> inertiaInv;  // 1/M_i, as the swing equations use it
    std::vector<double> damping;     // D_i
    Eigen::SparseMatrix<double> laplacian;  // L, column-major
    // L equals its transpose to rounding (both records of every line, equal
    // couplings, opposite or zero phase shifts): then det P(λ) has the
    // structure of a symmetric problem.
    bool symmetric = false;
    // D_i / M_i is the same at every node (to rounding): the damping per
    // inertia that every mode then shares.
    bool proportional = false;
    double dampingPerInertia = 0;
    // The eigenvalue 0 of free rotation comes once per group of nodes that
    // no coupling ties to the rest (an island; with one-way records, a group
    // that feels no other node), twice when that group has no damping (its
    // common frequency drifts freely as well).
    int rotationModes = 0;
    int islands = 0;
    // max over the rows of |J| (at least 1): the scale of the eigenvalues'
    // rounding errors.
    double scale = 1;
    // Whether every entry of M⁻¹, D and L is finite.
    bool finite = true;

    // D_i / M_i.
    double dampingRate(int i) const { return damping[i] * inertiaInv[i]; }
    // P(λ) = λ² M + λ D + L, the matrix whose null vectors are the modes.
    Eigen::SparseMatrix<std::complex<double>> pencilAt(std::complex<double> lambda) const;
    Eigen::SparseMatrix<double> pencilAt(double lambda) const;
};

// The linearisation of `grid`'s swing equations at the phases `steadyState`.
LinearSystem linearise(PowerGrid& grid, const std::vector<double>& steadyState);

#endif
