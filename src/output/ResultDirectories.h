#ifndef TESSALY_RESULTDIRECTORIES_H
#define TESSALY_RESULTDIRECTORIES_H

#include <set>
#include <string>

// The result directories of an analysis. They can be made silently before the
// analysis writes its first result; the console line "Directory DIR created"
// still comes where the analysis first uses the directory, its place in the
// console text.
class ResultDirectories {
public:
    // Makes directory `name`. One that exists already as a directory is no
    // failure; any other failure warns "cannot create directory NAME: REASON".
    enum class DirectoryMade { kCreated, kExisted, kFailed };
    static DirectoryMade makeDirectory(const std::string& name);
    // makeDirectory, and "Directory NAME created" on standard output when it
    // was created.
    static void cdir(const std::string& name);
    // "Directory NAME created" on standard output.
    static void announceCreated(const std::string& name);

    // Makes the directory now, printing nothing (a failure is warned about).
    void make(const std::string& dir);
    // The directory as an analysis starts to use it: made if it is not yet,
    // and announced the first time when this object created it.
    void use(const std::string& dir);

private:
    std::set<std::string> made;
    std::set<std::string> unannounced;  // created here, not yet announced
};

#endif
