// Compiled with -mavx512f (see SwingKernelSinCos.h); called only on CPUs with
// AVX-512F.
#include <immintrin.h>
#include <sleef.h>

#include "dynamics/SwingKernelSinCos.h"

namespace {

struct Avx512Lanes {
    static const int width = 8;
    static void sinCos(const double* x, double* s, double* c) {
        Sleef___m512d_2 r = Sleef_sincosd8_u10avx512f(_mm512_loadu_pd(x));
        _mm512_storeu_pd(s, r.x);
        _mm512_storeu_pd(c, r.y);
    }
};

}  // namespace

void sinCosAvx512(const double* x, double* s, double* c, int count) { sinCosInLanes<Avx512Lanes>(x, s, c, count); }
