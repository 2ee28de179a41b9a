#include "output/ResultFile.h"

#include <utility>

namespace {

// Records are small and many; a large buffer turns them into few system
// calls (a pwrite and, as the file grows, an ftruncate per buffer).
const std::size_t kBufferSize = 256 * 1024;

}  // namespace

ResultFile::ResultFile(const std::string& path, std::size_t recordBytes)
    : filePath(path),
      file(std::make_unique<PositionedFile>(path, true,
                                            PositionedFile::Layout{static_cast<long long>(recordBytes), {}, false})) {
    if (!file->isOpen()) {
        file.reset();
        return;
    }
    writer = std::make_unique<RangeWriter>(*file, kBufferSize);
    writer->moveTo(file->sizeAtOpen());
}

ResultFile::~ResultFile() { close(); }

ResultFile::ResultFile(ResultFile&& other) noexcept
    : filePath(std::move(other.filePath)), file(std::move(other.file)), writer(std::move(other.writer)) {}

ResultFile& ResultFile::operator=(ResultFile&& other) noexcept {
    if (this != &other) {
        close();
        filePath = std::move(other.filePath);
        file = std::move(other.file);
        writer = std::move(other.writer);
    }
    return *this;
}

bool ResultFile::isOpen() const { return file != nullptr && file->isOpen(); }

const std::string& ResultFile::path() const { return filePath; }

void ResultFile::write(const double* values, int n) {
    if (writer != nullptr && n > 0) writer->append(values, static_cast<std::size_t>(n));
}

void ResultFile::write(const std::vector<double>& values) {
    if (writer != nullptr) writer->append(values.data(), values.size());
}

void ResultFile::write(double value) {
    if (writer != nullptr) writer->append(value);
}

void ResultFile::writeInts(const std::vector<int>& values) {
    if (writer != nullptr) writer->appendBytes(values.data(), values.size() * sizeof(int));
}

// The writer first: it writes its buffer into the file.
void ResultFile::close() {
    writer.reset();
    file.reset();
}
