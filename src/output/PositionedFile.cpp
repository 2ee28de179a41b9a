#include "output/PositionedFile.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "util/CodeUtils.h"
#include "diagnostics/Diagnostics.h"

PositionedFile::PositionedFile(std::string path, bool create, Layout fileLayout)
    : filePath(std::move(path)), layout(fileLayout) {
    layout.recordBytes = std::max(layout.recordBytes, 1LL);
    if (WriteFailures::hasFailed(filePath)) return;
    // No O_APPEND: it would send every positioned write to the end.
    const int flags = O_WRONLY | O_CLOEXEC | (create ? O_CREAT : 0);
    descriptor = ::open(filePath.c_str(), flags, 0666);
    if (descriptor < 0) {
        Diagnostics::warnUnwritable(filePath);
        return;
    }
    struct stat info;
    if (fstat(descriptor, &info) == 0) {
        initialSize = static_cast<long long>(info.st_size);
        // A device (a result sent to /dev/null) has no size to keep on a boundary.
        if (S_ISREG(info.st_mode)) growth = layout.shared ? Growth::byAllocating : Growth::byTruncating;
    }
    origin = layout.origin.value_or(initialSize);
    extent = initialSize;
}

PositionedFile::~PositionedFile() {
    if (descriptor < 0) return;
    if (::close(descriptor) != 0 && !broken.exchange(true)) Diagnostics::warnUnwritable(filePath);
}

long long PositionedFile::boundaryAtOrBefore(long long offset) const {
    if (offset <= origin) return offset;
    return origin + (offset - origin) / layout.recordBytes * layout.recordBytes;
}

long long PositionedFile::boundaryAtOrAfter(long long offset) const {
    if (offset <= origin) return offset;
    return origin + (offset - origin + layout.recordBytes - 1) / layout.recordBytes * layout.recordBytes;
}

void PositionedFile::writeAt(const void* data, std::size_t size, long long offset) {
    if (!isOpen() || size == 0) return;
    const char* bytes = static_cast<const char*>(data);
    const long long end = offset + static_cast<long long>(size);
    int error = 0;
    if (growth == Growth::byTruncating && !growTo(end, error)) {
        if (error != 0) writeWhatFits(bytes, size, offset, error);
        return;
    }
    if (growth == Growth::byAllocating && !allocate(offset, end, error)) {
        failed(error);
        return;
    }
    const std::size_t written = writeAll(bytes, size, offset, error);
    if (written == size) return;
    if (growth == Growth::byTruncating) {
        dropCutRecords(offset + static_cast<long long>(written), end, error);
    } else {
        failed(error);
    }
}

bool PositionedFile::growTo(long long end, int& error) {
    std::lock_guard<std::mutex> lock(sizing);
    // A writer that failed meanwhile may have cut the file back: nothing more goes in.
    if (broken.load(std::memory_order_relaxed)) return false;
    if (end <= extent) return true;
    const long long target = boundaryAtOrAfter(end);
    if (ftruncate(descriptor, static_cast<off_t>(target)) != 0) {
        error = errno;
        return false;
    }
    extent = target;
    return true;
}

// fallocate grows the file to the boundary after `end` unless another
// process has grown it further (it never shrinks a file), in one step, and
// reserves the space, so a full disk fails here, before any byte.
bool PositionedFile::allocate(long long offset, long long end, int& error) {
    if (!allocating.load(std::memory_order_relaxed)) return true;
    const long long target = boundaryAtOrAfter(end);
    if (fallocate(descriptor, 0, static_cast<off_t>(offset), static_cast<off_t>(target - offset)) == 0) return true;
    // A file system without it (NFS before 4.2, some others): the bytes as they come.
    if (errno == EOPNOTSUPP || errno == ENOSYS) {
        allocating.store(false, std::memory_order_relaxed);
        return true;
    }
    error = errno;
    return false;
}

std::size_t PositionedFile::writeAll(const char* bytes, std::size_t size, long long offset, int& error) const {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t written = ::pwrite(descriptor, bytes + done, size - done, static_cast<off_t>(offset) +
                                                                                    static_cast<off_t>(done));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            error = written == 0 ? ENOSPC : errno;
            return done;
        }
        done += static_cast<std::size_t>(written);
    }
    return done;
}

// A file size limit refuses the growth but lets pwrite fill the file up to
// it: the records that fit are kept.
void PositionedFile::writeWhatFits(const char* bytes, std::size_t size, long long offset, int error) {
    std::lock_guard<std::mutex> lock(sizing);
    int ignored = 0;
    const long long writtenEnd = offset + static_cast<long long>(writeAll(bytes, size, offset, ignored));
    const long long keep = std::max(extent, boundaryAtOrBefore(writtenEnd));
    if (writtenEnd > keep && ftruncate(descriptor, static_cast<off_t>(keep)) == 0) extent = keep;
    failed(error);
}

void PositionedFile::dropCutRecords(long long writtenEnd, long long end, int error) {
    std::lock_guard<std::mutex> lock(sizing);
    // Records after these bytes hold other writers' results: they stay.
    if (extent == boundaryAtOrAfter(end)) {
        const long long keep = boundaryAtOrBefore(writtenEnd);
        if (ftruncate(descriptor, static_cast<off_t>(keep)) == 0) extent = keep;
    }
    failed(error);
}

void PositionedFile::failed(int error) {
    if (!broken.exchange(true)) Diagnostics::warnUnwritable(filePath, error);
}

namespace {

std::size_t wholeRecords(std::size_t capacity, long long recordBytes) {
    const std::size_t record = static_cast<std::size_t>(std::max(recordBytes, 1LL));
    return capacity >= record ? capacity / record * record : capacity;
}

}  // namespace

RangeWriter::RangeWriter(PositionedFile& target, std::size_t capacity)
    : file(&target), buffer(std::max(wholeRecords(capacity, target.recordBytes()), sizeof(double))) {}

RangeWriter::RangeWriter(RangeWriter&& other) noexcept
    : file(std::exchange(other.file, nullptr)),
      buffer(std::move(other.buffer)),
      used(std::exchange(other.used, 0)),
      start(other.start) {}

RangeWriter::~RangeWriter() {
    if (file != nullptr) flush();
}

void RangeWriter::moveTo(long long offset) {
    if (offset == start + static_cast<long long>(used)) return;
    flush();
    start = offset;
}

void RangeWriter::appendBytes(const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        if (used == buffer.size()) flush();
        const std::size_t chunk = std::min(size, buffer.size() - used);
        std::memcpy(buffer.data() + used, bytes, chunk);
        used += chunk;
        bytes += chunk;
        size -= chunk;
    }
}

void RangeWriter::flush() {
    if (used == 0) return;
    file->writeAt(buffer.data(), used, start);
    start += static_cast<long long>(used);
    used = 0;
}
