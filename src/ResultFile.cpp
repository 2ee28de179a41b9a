#include "ResultFile.h"

#include <utility>

#include "CodeUtils.h"

namespace {

// Records are small and many; a large stdio buffer turns them into few writes.
const std::size_t kBufferSize = 1 << 16;

}  // namespace

ResultFile::ResultFile(const std::string& path) : filePath(path), file(std::fopen(path.c_str(), "ab")) {
    if (file == nullptr) {
        CodeUtils::warnUnwritable(filePath);
        return;
    }
    std::setvbuf(file, nullptr, _IOFBF, kBufferSize);
}

ResultFile::~ResultFile() { close(); }

ResultFile::ResultFile(ResultFile&& other) noexcept
    : filePath(std::move(other.filePath)), file(std::exchange(other.file, nullptr)) {}

ResultFile& ResultFile::operator=(ResultFile&& other) noexcept {
    if (this != &other) {
        close();
        filePath = std::move(other.filePath);
        file = std::exchange(other.file, nullptr);
    }
    return *this;
}

bool ResultFile::isOpen() const { return file != nullptr; }

const std::string& ResultFile::path() const { return filePath; }

void ResultFile::write(const double* values, int n) {
    if (file == nullptr || n < 1) return;
    std::size_t count = static_cast<std::size_t>(n);
    if (std::fwrite(values, sizeof(double), count, file) != count) failed();
}

void ResultFile::write(const std::vector<double>& values) {
    if (file == nullptr || values.empty()) return;
    if (std::fwrite(values.data(), sizeof(double), values.size(), file) != values.size()) failed();
}

void ResultFile::write(double value) { write(&value, 1); }

void ResultFile::writeInts(const std::vector<int>& values) {
    if (file == nullptr || values.empty()) return;
    if (std::fwrite(values.data(), sizeof(int), values.size(), file) != values.size()) failed();
}

void ResultFile::close() {
    if (file == nullptr) return;
    std::FILE* closing = std::exchange(file, nullptr);
    if (std::fclose(closing) != 0) CodeUtils::warnUnwritable(filePath);
}

void ResultFile::failed() {
    CodeUtils::warnUnwritable(filePath);
    std::FILE* closing = std::exchange(file, nullptr);
    std::fclose(closing);
}
