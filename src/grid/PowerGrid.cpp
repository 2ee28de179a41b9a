#include "grid/PowerGrid.h"

#include <algorithm>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>

#include "util/CodeUtils.h"

namespace {

[[noreturn]] void throwNodeOutOfRange(int i, std::size_t count) {
    throw std::out_of_range("node index " + std::to_string(i) + " outside the grid's " + std::to_string(count) +
                            " nodes");
}


}  // namespace

// Up to here every grid keeps the digits the dense path has always printed;
// above it that path needs a second or more per Newton step and hundreds of
// MB for its N x N couplings and QR (README, "Power flow on large grids").
const int PowerGrid::kDenseSolverMaxNodes = 2000;
// Fill of a direct factorisation, in factor entries per Jacobian entry below
// the diagonal, beyond which Auto takes the iterative solver (README, "Power
// flow on large grids"): imported grids and chains of nodes stay below 5,
// a ring with random chords reaches 20 at about 3,000 nodes and 80 at 10,000.
const int PowerGrid::kDirectSolverMaxFill = 20;

PowerGrid::PowerGrid()
    : numNodes(0),
      refNode(0),
      nrICs(1),
      nrPrecision(1e-9),
      nrSolver(NrSolver::Auto),
      nrStart(NrStart::Random) {}

PowerGrid::~PowerGrid() {}


// ---- container -------------------------------------------------------------

void PowerGrid::setNumNodes(int n) {
    if (n < 0) throw std::invalid_argument("node count " + std::to_string(n) + " is negative");
    numNodes = n;
    resetLines();
    resetNodes();
    // The node values given before are gone with the nodes.
    givenKeys.clear();
    buses.clear();
}

void PowerGrid::resetLines() {
    lines.assign(numNodes, std::vector<TransmissionLine>());
    ++recordPatternRevision;
    couplingsStale = true;
}

void PowerGrid::resetNodes() {
    // The kernel points at the node array, which may move.
    couplingsStale = true;
    nodes.clear();
    nodes.reserve(numNodes);
    for (int k = 0; k < numNodes; ++k) nodes.push_back(Node(k));
}

void PowerGrid::requireNode(int i) const {
    if (i < 0 || static_cast<std::size_t>(i) >= nodes.size()) throwNodeOutOfRange(i, nodes.size());
}

Node* PowerGrid::getNode(int i) {
    requireNode(i);
    return &nodes[i];
}

double PowerGrid::getPowerMech(int i) { return getNode(i)->getPowerMech(); }

void PowerGrid::setPowerMech(int i, double p) { getNode(i)->setPowerMech(p); }

TransmissionLine* PowerGrid::getTrLine(int i, int j) {
    if (i < 0 || static_cast<std::size_t>(i) >= lines.size()) throwNodeOutOfRange(i, lines.size());
    // The caller may switch the line or change its coupling through the pointer.
    couplingsStale = true;
    for (TransmissionLine& line : lines[i]) {
        if (line.getToNode() == j) return &line;
    }
    return TransmissionLine::getNullLine();
}

TransmissionLine* PowerGrid::provideTrLine(int i, int j) {
    if (i < 0 || static_cast<std::size_t>(i) >= lines.size()) throwNodeOutOfRange(i, lines.size());
    // A record's receiving node is read as a phase index by every flow and
    // balance computation, so it must be another node of the grid.
    if (j < 0 || static_cast<std::size_t>(j) >= lines.size()) throwNodeOutOfRange(j, lines.size());
    if (i == j) throw std::invalid_argument("a line from node " + std::to_string(i) + " to itself");
    TransmissionLine* found = getTrLine(i, j);
    if (!found->isNull()) return found;
    lines[i].push_back(TransmissionLine(i, j));
    ++recordPatternRevision;
    return &lines[i].back();
}

double PowerGrid::getCouplingMag(int i, int j) {
    if (i < 0 || static_cast<std::size_t>(i) >= lines.size()) throwNodeOutOfRange(i, lines.size());
    for (TransmissionLine& line : lines[i]) {
        if (line.getToNode() == j) return line.getCouplingMag();
    }
    return TransmissionLine::getNullLine()->getCouplingMag();
}

int PowerGrid::IWOR(int r) const { return r < refNode ? r : r + 1; }

std::vector<Node*> PowerGrid::getGens() {
    std::vector<Node*> gens;
    for (Node& node : nodes) {
        if (node.isGen()) gens.push_back(&node);
    }
    return gens;
}

std::vector<double> PowerGrid::getVoltAngSS() const {
    std::vector<double> phases;
    phases.reserve(nodes.size());
    for (const Node& node : nodes) phases.push_back(node.getVoltPhaseSs());
    return phases;
}

std::vector<double> PowerGrid::getPowerMech() const {
    std::vector<double> powers;
    powers.reserve(nodes.size());
    for (const Node& node : nodes) powers.push_back(node.getPowerMech());
    return powers;
}

void PowerGrid::resetPowerMech() {
    for (Node& node : nodes) node.setPowerMech(node.getPowerMechInit());
}

int PowerGrid::linesOutOfService() const {
    return countLines([](const TransmissionLine& line) { return !line.isOnline(); });
}

int PowerGrid::linesWithoutCapacityOrAdmittance() const {
    return countLines([](const TransmissionLine& line) {
        return line.isOnline() && (line.getCapacity() == 0 || line.getAdmittanceMag() == 0);
    });
}

void PowerGrid::putLinesInService() {
    for (std::vector<TransmissionLine>& list : lines) {
        for (TransmissionLine& line : list) line.setOnline(true);
    }
    couplingsStale = true;
    if (!rules.lossesInDiag) return;
    for (int i = 0; i < numNodes; ++i) nodes[i].setPowerDiag(diagAsRead[i]);
}

// A line is one or two records (one per direction): it counts once when any
// of its records matches.
int PowerGrid::countLines(bool (*matches)(const TransmissionLine&)) const {
    int count = 0;
    for (const std::vector<TransmissionLine>& list : lines) {
        for (const TransmissionLine& line : list) {
            if (!matches(line)) continue;
            const TransmissionLine* reverse = findLine(line.getToNode(), line.getFromNode());
            const bool countedWithReverse = line.getFromNode() > line.getToNode() && reverse && matches(*reverse);
            if (!countedWithReverse) ++count;
        }
    }
    return count;
}

const TransmissionLine* PowerGrid::findLine(int i, int j) const {
    for (const TransmissionLine& line : lines[i]) {
        if (line.getToNode() == j) return &line;
    }
    return nullptr;
}

const std::vector<TransmissionLine>& PowerGrid::linesOf(int i) const {
    if (i < 0 || static_cast<std::size_t>(i) >= lines.size()) throwNodeOutOfRange(i, lines.size());
    return lines[i];
}

const Node& PowerGrid::nodeAt(int i) const {
    requireNode(i);
    return nodes[i];
}

double PowerGrid::referencePower() const {
    if (refNode < 0 || refNode >= numNodes) return std::numeric_limits<double>::quiet_NaN();
    return nodes[refNode].getPowerMech();
}

double PowerGrid::couplingOf(const TransmissionLine& line) {
    TransmissionLine copy = line;
    return copy.getCouplingMag();
}

std::vector<std::vector<int>> PowerGrid::islands() const {
    std::vector<int> islandOf;
    std::vector<std::vector<int>> parts(static_cast<std::size_t>(islands(islandOf)));
    for (int i = 0; i < numNodes; ++i) parts[islandOf[i]].push_back(i);
    return parts;
}

bool PowerGrid::keyGiven(const std::string& key) const {
    return std::find(givenKeys.begin(), givenKeys.end(), key) != givenKeys.end();
}

void PowerGrid::noteKeyGiven(const std::string& key) {
    if (!keyGiven(key)) givenKeys.push_back(key);
}

std::string PowerGrid::toString() const {
    std::vector<int> types;
    for (const Node& node : nodes) types.push_back(node.getType());
    std::ostringstream out;
    out << "====================== Power grid =======================\n"
        << "----------------- Power flow Parameters -----------------\n"
        << "NRPrecision: " << nrPrecision << "\n"
        << "NRSolver: " << nrSolverName(usedNrSolver()) << "\n"
        << "\n"
        << "------------------------ Nodes --------------------------\n"
        << "ReferenceNode: " << refNode << "\n"
        << "Power: \n"
        << CodeUtils::dvec2str(getPowerMech()) << "Voltage phases SS: \n"
        << CodeUtils::dvec2str(getVoltAngSS()) << "Node types: \n"
        << CodeUtils::ivec2str(types) << "\n\n";
    return out.str();
}

// ---- dynamics ----------------------------------------------------------------

void PowerGrid::rebuildKernel() {
    std::vector<SwingKernel::Record> records;
    std::vector<int> start(1, 0);
    for (std::vector<TransmissionLine>& list : lines) {
        // Lines out of service stay in with coupling 0 (see SwingKernel::Record).
        for (TransmissionLine& line : list) {
            records.push_back(SwingKernel::Record{line.getToNode(), line.getCouplingMag(), line.getCouplingAng()});
        }
        start.push_back(static_cast<int>(records.size()));
    }
    kernel.build(nodes.data(), static_cast<int>(nodes.size()), start, records);
    couplingsStale = false;
}

const SwingKernel& PowerGrid::swingKernel() {
    if (couplingsStale) rebuildKernel();
    return kernel;
}

double PowerGrid::swingEq(double* theta, double* omega, int i) {
    const SwingKernel& rhs = swingKernel();
    if (i < 0 || static_cast<std::size_t>(i) >= nodes.size()) throwNodeOutOfRange(i, nodes.size());
    return rhs.nodeDerivative(theta, omega, i);
}

