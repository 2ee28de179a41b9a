#ifndef TESSALY_ENSEMBLEFILES_H
#define TESSALY_ENSEMBLEFILES_H

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "output/PositionedFile.h"

class ProcessGroup;

// The result files of an ensemble, opened once for all the workers of all
// the processes, and where each trajectory's records lie in them: every
// trajectory appends the same number of bytes to a file (known before the
// run), so trajectory t's range starts at the file's size when the run
// started plus t times that number. The leader makes the files and measures
// them; the other processes open them after it.
class EnsembleFiles {
public:
    struct FilePlan {
        std::string path;
        long long recordBytes;  // one record of the file (the manifest's)
        long long stride;       // bytes every trajectory appends
    };
    struct File {
        PositionedFile file;
        long long start;   // this run's first record
        long long stride;  // bytes per trajectory
    };

    EnsembleFiles(const std::vector<FilePlan>& plans, const ProcessGroup& processes);
    EnsembleFiles(const EnsembleFiles&) = delete;
    EnsembleFiles& operator=(const EnsembleFiles&) = delete;

    std::size_t size() const { return files.size(); }
    File& operator[](std::size_t k) { return *files[k]; }

private:
    std::vector<std::unique_ptr<File>> files;
};

// One worker's writers, one per file of an ensemble, each with a buffer of at
// most kBuffer bytes and at most one trajectory's.
class EnsembleWriters {
public:
    // A writer's buffer: enough to stream a long trajectory in few system
    // calls (a pwrite and, where the file grows, an ftruncate per buffer).
    static constexpr long long kBuffer = 256 * 1024;

    explicit EnsembleWriters(EnsembleFiles& files);
    RangeWriter& operator[](std::size_t k) { return writers[k]; }
    // Every writer to the start of `trajectory`'s range.
    void moveTo(long long trajectory);

private:
    EnsembleFiles& files;
    std::vector<RangeWriter> writers;
};

#endif
