#ifndef TESSALY_BENCH_HANDWRITTENRK4_H
#define TESSALY_BENCH_HANDWRITTENRK4_H

// The point of reference for the fast kernel: one RK4 step of the swing
// equations written by hand for speed, with the arithmetic of the program's
// fast path on grids without coupling angles (the benchmark grid):
//   - per stage, SLEEF's 1-ulp sincos of every phase, called straight on
//     vectors of 8 (AVX-512), 4 (AVX2) or 2 (SSE2) phases;
//   - per node, the sums a_r cos θ_j and a_r sin θ_j over its records in list
//     order, then (-D ω + P - Pd - (sin θ_i Σc - cos θ_i Σs)) / M;
//   - the RK4 bookkeeping of the stage (increment, next stage's state, the
//     new state and its wrapped phase) in that same node loop.
// Flat arrays throughout, no objects in the loops. Compiled with the
// project's flags; the vector functions by target attribute.
#include <immintrin.h>
#include <sleef.h>

// SLEEF declares its AVX2 and AVX-512 functions only where the whole unit is
// compiled for those sets; here they are declared as the library defines them.
#ifndef Sleef___m256d_2_DEFINED
typedef struct {
    __m256d x, y;
} Sleef___m256d_2;
#define Sleef___m256d_2_DEFINED
extern "C" Sleef___m256d_2 Sleef_sincosd4_u10avx2(__m256d);
#endif
#ifndef Sleef___m512d_2_DEFINED
typedef struct {
    __m512d x, y;
} Sleef___m512d_2;
#define Sleef___m512d_2_DEFINED
extern "C" Sleef___m512d_2 Sleef_sincosd8_u10avx512f(__m512d);
#endif

#include <cmath>
#include <utility>
#include <vector>

namespace handwritten {

__attribute__((target("avx512f"))) inline void sinCosAvx512(const double* x, double* s, double* c, int n) {
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        Sleef___m512d_2 r = Sleef_sincosd8_u10avx512f(_mm512_loadu_pd(x + i));
        _mm512_storeu_pd(s + i, r.x);
        _mm512_storeu_pd(c + i, r.y);
    }
    if (i == n) return;
    alignas(64) double in[8] = {}, sOut[8], cOut[8];
    for (int k = 0; i + k < n; ++k) in[k] = x[i + k];
    Sleef___m512d_2 r = Sleef_sincosd8_u10avx512f(_mm512_load_pd(in));
    _mm512_store_pd(sOut, r.x);
    _mm512_store_pd(cOut, r.y);
    for (int k = 0; i + k < n; ++k) s[i + k] = sOut[k], c[i + k] = cOut[k];
}

__attribute__((target("avx2,fma"))) inline void sinCosAvx2(const double* x, double* s, double* c, int n) {
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        Sleef___m256d_2 r = Sleef_sincosd4_u10avx2(_mm256_loadu_pd(x + i));
        _mm256_storeu_pd(s + i, r.x);
        _mm256_storeu_pd(c + i, r.y);
    }
    if (i == n) return;
    alignas(32) double in[4] = {}, sOut[4], cOut[4];
    for (int k = 0; i + k < n; ++k) in[k] = x[i + k];
    Sleef___m256d_2 r = Sleef_sincosd4_u10avx2(_mm256_load_pd(in));
    _mm256_store_pd(sOut, r.x);
    _mm256_store_pd(cOut, r.y);
    for (int k = 0; i + k < n; ++k) s[i + k] = sOut[k], c[i + k] = cOut[k];
}

inline void sinCosSse2(const double* x, double* s, double* c, int n) {
    int i = 0;
    for (; i + 2 <= n; i += 2) {
        Sleef___m128d_2 r = Sleef_sincosd2_u10sse2(_mm_loadu_pd(x + i));
        _mm_storeu_pd(s + i, r.x);
        _mm_storeu_pd(c + i, r.y);
    }
    if (i == n) return;
    Sleef_double2 r = Sleef_sincos_u10(x[i]);
    s[i] = r.x;
    c[i] = r.y;
}

using SinCos = void (*)(const double*, double*, double*, int);

// The program's phase wrap, written out.
inline double wrap(double x) {
    const double pi = 3.14159265359;
    const double twoPi = 6.28318530718;
    const double shifted = std::fabs(x) + pi;
    const double r = (shifted < twoPi ? shifted : std::fmod(shifted, twoPi)) - pi;
    return r * (x > 0 ? 1.0 : (x < 0 ? -1.0 : 0.0));
}

class Rk4 {
public:
    // Node i's records are to[start[i]] .. with in-phase couplings a.
    Rk4(std::vector<int> start, std::vector<int> to, std::vector<double> a, std::vector<double> damping,
        std::vector<double> power, std::vector<double> powerDiag, std::vector<double> inertiaInv, SinCos sinCos)
        : n(static_cast<int>(damping.size())), start(std::move(start)), to(std::move(to)), a(std::move(a)),
          damping(std::move(damping)), power(std::move(power)), powerDiag(std::move(powerDiag)),
          inertiaInv(std::move(inertiaInv)), sinCos(sinCos), s(n), c(n), k1om(n), k1th(n), k2om(n), k2th(n),
          k3om(n), k3th(n), om1(n), th1(n), om2(n), th2(n) {}

    __attribute__((noinline)) void step(double h, const double* om, const double* th, double* omOut, double* thOut) {
        stage<1>(h, om, th, om, th, omOut, thOut);
        stage<2>(h, om, th, om1.data(), th1.data(), omOut, thOut);
        stage<3>(h, om, th, om2.data(), th2.data(), omOut, thOut);
        stage<4>(h, om, th, om1.data(), th1.data(), omOut, thOut);
    }

private:
    int n;
    std::vector<int> start, to;
    std::vector<double> a, damping, power, powerDiag, inertiaInv;
    SinCos sinCos;
    std::vector<double> s, c, k1om, k1th, k2om, k2th, k3om, k3th, om1, th1, om2, th2;

    // Stage k at (omS, thS): stages 1 and 3 write the next stage's state
    // into om1/th1, stage 2 into om2/th2, stage 4 the new state.
    template <int k>
    void stage(double h, const double* om, const double* th, const double* omS, const double* thS, double* omOut,
               double* thOut) {
        sinCos(thS, s.data(), c.data(), n);
        double* nextOm = k == 2 ? om2.data() : om1.data();
        double* nextTh = k == 2 ? th2.data() : th1.data();
        double* kOm = k == 1 ? k1om.data() : (k == 2 ? k2om.data() : k3om.data());
        double* kTh = k == 1 ? k1th.data() : (k == 2 ? k2th.data() : k3th.data());
        for (int i = 0; i < n; ++i) {
            double sumCos = 0, sumSin = 0;
            for (int r = start[i], end = start[i + 1]; r < end; ++r) {
                sumCos += a[r] * c[to[r]];
                sumSin += a[r] * s[to[r]];
            }
            const double slope =
                (-damping[i] * omS[i] + power[i] - powerDiag[i] - (s[i] * sumCos - c[i] * sumSin)) * inertiaInv[i];
            if (k == 4) {
                const double om4 = slope * h, th4 = omS[i] * h;
                omOut[i] = k1om[i] / 3 + om[i] + (2.0 / 3.0) * k2om[i] + k3om[i] / 3 + om4 / 6;
                thOut[i] = wrap(k1th[i] / 3 + th[i] + (2.0 / 3.0) * k2th[i] + k3th[i] / 3 + th4 / 6);
            } else {
                kOm[i] = k < 3 ? slope * h / 2 : slope * h;
                kTh[i] = k < 3 ? omS[i] * h / 2 : omS[i] * h;
                nextOm[i] = om[i] + kOm[i];
                nextTh[i] = th[i] + kTh[i];
            }
        }
    }
};

}  // namespace handwritten

#endif
