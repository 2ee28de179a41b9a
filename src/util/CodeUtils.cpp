#include "util/CodeUtils.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>

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

// ---- lines, lists and paths -----------------------------------------------------

bool CodeUtils::lineIs(const std::string& text, std::string_view key) {
    while (!key.empty() && isSpace(key.front())) key.remove_prefix(1);
    while (!key.empty() && isSpace(key.back())) key.remove_suffix(1);
    return text == key;
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

std::vector<char> CodeUtils::Str2Char(const std::string& text) {
    std::vector<char> chars(text.begin(), text.end());
    chars.push_back('\0');
    return chars;
}

std::string CodeUtils::joinPath(const std::string& path, const std::string& name) {
    if (path.empty()) return name;
    return path.back() == '/' ? path + name : path + "/" + name;
}

// ---- numbers ---------------------------------------------------------------------

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

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

std::string countOf(std::size_t n, const char* singular, const char* plural) {
    return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

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
