#include "output/ResultDirectories.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "diagnostics/Diagnostics.h"

ResultDirectories::DirectoryMade ResultDirectories::makeDirectory(const std::string& name) {
    // The umask decides who may read the results, as it does for mkdir.
    if (mkdir(name.c_str(), 0777) == 0) return DirectoryMade::kCreated;
    const int error = errno;
    struct stat info;
    if (error == EEXIST && stat(name.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return DirectoryMade::kExisted;
    std::string reason = std::strerror(error);
    if (error == EEXIST) reason += " (not a directory)";
    Diagnostics::warn("cannot create directory " + name + ": " + reason);
    return DirectoryMade::kFailed;
}

void ResultDirectories::cdir(const std::string& name) {
    if (makeDirectory(name) == DirectoryMade::kCreated) announceCreated(name);
}

void ResultDirectories::announceCreated(const std::string& name) {
    std::cout << "Directory " << name << " created\n";
}

void ResultDirectories::make(const std::string& dir) {
    if (!made.insert(dir).second) return;
    if (makeDirectory(dir) == DirectoryMade::kCreated) unannounced.insert(dir);
}

void ResultDirectories::use(const std::string& dir) {
    make(dir);
    if (unannounced.erase(dir) > 0) announceCreated(dir);
}
