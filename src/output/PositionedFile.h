#ifndef TESSALY_POSITIONEDFILE_H
#define TESSALY_POSITIONEDFILE_H

#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// A result file of fixed-size records that many writers fill at once, each
// at byte offsets known before the run (positioned writes: no shared file
// position, so neither locks nor an order between the writers; the
// processes of a cluster run may write into the same file this way).
// Opened once, never truncated below the size it had when it was opened.
//
// The file's size only ever lies on a record boundary (its size at opening
// plus whole records), so a run that is killed or runs out of space never
// leaves a record cut at the end of a file. Bytes that would go beyond the
// end first grow the file with ftruncate to the boundary after them, then
// are written with pwrite. A write() the kernel cuts short (at a page
// boundary when a SIGKILL arrives during it, or at a file size limit) thus
// cannot end the file inside a record: a kill between the two calls leaves
// zeros in the last records, which the run manifest's "complete": false
// flags as it flags any killed run. A write that fails part-way cuts the file
// back to the record boundary before the failed bytes.
//
// The processes of a cluster run share the file: one process cannot see how
// far another has grown it, and growing it with ftruncate could then shrink
// it. There fallocate grows it (it never shrinks a file); on a file system
// without fallocate the bytes are written as they come, and a killed or
// failed write may end the file inside a record.
//
// A file that cannot be opened or written is warned about once (as
// Diagnostics::warnUnwritable, which notes the failure for the run's exit
// status) and written no more; one that failed earlier in the run is not
// opened again.
class PositionedFile {
public:
    struct Layout {
        long long recordBytes = 1;
        // Where the records start; the file's size when it was opened by
        // default.
        std::optional<long long> origin;
        // Other processes write into the file too.
        bool shared = false;
    };

    // `create`: make the file when it does not exist (the process that makes
    // the run's files); otherwise it must exist.
    PositionedFile(std::string path, bool create, Layout layout);
    ~PositionedFile();
    PositionedFile(const PositionedFile&) = delete;
    PositionedFile& operator=(const PositionedFile&) = delete;

    const std::string& path() const { return filePath; }
    // Open and not failed.
    bool isOpen() const { return descriptor >= 0 && !broken.load(std::memory_order_relaxed); }
    // The file's size when it was opened (0 when it could not be opened):
    // where an appending run's records start.
    long long sizeAtOpen() const { return initialSize; }
    long long recordBytes() const { return layout.recordBytes; }
    // Writes `size` bytes at `offset`, which lie in whole records that no
    // other writer writes. Thread-safe.
    void writeAt(const void* data, std::size_t size, long long offset);

private:
    long long boundaryAtOrBefore(long long offset) const;
    long long boundaryAtOrAfter(long long offset) const;
    // Grows the file to the record boundary at or after `end` when it ends
    // before. False when nothing may be written: the growth failed (`error`
    // holds its errno value) or the file failed before.
    bool growTo(long long end, int& error);
    // The same for a file that other processes grow too, with the bytes
    // from `offset` on.
    bool allocate(long long offset, long long end, int& error);
    // pwrite until every byte is written or a call fails (`error` holds its
    // errno value); the bytes written.
    std::size_t writeAll(const char* bytes, std::size_t size, long long offset, int& error) const;
    // After a growth failed: the bytes that still fit, cut back to whole records.
    void writeWhatFits(const char* bytes, std::size_t size, long long offset, int error);
    // After a write failed part-way: the file cut back to the whole records
    // before the failed bytes, when they are the file's last.
    void dropCutRecords(long long writtenEnd, long long end, int error);
    void failed(int error);

    std::string filePath;
    Layout layout;
    int descriptor = -1;
    long long initialSize = 0;
    long long origin = 0;
    // How the file grows to record boundaries before bytes go beyond its
    // end: a regular file of this process alone, one of several processes,
    // or none (a device).
    enum class Growth { byTruncating, byAllocating, none };
    Growth growth = Growth::none;
    std::atomic<bool> allocating{true};  // false once fallocate proved unsupported
    std::atomic<bool> broken{false};
    std::mutex sizing;
    long long extent = 0;  // the file's size as this process made it; guarded by `sizing`
};

// One writer's part of a PositionedFile: consecutive bytes from a start
// offset on, collected in a buffer of bounded size and written in chunks, so
// a long record streams out while it is made. A buffer that holds records
// holds whole ones: from a range that starts on a record, every chunk is
// whole records, and a write that fails leaves none of them part-written.
// One writer per thread.
class RangeWriter {
public:
    // `capacity`: buffer size in bytes (at least one double), rounded down
    // to whole records of the file where one fits.
    RangeWriter(PositionedFile& file, std::size_t capacity);
    // Writes what is still buffered.
    ~RangeWriter();
    RangeWriter(const RangeWriter&) = delete;
    RangeWriter& operator=(const RangeWriter&) = delete;
    RangeWriter(RangeWriter&& other) noexcept;
    RangeWriter& operator=(RangeWriter&&) = delete;

    // The next byte goes to `offset`; a range that goes on where the
    // buffered one ends keeps the buffer.
    void moveTo(long long offset);
    void appendBytes(const void* data, std::size_t size);
    void append(const double* values, std::size_t count) { appendBytes(values, count * sizeof(double)); }
    void append(double value) { append(&value, 1); }
    void flush();

private:
    PositionedFile* file;
    std::vector<char> buffer;
    std::size_t used = 0;
    long long start = 0;  // file offset of buffer[0]
};

#endif
