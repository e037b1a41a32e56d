// zvdoctor's view of the platform: what a MEX file needs and whether this
// machine gives it, and the few file and network facts the checks ask for.
// Everything that differs between Linux and Windows is in platform.cpp.
#pragma once

#include <string>
#include <vector>

namespace zvdoctor {

// What the loader will be asked for, read from the file itself.
struct MexImage {
    bool readable = false;           // a library of this platform's kind
    std::string error;               // why not, when not
    std::vector<std::string> needed; // libraries it names
    // Linux: the highest GLIBC_ and GLIBCXX_ versions its symbols need
    // (empty: none).
    std::string glibc, glibcxx;
};

MexImage readMexImage(const std::string& path);
// Whether the loader finds a library the MEX file names (from the MEX
// file's folder, or where the system looks).
bool libraryFound(const std::string& name, const std::string& mexFolder);
// This machine's versions: the C library's, and the highest GLIBCXX_ of the
// C++ runtime that programs load here (with its path in *where). Empty
// where the platform has none.
std::string glibcAvailable();
std::string glibcxxAvailable(std::string* where);
// Loads the file as a host would (every symbol bound now) and looks for
// mexFunction; the loader's own text in *error on failure. *exported says
// whether mexFunction was found once loaded. The file is unloaded again.
bool loadMex(const std::string& path, std::string* error, bool* exported);

// The folder of the running program, without a trailing separator.
std::string executableFolder();
const char* mexSuffix();
const char* programSuffix(); // ".exe" on Windows
const char* nullDevice();
bool isExecutable(const std::string& path);

// "2.36" against "2.4": by numbers, field by field. Negative, 0, positive.
int compareVersions(const std::string& a, const std::string& b);

} // namespace zvdoctor
