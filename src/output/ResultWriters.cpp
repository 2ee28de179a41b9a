#include "output/ResultWriters.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "diagnostics/Diagnostics.h"
#include "output/PositionedFile.h"

namespace {

// Appends the n values as one block: written whole or not at all (the block
// is the record of the file as far as this call knows). A file that cannot
// be opened or written is reported once and skipped.
template <typename T>
void appendBlock(const std::string& fileName, const T* values, int n) {
    const long long bytes = n > 0 ? static_cast<long long>(n) * static_cast<long long>(sizeof(T)) : 0;
    PositionedFile file(fileName, true, {std::max(bytes, 1LL), {}, false});
    file.writeAt(values, static_cast<std::size_t>(bytes), file.sizeAtOpen());
}

int countOf(std::size_t size) { return static_cast<int>(std::min<std::size_t>(size, INT_MAX)); }

}  // namespace

void ResultWriters::arrayToBinFile(const double* values, int n, std::string fileName) { appendBlock(fileName, values, n); }

void ResultWriters::arrayToBinFileFast(const double* values, int n, std::string fileName) {
    appendBlock(fileName, values, n);
}

void ResultWriters::vecToBinFile(std::vector<double> values, std::string fileName) {
    appendBlock(fileName, values.data(), countOf(values.size()));
}

void ResultWriters::vecToBinFileFast(std::vector<double> values, std::string fileName) {
    appendBlock(fileName, values.data(), countOf(values.size()));
}

void ResultWriters::vecIToBinFileFast(std::vector<int> values, std::string fileName) {
    appendBlock(fileName, values.data(), countOf(values.size()));
}

void ResultWriters::doubleToBinFileFast(double value, std::string fileName) { appendBlock(fileName, &value, 1); }

void ResultWriters::arrayDToFile(const double* values, int n, std::string fileName) {
    std::FILE* file = std::fopen(fileName.c_str(), "a");
    if (file == nullptr) {
        Diagnostics::warnUnwritable(fileName);
        return;
    }
    bool ok = true;
    for (int i = 0; i < n; ++i) ok = std::fprintf(file, " %1.10e", values[i]) > 0 && ok;
    ok = std::fputc('\n', file) != EOF && ok;
    if (std::fclose(file) != 0 || !ok) Diagnostics::warnUnwritable(fileName);
}

void ResultWriters::vecToTextFile(std::vector<int> values, std::ofstream& out) {
    for (int value : values) out << value << ' ';
    out << '\n';
    out.flush();
}

void ResultWriters::vecDToTextFile(std::vector<double> values, std::ofstream& out) {
    for (double value : values) out << value << ' ';
    out << '\n';
    out.flush();
}
