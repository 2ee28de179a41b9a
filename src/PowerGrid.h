#ifndef TESSALY_POWERGRID_H
#define TESSALY_POWERGRID_H

#include <Eigen/Core>
#include <ostream>
#include <string>
#include <vector>

#include "Node.h"
#include "TransmissionLine.h"

class InputText;
class Param;

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
    // Lines (a pair of nodes with one or two records) out of service, which
    // only a cascade switches off.
    int linesOutOfService() const;
    // Lines in service without capacity or admittance: a cascade trips them
    // at once or cannot measure their flow.
    int linesWithoutCapacityOrAdmittance() const;
    void putLinesInService();

    // ---- grid file and report ----------------------------------------------
    // Reads the grid keys of an input file (false when it cannot be opened),
    // reporting them on standard output. Throws InputError for invalid input.
    bool readFromFile(std::string fileName);
    void read(InputText& in, std::ostream& console);
    // The keys of the grid reader.
    static std::vector<std::string> keys();
    void calcCflow();
    std::string toString() const;

    // ---- power flow ----------------------------------------------------------
    // False when the iteration did not converge (the grid is then not in its
    // steady state).
    bool NRPF();
    bool NRPF(double precision);
    // The total error the last power flow ended with.
    double getPowerFlowError() const { return powerFlowError; }
    std::vector<double> NRMethod(double precision, int& steps);
    double PFlFunc(int i);
    void Jij(const std::vector<std::vector<double>>& K, const std::vector<std::vector<double>>& Phi,
             Eigen::MatrixXd& J);
    void checkAllphasesZero();

    // ---- dynamics ------------------------------------------------------------
    double swingEq(double* theta, double* omega, int i);

    // ---- line flows ----------------------------------------------------------
    void measureFlow(double* theta);
    void resetLineFlows();
    void getFIJ(std::vector<double>* out, double divisor);
    void checkLines(double* theta, std::vector<int>* fromList, std::vector<int>* toList,
                    std::vector<double>* timeList, double t, Param& param);

    // The swing equation reads a compact copy of the couplings, rebuilt when
    // stale. Handing out a line pointer (getTrLine/provideTrLine) marks it
    // stale, so a change made right after fetching the pointer counts. A
    // caller that keeps a pointer and changes the line after the swing
    // equation has been evaluated calls markCouplingsStale: checking every
    // line record before every step would add about a fifth to a step.
    void markCouplingsStale() { couplingsStale = true; }

private:
    int numNodes;
    int refNode;
    int nrICs;
    double nrPrecision;
    double powerFlowError;
    std::vector<Node> nodes;
    std::vector<std::vector<TransmissionLine>> lines;

    // Compact copy of every node's couplings for the swing equation, in
    // line-list order, so one evaluation is a scan of contiguous memory.
    struct Coupling {
        int to;
        double k;
        double phi;
    };
    std::vector<Coupling> couplings;
    std::vector<int> couplingStart;
    bool couplingsStale;
    void rebuildCouplings();

    void requireNode(int i) const;
    double totalMismatch();
    void randomizePhases();
    void checkReferenceNode() const;
    int countLines(bool (*matches)(const TransmissionLine&)) const;
    const TransmissionLine* findLine(int i, int j) const;
};

#endif
