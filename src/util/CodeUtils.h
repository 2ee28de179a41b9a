#ifndef TESSALY_CODEUTILS_H
#define TESSALY_CODEUTILS_H

#include <cmath>
#include <cstddef>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

// Static numeric, string and list helpers shared by every part of the
// program, plus a small stopwatch object.
class CodeUtils {
public:
    // ---- stopwatch -------------------------------------------------------
    double startWall;
    double intervalWall;
    double lastWall;
    clock_t startCpu;
    clock_t intervalCpu;

    CodeUtils();
    void resetTimeInterval();
    double takeTime();
    double getRunTime();
    void resetTimeCPUInterval();
    double takeTimeCPU();
    double getRunTimeCPU();

    // ---- lines, lists and paths ---------------------------------------------
    // The line is the key (the key's surrounding blanks aside). Compares in
    // place: readers test every line against every one of their keys.
    static bool lineIs(const std::string& text, std::string_view key);
    // The leading run of numbers of a line (blanks around them skipped).
    static std::vector<double> lineToDoubleVec(const char* text);
    static void lineToDoubleVec(const char* text, std::vector<double>& out);
    static std::vector<double> lineToDoubleVec(const std::string& text);
    static std::vector<int> lineToIntVec(const char* text);
    static std::vector<char> Str2Char(const std::string& text);
    // `name` under directory `path` ("" for the working directory).
    static std::string joinPath(const std::string& path, const std::string& name);

    // ---- numbers -----------------------------------------------------------
    // The phase-wrapping rule, with the program's rounded period (inline: the
    // last stage of every Runge-Kutta step wraps each phase).
    static double smallerAngle(double x) {
        const double pi = 3.14159265359;
        const double twoPi = 6.28318530718;
        const double shifted = std::fabs(x) + pi;
        // fmod is exact and returns its first argument unchanged when that lies
        // in [0, twoPi), which is every phase already in range: the call is only
        // needed beyond. NaN and infinities fail the test and take the call.
        const double r = (shifted < twoPi ? shifted : std::fmod(shifted, twoPi)) - pi;
        // The rule multiplies r by the sign of x (1, -1, or 0 for zero and
        // NaN). Spelt out, because once inlined the compiler turns that
        // product into a negation, which flips a NaN's sign bit, and a NaN
        // phase is written to the records as "nan" or "-nan" by that bit.
        if (x > 0) return r;
        if (x < 0) return r != r ? r : -r;
        return r * 0.0;
    }
    static double dAbsArrSum(const double* a, int n);
    static double dArrSum(const double* a, int n);
    static int AbsArrISum(const int* a, int n);
    static double dVecSum(const std::vector<double>* v);
    static double dVecCosSum(const double* a, int n);
    static double dVecSinSum(const double* a, int n);
    static double dvecMean(std::vector<double> v);
    static bool anynan(const double* a, int n);
    static std::vector<double> linspace(double a, double b, int n);
    static std::vector<double> logspace(double a, double b, int n);
    static double randD(double a, double b);
    static int randInt(int a, int b);
    // Truncation toward zero that saturates at the int limits (NaN gives 0),
    // for counts derived from input values of any size.
    static int truncToInt(double x);

    // ---- text output -------------------------------------------------------
    static std::string d2Str(double x);
    static std::string ivec2str(std::vector<int> v);
    static std::string dvec2str(std::vector<double> v);
    static std::vector<double> darr2vec(const double* a, int n);
    static std::vector<double> darr2vec(const double* a);
    static void consoleArrD(const double* a, int n);
};

std::string i2Str(int x);
// The text in double quotes, as messages quote keys, values and files.
std::string quoted(const std::string& text);
// "1 line", "3 lines".
std::string countOf(std::size_t n, const char* singular, const char* plural);

#endif
