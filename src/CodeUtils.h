#ifndef TESSALY_CODEUTILS_H
#define TESSALY_CODEUTILS_H

#include <ctime>
#include <fstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

class InputText;

// Invalid input that the run cannot go on with. The entry point prints
// "tessaly: error: <what>" on standard error and exits with status 2.
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Static helpers shared by every part of the program (line grammar, result
// writers, numeric helpers) plus a small stopwatch object.
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

    // ---- diagnostics -----------------------------------------------------
    // "tessaly: warning: <message>" on standard error. Thread-safe.
    static void warn(const std::string& message);
    // Warns "cannot write PATH: REASON" the first time PATH fails in this run,
    // also where other warnings are not shown, and notes the failure in
    // WriteFailures: the run's results are incomplete and the file is
    // written no more. The reason is errno's, or `error`'s. Thread-safe.
    static void warnUnwritable(const std::string& path);
    static void warnUnwritable(const std::string& path, int error);
    // Off: warn() prints nothing. The processes of a cluster run other than
    // the first read the same input and solve the same power flows: their
    // warnings would repeat the first one's.
    static void showWarnings(bool on);
    static bool warningsShown();

    // ---- text input --------------------------------------------------------
    // Every value reader below marks the lines it consumes as values of the
    // reader's key (see InputText).
    // The line is the key (the key's surrounding blanks aside). Compares in
    // place: readers test every line against every one of their keys.
    static bool lineIs(const std::string& text, std::string_view key);
    static int readint(InputText& in);
    // readint for the value line of `key`. When the line holds no integer the
    // input fails (ending the reader's block, as readint does) and one
    // warning naming the key and the offending line goes to standard error
    // (none in scan-only mode).
    static int readintForKey(InputText& in, const std::string& key);
    static double readDouble(InputText& in);
    static void readDVec(InputText& in, std::vector<double>* out);
    static std::vector<double> readDVec(InputText& in);
    // The first line of the file an "ext" key names, as a list. A file that
    // cannot be read is an InputError naming the key and the file.
    static std::vector<double> readDVecFromFile(const std::string& fileName, const std::string& key);
    static std::vector<double> lineToDoubleVec(const char* text);
    static void lineToDoubleVec(const char* text, std::vector<double>& out);
    static std::vector<double> lineToDoubleVec(const std::string& text);
    static std::vector<int> lineToIntVec(const char* text);
    static std::vector<std::vector<double>> readDMatArb(InputText& in, std::string& handBack);
    static std::vector<std::vector<int>> readIntMatArb(InputText& in, std::string& handBack);
    // The matrix of the file an "ext" key names: one row per line up to the
    // first empty line. A file that cannot be read is an InputError naming
    // the key and the file.
    static std::vector<std::vector<double>> readExtDMat(const std::string& fileName, const std::string& key);
    static std::vector<char> Str2Char(const std::string& text);
    // Next line of a reader's block: empty at the end of the file or once the
    // input has failed (the grammar's end of block). Not marked: the reader
    // decides whether it is one of its keys.
    static std::string nextLine(InputText& in);
    // nextLine for a value that is a whole line (a file name, the output name).
    static std::string readValueLine(InputText& in);

    // ---- result files and directories -------------------------------------
    static void arrayToBinFile(const double* values, int n, std::string fileName);
    static void arrayToBinFileFast(const double* values, int n, std::string fileName);
    static void vecToBinFile(std::vector<double> values, std::string fileName);
    static void vecToBinFileFast(std::vector<double> values, std::string fileName);
    static void vecIToBinFileFast(std::vector<int> values, std::string fileName);
    static void doubleToBinFileFast(double value, std::string fileName);
    static void arrayDToFile(const double* values, int n, std::string fileName);
    static void vecToTextFile(std::vector<int> values, std::ofstream& out);
    static void vecDToTextFile(std::vector<double> values, std::ofstream& out);
    // Makes directory `name`. One that exists already as a directory is no
    // failure; any other failure warns "cannot create directory NAME: REASON".
    enum class DirectoryMade { kCreated, kExisted, kFailed };
    static DirectoryMade makeDirectory(const std::string& name);
    // makeDirectory, and "Directory NAME created" on standard output when it
    // was created.
    static void cdir(std::string name);
    // "Directory NAME created" on standard output.
    static void announceCreated(const std::string& name);
    // `name` under directory `path` ("" for the working directory).
    static std::string joinPath(const std::string& path, const std::string& name);

    // ---- numbers -----------------------------------------------------------
    static double smallerAngle(double x);
    static void arrAddD(const double* a, const double* b, double* out, int n);
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

#endif
