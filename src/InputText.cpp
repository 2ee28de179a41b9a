#include "InputText.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstring>
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

InputText::InputText(const std::string& fileName, LineUsage* usage, bool scanOnly)
    : open(false),
      scanOnly(scanOnly),
      failed(false),
      lastEmpty(false),
      lastLine(0),
      usage(usage),
      stream(nullptr) {
    struct stat info;
    if (stat(fileName.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        openFailure = std::strerror(EISDIR);
        return;
    }
    errno = 0;
    if (file.open(fileName, std::ios::in | std::ios::binary) == nullptr) {
        openFailure = std::strerror(errno != 0 ? errno : ENOENT);
        return;
    }
    open = true;
    filter = std::make_unique<CrLfFilter>(&file);
    stream.rdbuf(filter.get());
}

InputText::~InputText() = default;

bool InputText::readLine(std::string& line) {
    line.clear();
    lastEmpty = false;
    if (!open || failed || !std::getline(stream, line)) {
        line.clear();
        return false;
    }
    ++lastLine;
    lastEmpty = line.empty();
    return true;
}

void InputText::skipWhiteSpace() {
    if (!open || failed) return;
    for (int c = stream.peek(); c != std::char_traits<char>::eof() && std::isspace(c) != 0; c = stream.peek()) {
        stream.get();
        if (c == '\n') ++lastLine;
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
