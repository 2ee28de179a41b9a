#ifndef TESSALY_LINEARMODES_H
#define TESSALY_LINEARMODES_H

#include <complex>
#include <vector>

#include "analyses/linear/LinearSpectrum.h"
#include "analyses/linear/LinearSystem.h"

// The eigenvalues in the order they are reported, with what the analysis
// says about them.
//
// Order: decreasing real part (the least damped first), at equal real parts
// increasing |imaginary part|, the positive member of a conjugate pair
// first. The rotation modes are the `rotationModes` eigenvalues nearest 0
// (see LinearSystem); they are written as 0, which they are exactly, and
// keep their place in that order, flagged. The least-damped
// modes are the first `wanted` others (a conjugate pair is never split: the
// partner of the last one joins it).
struct LinearModes {
    std::vector<std::complex<double>> eigenvalues;
    std::vector<char> rotation;
    std::vector<int> leastDamped;  // indices into eigenvalues
    // Per least-damped mode, node i's participation factor: the share of the
    // mode in node i's phase and frequency (|w_θi v_θi| + |w_ωi v_ωi| from the
    // mode's right and left eigenvectors v and w), normalised to sum 1.
    std::vector<std::vector<double>> participation;
    // A real part above this counts as positive: 1e-9 of the system's scale,
    // above the rounding of any computed eigenvalue near 0.
    double tolerance = 0;
    std::vector<int> unstable;          // non-rotation modes with a positive real part
    int leastDampedOscillatory = -1;    // its positive-frequency member, or -1
};

// Orders `spectrum`, flags the rotation modes, selects the `wanted`
// least-damped modes and computes their participation factors. The
// iterative path keeps only the rotation modes and the least damped.
LinearModes analyseModes(const LinearSystem& system, Spectrum spectrum, int wanted);

// ζ = -Re λ / |λ| (NaN for λ = 0).
double dampingRatio(std::complex<double> lambda);
// Im λ / 2π: cycles per unit of the input's time.
double frequencyOf(std::complex<double> lambda);

#endif
