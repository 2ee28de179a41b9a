#ifndef TESSALY_TESTS_TESTSUPPORT_H
#define TESSALY_TESTS_TESTSUPPORT_H

// Shared helpers for the tests: scratch directories, files, and running the
// built program the way a user does (input file name on standard input).

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// The names in directory `path`.
inline std::set<std::string> entries(const std::string& path) {
    std::set<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (!dir) return names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.insert(name);
    }
    closedir(dir);
    return names;
}

// No file a test or a program it starts writes may grow beyond this, so a
// test whose loop never ends cannot fill the disk before its time limit stops
// it. The largest files the tests write legitimately: a sparse input of
// 100 MB (the line length limit), result files of about 5 MB.
constexpr rlim_t kFileSizeBound = rlim_t(256) << 20;

// Lowers this process's file size limit to kFileSizeBound; the programs it
// starts inherit it. Only the soft limit: a test may still set its own.
inline void boundFileSizes() {
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur <= kFileSizeBound) return;
    limit.rlim_cur = kFileSizeBound;
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) throw std::runtime_error("cannot bound the file size");
}

// Removes the scratch directories under the root that belong to test
// processes which no longer run (killed at their time limit): with a whole
// suite of runaway tests, the disk holds the files of the running ones only.
inline void removeStaleScratch(const std::string& root) {
    const std::string prefix = "tessaly-test-";
    for (const std::string& name : entries(root)) {
        if (name.rfind(prefix, 0) != 0) continue;
        const long owner = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
        if (owner > 0 && kill(static_cast<pid_t>(owner), 0) != 0 && errno == ESRCH) {
            std::error_code ignored;
            std::filesystem::remove_all(root + "/" + name, ignored);
        }
    }
}

// A fresh directory under the build's scratch root, named after this process
// and removed with its contents when the object goes out of scope. What a
// test killed at its time limit leaves is removed by the next scratch
// directory made, and CTest empties the root before and after the tests.
class ScratchDir {
public:
    ScratchDir() {
        boundFileSizes();
        const std::string root = TESSALY_TEST_SCRATCH;
        std::filesystem::create_directories(root);
        removeStaleScratch(root);
        std::string pattern = root + "/tessaly-test-" + std::to_string(getpid()) + "-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
        dir = buf.data();
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return dir; }
    std::string file(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

// Makes `dir` the working directory for the object's lifetime (the program
// composes result paths relative to it).
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& dir) {
        char buf[4096];
        if (!getcwd(buf, sizeof buf)) throw std::runtime_error("getcwd failed");
        previous = buf;
        if (chdir(dir.c_str()) != 0) throw std::runtime_error("cannot enter " + dir);
    }
    ~WorkingDirectory() {
        if (chdir(previous.c_str()) != 0) std::abort();
    }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

private:
    std::string previous;
};

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

inline bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

inline bool isDirectory(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The files under directory `dir`, subdirectories included, as paths relative to it.
inline std::set<std::string> filesUnder(const std::string& dir, const std::string& prefix = "") {
    std::set<std::string> files;
    for (const std::string& name : entries(dir + "/" + prefix)) {
        const std::string relative = prefix + name;
        if (isDirectory(dir + "/" + relative)) {
            std::set<std::string> inner = filesUnder(dir, relative + "/");
            files.insert(inner.begin(), inner.end());
        } else {
            files.insert(relative);
        }
    }
    return files;
}

inline long fileSize(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    return in ? static_cast<long>(in.tellg()) : -1;
}

inline std::vector<double> readDoubles(const std::string& path) {
    std::string bytes = readText(path);
    std::vector<double> out(bytes.size() / sizeof(double));
    if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * sizeof(double));
    return out;
}

inline std::vector<int32_t> readInts(const std::string& path) {
    std::string bytes = readText(path);
    std::vector<int32_t> out(bytes.size() / sizeof(int32_t));
    if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * sizeof(int32_t));
    return out;
}

struct RunResult {
    int status;
    std::string out;
    std::string err;
};

// Runs `command` (the program first) in workDir with `input` on standard
// input and TESSALY_THREADS unset unless `environment` ("NAME=value"
// entries) sets it; `prepare` runs in the child just before the command
// starts (to put limits on it).
inline RunResult runCommand(const std::string& workDir, std::vector<std::string> command,
                            const std::string& input = "", const std::vector<std::string>& environment = {},
                            const std::function<void()>& prepare = {}) {
    const std::string inFile = workDir + "/.stdin";
    const std::string outFile = workDir + "/.stdout";
    const std::string errFile = workDir + "/.stderr";
    writeText(inFile, input);
    std::vector<char*> argv;
    for (std::string& text : command) argv.push_back(&text[0]);
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        unsetenv("TESSALY_THREADS");
        for (const std::string& entry : environment) putenv(const_cast<char*>(entry.c_str()));
        if (chdir(workDir.c_str()) != 0 || !freopen(inFile.c_str(), "r", stdin) ||
            !freopen(outFile.c_str(), "w", stdout) || !freopen(errFile.c_str(), "w", stderr)) {
            _exit(127);
        }
        if (prepare) prepare();
        execv(argv[0], argv.data());
        _exit(127);
    }
    int raw = 0;
    waitpid(child, &raw, 0);
    RunResult r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = readText(outFile);
    r.err = readText(errFile);
    std::remove(inFile.c_str());
    std::remove(outFile.c_str());
    std::remove(errFile.c_str());
    return r;
}

// Runs the built program in workDir with `arguments` (after the program
// name), `input` on standard input and TESSALY_THREADS unset unless
// `environment` ("NAME=value" entries) sets it.
inline RunResult runWithArguments(const std::string& workDir, const std::vector<std::string>& arguments,
                                  const std::string& input = "", const std::vector<std::string>& environment = {}) {
    std::vector<std::string> command = {TESSALY_BIN};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runCommand(workDir, command, input, environment);
}

// Runs the built program in workDir with `arguments` (standard streams on
// /dev/null) until `path` exists (or five seconds have passed) and some
// `settle` microseconds more, then kills it with SIGKILL. True when the kill
// ended it.
inline bool killWhenThereAfter(const std::string& workDir, const std::vector<std::string>& arguments,
                               const std::string& path, std::chrono::microseconds settle) {
    std::vector<std::string> command = {TESSALY_BIN};
    command.insert(command.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : command) argv.push_back(&text[0]);
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(workDir.c_str()) != 0 || !freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr) ||
            !freopen("/dev/null", "r", stdin)) {
            _exit(127);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!fileExists(path) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(settle);
    kill(child, SIGKILL);
    int raw = 0;
    waitpid(child, &raw, 0);
    return WIFSIGNALED(raw);
}

// killWhenThereAfter with `settle` in milliseconds.
inline bool killWhenThere(const std::string& workDir, const std::vector<std::string>& arguments,
                          const std::string& path, int settle = 0) {
    return killWhenThereAfter(workDir, arguments, path, std::chrono::milliseconds(settle));
}

// Runs the built program in workDir with `input` on standard input, the way a
// user answers its prompt.
inline RunResult runProgram(const std::string& workDir, const std::string& input) {
    return runWithArguments(workDir, {}, input);
}

// Writes `inputText` as input.txt in workDir and runs the program on it.
inline RunResult runOnInput(const std::string& workDir, const std::string& inputText) {
    writeText(workDir + "/input.txt", inputText);
    return runProgram(workDir, "input.txt\n");
}

// The console text with the numbers of the two timing lines masked as "#".
inline std::string maskTimes(std::string out) {
    for (const char* label : {"dclockt/cpu clock ticks = ", "ddoublet/real time (sec) = "}) {
        std::size_t at = out.find(label);
        if (at == std::string::npos) continue;
        at += std::string(label).size();
        out.replace(at, out.find('\n', at) - at, "#");
    }
    return out;
}

// A run report with its timing line masked: a run that crosses a second
// boundary reports one second more.
inline std::string maskReportTime(const std::string& report) {
    const std::string label = "TimeTaken(sec): ";
    std::string out = report;
    for (std::size_t at = out.find(label); at != std::string::npos; at = out.find(label, at + 1)) {
        at += label.size();
        out.replace(at, out.find('\n', at) - at, "#");
    }
    return out;
}

inline const std::string& examplesDir() {
    static const std::string dir = std::string(TESSALY_SOURCE_DIR) + "/examples";
    return dir;
}

// The input files shipped in examples/ (*.txt): the runnable ones and the
// data they read.
inline std::vector<std::string> exampleInputs() {
    std::vector<std::string> names;
    for (const std::string& name : entries(examplesDir())) {
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".txt") == 0) names.push_back(name);
    }
    return names;
}

// The example inputs that describe a run (they hold a "Number of nodes" key).
inline std::vector<std::string> runnableExamples() {
    std::vector<std::string> names;
    for (const std::string& name : exampleInputs()) {
        if (contains("\n" + readText(examplesDir() + "/" + name), "\nNumber of nodes\n")) names.push_back(name);
    }
    return names;
}

// Copies the shipped example inputs into `dir`, as a user runs them.
inline void copyExamples(const ScratchDir& dir) {
    for (const std::string& name : exampleInputs()) writeText(dir.file(name), readText(examplesDir() + "/" + name));
}

// A run manifest (Manifest<name>.json): it describes a run (times, working
// directory, input digest), so it differs between runs with equal results.
inline bool isRunManifest(const std::string& path) {
    const std::string name = path.substr(path.rfind('/') + 1);
    return name.rfind("Manifest", 0) == 0 && name.size() >= 5 && name.compare(name.size() - 5, 5, ".json") == 0;
}

}  // namespace testsupport

#endif
