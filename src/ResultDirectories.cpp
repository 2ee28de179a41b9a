#include "ResultDirectories.h"

#include "CodeUtils.h"

void ResultDirectories::make(const std::string& dir) {
    if (!made.insert(dir).second) return;
    if (CodeUtils::makeDirectory(dir) == CodeUtils::DirectoryMade::kCreated) unannounced.insert(dir);
}

void ResultDirectories::use(const std::string& dir) {
    make(dir);
    if (unannounced.erase(dir) > 0) CodeUtils::announceCreated(dir);
}
