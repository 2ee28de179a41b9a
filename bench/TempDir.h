#ifndef TESSALY_BENCH_TEMPDIR_H
#define TESSALY_BENCH_TEMPDIR_H

#include <unistd.h>

#include <cstdlib>
#include <string>

// A fresh directory under /tmp that is the working directory while the
// object lives, removed with what the benchmark wrote into it.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/tessaly-bench-XXXXXX";
        if (!mkdtemp(pattern)) std::abort();
        path = pattern;
        char buf[4096];
        if (!getcwd(buf, sizeof buf) || chdir(path.c_str()) != 0) std::abort();
        oldCwd = buf;
    }
    ~TempDir() {
        if (chdir(oldCwd.c_str()) != 0) std::abort();
        std::system(("rm -rf '" + path + "'").c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // Removes the result files in the directory's subdirectories.
    void clearResults() const { std::system(("rm -f '" + path + "'/*/*").c_str()); }

private:
    std::string path;
    std::string oldCwd;
};

#endif
