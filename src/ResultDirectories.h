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
