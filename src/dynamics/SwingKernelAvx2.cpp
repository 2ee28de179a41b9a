// Compiled with -mavx2 -mfma (see SwingKernelSinCos.h); called only on CPUs
// with AVX2 and FMA, which SLEEF's AVX2 functions need.
#include <immintrin.h>
#include <sleef.h>

#include "dynamics/SwingKernelSinCos.h"

namespace {

struct Avx2Lanes {
    static const int width = 4;
    static void sinCos(const double* x, double* s, double* c) {
        Sleef___m256d_2 r = Sleef_sincosd4_u10avx2(_mm256_loadu_pd(x));
        _mm256_storeu_pd(s, r.x);
        _mm256_storeu_pd(c, r.y);
    }
};

}  // namespace

void sinCosAvx2(const double* x, double* s, double* c, int count) { sinCosInLanes<Avx2Lanes>(x, s, c, count); }
