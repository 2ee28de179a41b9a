#ifndef TESSALY_RESULTFILE_H
#define TESSALY_RESULTFILE_H

#include <memory>
#include <string>
#include <vector>

#include "output/PositionedFile.h"

// One binary result file held open for appending while an analysis writes
// many records into it, through a buffer: few system calls, and the file's
// size only ever ends on a whole record (see PositionedFile), also when the
// run is killed or the file cannot take more. The bytes are exactly those of
// the writes in call order. A file that cannot be opened or written is
// warned about once (Diagnostics::warnUnwritable) and every later write is a
// no-op.
class ResultFile {
public:
    // `recordBytes`: the size of one record; every write appends whole records.
    ResultFile(const std::string& path, std::size_t recordBytes);
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
    // Writes what is buffered and closes; later writes are no-ops.
    void close();

private:
    std::string filePath;
    std::unique_ptr<PositionedFile> file;
    std::unique_ptr<RangeWriter> writer;  // writes into `file`
};

#endif
