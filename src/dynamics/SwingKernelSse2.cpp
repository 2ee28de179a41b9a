// Compiled with the SSE2 instruction set only (see SwingKernelSinCos.h).
#include <emmintrin.h>
#include <sleef.h>

#include "dynamics/SwingKernelSinCos.h"

namespace {

struct Sse2Lanes {
    static const int width = 2;
    static void sinCos(const double* x, double* s, double* c) {
        Sleef___m128d_2 r = Sleef_sincosd2_u10sse2(_mm_loadu_pd(x));
        _mm_storeu_pd(s, r.x);
        _mm_storeu_pd(c, r.y);
    }
};

}  // namespace

void sinCosSse2(const double* x, double* s, double* c, int count) { sinCosInLanes<Sse2Lanes>(x, s, c, count); }
