#ifndef TESSALY_SWINGKERNEL_H
#define TESSALY_SWINGKERNEL_H

#include <vector>

class Node;

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
    void evaluateExact(const double* theta, const double* omega, double* dOmega, Scratch& scratch) const;
    void evaluateFast(KernelVariant variant, const double* theta, const double* omega, double* dOmega,
                      Scratch& scratch) const;
    template <bool shifted>
    void sumFast(const double* sinTheta, const double* cosTheta, const double* omega, double* dOmega) const;
};

#endif
