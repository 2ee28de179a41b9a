#include "grid/PowerGrid.h"

#include <Eigen/QR>
#include <Eigen/SparseLU>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <new>
#include <sstream>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "util/CodeUtils.h"
#include "input/InputText.h"
#include "input/Param.h"
#include "diagnostics/Progress.h"
#include "input/InputValues.h"
#include "diagnostics/Diagnostics.h"

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
    Diagnostics::warn(what + " has " + countOf(count, singular, plural) + ", but the grid has " + std::to_string(n) +
                    " nodes; " + part + " after the first " + std::to_string(n) + " are ignored");
}

// A node value or coupling that is NaN or infinite (read from "nan", "inf" or
// a number beyond the range of a double) is taken as written, but can only
// give meaningless results: warned about once per key, at its first place.
void warnNotFinite(const std::string& source, double value, const std::string& place) {
    std::ostringstream text;
    text << value;
    Diagnostics::warn(source + " holds " + text.str() + " at " + place +
                    ": a value that is not finite makes every result it reaches meaningless");
}

void warnNotFinite(const std::string& source, const std::vector<double>& values, std::size_t used) {
    for (std::size_t k = 0; k < used && k < values.size(); ++k) {
        if (std::isfinite(values[k])) continue;
        warnNotFinite(source, values[k], values.size() == 1 ? "every node" : "node " + std::to_string(k));
        return;
    }
}

void warnNotFinite(const std::string& source, const Matrix& rows) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        for (std::size_t j = 0; j < rows[i].size(); ++j) {
            if (std::isfinite(rows[i][j])) continue;
            warnNotFinite(source, rows[i][j], "row " + std::to_string(i) + " column " + std::to_string(j));
            return;
        }
    }
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
    warnNotFinite(source, values, static_cast<std::size_t>(n));
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
    Diagnostics::warn(source + " has " + countOf(rows, "row", "rows") + ", but the grid has " + std::to_string(n) +
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
        cursor.line = InputValues::nextLine(cursor.in);
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
        Diagnostics::warn(source + " has " + countOf(extra, "row", "rows") + " more (" + lines + ") than the grid's " +
                        std::to_string(n) + " nodes; " + (extra == 1 ? "it is" : "they are") + " ignored");
    }
    dropEntriesBeyondGrid(rows, n, source);
    return rows;
}

// The matrix of an "ext" file: as many rows as the file has lines up to its
// first empty one; rows beyond the grid are dropped with a warning, missing
// rows are warned about.
Matrix readFileMatrix(ReaderCursor& cursor, int n) {
    const std::string name = InputValues::readValueLine(cursor.in);
    Matrix rows = InputValues::readExtDMat(name, cursor.key);
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
    int n = InputValues::readintForKey(cursor.in, cursor.key);
    if (n < 0) {
        throw InputError(quoted(cursor.key) + " is " + std::to_string(n) +
                         ", but a node count cannot be negative (allowed 0 or more)");
    }
    // Above a million nodes the count must be backed by the file: every node
    // takes at least one byte of it (its values in the node lists, its
    // lines), so a file that only claims a huge grid is refused before the
    // nodes are allocated.
    constexpr int kNodesWithoutBacking = 1 << 20;
    if (n > kNodesWithoutBacking && n > cursor.in.fileSize()) {
        throw InputError(quoted(cursor.key) + " is " + std::to_string(n) + ", but the input file holds only " +
                         std::to_string(cursor.in.fileSize()) + " bytes: a grid of more than " +
                         std::to_string(kNodesWithoutBacking) + " nodes needs at least one byte of input per node");
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
    applyNodeList(grid, InputValues::readDVec(cursor.in), set, quoted(cursor.key));
}

template <NodeSetter set>
void readNodeListFile(PowerGrid& grid, ReaderCursor& cursor) {
    const std::string name = InputValues::readValueLine(cursor.in);
    applyNodeList(grid, InputValues::readDVecFromFile(name, cursor.key), set, sourceOf(cursor.key, name));
}

void readNodeTypes(PowerGrid& grid, ReaderCursor& cursor) { applyNodeTypes(grid, InputValues::readDVec(cursor.in)); }

template <Matrix (*readRows)(ReaderCursor&, int), bool createsLines, LineSetter set>
void readLineMatrix(PowerGrid& grid, ReaderCursor& cursor) {
    Matrix rows = readRows(cursor, grid.getNumNodes());
    // An infinite capacity is a line that never trips (how unlimited lines are written).
    if (set != setCapacityValue) warnNotFinite(quoted(cursor.key), rows);
    createsLines ? applyToNewLines(grid, rows, set) : applyToExistingLines(grid, rows, set);
}

// The values of "NR start", for the reader and for naming the start in use.
const std::vector<std::pair<const char*, PowerGrid::NrStart>> kNrStarts = {
    {"random", PowerGrid::NrStart::Random}, {"flat", PowerGrid::NrStart::Flat}, {"dc", PowerGrid::NrStart::Dc}};

// The value line of a key that names one of a few choices, compared exactly
// like a key line.
template <typename Choice>
Choice readChoice(ReaderCursor& cursor, const std::vector<std::pair<const char*, Choice>>& choices) {
    const char* key = cursor.key;
    std::string value = InputValues::readValueLine(cursor.in);
    std::string allowed;
    for (const auto& choice : choices) {
        if (CodeUtils::lineIs(value, choice.first)) return choice.second;
        allowed += (allowed.empty() ? "" : ", ") + std::string(choice.first);
    }
    throw InputError(quoted(key) + " is " + quoted(value) + " (allowed " + allowed + ")");
}

std::string numberText(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

// Node index of a "Line list" row: a whole number inside the grid.
int lineListNode(double value, int numNodes, long row, const std::string& text) {
    if (!(value >= 0 && value < numNodes && value == std::floor(value))) {
        std::string allowed = numNodes == 0 ? "none before \"Number of nodes\""
                                            : "whole numbers 0.." + std::to_string(numNodes - 1);
        throw InputError(quoted("Line list") + " row " + std::to_string(row) + " " + quoted(text) +
                         " names node " + numberText(value) + ", but the grid has " + std::to_string(numNodes) +
                         " nodes (allowed " + allowed + ")");
    }
    return static_cast<int>(value);
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
     [](PowerGrid& grid, ReaderCursor& cursor) { grid.setRefNode(InputValues::readintForKey(cursor.in, cursor.key)); }},
    {"NRIC",
     [](PowerGrid& grid, ReaderCursor& cursor) { grid.setNrICs(InputValues::readintForKey(cursor.in, cursor.key)); }},
    {"NR precision",
     [](PowerGrid& grid, ReaderCursor& cursor) { grid.setNrPrecision(InputValues::readDouble(cursor.in)); }},
    {"NR solver",
     [](PowerGrid& grid, ReaderCursor& cursor) {
         using S = PowerGrid::NrSolver;
         grid.setNrSolver(readChoice<S>(cursor, {{"dense", S::Dense}, {"sparse", S::Sparse}, {"auto", S::Auto}}));
     }},
    {"NR start",
     [](PowerGrid& grid, ReaderCursor& cursor) { grid.setNrStart(readChoice(cursor, kNrStarts)); }},
    {"Line list", [](PowerGrid& grid, ReaderCursor& cursor) { grid.readLineList(cursor); }},
};

[[noreturn]] void throwNodeOutOfRange(int i, std::size_t count) {
    throw std::out_of_range("node index " + std::to_string(i) + " outside the grid's " + std::to_string(count) +
                            " nodes");
}

}  // namespace

// Up to here every grid keeps the digits the dense path has always printed;
// above it that path needs a second or more per Newton step and hundreds of
// MB for its N x N couplings and QR (README, "Power flow on large grids").
const int PowerGrid::kDenseSolverMaxNodes = 2000;

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
}

void PowerGrid::resetLines() {
    lines.assign(numNodes, std::vector<TransmissionLine>());
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

// Rows `from to couplingMag couplingAng [capacity [admittanceMag admittanceAng]]`
// up to the first line without a leading number, which is handed back as the
// next key line. Every row
// creates or updates its record the way a non-zero "Coupling mag" entry does;
// records are found through a hash of the existing ones, so a block costs time
// and memory in proportion to its rows, not to the square of the node count.
void PowerGrid::readLineList(ReaderCursor& cursor) {
    auto pairKey = [](int from, int to) {
        return static_cast<std::uint64_t>(static_cast<std::uint32_t>(from)) << 32 | static_cast<std::uint32_t>(to);
    };
    std::unordered_map<std::uint64_t, std::size_t> existing;
    for (const std::vector<TransmissionLine>& list : lines) {
        for (std::size_t k = 0; k < list.size(); ++k) existing[pairKey(list[k].getFromNode(), list[k].getToNode())] = k;
    }
    std::unordered_map<std::uint64_t, long> rowOf;
    for (long row = 1;; ++row) {
        std::string text = InputValues::nextLine(cursor.in);
        std::vector<double> values = CodeUtils::lineToDoubleVec(text);
        if (values.empty()) {
            cursor.line = text;
            cursor.handedBack = true;
            return;
        }
        cursor.in.markValue();
        std::string where = quoted("Line list") + " row " + std::to_string(row) + " " + quoted(text);
        if (values.size() != 4 && values.size() != 5 && values.size() != 7) {
            throw InputError(where + " has " + countOf(values.size(), "value", "values") +
                             " (allowed 4, 5 or 7: from to couplingMag couplingAng "
                             "[capacity [admittanceMag admittanceAng]])");
        }
        int from = lineListNode(values[0], numNodes, row, text);
        int to = lineListNode(values[1], numNodes, row, text);
        if (from == to) {
            throw InputError(where + " is a line from node " + std::to_string(from) +
                             " to itself (allowed two different nodes)");
        }
        std::uint64_t key = pairKey(from, to);
        auto first = rowOf.emplace(key, row);
        if (!first.second) {
            throw InputError(where + " repeats the record " + std::to_string(from) + " -> " + std::to_string(to) +
                             " of row " + std::to_string(first.first->second) + " (allowed one row per record)");
        }
        auto found = existing.find(key);
        if (found == existing.end()) lines[from].push_back(TransmissionLine(from, to));
        TransmissionLine& record = found == existing.end() ? lines[from].back() : lines[from][found->second];
        setCouplingMagValue(record, values[2]);
        record.setCouplingAng(values[3]);
        if (values.size() >= 5) record.setCapacity(values[4]);
        if (values.size() == 7) {
            record.setAdmittanceMag(values[5]);
            record.setAdmittanceAng(values[6]);
        }
    }
}

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

// ---- power flow --------------------------------------------------------------

bool PowerGrid::NRPF() { return NRPF(nrPrecision); }

bool PowerGrid::NRPF(double precision) {
    std::cout << "==================== Newton Raphson Power Flow ====================\n";
    prepareStartingPhases();
    double err = totalMismatch();
    powerFlow = PowerFlowOutcome{true, err, 0, 0};
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
    int attempt = 1;
    ProgressMeter progress;
    progress.begin(
        0,
        [&](long long, long long) {
            return "power flow: try " + std::to_string(attempt) + "/" + std::to_string(kMaxTries) + ", Newton step " +
                   std::to_string(steps);
        },
        ProgressMeter::kPowerFlow);
    std::vector<double> mismatch;
    bool diverged = false;
    for (; attempt <= kMaxTries; ++attempt) {
        restoreRefPower();
        steps = 0;
        mismatch = newtonTry(precision, steps, progress);
        int n = static_cast<int>(mismatch.size());
        std::cout << "Total error: " << CodeUtils::dAbsArrSum(mismatch.data(), n) << '\n';
        diverged = CodeUtils::anynan(mismatch.data(), n);
        if (!diverged) break;
        randomizePhases();
        if (attempt == kMaxTries) break;
        std::cout << "Try " << attempt + 1 << "/" << kMaxTries << '\n';
    }
    progress.end();

    const double totalError = CodeUtils::dAbsArrSum(mismatch.data(), static_cast<int>(mismatch.size()));
    const bool converged = steps < kMaxNewtonSteps && !diverged;
    powerFlow = PowerFlowOutcome{converged, totalError, steps, std::min(attempt, kMaxTries)};
    std::cout << "Newton Raphson iteration ended after \n"
              << steps << " / " << static_cast<double>(kMaxNewtonSteps) << " steps.\n"
              << "The total deviation from steady state is: " << totalError << '\n';
    if (diverged) restoreRefPower();
    if (!converged) {
        std::cout << "The Newton Raphson iteration did not converge.\n";
        return false;
    }
    for (Node& node : nodes) node.setVoltPhaseSs(node.getVoltPhase());
    return true;
}

const char* PowerGrid::nrStartName(NrStart s) {
    for (const auto& [name, start] : kNrStarts) {
        if (start == s) return name;
    }
    return "unknown";
}

PowerGrid::NrSolver PowerGrid::usedNrSolver() const {
    if (nrSolver != NrSolver::Auto) return nrSolver;
    return numNodes <= kDenseSolverMaxNodes ? NrSolver::Dense : NrSolver::Sparse;
}

const char* PowerGrid::nrSolverName(NrSolver s) {
    switch (s) {
        case NrSolver::Dense:
            return "dense";
        case NrSolver::Sparse:
            return "sparse";
        case NrSolver::Auto:
            break;
    }
    return "auto";
}

// Calls work(solve), where solve(f) returns x with J x = f for the reduced
// Jacobian J at the working phases of the moment, by the solver in use. The
// grid has at least one node.
template <typename Work>
auto PowerGrid::withJacobianSolver(Work work) {
    int n = static_cast<int>(nodes.size());
    if (usedNrSolver() == NrSolver::Sparse) {
        Eigen::SparseMatrix<double> J;
        Eigen::SparseLU<Eigen::SparseMatrix<double>> lu;
        bool patternAnalysed = false;
        auto solve = [&](const Eigen::VectorXd& f) -> Eigen::VectorXd {
            if (f.size() == 0) return f;
            sparseJij(J);
            // Every record and diagonal is an entry at every step, so the
            // pattern of the first step holds for all.
            if (!patternAnalysed) lu.analyzePattern(J);
            patternAnalysed = true;
            lu.factorize(J);
            // A singular Jacobian ends the try with NaN, as the dense QR does.
            if (lu.info() != Eigen::Success) return Eigen::VectorXd::Constant(f.size(), std::nan(""));
            return lu.solve(f);
        };
        return work(solve);
    }
    std::vector<std::vector<double>> K(n, std::vector<double>(n, 0.0));
    std::vector<std::vector<double>> Phi(n, std::vector<double>(n, 0.0));
    for (int i = 0; i < n; ++i) {
        for (TransmissionLine& line : lines[i]) {
            K[i][line.getToNode()] = line.getCouplingMag();
            Phi[i][line.getToNode()] = line.getCouplingAng();
        }
    }
    Eigen::MatrixXd J(n - 1, n - 1);
    auto solve = [&](const Eigen::VectorXd& f) -> Eigen::VectorXd {
        Jij(K, Phi, J);
        return Eigen::HouseholderQR<Eigen::MatrixXd>(J).solve(f);
    };
    return work(solve);
}

template <typename JacobianSolver>
std::vector<double> PowerGrid::iterateNewton(double precision, int& steps, JacobianSolver& solve,
                                             ProgressMeter& progress) {
    int n = static_cast<int>(nodes.size());
    std::vector<double> mismatch(n);
    Node& ref = *getNode(refNode);
    for (int i = 0; i < n; ++i) mismatch[i] = PFlFunc(i);
    ref.setVoltPhase(0);

    Eigen::VectorXd f(n - 1);
    // "Not greater than" so that a NaN error ends the try at once.
    while (CodeUtils::dAbsArrSum(mismatch.data(), n) > precision && steps < kMaxNewtonSteps) {
        ++steps;
        for (int r = 0; r < n - 1; ++r) f(r) = PFlFunc(IWOR(r));
        Eigen::VectorXd dx = -solve(f);
        for (int r = 0; r < n - 1; ++r) {
            Node& node = nodes[IWOR(r)];
            node.setVoltPhase(CodeUtils::smallerAngle(node.getVoltPhase() + dx(r)));
        }
        for (int i = 0; i < n; ++i) mismatch[i] = PFlFunc(i);
        ref.setPowerMech(ref.getPowerMech() - mismatch[refNode]);
        mismatch[refNode] = 0;
        progress.advance();
        if (steps % kProgressEvery == 0) {
            std::cout << "Step " << steps << "/" << kMaxNewtonSteps
                      << ". Total error: " << CodeUtils::dAbsArrSum(mismatch.data(), n) << '\n';
        }
    }
    return mismatch;
}

std::vector<double> PowerGrid::NRMethod(double precision, int& steps) {
    ProgressMeter silent;
    return newtonTry(precision, steps, silent);
}

std::vector<double> PowerGrid::newtonTry(double precision, int& steps, ProgressMeter& progress) {
    steps = 0;
    if (nodes.empty()) return {};
    return withJacobianSolver([&](auto& solve) { return iterateNewton(precision, steps, solve, progress); });
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

// Row r holds the records of node IWOR(r) as in Jij, in line-list order; every
// record is an entry (zero when out of service) so the pattern never changes.
void PowerGrid::sparseJij(Eigen::SparseMatrix<double>& J) {
    int n = static_cast<int>(nodes.size());
    std::vector<Eigen::Triplet<double>> entries;
    for (int r = 0; r < n - 1; ++r) {
        int i = IWOR(r);
        double thetaI = nodes[i].getVoltPhase();
        double rowSum = 0;
        for (TransmissionLine& line : lines[i]) {
            int j = line.getToNode();
            double entry = line.getCouplingMag() * std::cos(thetaI - nodes[j].getVoltPhase() - line.getCouplingAng());
            rowSum += entry;
            if (j != refNode) entries.emplace_back(r, j < refNode ? j : j - 1, entry);
        }
        entries.emplace_back(r, r, -rowSum);
    }
    J.resize(n - 1, n - 1);
    J.setFromTriplets(entries.begin(), entries.end());
}

void PowerGrid::prepareStartingPhases() {
    switch (nrStart) {
        case NrStart::Random:
            checkAllphasesZero();
            break;
        case NrStart::Flat:
            break;
        case NrStart::Dc:
            startFromLinearisedSolution();
            break;
    }
}

// One Newton step from all phases 0 with the solver in use: the solution of
// the power balance linearised around the flat state. The slack power is left
// to the iteration.
void PowerGrid::startFromLinearisedSolution() {
    int n = static_cast<int>(nodes.size());
    if (n == 0) return;
    for (Node& node : nodes) node.setVoltPhase(0);
    withJacobianSolver([&](auto& solve) {
        Eigen::VectorXd f(n - 1);
        for (int r = 0; r < n - 1; ++r) f(r) = PFlFunc(IWOR(r));
        Eigen::VectorXd dx = -solve(f);
        for (int r = 0; r < n - 1; ++r) nodes[IWOR(r)].setVoltPhase(CodeUtils::smallerAngle(dx(r)));
    });
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
                // A record without a reverse one leaves the null line, which
                // every grid (and every worker's copy) shares, as it is.
                TransmissionLine* reverse = getTrLine(line.getToNode(), line.getFromNode());
                if (!reverse->isNull()) reverse->setOnline(false);
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
