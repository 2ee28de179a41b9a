#ifndef TESSALY_SWINGKERNELSINCOS_H
#define TESSALY_SWINGKERNELSINCOS_H

// The sine and cosine of every phase for the fast kernel variants, with
// SLEEF's 1-ulp sincos: s[i] = sin(x[i]), c[i] = cos(x[i]) for i < count.
// Each vector variant lives in a translation unit compiled for its own
// instruction set and is called only on a CPU that has it. Those units use
// no inline function shared with other units: the linker could otherwise
// keep their instruction-set copy for the whole program.
void sinCosScalar(const double* x, double* s, double* c, int count);
void sinCosSse2(const double* x, double* s, double* c, int count);
void sinCosAvx2(const double* x, double* s, double* c, int count);
void sinCosAvx512(const double* x, double* s, double* c, int count);

// Runs Lanes::sinCos (Lanes::width values at a time) over the arrays. The
// tail goes through a zero-padded copy; every lane is computed on its own, so
// a value's result does not depend on its position or on the count. Each
// unit instantiates it with a Lanes type of its own anonymous namespace, so
// no instantiation is shared between units.
template <class Lanes>
void sinCosInLanes(const double* x, double* s, double* c, int count) {
    const int width = Lanes::width;
    int i = 0;
    for (; i + width <= count; i += width) Lanes::sinCos(x + i, s + i, c + i);
    if (i == count) return;
    double in[width] = {};
    double sOut[width];
    double cOut[width];
    for (int k = 0; i + k < count; ++k) in[k] = x[i + k];
    Lanes::sinCos(in, sOut, cOut);
    for (int k = 0; i + k < count; ++k) {
        s[i + k] = sOut[k];
        c[i + k] = cOut[k];
    }
}

#endif
