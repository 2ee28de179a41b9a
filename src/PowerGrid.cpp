#include "PowerGrid.h"

#include <Eigen/QR>
#include <climits>
#include <cmath>
#include <fstream>
#include <iostream>
#include <new>
#include <sstream>
#include <stdexcept>

#include "CodeUtils.h"
#include "InputText.h"
#include "Param.h"

namespace {

const int kMaxNewtonSteps = 1000;
const int kMaxTries = 10;
const int kProgressEvery = 100;
const double kRandomPhaseScale = 0.0005;

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string countOf(std::size_t n, const char* singular, const char* plural) {
    return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

// Where a list or matrix came from, for error messages: the key alone, or the
// key and the file its "ext" form named.
std::string sourceOf(const std::string& key, const std::string& fileName) {
    return fileName.empty() ? quoted(key) : quoted(key) + " file " + quoted(fileName);
}

// The value truncated toward zero, stored as short the way the hardware
// conversion does it: a value outside the int range (or NaN) becomes INT_MIN,
// whose low 16 bits are 0.
short toNodeType(double value) {
    int code = value > -2147483649.0 && value < 2147483648.0 ? static_cast<int>(value) : INT_MIN;
    return static_cast<short>(code);
}

using NodeSetter = void (*)(Node&, double);
using LineSetter = void (*)(TransmissionLine&, double);
using Matrix = std::vector<std::vector<double>>;

void setPowerMechValue(Node& node, double p) {
    node.setPowerMechInit(p);
    node.setPowerMech(p);
}
void setPowerDiagValue(Node& node, double p) { node.setPowerDiag(p); }
void setVoltMagValue(Node& node, double v) { node.setVoltMagSs(v); }
void setVoltAngValue(Node& node, double phase) {
    node.setVoltPhaseSs(phase);
    node.setVoltPhase(phase);
}
void setDampingValue(Node& node, double d) { node.setDamping(d); }
void setInertiaValue(Node& node, double m) {
    node.setInertia(m);
    node.setInertiaInv(1 / m);
}
void setTypeValue(Node& node, double t) { node.setType(toNodeType(t)); }

void setCouplingMagValue(TransmissionLine& line, double k) {
    line.setCouplingMag(k);
    line.setOnline(true);
}
void setCouplingAngValue(TransmissionLine& line, double phi) { line.setCouplingAng(phi); }
void setAdmittanceMagValue(TransmissionLine& line, double y) { line.setAdmittanceMag(y); }
void setAdmittanceAngValue(TransmissionLine& line, double ang) { line.setAdmittanceAng(ang); }
void setCapacityValue(TransmissionLine& line, double cap) { line.setCapacity(cap); }

// The warning of a list or matrix longer than the grid: what lies beyond the
// grid's nodes is ignored.
void warnBeyondGrid(const std::string& what, std::size_t count, const char* singular, const char* plural, int n,
                    const char* part) {
    CodeUtils::warn(what + " has " + countOf(count, singular, plural) + ", but the grid has " + std::to_string(n) +
                    " nodes; " + part + " after the first " + std::to_string(n) + " are ignored");
}

// One number for every node, or one number per node (numbers beyond the grid
// are ignored with a warning).
void applyNodeList(PowerGrid& grid, const std::vector<double>& values, NodeSetter set,
                   const std::string& source) {
    int n = grid.getNumNodes();
    bool single = values.size() == 1;
    if (!single && values.size() < static_cast<std::size_t>(n)) {
        throw InputError(source + " has " + countOf(values.size(), "value", "values") +
                         ", but the grid has " + std::to_string(n) + " nodes (allowed 1 value or at least " +
                         std::to_string(n) + ")");
    }
    if (!single && values.size() > static_cast<std::size_t>(n)) {
        warnBeyondGrid(source, values.size(), "value", "values", n, "values");
    }
    for (int k = 0; k < n; ++k) set(*grid.getNode(k), single ? values[0] : values[k]);
}

void applyNodeTypes(PowerGrid& grid, const std::vector<double>& values) {
    int n = grid.getNumNodes();
    if (values.size() < static_cast<std::size_t>(n)) {
        throw InputError(quoted("Node type") + " has " + countOf(values.size(), "value", "values") +
                         ", but the grid has " + std::to_string(n) + " nodes (allowed at least " +
                         std::to_string(n) + ", one per node)");
    }
    if (values.size() > static_cast<std::size_t>(n)) {
        warnBeyondGrid(quoted("Node type"), values.size(), "value", "values", n, "values");
    }
    for (int k = 0; k < n; ++k) setTypeValue(*grid.getNode(k), values[k]);
}

// Entries beyond the grid's last node are dropped, with one warning naming
// the first row that has them: they would name nodes that do not exist.
void dropEntriesBeyondGrid(Matrix& rows, int n, const std::string& source) {
    const std::size_t limit = static_cast<std::size_t>(n);
    bool warned = false;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].size() <= limit) continue;
        if (!warned) {
            warnBeyondGrid(source + " row " + std::to_string(i), rows[i].size(), "entry", "entries", n,
                           "the entries of a row");
        }
        warned = true;
        rows[i].resize(limit);
    }
}

// Non-zero off-diagonal entries create their line if needed (NaN counts as
// non-zero).
void applyToNewLines(PowerGrid& grid, const Matrix& rows, LineSetter set) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        for (std::size_t j = 0; j < rows[i].size(); ++j) {
            double value = rows[i][j];
            if (i != j && value != 0) set(*grid.provideTrLine(static_cast<int>(i), static_cast<int>(j)), value);
        }
    }
}

// Entries of pairs without a line land on the shared null line.
void applyToExistingLines(PowerGrid& grid, const Matrix& rows, LineSetter set) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        for (std::size_t j = 0; j < rows[i].size(); ++j) {
            set(*grid.getTrLine(static_cast<int>(i), static_cast<int>(j)), rows[i][j]);
        }
    }
}

// The first line of an inline matrix that holds no number, for the warning
// about a matrix with too few rows.
struct MisreadRow {
    int row = -1;        // -1: every line was a row of numbers
    int lineNumber = 0;  // 0: the input ended
    std::string text;
};

void warnMissingRows(const std::string& source, std::size_t rows, int n, const std::string& detail) {
    CodeUtils::warn(source + " has " + countOf(rows, "row", "rows") + ", but the grid has " + std::to_string(n) +
                    " nodes (one row per node): " + detail);
}

void warnMisreadRow(const MisreadRow& misread, int n, const std::string& source) {
    const std::string row = std::to_string(misread.row);
    const std::string text = misread.text.empty() ? std::string("(empty)") : quoted(misread.text);
    warnMissingRows(source, static_cast<std::size_t>(misread.row), n,
                    misread.lineNumber == 0
                        ? "the input ends before row " + row
                        : "line " + std::to_string(misread.lineNumber) + " " + text + " was read as row " + row);
}

// An inline matrix: the n lines after the key are its rows whatever they hold
// (a line without numbers is an empty row, as the grammar has it). Lines of
// numbers right after n rows of numbers are rows beyond the grid, dropped with
// a warning; the first other line is handed back as the next key line.
Matrix readInlineMatrix(ReaderCursor& cursor, int n) {
    Matrix rows;
    MisreadRow misread;
    for (int i = 0; i < n; ++i) {
        std::string line;
        const bool read = cursor.in.readLine(line);
        if (read) cursor.in.markValue();
        rows.push_back(CodeUtils::lineToDoubleVec(line));
        if (rows.back().empty() && misread.row < 0) misread = {i, read ? cursor.in.lineNumber() : 0, line};
    }
    // After a misread row the lines that follow belong to the key it swallowed.
    int firstExtra = 0;
    int lastExtra = 0;
    while (misread.row < 0) {
        cursor.line = CodeUtils::nextLine(cursor.in);
        cursor.handedBack = true;
        if (CodeUtils::lineToDoubleVec(cursor.line).empty()) break;
        cursor.in.markValue();
        lastExtra = cursor.in.lineNumber();
        if (firstExtra == 0) firstExtra = lastExtra;
    }

    const std::string source = quoted(cursor.key);
    if (misread.row >= 0) warnMisreadRow(misread, n, source);
    if (firstExtra > 0) {
        const std::size_t extra = static_cast<std::size_t>(lastExtra - firstExtra) + 1;
        const std::string lines = extra == 1 ? "line " + std::to_string(firstExtra)
                                             : "lines " + std::to_string(firstExtra) + ".." + std::to_string(lastExtra);
        CodeUtils::warn(source + " has " + countOf(extra, "row", "rows") + " more (" + lines + ") than the grid's " +
                        std::to_string(n) + " nodes; " + (extra == 1 ? "it is" : "they are") + " ignored");
    }
    dropEntriesBeyondGrid(rows, n, source);
    return rows;
}

// The matrix of an "ext" file: as many rows as the file has lines up to its
// first empty one; rows beyond the grid are dropped with a warning, missing
// rows are warned about.
Matrix readFileMatrix(ReaderCursor& cursor, int n) {
    const std::string name = CodeUtils::readValueLine(cursor.in);
    Matrix rows = CodeUtils::readExtDMat(name, cursor.key);
    const std::string source = sourceOf(cursor.key, name);
    const std::size_t limit = static_cast<std::size_t>(n);
    if (rows.size() > limit) {
        warnBeyondGrid(source, rows.size(), "row", "rows", n, "rows");
        rows.resize(limit);
    } else if (rows.size() < limit) {
        warnMissingRows(source, rows.size(), n,
                        rows.size() + 1 == limit
                            ? "row " + std::to_string(rows.size()) + " is missing"
                            : "rows " + std::to_string(rows.size()) + ".." + std::to_string(n - 1) + " are missing");
    }
    dropEntriesBeyondGrid(rows, n, source);
    return rows;
}

void readNodeCount(PowerGrid& grid, ReaderCursor& cursor) {
    int n = CodeUtils::readintForKey(cursor.in, cursor.key);
    if (n < 0) {
        throw InputError(quoted(cursor.key) + " is " + std::to_string(n) +
                         ", but a node count cannot be negative (allowed 0 or more)");
    }
    try {
        grid.setNumNodes(n);
    } catch (const std::bad_alloc&) {
        throw InputError(quoted(cursor.key) + " is " + std::to_string(n) +
                         ", more nodes than the memory of this machine holds");
    }
}

template <NodeSetter set>
void readNodeList(PowerGrid& grid, ReaderCursor& cursor) {
    applyNodeList(grid, CodeUtils::readDVec(cursor.in), set, quoted(cursor.key));
}

template <NodeSetter set>
void readNodeListFile(PowerGrid& grid, ReaderCursor& cursor) {
    const std::string name = CodeUtils::readValueLine(cursor.in);
    applyNodeList(grid, CodeUtils::readDVecFromFile(name, cursor.key), set, sourceOf(cursor.key, name));
}

void readNodeTypes(PowerGrid& grid, ReaderCursor& cursor) { applyNodeTypes(grid, CodeUtils::readDVec(cursor.in)); }

template <Matrix (*readRows)(ReaderCursor&, int), bool createsLines, LineSetter set>
void readLineMatrix(PowerGrid& grid, ReaderCursor& cursor) {
    Matrix rows = readRows(cursor, grid.getNumNodes());
    createsLines ? applyToNewLines(grid, rows, set) : applyToExistingLines(grid, rows, set);
}

const ReaderKey<PowerGrid> kGridKeys[] = {
    {"Number of nodes", readNodeCount},
    {"Power mech", readNodeList<setPowerMechValue>},
    {"Power mech ext", readNodeListFile<setPowerMechValue>},
    {"Power diag", readNodeList<setPowerDiagValue>},
    {"Power diag ext", readNodeListFile<setPowerDiagValue>},
    {"Voltage mag", readNodeList<setVoltMagValue>},
    {"Voltage mag ext", readNodeListFile<setVoltMagValue>},
    {"Voltage ang", readNodeList<setVoltAngValue>},
    {"Voltage ang ext", readNodeListFile<setVoltAngValue>},
    {"Damping", readNodeList<setDampingValue>},
    {"Inertia", readNodeList<setInertiaValue>},
    {"Node type", readNodeTypes},
    {"Coupling mag", readLineMatrix<readInlineMatrix, true, setCouplingMagValue>},
    {"Coupling mag ext", readLineMatrix<readFileMatrix, true, setCouplingMagValue>},
    {"Coupling ang", readLineMatrix<readInlineMatrix, false, setCouplingAngValue>},
    {"Coupling ang ext", readLineMatrix<readFileMatrix, false, setCouplingAngValue>},
    {"Admittance mag", readLineMatrix<readInlineMatrix, true, setAdmittanceMagValue>},
    {"Admittance ang", readLineMatrix<readInlineMatrix, false, setAdmittanceAngValue>},
    {"Line capacity", readLineMatrix<readInlineMatrix, false, setCapacityValue>},
    {"Reference node",
     [](PowerGrid& grid, ReaderCursor& cursor) { grid.setRefNode(CodeUtils::readintForKey(cursor.in, cursor.key)); }},
    {"NRIC",
     [](PowerGrid& grid, ReaderCursor& cursor) { grid.setNrICs(CodeUtils::readintForKey(cursor.in, cursor.key)); }},
    {"NR precision",
     [](PowerGrid& grid, ReaderCursor& cursor) { grid.setNrPrecision(CodeUtils::readDouble(cursor.in)); }},
};

[[noreturn]] void throwNodeOutOfRange(int i, std::size_t count) {
    throw std::out_of_range("node index " + std::to_string(i) + " outside the grid's " + std::to_string(count) +
                            " nodes");
}

}  // namespace

PowerGrid::PowerGrid()
    : numNodes(0), refNode(0), nrICs(1), nrPrecision(1e-9), powerFlowError(0), couplingsStale(true) {}

PowerGrid::~PowerGrid() {}

// ---- container -------------------------------------------------------------

void PowerGrid::setNumNodes(int n) {
    if (n < 0) throw std::invalid_argument("node count " + std::to_string(n) + " is negative");
    numNodes = n;
    resetLines();
    resetNodes();
}

void PowerGrid::resetLines() {
    lines.assign(numNodes, std::vector<TransmissionLine>());
    couplingsStale = true;
}

void PowerGrid::resetNodes() {
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

// ---- grid file and report ----------------------------------------------------

bool PowerGrid::readFromFile(std::string fileName) {
    InputText in(fileName);
    if (!in.isOpen()) return false;
    read(in, std::cout);
    return true;
}

void PowerGrid::read(InputText& in, std::ostream& console) {
    console << "-------------------- PowerGrid reading " << " --------------------\n";
    scanBlock(in, console, *this, kGridKeys);
    checkReferenceNode();
    calcCflow();
    couplingsStale = true;
}

std::vector<std::string> PowerGrid::keys() { return keyNames(kGridKeys); }

void PowerGrid::checkReferenceNode() const {
    if (numNodes > 0 && (refNode < 0 || refNode >= numNodes)) {
        throw InputError(quoted("Reference node") + " is " + std::to_string(refNode) + ", but the grid has " +
                         std::to_string(numNodes) + " nodes (allowed 0.." + std::to_string(numNodes - 1) + ")");
    }
}

void PowerGrid::calcCflow() {
    for (std::vector<TransmissionLine>& list : lines) {
        for (TransmissionLine& line : list) {
            double v = nodes[line.getFromNode()].getVoltMagSs();
            double scale = v * v * line.getAdmittanceMag();
            double ang = line.getAdmittanceAng();
            line.setCflow(std::complex<double>(scale * std::cos(ang), -(scale * std::sin(ang))));
        }
    }
}

std::string PowerGrid::toString() const {
    std::vector<int> types;
    for (const Node& node : nodes) types.push_back(node.getType());
    std::ostringstream out;
    out << "====================== Power grid =======================\n"
        << "----------------- Power flow Parameters -----------------\n"
        << "NRPrecision: " << nrPrecision << "\n"
        << "\n"
        << "------------------------ Nodes --------------------------\n"
        << "ReferenceNode: " << refNode << "\n"
        << "Power: \n"
        << CodeUtils::dvec2str(getPowerMech()) << "Voltage phases SS: \n"
        << CodeUtils::dvec2str(getVoltAngSS()) << "Node types: \n"
        << CodeUtils::ivec2str(types) << "\n\n";
    return out.str();
}

// ---- power flow --------------------------------------------------------------

bool PowerGrid::NRPF() { return NRPF(nrPrecision); }

bool PowerGrid::NRPF(double precision) {
    std::cout << "==================== Newton Raphson Power Flow ====================\n";
    checkAllphasesZero();
    double err = totalMismatch();
    powerFlowError = err;
    if (precision >= err) {
        std::cout << "The grid already fulfills the power flow condition.\n"
                  << "Total error: " << err << '\n';
        return true;
    }
    std::cout << "Use Newton Raphson to determine power flow.\n"
              << "Try " << 1 << "/" << kMaxTries << '\n';

    // A try that ends in NaN leaves NaN in the slack power; every try starts
    // from the slack power the grid came with.
    bool hasNodes = !nodes.empty();
    double refPowerAtEntry = hasNodes ? getPowerMech(refNode) : 0.0;
    auto restoreRefPower = [&] {
        if (hasNodes) setPowerMech(refNode, refPowerAtEntry);
    };

    int steps = 0;
    std::vector<double> mismatch;
    bool diverged = false;
    for (int attempt = 1; attempt <= kMaxTries; ++attempt) {
        restoreRefPower();
        steps = 0;
        mismatch = NRMethod(precision, steps);
        int n = static_cast<int>(mismatch.size());
        std::cout << "Total error: " << CodeUtils::dAbsArrSum(mismatch.data(), n) << '\n';
        diverged = CodeUtils::anynan(mismatch.data(), n);
        if (!diverged) break;
        randomizePhases();
        if (attempt == kMaxTries) break;
        std::cout << "Try " << attempt + 1 << "/" << kMaxTries << '\n';
    }

    powerFlowError = CodeUtils::dAbsArrSum(mismatch.data(), static_cast<int>(mismatch.size()));
    std::cout << "Newton Raphson iteration ended after \n"
              << steps << " / " << static_cast<double>(kMaxNewtonSteps) << " steps.\n"
              << "The total deviation from steady state is: " << powerFlowError << '\n';
    if (diverged) restoreRefPower();
    if (steps >= kMaxNewtonSteps || diverged) {
        std::cout << "The Newton Raphson iteration did not converge.\n";
        return false;
    }
    for (Node& node : nodes) node.setVoltPhaseSs(node.getVoltPhase());
    return true;
}

std::vector<double> PowerGrid::NRMethod(double precision, int& steps) {
    int n = static_cast<int>(nodes.size());
    steps = 0;
    std::vector<double> mismatch(n);
    if (n == 0) return mismatch;
    Node& ref = *getNode(refNode);

    std::vector<std::vector<double>> K(n, std::vector<double>(n, 0.0));
    std::vector<std::vector<double>> Phi(n, std::vector<double>(n, 0.0));
    for (int i = 0; i < n; ++i) {
        for (TransmissionLine& line : lines[i]) {
            K[i][line.getToNode()] = line.getCouplingMag();
            Phi[i][line.getToNode()] = line.getCouplingAng();
        }
    }

    for (int i = 0; i < n; ++i) mismatch[i] = PFlFunc(i);
    ref.setVoltPhase(0);

    Eigen::MatrixXd J(n - 1, n - 1);
    Eigen::VectorXd f(n - 1);
    // "Not greater than" so that a NaN error ends the try at once.
    while (CodeUtils::dAbsArrSum(mismatch.data(), n) > precision && steps < kMaxNewtonSteps) {
        ++steps;
        Jij(K, Phi, J);
        for (int r = 0; r < n - 1; ++r) f(r) = PFlFunc(IWOR(r));
        Eigen::VectorXd x = Eigen::HouseholderQR<Eigen::MatrixXd>(J).solve(f);
        Eigen::VectorXd dx = -x;
        for (int r = 0; r < n - 1; ++r) {
            Node& node = nodes[IWOR(r)];
            node.setVoltPhase(CodeUtils::smallerAngle(node.getVoltPhase() + dx(r)));
        }
        for (int i = 0; i < n; ++i) mismatch[i] = PFlFunc(i);
        ref.setPowerMech(ref.getPowerMech() - mismatch[refNode]);
        mismatch[refNode] = 0;
        if (steps % kProgressEvery == 0) {
            std::cout << "Step " << steps << "/" << kMaxNewtonSteps
                      << ". Total error: " << CodeUtils::dAbsArrSum(mismatch.data(), n) << '\n';
        }
    }
    return mismatch;
}

double PowerGrid::PFlFunc(int i) {
    requireNode(i);
    double theta = nodes[i].getVoltPhase();
    double sum = 0;
    for (TransmissionLine& line : lines[i]) {
        sum += line.getCouplingMag() *
               std::sin(theta - nodes[line.getToNode()].getVoltPhase() - line.getCouplingAng());
    }
    return nodes[i].getPowerMech() - nodes[i].getPowerDiag() - sum;
}

// Row i of the full derivative matrix holds K_ij cos(theta_i - theta_j - phi_ij)
// off the diagonal and minus their sum on it; the reference node's row and
// column are left out.
void PowerGrid::Jij(const std::vector<std::vector<double>>& K, const std::vector<std::vector<double>>& Phi,
                    Eigen::MatrixXd& J) {
    int n = static_cast<int>(nodes.size());
    for (int r = 0; r < n - 1; ++r) {
        int i = IWOR(r);
        double thetaI = nodes[i].getVoltPhase();
        double rowSum = 0;
        for (int j = 0; j < n; ++j) {
            if (j == i) continue;
            double entry = K[i][j] * std::cos(thetaI - nodes[j].getVoltPhase() - Phi[i][j]);
            rowSum += entry;
            if (j != refNode) J(r, j < refNode ? j : j - 1) = entry;
        }
        J(r, r) = -rowSum;
    }
}

void PowerGrid::checkAllphasesZero() {
    for (const Node& node : nodes) {
        if (!(node.getVoltPhase() == 0)) return;
    }
    randomizePhases();
}

void PowerGrid::randomizePhases() {
    for (int k = 0; k < static_cast<int>(nodes.size()); ++k) {
        nodes[k].setVoltPhase(CodeUtils::randD(0, k) * kRandomPhaseScale);
    }
}

double PowerGrid::totalMismatch() {
    std::vector<double> mismatch;
    mismatch.reserve(nodes.size());
    for (int i = 0; i < static_cast<int>(nodes.size()); ++i) mismatch.push_back(PFlFunc(i));
    return CodeUtils::dAbsArrSum(mismatch.data(), static_cast<int>(mismatch.size()));
}

// ---- dynamics ----------------------------------------------------------------

void PowerGrid::rebuildCouplings() {
    couplings.clear();
    couplingStart.assign(1, 0);
    for (std::vector<TransmissionLine>& list : lines) {
        // Lines out of service stay in with coupling 0 so the sum keeps every
        // term of the line list (0 * sin(NaN) is still NaN).
        for (TransmissionLine& line : list) {
            couplings.push_back(Coupling{line.getToNode(), line.getCouplingMag(), line.getCouplingAng()});
        }
        couplingStart.push_back(static_cast<int>(couplings.size()));
    }
    couplingsStale = false;
}

double PowerGrid::swingEq(double* theta, double* omega, int i) {
    if (couplingsStale) rebuildCouplings();
    if (i < 0 || static_cast<std::size_t>(i) >= nodes.size()) throwNodeOutOfRange(i, nodes.size());
    const Node& node = nodes[i];
    double thetaI = theta[i];
    double sum = 0;
    for (int c = couplingStart[i], end = couplingStart[i + 1]; c < end; ++c) {
        const Coupling& line = couplings[c];
        sum += line.k * std::sin(thetaI - theta[line.to] - line.phi);
    }
    return (-node.getDamping() * omega[i] + node.getPowerMech() - node.getPowerDiag() - sum) * node.getInertiaInv();
}

// ---- line flows --------------------------------------------------------------

void PowerGrid::measureFlow(double* theta) {
    for (std::vector<TransmissionLine>& list : lines) {
        for (TransmissionLine& line : list) line.measureFlow(theta);
    }
}

void PowerGrid::resetLineFlows() {
    for (std::vector<TransmissionLine>& list : lines) {
        for (TransmissionLine& line : list) {
            line.resetMaxFlow();
            line.resetMeanFlow();
        }
    }
}

void PowerGrid::getFIJ(std::vector<double>* out, double divisor) {
    out->clear();
    for (std::vector<TransmissionLine>& list : lines) {
        for (TransmissionLine& line : list) {
            out->push_back(line.getFromNode());
            out->push_back(line.getToNode());
            out->push_back(line.getMeanFlow() / divisor);
            out->push_back(line.getMaxFlow());
        }
    }
}

void PowerGrid::checkLines(double* theta, std::vector<int>* fromList, std::vector<int>* toList,
                           std::vector<double>* timeList, double t, Param& param) {
    double maxFlowSeen = 0;
    double maxRatio = 0;
    // Stays -1, -1 when no line carries a positive load.
    int maxFrom = -1;
    int maxTo = -1;
    for (std::vector<TransmissionLine>& list : lines) {
        for (TransmissionLine& line : list) {
            double flow = line.getFlow(theta);
            double ratio = flow / line.getCapacity();
            if (ratio > maxRatio) {
                maxRatio = ratio;
                maxFlowSeen = flow;
                maxFrom = line.getFromNode();
                maxTo = line.getToNode();
            }
            if (flow > line.getCapacity()) {
                line.setOnline(false);
                getTrLine(line.getToNode(), line.getFromNode())->setOnline(false);
                couplingsStale = true;
                fromList->push_back(line.getFromNode());
                toList->push_back(line.getToNode());
                timeList->push_back(t);
            }
        }
    }
    param.lineMaxFlows.push_back(maxFlowSeen);
    param.lineMaxRatios.push_back(maxRatio);
    param.lineMaxIds.push_back(maxFrom);
    param.lineMaxIds.push_back(maxTo);
}
