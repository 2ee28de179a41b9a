#ifndef TESSALY_POWERGRID_H
#define TESSALY_POWERGRID_H

#include <Eigen/Core>
#include <Eigen/SparseCore>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "grid/LineRules.h"
#include "grid/Node.h"
#include "dynamics/SwingKernel.h"
#include "TransmissionLine.h"

class InputText;
struct ReaderCursor;
class Param;
class ProgressMeter;

// The whole grid: nodes, one line list per sending node, the reference node
// and the power-flow settings; the power flow, the swing equation and the
// line-flow bookkeeping work on it.
class PowerGrid {
public:
    PowerGrid();
    virtual ~PowerGrid();

    // ---- container -------------------------------------------------------
    int getNumNodes() const { return numNodes; }
    void setNumNodes(int n);
    void resetLines();
    void resetNodes();
    int getRefNode() const { return refNode; }
    void setRefNode(int r) { refNode = r; }
    int getNrICs() const { return nrICs; }
    void setNrICs(int n) { nrICs = n; }
    double getNrPrecision() const { return nrPrecision; }
    void setNrPrecision(double p) { nrPrecision = p; }

    // Linear solver of the Newton step. Dense is the Householder QR of the
    // full reduced Jacobian; Sparse assembles it from the line records and
    // factorises it with a sparse LU; Iterative solves the assembled matrix
    // with preconditioned Krylov methods (jacobian::IterativeSolver), each
    // step to a residual far below the power-flow tolerance. Auto takes
    // Dense up to kDenseSolverMaxNodes nodes (where its digits stay those of
    // every earlier run); above, Sparse unless a direct factorisation would
    // fill in more than kDirectSolverMaxFill entries per Jacobian entry
    // (random lines between distant nodes), then Iterative.
    enum class NrSolver { Dense, Sparse, Auto, Iterative };
    // Starting phases of the power flow. Random gives all-zero phases a
    // random start; Flat keeps the phases as read; Dc starts from the
    // linearised solution (one Newton step from all phases 0).
    enum class NrStart { Random, Flat, Dc };
    static const int kDenseSolverMaxNodes;
    static const int kDirectSolverMaxFill;
    NrSolver getNrSolver() const { return nrSolver; }
    void setNrSolver(NrSolver s) { nrSolver = s; }
    // The solver the power flow uses, never Auto. Measuring the fill of a
    // large grid takes about as long as one Newton step; the choice is kept
    // (in the grid, so not for callers on several threads at once) until a
    // line record is added or the reference node moves.
    NrSolver usedNrSolver() const;
    static const char* nrSolverName(NrSolver s);
    NrStart getNrStart() const { return nrStart; }
    static const char* nrStartName(NrStart s);
    void setNrStart(NrStart s) { nrStart = s; }

    // Out-of-range node indices throw std::out_of_range.
    Node* getNode(int i);
    double getPowerMech(int i);
    void setPowerMech(int i, double p);
    TransmissionLine* getTrLine(int i, int j);
    TransmissionLine* provideTrLine(int i, int j);
    double getCouplingMag(int i, int j);
    int IWOR(int r) const;
    std::vector<Node*> getGens();
    std::vector<double> getVoltAngSS() const;
    std::vector<double> getPowerMech() const;
    void resetPowerMech();
    // Line records of node i, in creation order.
    const std::vector<TransmissionLine>& linesOf(int i) const;
    // The reference node's "Power mech"; NaN for a grid without nodes.
    double referencePower() const;
    // Node i, read-only (out-of-range i throws std::out_of_range).
    const Node& nodeAt(int i) const;
    // The coupling of a record as the swing equation sees it: 0 out of service.
    static double couplingOf(const TransmissionLine& line);
    // The islands of islands(islandOf) below as node lists, each in node order.
    std::vector<std::vector<int>> islands() const;
    // Whether the grid file gave the key (the readers note the keys whose
    // absence a check must tell apart from a value of 0).
    bool keyGiven(const std::string& key) const;
    void noteKeyGiven(const std::string& key);
    // Lines (a pair of nodes with one or two records) out of service, which
    // only a cascade switches off.
    int linesOutOfService() const;
    // Lines in service without capacity or admittance: a cascade trips them
    // at once or cannot measure their flow.
    int linesWithoutCapacityOrAdmittance() const;
    void putLinesInService();

    // ---- what the values stand for (optional keys) -------------------------
    // The bus number of every node in the case the grid came from ("Bus
    // numbers"); empty when the input does not give them.
    const std::vector<long long>& busNumbers() const { return buses; }
    void setBusNumbers(std::vector<long long> numbers) { buses = std::move(numbers); }
    // The units of time and frequency: "model" (the input's own time unit t)
    // or "physical" (seconds, frequency deviations in rad/s from the nominal
    // frequency in Hz; powers in per unit of the base power in MVA).
    struct Units {
        bool physical = false;
        double nominalFrequency = 0;  // Hz; 0 when not given
        double basePower = 0;         // MVA; 0 when not given
    };
    const Units& units() const { return unitSystem; }
    Units& units() { return unitSystem; }

    // ---- grid file and report ----------------------------------------------
    // Reads the grid keys of an input file (false when it cannot be opened),
    // reporting them on standard output. Throws InputError for invalid input.
    bool readFromFile(std::string fileName);
    void read(InputText& in, std::ostream& console);
    // The keys of the grid reader.
    static std::vector<std::string> keys();
    // The rows of a "Line list" block, one directed record each:
    // from to couplingMag couplingAng [capacity [admittanceMag admittanceAng]].
    // The line after the last row is handed back as the next key line.
    void readLineList(ReaderCursor& cursor);
    void calcCflow();
    std::string toString() const;

    // ---- power flow ----------------------------------------------------------
    // False when the iteration did not converge (the grid is then not in its
    // steady state).
    bool NRPF();
    bool NRPF(double precision);
    // How the last power flow ended.
    struct PowerFlowOutcome {
        bool converged = false;
        double totalError = 0;
        int steps = 0;  // Newton steps of the last try
        int tries = 0;  // 0 when the grid fulfilled the condition already
    };
    const PowerFlowOutcome& lastPowerFlow() const { return powerFlow; }
    // The total error the last power flow ended with.
    double getPowerFlowError() const { return powerFlow.totalError; }
    std::vector<double> NRMethod(double precision, int& steps);
    double PFlFunc(int i);
    void Jij(const std::vector<std::vector<double>>& K, const std::vector<std::vector<double>>& Phi,
             Eigen::MatrixXd& J);
    // The same reduced Jacobian assembled from the line records.
    void sparseJij(Eigen::SparseMatrix<double>& J);
    void checkAllphasesZero();

    // ---- dynamics ------------------------------------------------------------
    // dω_i/dt of node i alone (out-of-range i throws std::out_of_range).
    double swingEq(double* theta, double* omega, int i);
    // The right-hand side of every node, rebuilt first when the couplings
    // are stale. Node powers are read at every evaluation and need no rebuild.
    const SwingKernel& swingKernel();

    // ---- line flows ----------------------------------------------------------
    void measureFlow(double* theta);
    void resetLineFlows();
    void getFIJ(std::vector<double>* out, double divisor);
    void checkLines(double* theta, std::vector<int>* fromList, std::vector<int>* toList,
                    std::vector<double>* timeList, double t, Param& param);
    // The lines whose flow at `theta` exceeds their capacity (the check
    // above would trip them), and the most overloaded record.
    struct Overloads {
        int lines = 0;
        int worstFrom = -1;
        int worstTo = -1;
        double worstRatio = 0;
    };
    Overloads overloadsAt(double* theta);

    // ---- line rules: flow measure, losses of switched-off records, capacities
    LineRules& lineRules() { return rules; }
    const LineRules& lineRules() const { return rules; }
    // The record's flow under the grid's flow measure (0 out of service).
    double flowOf(TransmissionLine& line, const double* theta) const;
    // A record that exceeded its capacity: the trip rule switched it off
    // with its reverse record.
    struct Trip {
        int from;
        int to;
        double time;
    };
    // The most loaded record of one check (-1, -1 when no record carries
    // a positive load).
    struct LoadPeak {
        double flow = 0;
        double ratio = 0;
        int from = -1;
        int to = -1;
    };
    // The trip rule of the cascade after one step at time t: every record in
    // service whose flow exceeds its capacity is switched off with its
    // reverse record, in node and line-list order, and appended to `trips`
    // (which allocates nothing while its capacity lasts).
    LoadPeak tripOverloadedLines(const double* theta, double t, std::vector<Trip>& trips);
    // Switches off the records i -> j and j -> i (those that exist); false
    // when neither exists.
    bool switchOffLine(int i, int j);
    // V_i² Y cos α of the record i -> j: its share of node i's "Power diag".
    double lossTerm(const TransmissionLine& line) const;
    // With "Capacity from base flow": sets the capacities from the flows at
    // the steady-state phases (a record without flow gets none: infinite).
    // Returns the number of records set from their flow.
    int applyBaseFlowCapacities();
    // The islands the records in service with a coupling make: every node's
    // island, numbered from 0 in the order of their lowest node. Returns the
    // number of islands.
    int islands(std::vector<int>& islandOf) const;

    // The swing equations read a compact copy of the couplings (the kernel),
    // rebuilt when stale. Handing out a line pointer (getTrLine/provideTrLine)
    // marks it stale, so a change made right after fetching the pointer counts. A
    // caller that keeps a pointer and changes the line after the swing
    // equation has been evaluated calls markCouplingsStale: checking every
    // line record before every step would add about a fifth to a step.
    void markCouplingsStale() { couplingsStale = true; }

private:
    int numNodes;
    int refNode;
    int nrICs;
    double nrPrecision;
    PowerFlowOutcome powerFlow;
    NrSolver nrSolver;
    NrStart nrStart;
    // Counts the additions of line records: the measured choice of Auto
    // holds for one pattern of records and one reference node.
    long long recordPatternRevision = 0;
    struct MeasuredSolver {
        long long revision = -1;
        int refNode = -1;
        NrSolver solver = NrSolver::Sparse;
    };
    mutable MeasuredSolver measuredSolver;
    NrSolver measureSolver() const;
    std::vector<Node> nodes;
    std::vector<std::vector<TransmissionLine>> lines;
    std::vector<std::string> givenKeys;
    std::vector<long long> buses;
    Units unitSystem;

    // Every node's couplings in line-list order for the swing equations.
    SwingKernel kernel;
    // A copied grid starts stale: the copied kernel points at the original's nodes.
    class StaleFlag {
    public:
        StaleFlag() = default;
        StaleFlag(const StaleFlag&) {}
        StaleFlag& operator=(const StaleFlag&) { return *this = true; }
        StaleFlag& operator=(bool on) {
            stale = on;
            return *this;
        }
        operator bool() const { return stale; }

    private:
        bool stale = true;
    };
    StaleFlag couplingsStale;
    void rebuildKernel();

    LineRules rules;
    // "Power diag" as read, kept with "Line losses in diag": a node's value
    // is this minus the terms of its records out of service.
    std::vector<double> diagAsRead;
    void keepDiagAsRead();
    void updateDiag(int node);
    void switchOff(TransmissionLine& line);

    void requireNode(int i) const;
    double totalMismatch();
    void randomizePhases();
    void prepareStartingPhases(double precision);
    void startFromLinearisedSolution(double precision);
    // The pattern of sparseJij (every entry 1), from the records alone.
    Eigen::SparseMatrix<double> jacobianPattern() const;
    template <typename Work>
    auto withJacobianSolver(double precision, Work work);
    // NRMethod, counting every Newton step on `progress`.
    std::vector<double> newtonTry(double precision, int& steps, ProgressMeter& progress);
    template <typename JacobianSolver>
    std::vector<double> iterateNewton(double precision, int& steps, JacobianSolver& solver, ProgressMeter& progress);
    void checkReferenceNode() const;
    void checkUnits() const;
    int countLines(bool (*matches)(const TransmissionLine&)) const;
    const TransmissionLine* findLine(int i, int j) const;
};

#endif
