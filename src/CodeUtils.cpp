#include "CodeUtils.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <set>
#include <sstream>

namespace {

bool isSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string trim(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isSpace(text[begin])) ++begin;
    while (end > begin && isSpace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

int clampToInt(long value) {
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

// The leading run of numbers of a line. `convert` reads one number at the
// start of its argument and sets the end pointer past it (or to the start
// when nothing could be read). The text is trimmed at both ends before and
// after every conversion; a conversion that leaves the trimmed remainder as
// long as before has read nothing and ends the list.
template <typename T, typename Convert>
void parseList(const char* text, std::vector<T>& out, Convert convert) {
    std::string rest = trim(text);
    while (!rest.empty()) {
        const char* start = rest.c_str();
        char* end = nullptr;
        T value = convert(start, &end);
        std::string next = trim(end);
        if (next.size() == rest.size()) return;
        out.push_back(value);
        rest = std::move(next);
    }
}

double convertDouble(const char* start, char** end) { return std::strtod(start, end); }

int convertInt(const char* start, char** end) { return clampToInt(std::strtol(start, end, 10)); }

void flushConsole() { std::cout.flush(); }

}  // namespace

// ---- stopwatch ---------------------------------------------------------------

CodeUtils::CodeUtils()
    : startWall(static_cast<double>(time(nullptr))),
      intervalWall(startWall),
      lastWall(startWall),
      startCpu(clock()),
      intervalCpu(startCpu) {}

void CodeUtils::resetTimeInterval() { intervalWall = static_cast<double>(time(nullptr)); }

double CodeUtils::takeTime() {
    lastWall = static_cast<double>(time(nullptr));
    return lastWall - intervalWall;
}

double CodeUtils::getRunTime() { return static_cast<double>(time(nullptr)) - startWall; }

void CodeUtils::resetTimeCPUInterval() { intervalCpu = clock(); }

double CodeUtils::takeTimeCPU() { return static_cast<double>(clock() - intervalCpu); }

double CodeUtils::getRunTimeCPU() { return static_cast<double>(clock() - startCpu); }

// ---- diagnostics ---------------------------------------------------------------

void CodeUtils::warn(const std::string& message) {
    flushConsole();
    std::cerr << "tessaly: warning: " << message << '\n';
}

void CodeUtils::warnUnwritable(const std::string& path) {
    // errno first: the set insertion below may allocate and touch it.
    std::string reason = std::strerror(errno);
    static std::set<std::string> reported;
    if (!reported.insert(path).second) return;
    warn("cannot write " + path + ": " + reason);
}

// ---- text input ------------------------------------------------------------------

bool CodeUtils::lineIs(std::string text, std::string key) { return text == trim(key); }

namespace {

// readint's extraction; true when an integer in range was read. Decided before
// the rest of the line is discarded: discarding at the end of the file fails
// the stream even though the value itself was fine.
bool extractInt(std::ifstream& in, int& value) {
    value = 0;
    in >> value;
    bool extracted = !in.fail();
    in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    return extracted;
}

}  // namespace

int CodeUtils::readint(std::ifstream& in) {
    int value = 0;
    extractInt(in, value);
    return value;
}

int CodeUtils::readintForKey(std::ifstream& in, const std::string& key) {
    // Remember where the value starts so that a bad value line can be quoted.
    in >> std::ws;
    std::streampos valueStart = in.good() ? in.tellg() : std::streampos(-1);
    int value = 0;
    if (extractInt(in, value)) return value;

    std::string offending = "(end of file)";
    if (valueStart != std::streampos(-1)) {
        in.clear();
        in.seekg(valueStart);
        std::string line;
        std::getline(in, line);
        offending = "\"" + line + "\"";
        in.setstate(std::ios::failbit);
    }
    static std::set<std::string> reported;
    if (!reported.insert(key + '\n' + offending).second) return value;
    warn("\"" + key + "\" needs an integer value line in the range " + std::to_string(INT_MIN) +
         ".." + std::to_string(INT_MAX) + ", but got " + offending +
         "; the lines after it are not read");
    return value;
}

double CodeUtils::readDouble(std::ifstream& in) {
    std::vector<char> buffer = Str2Char(nextLine(in));
    return std::strtod(buffer.data(), nullptr);
}

void CodeUtils::readDVec(std::ifstream& in, std::vector<double>* out) {
    out->clear();
    lineToDoubleVec(nextLine(in).c_str(), *out);
}

std::vector<double> CodeUtils::readDVec(std::ifstream& in) { return lineToDoubleVec(nextLine(in)); }

std::vector<double> CodeUtils::readDVecFromFile(std::string fileName) {
    std::ifstream in(fileName);
    return lineToDoubleVec(nextLine(in));
}

std::vector<double> CodeUtils::lineToDoubleVec(const char* text) {
    std::vector<double> out;
    lineToDoubleVec(text, out);
    return out;
}

void CodeUtils::lineToDoubleVec(const char* text, std::vector<double>& out) {
    parseList<double>(text, out, convertDouble);
}

std::vector<double> CodeUtils::lineToDoubleVec(const std::string& text) {
    return lineToDoubleVec(text.c_str());
}

std::vector<int> CodeUtils::lineToIntVec(const char* text) {
    std::vector<int> out;
    parseList<int>(text, out, convertInt);
    return out;
}

std::vector<std::vector<double>> CodeUtils::readDMatArb(std::ifstream& in, std::string& handBack) {
    std::vector<std::vector<double>> rows;
    for (;;) {
        std::string line = nextLine(in);
        std::vector<double> row = lineToDoubleVec(line);
        if (row.empty()) {
            handBack = line;
            return rows;
        }
        rows.push_back(std::move(row));
    }
}

std::vector<std::vector<int>> CodeUtils::readIntMatArb(std::ifstream& in, std::string& handBack) {
    std::vector<std::vector<int>> rows;
    for (;;) {
        std::string line = nextLine(in);
        std::vector<int> row = lineToIntVec(line.c_str());
        if (row.empty()) {
            handBack = line;
            return rows;
        }
        rows.push_back(std::move(row));
    }
}

std::vector<std::vector<double>> CodeUtils::readExtDMat(std::string fileName) {
    std::vector<std::vector<double>> rows;
    std::ifstream in(fileName);
    for (std::string line = nextLine(in); !line.empty(); line = nextLine(in)) {
        rows.push_back(lineToDoubleVec(line));
    }
    return rows;
}

std::vector<char> CodeUtils::Str2Char(const std::string& text) {
    std::vector<char> chars(text.begin(), text.end());
    chars.push_back('\0');
    return chars;
}

std::string CodeUtils::nextLine(std::ifstream& in) {
    std::string line;
    if (!std::getline(in, line)) return std::string();
    return line;
}

// ---- result files and directories ----------------------------------------------

namespace {

// Opens `fileName` with `mode`, runs `write` on it and closes it; a file that
// cannot be opened is reported once and skipped.
template <typename Write>
void appendTo(const std::string& fileName, const char* mode, Write write) {
    std::FILE* file = std::fopen(fileName.c_str(), mode);
    if (file == nullptr) {
        CodeUtils::warnUnwritable(fileName);
        return;
    }
    bool ok = write(file);
    if (std::fclose(file) != 0 || !ok) CodeUtils::warnUnwritable(fileName);
}

template <typename T>
bool writeBlock(std::FILE* file, const T* values, std::size_t n) {
    return n == 0 || std::fwrite(values, sizeof(T), n, file) == n;
}

template <typename T>
bool writeEach(std::FILE* file, const T* values, std::size_t n) {
    bool ok = true;
    for (std::size_t i = 0; i < n; ++i) ok = std::fwrite(&values[i], sizeof(T), 1, file) == 1 && ok;
    return ok;
}

std::size_t countOf(int n) { return n > 0 ? static_cast<std::size_t>(n) : 0; }

void makeDirectory(const std::string& name) {
    if (mkdir(name.c_str(), 0744) == 0) {
        std::cout << "Directory " << name << " created\n";
        return;
    }
    const char* reason = std::strerror(errno);
    flushConsole();
    std::cerr << "Error :  " << reason << '\n';
}

}  // namespace

void CodeUtils::arrayToBinFile(const double* values, int n, std::string fileName) {
    appendTo(fileName, "ab", [&](std::FILE* f) { return writeEach(f, values, countOf(n)); });
}

void CodeUtils::arrayToBinFileFast(const double* values, int n, std::string fileName) {
    appendTo(fileName, "ab", [&](std::FILE* f) { return writeBlock(f, values, countOf(n)); });
}

void CodeUtils::vecToBinFile(std::vector<double> values, std::string fileName) {
    appendTo(fileName, "ab", [&](std::FILE* f) { return writeEach(f, values.data(), values.size()); });
}

void CodeUtils::vecToBinFileFast(std::vector<double> values, std::string fileName) {
    appendTo(fileName, "ab", [&](std::FILE* f) { return writeBlock(f, values.data(), values.size()); });
}

void CodeUtils::vecIToBinFileFast(std::vector<int> values, std::string fileName) {
    appendTo(fileName, "ab", [&](std::FILE* f) { return writeBlock(f, values.data(), values.size()); });
}

void CodeUtils::doubleToBinFileFast(double value, std::string fileName) {
    appendTo(fileName, "ab", [&](std::FILE* f) { return writeBlock(f, &value, 1); });
}

void CodeUtils::arrayDToFile(const double* values, int n, std::string fileName) {
    appendTo(fileName, "a", [&](std::FILE* f) {
        bool ok = true;
        for (std::size_t i = 0; i < countOf(n); ++i) ok = std::fprintf(f, " %1.10e", values[i]) > 0 && ok;
        return std::fputc('\n', f) != EOF && ok;
    });
}

void CodeUtils::vecToTextFile(std::vector<int> values, std::ofstream& out) {
    for (int value : values) out << value << ' ';
    out << '\n';
    out.flush();
}

void CodeUtils::vecDToTextFile(std::vector<double> values, std::ofstream& out) {
    for (double value : values) out << value << ' ';
    out << '\n';
    out.flush();
}

void CodeUtils::cdir(std::string name) { makeDirectory(name); }

void CodeUtils::cpthdir(std::string path, std::string name) {
    if (path.empty()) {
        makeDirectory(name);
    } else if (path.back() == '/') {
        makeDirectory(path + name);
    } else {
        makeDirectory(path + "/" + name);
    }
}

// ---- numbers ---------------------------------------------------------------------

double CodeUtils::smallerAngle(double x) {
    const double pi = 3.14159265359;
    const double twoPi = 6.28318530718;
    const double shifted = std::fabs(x) + pi;
    // fmod is exact and returns its first argument unchanged when that lies
    // in [0, twoPi), which is every phase already in range: the call is only
    // needed beyond. NaN and infinities fail the test and take the call.
    double r = (shifted < twoPi ? shifted : std::fmod(shifted, twoPi)) - pi;
    double sign = x > 0 ? 1.0 : (x < 0 ? -1.0 : 0.0);
    return r * sign;
}

void CodeUtils::arrAddD(const double* a, const double* b, double* out, int n) {
    for (int i = 0; i < n; ++i) out[i] = a[i] + b[i];
}

double CodeUtils::dAbsArrSum(const double* a, int n) {
    double sum = 0;
    for (int i = 0; i < n; ++i) sum += std::fabs(a[i]);
    return sum;
}

double CodeUtils::dArrSum(const double* a, int n) {
    double sum = 0;
    for (int i = 0; i < n; ++i) sum += a[i];
    return sum;
}

int CodeUtils::AbsArrISum(const int* a, int n) {
    // Accumulated wide so that extreme entries saturate instead of overflowing.
    long long sum = 0;
    for (int i = 0; i < n; ++i) {
        sum += std::llabs(static_cast<long long>(a[i]));
        if (sum > INT_MAX) return INT_MAX;
    }
    return static_cast<int>(sum);
}

double CodeUtils::dVecSum(const std::vector<double>* v) {
    double sum = 0;
    for (double x : *v) sum += x;
    return sum;
}

double CodeUtils::dVecCosSum(const double* a, int n) {
    double sum = 0;
    for (int i = 0; i < n; ++i) sum += std::cos(a[i]);
    return sum;
}

double CodeUtils::dVecSinSum(const double* a, int n) {
    double sum = 0;
    for (int i = 0; i < n; ++i) sum += std::sin(a[i]);
    return sum;
}

double CodeUtils::dvecMean(std::vector<double> v) {
    return dVecSum(&v) / static_cast<double>(v.size());
}

bool CodeUtils::anynan(const double* a, int n) {
    for (int i = 0; i < n; ++i) {
        if (std::isnan(a[i])) return true;
    }
    return false;
}

std::vector<double> CodeUtils::linspace(double a, double b, int n) {
    if (n < 1) return {};
    std::vector<double> values(static_cast<std::size_t>(n));
    values[0] = a;
    if (n == 1) return values;
    double step = (b - a) / (n - 1);
    for (int i = 1; i < n; ++i) values[i] = a + i * step;
    return values;
}

std::vector<double> CodeUtils::logspace(double a, double b, int n) {
    if (n < 1) return {};
    if (n == 1) return {a};
    std::vector<double> values(static_cast<std::size_t>(n));
    float l0 = static_cast<float>(std::log10(a));
    float l1 = static_cast<float>(std::log10(b));
    double step = static_cast<double>(l1 - l0) / (n - 1);
    values[0] = std::pow(10.0f, l0);
    for (int i = 1; i < n; ++i) values[i] = std::pow(10.0f, static_cast<float>(l0 + i * step));
    return values;
}

double CodeUtils::randD(double a, double b) { return a + (b - a) * (rand() / 2147483647.0); }

int CodeUtils::randInt(int a, int b) {
    // Span taken in double: b - a + 1 can overflow int for extreme bounds.
    double span = static_cast<double>(b) - a + 1;
    return truncToInt(a + (rand() / 2147483647.0) * span);
}

int CodeUtils::truncToInt(double x) {
    if (std::isnan(x)) return 0;
    if (x >= 2147483647.0) return INT_MAX;
    if (x <= -2147483648.0) return INT_MIN;
    return static_cast<int>(x);
}

// ---- text output -------------------------------------------------------------------

std::string CodeUtils::d2Str(double x) {
    std::ostringstream out;
    out << x;
    return out.str();
}

std::string i2Str(int x) { return std::to_string(x); }

std::string CodeUtils::ivec2str(std::vector<int> v) {
    std::ostringstream out;
    for (int x : v) out << x << ' ';
    out << '\n';
    return out.str();
}

std::string CodeUtils::dvec2str(std::vector<double> v) {
    std::ostringstream out;
    for (double x : v) out << x << ' ';
    out << '\n';
    return out.str();
}

std::vector<double> CodeUtils::darr2vec(const double* a, int n) {
    return n > 0 ? std::vector<double>(a, a + n) : std::vector<double>();
}

std::vector<double> CodeUtils::darr2vec(const double* a) { return std::vector<double>(1, a[0]); }

void CodeUtils::consoleArrD(const double* a, int n) {
    for (int i = 0; i < n; ++i) std::cout << a[i] << ' ';
    std::cout << '\n';
}
