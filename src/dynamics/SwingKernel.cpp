#include "dynamics/SwingKernel.h"

#include <sleef.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <tuple>

#include "grid/Node.h"
#include "dynamics/SwingKernelSinCos.h"

namespace {

// The node terms around the coupling sum, in the operation order every
// result bit depends on.
inline double nodeSlope(const Node& node, double omega, double couplingSum) {
    return (-node.getDamping() * omega + node.getPowerMech() - node.getPowerDiag() - couplingSum) *
           node.getInertiaInv();
}

struct ScalarLanes {
    static const int width = 1;
    static void sinCos(const double* x, double* s, double* c) {
        Sleef_double2 r = Sleef_sincos_u10(*x);
        *s = r.x;
        *c = r.y;
    }
};

using SinCosArrays = void (*)(const double*, double*, double*, int);

SinCosArrays sinCosOf(KernelVariant variant) {
    switch (variant) {
#ifdef TESSALY_X86_KERNELS
        case KernelVariant::fastAvx512: return sinCosAvx512;
        case KernelVariant::fastAvx2: return sinCosAvx2;
        case KernelVariant::fastSse2: return sinCosSse2;
#endif
        default: return sinCosScalar;
    }
}

template <typename T>
void fitSize(std::vector<T>& v, std::size_t size) {
    if (v.size() < size) v.resize(size);
}

}  // namespace

void sinCosScalar(const double* x, double* s, double* c, int count) { sinCosInLanes<ScalarLanes>(x, s, c, count); }

const char* kernelVariantName(KernelVariant variant) {
    switch (variant) {
        case KernelVariant::exact: return "exact";
        case KernelVariant::fastAvx512: return "fast-avx512";
        case KernelVariant::fastAvx2: return "fast-avx2";
        case KernelVariant::fastSse2: return "fast-sse2";
        case KernelVariant::fastScalar: return "fast-scalar";
    }
    return "unknown";
}

bool kernelVariantBuiltIn(KernelVariant variant) {
    switch (variant) {
        case KernelVariant::exact:
        case KernelVariant::fastScalar: return true;
#ifdef TESSALY_X86_KERNELS
        case KernelVariant::fastSse2:
        case KernelVariant::fastAvx2:
        case KernelVariant::fastAvx512: return true;
#endif
        default: return false;
    }
}

bool kernelVariantSupported(KernelVariant variant) {
    if (!kernelVariantBuiltIn(variant)) return false;
    switch (variant) {
#ifdef TESSALY_X86_KERNELS
        case KernelVariant::fastAvx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case KernelVariant::fastAvx512: return __builtin_cpu_supports("avx512f");
#endif
        default: return true;  // SSE2 is part of every x86-64 CPU
    }
}

void requireKernelVariant(KernelVariant variant) {
    if (!kernelVariantSupported(variant)) {
        throw std::invalid_argument(std::string("kernel ") + kernelVariantName(variant) + " does not run on this CPU");
    }
}

KernelVariant fastKernelVariant() {
    for (KernelVariant v : {KernelVariant::fastAvx512, KernelVariant::fastAvx2, KernelVariant::fastSse2}) {
        if (kernelVariantSupported(v)) return v;
    }
    return KernelVariant::fastScalar;
}

// ---- build --------------------------------------------------------------------

void SwingKernel::build(const Node* nodeArray, int nodeCount, const std::vector<int>& recordStart,
                        const std::vector<Record>& records) {
    if (nodeCount < 0 || recordStart.size() != static_cast<std::size_t>(nodeCount) + 1 || recordStart.front() != 0 ||
        recordStart.back() != static_cast<int>(records.size()) ||
        !std::is_sorted(recordStart.begin(), recordStart.end())) {
        throw std::invalid_argument("line record offsets do not match " + std::to_string(nodeCount) + " nodes and " +
                                    std::to_string(records.size()) + " records");
    }
    for (const Record& record : records) {
        if (record.to < 0 || record.to >= nodeCount) {
            throw std::invalid_argument("a line record leads to node " + std::to_string(record.to) +
                                        " outside the grid's " + std::to_string(nodeCount) + " nodes");
        }
    }
    nodes = nodeArray;
    n = nodeCount;
    start = recordStart;
    to.clear();
    k.clear();
    phi.clear();
    inPhase.clear();
    quadrature.clear();
    anyPhaseShift = false;
    for (const Record& record : records) {
        to.push_back(record.to);
        k.push_back(record.k);
        phi.push_back(record.phi);
        inPhase.push_back(record.k * std::cos(record.phi));
        quadrature.push_back(record.k * std::sin(record.phi));
        if (!(record.phi == 0)) anyPhaseShift = true;
    }
    findPairs();
}

void SwingKernel::findPairs() {
    pairs.clear();
    singles.clear();
    const int count = numRecords();
    std::vector<int> from(count);
    for (int i = 0; i < n; ++i) std::fill(from.begin() + start[i], from.begin() + start[i + 1], i);

    // Slots ordered by (from, to): the reverse record is found by binary
    // search. A node pair with more than one record in a direction is left
    // unpaired.
    using Key = std::tuple<int, int, int>;
    std::vector<Key> byEnds;
    byEnds.reserve(count);
    for (int r = 0; r < count; ++r) byEnds.emplace_back(from[r], to[r], r);
    std::sort(byEnds.begin(), byEnds.end());
    auto onlySlot = [&](int a, int b) {
        auto first = std::lower_bound(byEnds.begin(), byEnds.end(), Key(a, b, -1));
        if (first == byEnds.end() || std::get<0>(*first) != a || std::get<1>(*first) != b) return -1;
        auto next = first + 1;
        if (next != byEnds.end() && std::get<0>(*next) == a && std::get<1>(*next) == b) return -1;
        return std::get<2>(*first);
    };

    std::vector<char> paired(count, 0);
    for (int r = 0; r < count; ++r) {
        if (from[r] >= to[r] || onlySlot(from[r], to[r]) != r) continue;
        int reverse = onlySlot(to[r], from[r]);
        if (reverse < 0 || !(phi[reverse] == -phi[r])) continue;
        pairs.push_back(Pair{from[r], to[r], r, reverse, phi[r], phi[reverse]});
        paired[r] = paired[reverse] = 1;
    }
    for (int r = 0; r < count; ++r) {
        if (!paired[r]) singles.push_back(Single{from[r], to[r], r, phi[r]});
    }
}

// ---- evaluation ---------------------------------------------------------------

void SwingKernel::evaluate(KernelVariant variant, const double* theta, const double* omega, double* dOmega,
                           Scratch& scratch) const {
    if (variant == KernelVariant::exact) {
        evaluateExact(theta, omega, dOmega, scratch);
        return;
    }
    requireKernelVariant(variant);
    evaluateFast(variant, theta, omega, dOmega, scratch);
}

double SwingKernel::nodeDerivative(const double* theta, const double* omega, int i) const {
    const double thetaI = theta[i];
    double sum = 0;
    for (int r = start[i], end = start[i + 1]; r < end; ++r) sum += k[r] * std::sin(thetaI - theta[to[r]] - phi[r]);
    return nodeSlope(nodes[i], omega[i], sum);
}

// One sine per pair. For a pair, θ_to - θ_from is exactly -(θ_from - θ_to),
// and with φ' = -φ the whole reverse argument is exactly the negated forward
// one (IEEE subtraction rounds symmetrically). Only a zero argument may come
// out with the other sign, and a signed zero changes neither k * s nor the
// sum, which starts at +0 and so is never -0. glibc's sin is odd bit for bit
// (the kernel tests check it, and it held on 26 million arguments up to 1e24
// on both its FMA and its SSE2 code path), so -s is the bits of the reverse
// record's sine. A NaN sine carries its operands' sign and payload instead,
// so that record is evaluated on its own. Each node then sums its records in
// list order, exactly as nodeDerivative does.
void SwingKernel::evaluateExact(const double* theta, const double* omega, double* dOmega, Scratch& scratch) const {
    fitSize(scratch.recordSines, to.size());
    double* sines = scratch.recordSines.data();
    for (const Pair& p : pairs) {
        const double s = std::sin(theta[p.from] - theta[p.to] - p.phi);
        sines[p.slot] = s;
        sines[p.reverseSlot] = s == s ? -s : std::sin(theta[p.to] - theta[p.from] - p.reversePhi);
    }
    for (const Single& r : singles) sines[r.slot] = std::sin(theta[r.from] - theta[r.to] - r.phi);

    for (int i = 0; i < n; ++i) {
        double sum = 0;
        for (int r = start[i], end = start[i + 1]; r < end; ++r) sum += k[r] * sines[r];
        dOmega[i] = nodeSlope(nodes[i], omega[i], sum);
    }
}

void SwingKernel::evaluateFast(KernelVariant variant, const double* theta, const double* omega, double* dOmega,
                               Scratch& scratch) const {
    fitSize(scratch.sinTheta, static_cast<std::size_t>(n));
    fitSize(scratch.cosTheta, static_cast<std::size_t>(n));
    sinCosOf(variant)(theta, scratch.sinTheta.data(), scratch.cosTheta.data(), n);
    if (anyPhaseShift) {
        sumFast<true>(scratch.sinTheta.data(), scratch.cosTheta.data(), omega, dOmega);
    } else {
        sumFast<false>(scratch.sinTheta.data(), scratch.cosTheta.data(), omega, dOmega);
    }
}

// K sin(θ_i - θ_j - φ) = sin θ_i (a cos θ_j - b sin θ_j) - cos θ_i (a sin θ_j + b cos θ_j)
// with a = K cos φ and b = K sin φ, so a node's sum needs the sine and cosine
// of each phase once, not one sine per record. Without phase shifts b is 0.
template <bool shifted>
void SwingKernel::sumFast(const double* sinTheta, const double* cosTheta, const double* omega,
                          double* dOmega) const {
    for (int i = 0; i < n; ++i) {
        double inPhaseSum = 0;
        double quadratureSum = 0;
        for (int r = start[i], end = start[i + 1]; r < end; ++r) {
            const int j = to[r];
            if (shifted) {
                inPhaseSum += inPhase[r] * cosTheta[j] - quadrature[r] * sinTheta[j];
                quadratureSum += inPhase[r] * sinTheta[j] + quadrature[r] * cosTheta[j];
            } else {
                inPhaseSum += inPhase[r] * cosTheta[j];
                quadratureSum += inPhase[r] * sinTheta[j];
            }
        }
        dOmega[i] = nodeSlope(nodes[i], omega[i], sinTheta[i] * inPhaseSum - cosTheta[i] * quadratureSum);
    }
}
