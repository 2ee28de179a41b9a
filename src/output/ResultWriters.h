#ifndef TESSALY_RESULTWRITERS_H
#define TESSALY_RESULTWRITERS_H

#include <fstream>
#include <string>
#include <vector>

// Writers that append one block of values to a result file at a time: the
// file is opened, the block appended whole (or not at all) and the file
// closed. A file that cannot be opened or written is warned about once
// (Diagnostics::warnUnwritable) and skipped.
class ResultWriters {
public:
    static void arrayToBinFile(const double* values, int n, std::string fileName);
    static void arrayToBinFileFast(const double* values, int n, std::string fileName);
    static void vecToBinFile(std::vector<double> values, std::string fileName);
    static void vecToBinFileFast(std::vector<double> values, std::string fileName);
    static void vecIToBinFileFast(std::vector<int> values, std::string fileName);
    static void doubleToBinFileFast(double value, std::string fileName);
    static void arrayDToFile(const double* values, int n, std::string fileName);
    static void vecToTextFile(std::vector<int> values, std::ofstream& out);
    static void vecDToTextFile(std::vector<double> values, std::ofstream& out);
};

#endif
