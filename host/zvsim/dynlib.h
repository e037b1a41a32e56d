// Loading a MEX file and finding zvsim's own folder: the platform
// differences of the engine, all in dynlib.cpp.
#pragma once

#include "zvhost.h"

#include <string>

namespace zvsim {

// The suffix of a MEX file on this platform (".mexa64" on Linux x86-64).
const char* mexSuffix();

// The folder of the running executable, without a trailing separator;
// empty when it cannot be found.
std::string executableFolder();

class MexLibrary {
  public:
    MexLibrary() = default;
    ~MexLibrary();
    MexLibrary(const MexLibrary&) = delete;
    MexLibrary& operator=(const MexLibrary&) = delete;

    // Loads the library and finds its mexFunction; on failure error says why.
    bool open(const std::string& path, std::string& error);
    zvhost::MexEntry entry() const { return entry_; }

  private:
    // What the host does before it unloads the file: its mexAtExit function.
    void runExitFunction();

    void* handle_ = nullptr;
    zvhost::MexEntry entry_ = nullptr;
};

} // namespace zvsim
