#include "WriteFailures.h"

#include <cstring>
#include <mutex>
#include <set>

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
