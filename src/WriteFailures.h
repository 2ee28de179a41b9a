#ifndef TESSALY_WRITEFAILURES_H
#define TESSALY_WRITEFAILURES_H

#include <string>
#include <vector>

// The files this process could not write (result files, the run report, the
// run manifest), each with the system's reason, in the order they failed.
// A file that failed once is written no more for the rest of the run: a
// later record that happened to fit would follow a gap of lost ones. A run
// with any such file ends with exit status 4 (results incomplete).
// Thread-safe.
class WriteFailures {
public:
    struct Failure {
        std::string path;
        int error;  // the errno value of the failed call
    };

    // Notes that `path` could not be written because of `error`; true the
    // first time for the path (the caller warns then).
    static bool record(const std::string& path, int error);
    static bool hasFailed(const std::string& path);
    static std::vector<Failure> all();
    // The reason as the system words it, e.g. "File too large".
    static std::string reason(int error);
};

#endif
