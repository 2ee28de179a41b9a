#ifndef TESSALY_RESULTFILE_H
#define TESSALY_RESULTFILE_H

#include <cstdio>
#include <string>
#include <vector>

// One binary result file held open for appending while an analysis writes many
// records into it. The bytes are exactly those the CodeUtils writers would
// append call by call; only the number of open/close system calls differs.
// A file that cannot be opened is skipped (with the once-per-path warning of
// CodeUtils::warnUnwritable) and every write becomes a no-op.
class ResultFile {
public:
    explicit ResultFile(const std::string& path);
    ~ResultFile();
    ResultFile(const ResultFile&) = delete;
    ResultFile& operator=(const ResultFile&) = delete;
    ResultFile(ResultFile&& other) noexcept;
    ResultFile& operator=(ResultFile&& other) noexcept;

    bool isOpen() const;
    const std::string& path() const;
    void write(const double* values, int n);
    void write(const std::vector<double>& values);
    void write(double value);
    void writeInts(const std::vector<int>& values);
    // Flushes and closes; later writes are no-ops.
    void close();

private:
    std::string filePath;
    std::FILE* file;

    // A failed write leaves a record half written: warn and write no more, so
    // no later record lands at a shifted offset.
    void failed();
};

#endif
