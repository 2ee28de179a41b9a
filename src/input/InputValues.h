#ifndef TESSALY_INPUTVALUES_H
#define TESSALY_INPUTVALUES_H

#include <cstddef>
#include <string>
#include <vector>

class InputText;

// The value readers every reader of the input shares: the value line (or
// lines) after a key. Each marks the lines it consumes as values of the
// reader's key (see InputText).
class InputValues {
public:
    // The leading numbers of `line`, a line of `in`; warns once per file when
    // the line separates its numbers by commas (only those before the first
    // comma are read).
    static std::vector<double> numbers(InputText& in, const std::string& line);
    static void warnAboutCommas(InputText& in, const std::string& line, std::size_t numbersRead);
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
    static std::vector<std::vector<double>> readDMatArb(InputText& in, std::string& handBack);
    static std::vector<std::vector<int>> readIntMatArb(InputText& in, std::string& handBack);
    // The matrix of the file an "ext" key names: one row per line up to the
    // first empty line. A file that cannot be read is an InputError naming
    // the key and the file.
    static std::vector<std::vector<double>> readExtDMat(const std::string& fileName, const std::string& key);
    // Next line of a reader's block: empty at the end of the file or once the
    // input has failed (the grammar's end of block). Not marked: the reader
    // decides whether it is one of its keys.
    static std::string nextLine(InputText& in);
    // nextLine for a value that is a whole line (a file name, the output name).
    static std::string readValueLine(InputText& in);
};

#endif
