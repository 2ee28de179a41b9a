#include "output/ResultPaths.h"

#include <utility>

#include "util/CodeUtils.h"

namespace results {

std::string directoryPart(const std::string& outputName) {
    const std::size_t slash = outputName.rfind('/');
    return slash == std::string::npos ? std::string() : outputName.substr(0, slash + 1);
}

std::string filePart(const std::string& outputName) {
    const std::size_t slash = outputName.rfind('/');
    return slash == std::string::npos ? outputName : outputName.substr(slash + 1);
}

std::string path(const std::string& outputName, const std::string& stem) {
    return directoryPart(outputName) + stem + filePart(outputName);
}

std::string incrementHistogramPath(const std::string& outputName, double lag) {
    return path(outputName, kIncrementHistogram) + "-" + CodeUtils::d2Str(lag);
}

std::string powerSeriesPath(const std::string& outputName, const std::string& seriesName, int node, int part) {
    return directoryPart(outputName) + "pseries/" + seriesName + "tn" + CodeUtils::d2Str(node) + "w" +
           CodeUtils::d2Str(part);
}

std::string windSpeedPath(const std::string& outputName, const std::string& seriesName) {
    return directoryPart(outputName) + "windspeed" + seriesName;
}

std::string stochasticRunName(const std::string& base, bool windParts, int part, std::size_t configuration) {
    const std::string stem = windParts ? base + "w" + CodeUtils::d2Str(part) : base;
    return stem + "tn" + CodeUtils::d2Str(static_cast<double>(configuration));
}

void PlannedFiles::add(const PlannedFile& file) {
    const auto found = index.find(file.path);
    if (found == index.end()) {
        index.emplace(file.path, list.size());
        list.push_back(file);
    } else if (list[found->second].run != file.run) {
        list[found->second].run.reset();
    }
}

void PlannedFiles::add(const std::string& outputName,
                       std::initializer_list<std::pair<Kind, const char*>> kindsAndStems, std::optional<int> run) {
    for (const auto& [kind, stem] : kindsAndStems) add(PlannedFile{path(outputName, stem), kind, run});
}

}  // namespace results
