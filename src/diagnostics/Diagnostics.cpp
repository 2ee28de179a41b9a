#include "diagnostics/Diagnostics.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <set>

// ---- warnings and errors ----------------------------------------------------------

namespace {

// Worker threads warn about files they cannot write while the main thread
// warns about its own work: one message at a time, each on its own line.
std::mutex& messageMutex() {
    static std::mutex mutex;
    return mutex;
}

bool& messagesOn() {
    static bool shown = true;
    return shown;
}

// Console text comes first, and the progress line makes room.
void printMessage(const char* kind, const std::string& message) {
    std::cout.flush();
    ProgressLine::clear();
    std::cerr << "tessaly: " << kind << ": " << message << '\n';
}

}  // namespace

void Diagnostics::showWarnings(bool on) {
    std::lock_guard<std::mutex> lock(messageMutex());
    messagesOn() = on;
}

bool Diagnostics::warningsShown() {
    std::lock_guard<std::mutex> lock(messageMutex());
    return messagesOn();
}

void Diagnostics::warn(const std::string& message) {
    std::lock_guard<std::mutex> lock(messageMutex());
    if (messagesOn()) printMessage("warning", message);
}

void Diagnostics::error(const std::string& message) {
    std::lock_guard<std::mutex> lock(messageMutex());
    if (messagesOn()) printMessage("error", message);
}

void Diagnostics::warnUnwritable(const std::string& path) { warnUnwritable(path, errno); }

void Diagnostics::warnUnwritable(const std::string& path, int error) {
    if (!WriteFailures::record(path, error)) return;
    std::lock_guard<std::mutex> lock(messageMutex());
    // Every process of a cluster run writes files of its own.
    printMessage("warning", "cannot write " + path + ": " + WriteFailures::reason(error));
}

// ---- files that could not be written -----------------------------------------------

namespace {

struct Registry {
    std::mutex mutex;
    std::vector<WriteFailures::Failure> failures;  // in the order they failed
    std::set<std::string> paths;                   // every file opening asks
};

Registry& registry() {
    static Registry instance;
    return instance;
}

}  // namespace

bool WriteFailures::record(const std::string& path, int error) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!r.paths.insert(path).second) return false;
    r.failures.push_back({path, error});
    return true;
}

bool WriteFailures::hasFailed(const std::string& path) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.paths.count(path) > 0;
}

std::vector<WriteFailures::Failure> WriteFailures::all() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.failures;
}

std::string WriteFailures::reason(int error) { return std::strerror(error); }

// ---- the progress line ---------------------------------------------------------------

namespace {

struct LineState {
    bool enabled = false;
    bool shown = false;
    std::size_t width = 80;
    // Worker threads may warn while the main thread draws the line.
    std::mutex mutex;
};

LineState& lineState() {
    static LineState state;
    return state;
}

// A text longer than the terminal is wide would wrap, and "\r" would then
// rewrite only its last row.
std::size_t terminalWidth() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1) return size.ws_col;
    return 80;
}

void writeToStderr(const std::string& bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
    std::fflush(stderr);
}

const char* const kClearToEnd = "\033[K";

void clearShownLine(LineState& state) {
    if (!state.shown) return;
    state.shown = false;
    writeToStderr(std::string("\r") + kClearToEnd);
}

}  // namespace

void ProgressLine::enable(bool on) {
    LineState& state = lineState();
    std::lock_guard<std::mutex> lock(state.mutex);
    clearShownLine(state);
    state.enabled = on;
    if (on) state.width = terminalWidth();
}

bool ProgressLine::enabled() {
    LineState& state = lineState();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.enabled;
}

void ProgressLine::show(const std::string& text) {
    LineState& state = lineState();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (!state.enabled) return;
    // Console text still buffered goes out first, on its own line.
    std::fflush(stdout);
    writeToStderr("\r" + text.substr(0, state.width - 1) + kClearToEnd);
    state.shown = true;
}

void ProgressLine::clear() {
    LineState& state = lineState();
    std::lock_guard<std::mutex> lock(state.mutex);
    clearShownLine(state);
}
