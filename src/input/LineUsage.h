#ifndef TESSALY_LINEUSAGE_H
#define TESSALY_LINEUSAGE_H

#include <vector>

// Which lines of one input file the readers used, shared by every reader of
// that file: a line a reader matched as one of its keys, or read as a value
// of a key (numbers, file names, the output name, matrix rows). What no reader
// used is reviewed once all of them ran.
class LineUsage {
public:
    enum Use : unsigned char { kUnused = 0, kKey = 1, kValue = 2 };

    void mark(int line, Use use);
    bool isUsed(int line) const;
    // A reader's block ended at this empty line.
    void blockEndedAt(int line);
    // The first empty line that ended a reader's block; 0 when every block ran
    // to the end of the file (or stopped at a value it could not read).
    int firstBlockEnd() const { return firstEnd; }

private:
    std::vector<unsigned char> uses;  // uses[line - 1]
    int firstEnd = 0;
};

#endif
