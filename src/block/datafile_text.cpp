// The working folder is the one thing here that differs by platform.
#include "block/datafile_text.h"

#include <cstdio>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

const char* workingFolder(char* buffer, int size) {
#ifdef _WIN32
    const DWORD n = GetCurrentDirectoryA(static_cast<DWORD>(size), buffer);
    if (n > 0 && n < static_cast<DWORD>(size)) return buffer;
#else
    if (getcwd(buffer, static_cast<size_t>(size))) return buffer;
#endif
    return "(the working folder cannot be named)";
}

} // namespace

const char* dataFileMessage(const char* text, const char* file, int listeningSolver) {
    // Process-wide: Simulink reads an error status after the call returns.
    static char message[2048];
    char folder[1024];
    const char* where = workingFolder(folder, sizeof folder);
    if (listeningSolver)
        std::snprintf(message, sizeof message,
                      "%s\nData file: %s\nA solver that listens for the block reads the data file "
                      "from its own working folder, not from %s: start it in the folder that "
                      "holds %s.",
                      text, file, where, file);
    else
        std::snprintf(message, sizeof message, "%s\nData file: %s\nWorking folder: %s", text, file,
                      where);
    return message;
}
