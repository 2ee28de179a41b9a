#include "input/InputText.h"
#include "diagnostics/Diagnostics.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <limits>
#include <streambuf>

// ---- the CR LF filter --------------------------------------------------------------

// Hands on the characters of the file with every CR that comes right before an
// LF left out; any other CR stays. Reads the file in chunks: a file without
// CR costs a copy and a scan per chunk.
class InputText::CrLfFilter : public std::streambuf {
public:
    explicit CrLfFilter(std::streambuf* source) : source(source) {}

protected:
    int_type underflow() override {
        if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
        std::size_t kept = 0;
        while (kept == 0) {
            const std::streamsize read = source->sgetn(buffer, sizeof buffer);
            if (read <= 0) return traits_type::eof();
            kept = dropCrBeforeLf(static_cast<std::size_t>(read));
        }
        setg(buffer, buffer, buffer + kept);
        return traits_type::to_int_type(buffer[0]);
    }

public:
    // The characters read but not yet taken (after sgetc() found one).
    const char* chunkBegin() const { return gptr(); }
    std::size_t chunkSize() const { return static_cast<std::size_t>(egptr() - gptr()); }
    void skip(std::size_t n) { gbump(static_cast<int>(n)); }

private:
    // Compacts the first `n` characters of the buffer; a CR at its end looks
    // at the next character of the file. Returns how many are left.
    std::size_t dropCrBeforeLf(std::size_t n) {
        if (std::memchr(buffer, '\r', n) == nullptr) return n;
        std::size_t kept = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (buffer[i] == '\r' && (i + 1 < n ? buffer[i + 1] == '\n' : nextIsLf())) continue;
            buffer[kept++] = buffer[i];
        }
        return kept;
    }

    bool nextIsLf() { return traits_type::eq_int_type(source->sgetc(), traits_type::to_int_type('\n')); }

    std::streambuf* source;
    char buffer[8192];
};

// ---- input text ----------------------------------------------------------------------

namespace {

// Why `fileName` cannot be read as input text; "" when it can.
std::string unreadableReason(const std::string& fileName, long long& size) {
    struct stat info;
    if (stat(fileName.c_str(), &info) != 0) return std::strerror(errno);
    if (S_ISDIR(info.st_mode)) return std::strerror(EISDIR);
    if (!S_ISREG(info.st_mode)) return "not a regular file: input is read from files only, not from pipes or devices";
    size = static_cast<long long>(info.st_size);
    return "";
}

std::string lineOf(const std::string& fileName, int number) {
    return "line " + std::to_string(number) + " of \"" + fileName + "\"";
}

}  // namespace

InputText::InputText(const std::string& fileName, LineUsage* usage, bool scanOnly)
    : name(fileName),
      size(0),
      open(false),
      scanOnly(scanOnly),
      failed(false),
      lastEmpty(false),
      lastLine(0),
      usage(usage) {
    openFailure = unreadableReason(fileName, size);
    if (!openFailure.empty()) return;
    errno = 0;
    if (file.open(fileName, std::ios::in | std::ios::binary) == nullptr) {
        openFailure = std::strerror(errno != 0 ? errno : ENOENT);
        return;
    }
    open = true;
    filter = std::make_unique<CrLfFilter>(&file);
}

InputText::~InputText() = default;

void InputText::countLine() {
    if (lastLine == std::numeric_limits<int>::max()) {
        throw InputError("\"" + name + "\" has more than " + std::to_string(lastLine) + " lines");
    }
    ++lastLine;
}

bool InputText::readLine(std::string& line) {
    line.clear();
    lastEmpty = false;
    if (!open || failed) return false;
    using traits = std::char_traits<char>;
    bool any = false;
    for (;;) {
        if (filter->sgetc() == traits::eof()) {
            if (!any) return false;
            break;
        }
        any = true;
        const char* begin = filter->chunkBegin();
        const std::size_t available = filter->chunkSize();
        const void* lf = std::memchr(begin, '\n', available);
        const std::size_t taken = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - begin) : available;
        if (line.size() + taken > kMaxLineBytes) {
            throw InputError(lineOf(name, lastLine + 1) + " is longer than " + std::to_string(kMaxLineBytes >> 20) +
                             " MiB: no input line can be that long (is it a text file?)");
        }
        line.append(begin, taken);
        filter->skip(lf ? taken + 1 : taken);
        if (lf) break;
    }
    countLine();
    if (line.find('\0') != std::string::npos) {
        throw InputError(lineOf(name, lastLine) + " holds a NUL byte: input must be text");
    }
    lastEmpty = line.empty();
    return true;
}

void InputText::skipWhiteSpace() {
    if (!open || failed) return;
    using traits = std::char_traits<char>;
    for (int c = filter->sgetc(); c != traits::eof() && std::isspace(c) != 0; c = filter->snextc()) {
        if (c == '\n') countLine();
    }
}

void InputText::markKey() {
    if (usage != nullptr) usage->mark(lastLine, LineUsage::kKey);
}

void InputText::markValue() {
    if (usage != nullptr) usage->mark(lastLine, LineUsage::kValue);
}

void InputText::endBlock() {
    if (usage != nullptr && lastEmpty && !failed) usage->blockEndedAt(lastLine);
}

bool isCommentLine(const std::string& line) { return line.compare(0, 2, "//") == 0; }
