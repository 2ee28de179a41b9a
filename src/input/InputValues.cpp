#include "input/InputValues.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <set>
#include <sstream>

#include "diagnostics/Diagnostics.h"
#include "input/InputText.h"
#include "util/CodeUtils.h"

namespace {

// readint's extraction: the first integer of the next line that is not blank,
// the rest of that line discarded. False (and the input failed) when there is
// no such line or it does not start with an integer in range; `valueLine` is
// the line read ("" at the end of the file).
bool extractInt(InputText& in, int& value, std::string& valueLine) {
    value = 0;
    in.skipWhiteSpace();
    if (!in.readLine(valueLine)) {
        in.fail();
        return false;
    }
    in.markValue();
    std::istringstream parse(valueLine);
    parse >> value;
    if (parse.fail()) {
        in.fail();
        return false;
    }
    return true;
}

// Opens the file an "ext" key names; one that cannot be read is invalid input.
void requireReadable(const InputText& file, const std::string& fileName, const std::string& key) {
    if (file.isOpen()) return;
    throw InputError("\"" + key + "\" names the file \"" + fileName + "\", which cannot be read (" +
                     file.openError() + ")");
}

}  // namespace

int InputValues::readint(InputText& in) {
    int value = 0;
    std::string line;
    extractInt(in, value, line);
    return value;
}

int InputValues::readintForKey(InputText& in, const std::string& key) {
    int value = 0;
    std::string line;
    if (extractInt(in, value, line) || in.isScanOnly() || !Diagnostics::warningsShown()) return value;

    // Blank lines are skipped, so only the end of the file leaves no line.
    const std::string offending = line.empty() ? "(end of file)" : "\"" + line + "\"";
    static std::set<std::string> reported;
    if (!reported.insert(key + '\n' + offending).second) return value;
    Diagnostics::warn("\"" + key + "\" needs an integer value line in the range " + std::to_string(INT_MIN) + ".." +
         std::to_string(INT_MAX) + ", but got " + offending + "; the lines after it are not read");
    return value;
}

std::vector<double> InputValues::numbers(InputText& in, const std::string& line) {
    std::vector<double> values = CodeUtils::lineToDoubleVec(line);
    warnAboutCommas(in, line, values.size());
    return values;
}

void InputValues::warnAboutCommas(InputText& in, const std::string& line, std::size_t numbersRead) {
    if (in.isScanOnly() || line.find(',') == std::string::npos) return;
    std::string blanks = line;
    std::replace(blanks.begin(), blanks.end(), ',', ' ');
    if (CodeUtils::lineToDoubleVec(blanks).size() <= numbersRead) return;
    // Once per file: a file of comma-separated values would repeat it on every line.
    static std::set<std::string> warned;
    if (!warned.insert(in.fileName()).second) return;
    Diagnostics::warn("line " + std::to_string(in.lineNumber()) + " of " + quoted(in.fileName()) + ", " +
                      quoted(line) + ", separates numbers by commas: only the " +
                      countOf(numbersRead, "number", "numbers") + " before the first comma " +
                      (numbersRead == 1 ? "is" : "are") + " read (numbers are separated by blanks)");
}

double InputValues::readDouble(InputText& in) {
    std::vector<char> buffer = CodeUtils::Str2Char(readValueLine(in));
    return std::strtod(buffer.data(), nullptr);
}

void InputValues::readDVec(InputText& in, std::vector<double>* out) { *out = readDVec(in); }

std::vector<double> InputValues::readDVec(InputText& in) { return numbers(in, readValueLine(in)); }

std::vector<double> InputValues::readDVecFromFile(const std::string& fileName, const std::string& key) {
    InputText in(fileName);
    requireReadable(in, fileName, key);
    return numbers(in, nextLine(in));
}

namespace {

// Rows while the lines hold numbers; the first line that holds none is handed
// back unmarked: it is the reader's next key line.
template <typename T, typename Parse>
std::vector<std::vector<T>> readRows(InputText& in, std::string& handBack, Parse parse) {
    std::vector<std::vector<T>> rows;
    for (;;) {
        std::string line = InputValues::nextLine(in);
        std::vector<T> row = parse(line);
        InputValues::warnAboutCommas(in, line, row.size());
        if (row.empty()) {
            handBack = line;
            return rows;
        }
        in.markValue();
        rows.push_back(std::move(row));
    }
}

}  // namespace

std::vector<std::vector<double>> InputValues::readDMatArb(InputText& in, std::string& handBack) {
    return readRows<double>(in, handBack, [](const std::string& line) { return CodeUtils::lineToDoubleVec(line); });
}

std::vector<std::vector<int>> InputValues::readIntMatArb(InputText& in, std::string& handBack) {
    return readRows<int>(in, handBack, [](const std::string& line) { return CodeUtils::lineToIntVec(line.c_str()); });
}

std::vector<std::vector<double>> InputValues::readExtDMat(const std::string& fileName, const std::string& key) {
    InputText in(fileName);
    requireReadable(in, fileName, key);
    std::vector<std::vector<double>> rows;
    for (std::string line = nextLine(in); !line.empty(); line = nextLine(in)) {
        rows.push_back(numbers(in, line));
    }
    return rows;
}

std::string InputValues::nextLine(InputText& in) {
    std::string line;
    in.readLine(line);
    return line;
}

std::string InputValues::readValueLine(InputText& in) {
    std::string line;
    if (in.readLine(line)) in.markValue();
    return line;
}
