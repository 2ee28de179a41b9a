// The grid keys of the input and their reader.
#include "grid/PowerGrid.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "diagnostics/Diagnostics.h"
#include "input/InputText.h"
#include "input/InputValues.h"
#include "util/CodeUtils.h"

namespace {


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
        rows.push_back(InputValues::numbers(cursor.in, line));
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
    grid.noteKeyGiven(cursor.key);
}

template <NodeSetter set>
void readNodeListFile(PowerGrid& grid, ReaderCursor& cursor) {
    const std::string name = InputValues::readValueLine(cursor.in);
    applyNodeList(grid, InputValues::readDVecFromFile(name, cursor.key), set, sourceOf(cursor.key, name));
    grid.noteKeyGiven(cursor.key);
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

// "Bus numbers": one whole number per node, each bus once. Numbers beyond the
// grid are ignored with a warning, as in every node list.
void readBusNumbers(PowerGrid& grid, ReaderCursor& cursor) {
    const std::vector<double> values = InputValues::readDVec(cursor.in);
    const int n = grid.getNumNodes();
    const std::string source = quoted(cursor.key);
    if (values.size() < static_cast<std::size_t>(n)) {
        throw InputError(source + " has " + countOf(values.size(), "value", "values") + ", but the grid has " +
                         std::to_string(n) + " nodes (allowed at least " + std::to_string(n) + ", one per node)");
    }
    if (values.size() > static_cast<std::size_t>(n)) warnBeyondGrid(source, values.size(), "value", "values", n, "values");
    // Whole numbers that a double holds exactly.
    constexpr double kLargestExact = 9007199254740992.0;
    std::vector<long long> numbers;
    std::unordered_map<long long, int> nodeOf;
    for (int k = 0; k < n; ++k) {
        const double value = values[static_cast<std::size_t>(k)];
        if (!(std::fabs(value) <= kLargestExact && value == std::floor(value))) {
            throw InputError(source + " is " + numberText(value) + " at node " + std::to_string(k) +
                             " (allowed whole numbers up to 2^53 in magnitude)");
        }
        const long long bus = static_cast<long long>(value);
        auto first = nodeOf.emplace(bus, k);
        if (!first.second) {
            throw InputError(source + " names bus " + std::to_string(bus) + " at node " +
                             std::to_string(first.first->second) + " and at node " + std::to_string(k) +
                             " (allowed each bus once)");
        }
        numbers.push_back(bus);
    }
    grid.setBusNumbers(std::move(numbers));
}

// "Nominal frequency" (Hz) and "Base power" (MVA): finite and greater than 0.
double readPositive(ReaderCursor& cursor, const char* unit) {
    const double value = InputValues::readDouble(cursor.in);
    if (!(value > 0 && std::isfinite(value))) {
        throw InputError(quoted(cursor.key) + " is " + numberText(value) + " (allowed a finite value in " + unit +
                         " greater than 0)");
    }
    return value;
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
         grid.setNrSolver(readChoice<S>(cursor, {{"dense", S::Dense},
                                                 {"sparse", S::Sparse},
                                                 {"auto", S::Auto},
                                                 {"iterative", S::Iterative}}));
     }},
    {"NR start",
     [](PowerGrid& grid, ReaderCursor& cursor) { grid.setNrStart(readChoice(cursor, kNrStarts)); }},
    {"Line list", [](PowerGrid& grid, ReaderCursor& cursor) { grid.readLineList(cursor); }},
    {"Bus numbers", readBusNumbers},
    {"Unit system",
     [](PowerGrid& grid, ReaderCursor& cursor) {
         grid.units().physical = readChoice<bool>(cursor, {{"model", false}, {"physical", true}});
     }},
    {"Nominal frequency",
     [](PowerGrid& grid, ReaderCursor& cursor) { grid.units().nominalFrequency = readPositive(cursor, "Hz"); }},
    {"Base power",
     [](PowerGrid& grid, ReaderCursor& cursor) { grid.units().basePower = readPositive(cursor, "MVA"); }},
    {"Line losses in diag", [](PowerGrid& grid, ReaderCursor&) { grid.lineRules().lossesInDiag = true; }},
    {"Flow measure",
     [](PowerGrid& grid, ReaderCursor& cursor) {
         grid.lineRules().flowMeasure =
             readChoice<FlowMeasure>(cursor, {{"apparent", FlowMeasure::apparent}, {"active", FlowMeasure::active}});
     }},
    {"Capacity from base flow",
     [](PowerGrid& grid, ReaderCursor& cursor) {
         const double factor = InputValues::readDouble(cursor.in);
         if (!(factor > 0 && std::isfinite(factor))) {
             throw InputError(quoted(cursor.key) + " is " + numberText(factor) +
                              " (allowed a positive finite factor on the flows at the steady state)");
         }
         grid.lineRules().capacityFactor = factor;
     }},
    {"Capacity from base flow for",
     [](PowerGrid& grid, ReaderCursor& cursor) {
         grid.lineRules().capacityForAll = readChoice<bool>(cursor, {{"unrated", false}, {"all", true}});
     }},
};
}  // namespace

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
    checkUnits();
    calcCflow();
    if (rules.lossesInDiag) keepDiagAsRead();
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
        std::vector<double> values = InputValues::numbers(cursor.in, text);
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
        if (found == existing.end()) {
            lines[from].push_back(TransmissionLine(from, to));
            ++recordPatternRevision;
        }
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

// Seconds and rad/s mean something only beside the frequency they deviate from.
void PowerGrid::checkUnits() const {
    if (unitSystem.physical && unitSystem.nominalFrequency == 0) {
        throw InputError(quoted("Unit system") + " is \"physical\", but " + quoted("Nominal frequency") +
                         " is not given (allowed the grid's frequency in Hz, e.g. 50 or 60)");
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

const char* PowerGrid::nrStartName(NrStart s) {
    for (const auto& [name, start] : kNrStarts) {
        if (start == s) return name;
    }
    return "unknown";
}
