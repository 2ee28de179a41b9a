#include "CodeUtils.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <set>
#include <sstream>

#include "InputText.h"
#include "Progress.h"
#include "PositionedFile.h"
#include "WriteFailures.h"

namespace {

bool isSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

int clampToInt(long value) {
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

// The leading run of numbers of a line, blanks around them skipped. `convert`
// reads one number at the start of its argument and sets the end pointer past
// it (or to the start when nothing could be read, which ends the list). A
// number never takes the blanks after it, so converting in place stays
// within the line's trimmed end; one pass, so a long row costs its length.
template <typename T, typename Convert>
void parseList(const char* text, std::vector<T>& out, Convert convert) {
    const char* end = text + std::strlen(text);
    while (end > text && isSpace(end[-1])) --end;
    for (const char* at = text;;) {
        while (at < end && isSpace(*at)) ++at;
        if (at == end) return;
        char* stop = nullptr;
        const T value = convert(at, &stop);
        if (stop == at) return;
        out.push_back(value);
        at = stop;
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

namespace {

// Worker threads warn about files they cannot write while the main thread
// warns about its own work: one warning at a time, each on its own line.
std::mutex& warningMutex() {
    static std::mutex mutex;
    return mutex;
}

bool& warningsOn() {
    static bool shown = true;
    return shown;
}

void printWarning(const std::string& message) {
    flushConsole();
    ProgressLine::clear();
    std::cerr << "tessaly: warning: " << message << '\n';
}

}  // namespace

void CodeUtils::showWarnings(bool on) {
    std::lock_guard<std::mutex> lock(warningMutex());
    warningsOn() = on;
}

bool CodeUtils::warningsShown() {
    std::lock_guard<std::mutex> lock(warningMutex());
    return warningsOn();
}

void CodeUtils::warn(const std::string& message) {
    std::lock_guard<std::mutex> lock(warningMutex());
    if (warningsOn()) printWarning(message);
}

void CodeUtils::warnUnwritable(const std::string& path) { warnUnwritable(path, errno); }

void CodeUtils::warnUnwritable(const std::string& path, int error) {
    if (!WriteFailures::record(path, error)) return;
    std::lock_guard<std::mutex> lock(warningMutex());
    // Every process of a cluster run writes files of its own.
    printWarning("cannot write " + path + ": " + WriteFailures::reason(error));
}

// ---- text input ------------------------------------------------------------------

bool CodeUtils::lineIs(const std::string& text, std::string_view key) {
    while (!key.empty() && isSpace(key.front())) key.remove_prefix(1);
    while (!key.empty() && isSpace(key.back())) key.remove_suffix(1);
    return text == key;
}

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

int CodeUtils::readint(InputText& in) {
    int value = 0;
    std::string line;
    extractInt(in, value, line);
    return value;
}

int CodeUtils::readintForKey(InputText& in, const std::string& key) {
    int value = 0;
    std::string line;
    if (extractInt(in, value, line) || in.isScanOnly() || !warningsShown()) return value;

    // Blank lines are skipped, so only the end of the file leaves no line.
    const std::string offending = line.empty() ? "(end of file)" : "\"" + line + "\"";
    static std::set<std::string> reported;
    if (!reported.insert(key + '\n' + offending).second) return value;
    warn("\"" + key + "\" needs an integer value line in the range " + std::to_string(INT_MIN) + ".." +
         std::to_string(INT_MAX) + ", but got " + offending + "; the lines after it are not read");
    return value;
}

double CodeUtils::readDouble(InputText& in) {
    std::vector<char> buffer = Str2Char(readValueLine(in));
    return std::strtod(buffer.data(), nullptr);
}

void CodeUtils::readDVec(InputText& in, std::vector<double>* out) {
    out->clear();
    lineToDoubleVec(readValueLine(in).c_str(), *out);
}

std::vector<double> CodeUtils::readDVec(InputText& in) { return lineToDoubleVec(readValueLine(in)); }

std::vector<double> CodeUtils::readDVecFromFile(const std::string& fileName, const std::string& key) {
    InputText in(fileName);
    requireReadable(in, fileName, key);
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

namespace {

// Rows while the lines hold numbers; the first line that holds none is handed
// back unmarked: it is the reader's next key line.
template <typename T, typename Parse>
std::vector<std::vector<T>> readRows(InputText& in, std::string& handBack, Parse parse) {
    std::vector<std::vector<T>> rows;
    for (;;) {
        std::string line = CodeUtils::nextLine(in);
        std::vector<T> row = parse(line);
        if (row.empty()) {
            handBack = line;
            return rows;
        }
        in.markValue();
        rows.push_back(std::move(row));
    }
}

}  // namespace

std::vector<std::vector<double>> CodeUtils::readDMatArb(InputText& in, std::string& handBack) {
    return readRows<double>(in, handBack, [](const std::string& line) { return lineToDoubleVec(line); });
}

std::vector<std::vector<int>> CodeUtils::readIntMatArb(InputText& in, std::string& handBack) {
    return readRows<int>(in, handBack, [](const std::string& line) { return lineToIntVec(line.c_str()); });
}

std::vector<std::vector<double>> CodeUtils::readExtDMat(const std::string& fileName, const std::string& key) {
    InputText in(fileName);
    requireReadable(in, fileName, key);
    std::vector<std::vector<double>> rows;
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

std::string CodeUtils::nextLine(InputText& in) {
    std::string line;
    in.readLine(line);
    return line;
}

std::string CodeUtils::readValueLine(InputText& in) {
    std::string line;
    if (in.readLine(line)) in.markValue();
    return line;
}

// ---- result files and directories ----------------------------------------------

namespace {

// Appends the n values as one block: written whole or not at all (the block
// is the record of the file as far as this call knows). A file that cannot
// be opened or written is reported once and skipped.
template <typename T>
void appendBlock(const std::string& fileName, const T* values, int n) {
    const long long bytes = n > 0 ? static_cast<long long>(n) * static_cast<long long>(sizeof(T)) : 0;
    PositionedFile file(fileName, true, {std::max(bytes, 1LL), {}, false});
    file.writeAt(values, static_cast<std::size_t>(bytes), file.sizeAtOpen());
}

int countOf(std::size_t size) { return static_cast<int>(std::min<std::size_t>(size, INT_MAX)); }

}  // namespace

void CodeUtils::arrayToBinFile(const double* values, int n, std::string fileName) { appendBlock(fileName, values, n); }

void CodeUtils::arrayToBinFileFast(const double* values, int n, std::string fileName) {
    appendBlock(fileName, values, n);
}

void CodeUtils::vecToBinFile(std::vector<double> values, std::string fileName) {
    appendBlock(fileName, values.data(), countOf(values.size()));
}

void CodeUtils::vecToBinFileFast(std::vector<double> values, std::string fileName) {
    appendBlock(fileName, values.data(), countOf(values.size()));
}

void CodeUtils::vecIToBinFileFast(std::vector<int> values, std::string fileName) {
    appendBlock(fileName, values.data(), countOf(values.size()));
}

void CodeUtils::doubleToBinFileFast(double value, std::string fileName) { appendBlock(fileName, &value, 1); }

void CodeUtils::arrayDToFile(const double* values, int n, std::string fileName) {
    std::FILE* file = std::fopen(fileName.c_str(), "a");
    if (file == nullptr) {
        warnUnwritable(fileName);
        return;
    }
    bool ok = true;
    for (int i = 0; i < n; ++i) ok = std::fprintf(file, " %1.10e", values[i]) > 0 && ok;
    ok = std::fputc('\n', file) != EOF && ok;
    if (std::fclose(file) != 0 || !ok) warnUnwritable(fileName);
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

CodeUtils::DirectoryMade CodeUtils::makeDirectory(const std::string& name) {
    if (mkdir(name.c_str(), 0744) == 0) return DirectoryMade::kCreated;
    const int error = errno;
    struct stat info;
    if (error == EEXIST && stat(name.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return DirectoryMade::kExisted;
    std::string reason = std::strerror(error);
    if (error == EEXIST) reason += " (not a directory)";
    warn("cannot create directory " + name + ": " + reason);
    return DirectoryMade::kFailed;
}

void CodeUtils::cdir(std::string name) {
    if (makeDirectory(name) == DirectoryMade::kCreated) announceCreated(name);
}

void CodeUtils::announceCreated(const std::string& name) { std::cout << "Directory " << name << " created\n"; }

std::string CodeUtils::joinPath(const std::string& path, const std::string& name) {
    if (path.empty()) return name;
    return path.back() == '/' ? path + name : path + "/" + name;
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
