#include "PositionedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "CodeUtils.h"

PositionedFile::PositionedFile(std::string path, bool create) : filePath(std::move(path)) {
    // No O_APPEND: it would send every positioned write to the end.
    const int flags = O_WRONLY | O_CLOEXEC | (create ? O_CREAT : 0);
    descriptor = ::open(filePath.c_str(), flags, 0666);
    if (descriptor < 0) {
        CodeUtils::warnUnwritable(filePath);
        return;
    }
    struct stat info;
    if (fstat(descriptor, &info) == 0) initialSize = static_cast<long long>(info.st_size);
}

PositionedFile::~PositionedFile() {
    if (descriptor < 0) return;
    if (::close(descriptor) != 0 && !broken.exchange(true)) CodeUtils::warnUnwritable(filePath);
}

void PositionedFile::writeAt(const void* data, std::size_t size, long long offset) {
    if (descriptor < 0 || broken.load(std::memory_order_relaxed)) return;
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::pwrite(descriptor, bytes, size, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = ENOSPC;
            failed();
            return;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
        offset += written;
    }
}

void PositionedFile::failed() {
    if (!broken.exchange(true)) CodeUtils::warnUnwritable(filePath);
}

RangeWriter::RangeWriter(PositionedFile& target, std::size_t capacity)
    : file(&target), buffer(std::max(capacity, sizeof(double))) {}

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

void RangeWriter::append(const double* values, std::size_t count) {
    const char* bytes = reinterpret_cast<const char*>(values);
    std::size_t size = count * sizeof(double);
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
