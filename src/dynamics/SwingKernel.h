#ifndef TESSALY_SWINGKERNEL_H
#define TESSALY_SWINGKERNEL_H

#include <vector>

#include "grid/Node.h"

// The evaluations of the right-hand side a run can use. `exact` gives the
// bits of the plain per-record formula; the fast ones use the trig identity
// with a vectorised sincos per node and agree with it to rounding.
enum class KernelVariant { exact, fastAvx512, fastAvx2, fastSse2, fastScalar };

// "exact", "fast-avx512", "fast-avx2", "fast-sse2" or "fast-scalar".
const char* kernelVariantName(KernelVariant variant);
// Whether this build has the variant (the CPU may still lack what it needs).
bool kernelVariantBuiltIn(KernelVariant variant);
// Whether this build and this CPU can run the variant.
bool kernelVariantSupported(KernelVariant variant);
// Throws std::invalid_argument naming the variant when this CPU cannot run it.
void requireKernelVariant(KernelVariant variant);
// The widest fast variant this CPU can run (fast-scalar as the fallback).
KernelVariant fastKernelVariant();

// Right-hand side of the swing equations for every node at once:
//   dω_i/dt = (-D_i ω_i + P_i - Pd_i - Σ_r K_r sin(θ_i - θ_to(r) - φ_r)) / M_i
// summed over node i's line records r in their list order.
//
// build() copies the line records; the node terms (D, P, Pd, 1/M) are read
// from the nodes at every evaluation, so powers changed between steps count
// without a rebuild. evaluate() is const and keeps its work arrays in a
// caller's Scratch, so integrators on several threads can share one kernel.
class SwingKernel {
public:
    // One directed line record as its sending node sees it. Records out of
    // service are kept with k = 0, so the sum keeps every term (0 * sin(NaN)
    // is still NaN).
    struct Record {
        int to;
        double k;
        double phi;
    };

    // Work arrays of one caller; evaluate() sizes them on first use and a
    // scratch that fits allocates nothing afterwards.
    struct Scratch {
        std::vector<double> recordSines;
        std::vector<double> sinTheta;
        std::vector<double> cosTheta;
    };

    SwingKernel() = default;

    // Node i's records are records[start[i]] .. records[start[i + 1] - 1];
    // `start` holds n + 1 offsets. The nodes must outlive the kernel (or the
    // next build). Throws std::invalid_argument for offsets or receiving
    // nodes outside the grid.
    void build(const Node* nodes, int n, const std::vector<int>& start, const std::vector<Record>& records);

    int numNodes() const { return n; }
    int numRecords() const { return static_cast<int>(to.size()); }
    // Line pairs whose two records share one sine in the exact variant.
    int numSharedPairs() const { return static_cast<int>(pairs.size()); }

    // dω/dt of every node into dOmega[0 .. n).
    void evaluate(KernelVariant variant, const double* theta, const double* omega, double* dOmega,
                  Scratch& scratch) const;
    // Calls sink(i, dω_i/dt) for every node i in order, with the bits of
    // evaluate(). The phases are all read before the first call and omega[i]
    // before the call for node i, so the sink may write the next state of a
    // stepper into arrays other than theta and omega. Inline, so a stepper's
    // bookkeeping runs in the loop over the nodes instead of passes of its own.
    template <typename Sink>
    void forEachSlope(KernelVariant variant, const double* theta, const double* omega, Scratch& scratch,
                      Sink&& sink) const;
    // dω_i/dt of node i alone, one sine per record: the bits of the exact
    // variant. i must be a node of the grid.
    double nodeDerivative(const double* theta, const double* omega, int i) const;

private:
    // Records i->j and j->i whose angles satisfy φ_ji == -φ_ij. Their sine
    // arguments are then exact negations of each other (see evaluateExact).
    struct Pair {
        int from;
        int to;
        int slot;
        int reverseSlot;
        double phi;
        double reversePhi;
    };
    // A record without such a partner.
    struct Single {
        int from;
        int to;
        int slot;
        double phi;
    };

    const Node* nodes = nullptr;
    int n = 0;
    std::vector<int> start;
    std::vector<int> to;
    std::vector<double> k;
    std::vector<double> phi;
    // k cos φ and k sin φ per record, for the trig identity of the fast variants.
    std::vector<double> inPhase;
    std::vector<double> quadrature;
    bool anyPhaseShift = false;
    std::vector<Pair> pairs;
    std::vector<Single> singles;

    void findPairs();
    // The sine of every record's argument into scratch.recordSines.
    void recordSines(const double* theta, Scratch& scratch) const;
    // The sine and cosine of every phase into scratch.sinTheta and cosTheta
    // (throws std::invalid_argument for a variant this CPU cannot run).
    void phaseSinCos(KernelVariant variant, const double* theta, Scratch& scratch) const;
    template <bool shifted, typename Sink>
    void slopesFast(const double* sinTheta, const double* cosTheta, const double* omega, Sink& sink) const;

    // The node terms around the coupling sum, in the operation order every
    // result bit depends on.
    static double nodeSlope(const Node& node, double omega, double couplingSum) {
        return (-node.getDamping() * omega + node.getPowerMech() - node.getPowerDiag() - couplingSum) *
               node.getInertiaInv();
    }
};

template <typename Sink>
void SwingKernel::forEachSlope(KernelVariant variant, const double* theta, const double* omega, Scratch& scratch,
                               Sink&& sink) const {
    if (variant == KernelVariant::exact) {
        recordSines(theta, scratch);
        const double* sines = scratch.recordSines.data();
        for (int i = 0; i < n; ++i) {
            double sum = 0;
            for (int r = start[i], end = start[i + 1]; r < end; ++r) sum += k[r] * sines[r];
            sink(i, nodeSlope(nodes[i], omega[i], sum));
        }
        return;
    }
    phaseSinCos(variant, theta, scratch);
    if (anyPhaseShift) {
        slopesFast<true>(scratch.sinTheta.data(), scratch.cosTheta.data(), omega, sink);
    } else {
        slopesFast<false>(scratch.sinTheta.data(), scratch.cosTheta.data(), omega, sink);
    }
}

// K sin(θ_i - θ_j - φ) = sin θ_i (a cos θ_j - b sin θ_j) - cos θ_i (a sin θ_j + b cos θ_j)
// with a = K cos φ and b = K sin φ, so a node's sum needs the sine and cosine
// of each phase once, not one sine per record. Without phase shifts b is 0.
template <bool shifted, typename Sink>
void SwingKernel::slopesFast(const double* sinTheta, const double* cosTheta, const double* omega, Sink& sink) const {
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
        sink(i, nodeSlope(nodes[i], omega[i], sinTheta[i] * inPhaseSum - cosTheta[i] * quadratureSum));
    }
}

#endif
