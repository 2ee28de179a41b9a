#ifndef TESSALY_INPUTTEXT_H
#define TESSALY_INPUTTEXT_H

#include <cstddef>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "util/CodeUtils.h"
#include "input/LineUsage.h"

// One pass over a text file, line by line, numbering the lines. A line ends at
// LF; a CR right before the LF belongs to the line end, so a file saved with
// CR LF reads exactly like one saved with LF. The file is streamed, never held
// in memory as a whole.
//
// Only regular files open: every input is read several times (once per
// reader), which a pipe cannot do, and a device such as /dev/zero never ends.
// A line longer than kMaxLineBytes or holding a NUL byte (a binary file, not
// text) is invalid input: readLine throws InputError naming the file and line.
//
// A reader that has to follow the input grammar without acting on it (the
// analysis of a mode that is off still claims its keys and values) reads in
// scan-only mode: its value readers warn about nothing and it reads no
// external file.
class InputText {
public:
    static constexpr std::size_t kMaxLineBytes = std::size_t(64) << 20;

    explicit InputText(const std::string& fileName, LineUsage* usage = nullptr, bool scanOnly = false);
    ~InputText();
    InputText(const InputText&) = delete;
    InputText& operator=(const InputText&) = delete;

    bool isOpen() const { return open; }
    // Why the file could not be opened (the system's reason).
    const std::string& openError() const { return openFailure; }
    // Size of the file in bytes when it was opened.
    long long fileSize() const { return size; }
    const std::string& fileName() const { return name; }
    bool isScanOnly() const { return scanOnly; }

    // The next line without its line end; false (and an empty line) at the
    // end of the file or once the input has failed.
    bool readLine(std::string& line);
    // Skips white space, line ends included (as integer extraction does).
    void skipWhiteSpace();
    // Number of the last line read (1 for the first line; 0 before it).
    int lineNumber() const { return lastLine; }
    // True when the last line read was an empty line of the file (not the end
    // of the file).
    bool lastLineWasEmpty() const { return lastEmpty; }

    // A value that cannot be read ends the reader's block: nothing more is read.
    void fail() { failed = true; }
    bool hasFailed() const { return failed; }

    // Marks the last line read as a key or a value of the reader.
    void markKey();
    void markValue();
    // Called when a reader's block ends: records the empty line that ended it.
    void endBlock();

private:
    class CrLfFilter;

    void countLine();

    std::string name;
    long long size;
    bool open;
    bool scanOnly;
    bool failed;
    bool lastEmpty;
    int lastLine;
    std::string openFailure;
    LineUsage* usage;
    std::filebuf file;
    std::unique_ptr<CrLfFilter> filter;
};

// The cursor of one reader's scan over its block: the current line, which a
// key's value reader may replace (a line value, or the line after a matrix
// that the matrix hands back as the next key) so that an empty one ends the
// block.
struct ReaderCursor {
    InputText& in;
    std::ostream& console;
    std::string line;
    bool handedBack;
    const char* key;  // the key being read
};

// A key of a reader and what reading its value does to the reader's target.
template <class Target>
struct ReaderKey {
    const char* key;
    void (*read)(Target&, ReaderCursor&);
};

// The grammar every reader shares: lines are scanned from the top; a comment
// is skipped; a line that is exactly one of `keys` is read by its handler and
// reported as "read KEY" on `console`; the first empty line (or the end of the
// input) ends the block.
template <class Target, std::size_t N>
void scanBlock(InputText& in, std::ostream& console, Target& target, const ReaderKey<Target> (&keys)[N]);

// The keys of a reader table, for the review of lines no reader used.
template <class Target, std::size_t N>
std::vector<std::string> keyNames(const ReaderKey<Target> (&keys)[N]) {
    std::vector<std::string> names;
    for (const ReaderKey<Target>& entry : keys) names.push_back(entry.key);
    return names;
}

bool isCommentLine(const std::string& line);

template <class Target, std::size_t N>
void scanBlock(InputText& in, std::ostream& console, Target& target, const ReaderKey<Target> (&keys)[N]) {
    ReaderCursor cursor{in, console, "0", false, ""};
    while (!cursor.line.empty()) {
        if (!cursor.handedBack) in.readLine(cursor.line);
        cursor.handedBack = false;
        if (cursor.line.empty()) break;
        if (isCommentLine(cursor.line)) continue;
        for (const ReaderKey<Target>& entry : keys) {
            if (!CodeUtils::lineIs(cursor.line, entry.key)) continue;
            in.markKey();
            const std::string keyLine = cursor.line;
            cursor.key = entry.key;
            entry.read(target, cursor);
            console << "read " << keyLine << '\n';
            break;
        }
    }
    in.endBlock();
}

#endif
