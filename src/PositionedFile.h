#ifndef TESSALY_POSITIONEDFILE_H
#define TESSALY_POSITIONEDFILE_H

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

// A result file that many writers fill at once, each at byte offsets known
// before the run (positioned writes: no shared file position, so neither
// locks nor an order between the writers; the processes of a cluster run
// may write into the same file this way). Opened once, never truncated.
// A file that cannot be opened or written is warned about once (as
// CodeUtils::warnUnwritable) and written no more.
class PositionedFile {
public:
    // `create`: make the file when it does not exist (the process that makes
    // the run's files); otherwise it must exist.
    PositionedFile(std::string path, bool create);
    ~PositionedFile();
    PositionedFile(const PositionedFile&) = delete;
    PositionedFile& operator=(const PositionedFile&) = delete;

    const std::string& path() const { return filePath; }
    bool isOpen() const { return descriptor >= 0; }
    // The file's size when it was opened (0 when it could not be opened):
    // where an appending run's records start.
    long long sizeAtOpen() const { return initialSize; }
    // Writes `size` bytes at `offset`. Thread-safe.
    void writeAt(const void* data, std::size_t size, long long offset);

private:
    void failed();

    std::string filePath;
    int descriptor = -1;
    long long initialSize = 0;
    std::atomic<bool> broken{false};
};

// One writer's part of a PositionedFile: consecutive values from a start
// offset on, collected in a buffer of bounded size and written in chunks, so
// a long record streams out while it is made. One writer per thread.
class RangeWriter {
public:
    // `capacity`: buffer size in bytes (at least one double).
    RangeWriter(PositionedFile& file, std::size_t capacity);
    // Writes what is still buffered.
    ~RangeWriter();
    RangeWriter(const RangeWriter&) = delete;
    RangeWriter& operator=(const RangeWriter&) = delete;
    RangeWriter(RangeWriter&& other) noexcept;
    RangeWriter& operator=(RangeWriter&&) = delete;

    // The next value goes to byte `offset`; a range that goes on where the
    // buffered one ends keeps the buffer.
    void moveTo(long long offset);
    void append(const double* values, std::size_t count);
    void append(double value) { append(&value, 1); }
    void flush();

private:
    PositionedFile* file;
    std::vector<char> buffer;
    std::size_t used = 0;
    long long start = 0;  // file offset of buffer[0]
};

#endif
