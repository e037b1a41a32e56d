#include "dynlib.h"

#include "zvsim_config.h"

#if ZVSIM_CONFIG_WINDOWS
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <vector>

namespace zvsim {

#if ZVSIM_CONFIG_WINDOWS

const char* mexSuffix() {
    return ".mexw64";
}

std::string executableFolder() {
    std::vector<char> buffer(32768);
    const DWORD n = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0 || n >= buffer.size()) return std::string();
    std::string path(buffer.data(), n);
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

MexLibrary::~MexLibrary() {
    runExitFunction();
    if (handle_) FreeLibrary(static_cast<HMODULE>(handle_));
}

bool MexLibrary::open(const std::string& path, std::string& error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (!module) {
        error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    FARPROC symbol = GetProcAddress(module, "mexFunction");
    if (!symbol) {
        FreeLibrary(module);
        error = path + " has no mexFunction";
        return false;
    }
    handle_ = module;
    entry_ = reinterpret_cast<zvhost::MexEntry>(reinterpret_cast<void (*)()>(symbol));
    return true;
}

#else

const char* mexSuffix() {
#ifdef __APPLE__
    return ".mexmaci64";
#else
    return ".mexa64";
#endif
}

std::string executableFolder() {
    std::vector<char> buffer(4096);
    const ssize_t n = readlink(ZVSIM_CONFIG_SELF_EXE, buffer.data(), buffer.size());
    if (n <= 0 || static_cast<size_t>(n) >= buffer.size()) return std::string();
    std::string path(buffer.data(), static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

MexLibrary::~MexLibrary() {
    runExitFunction();
    if (handle_) dlclose(handle_);
}

bool MexLibrary::open(const std::string& path, std::string& error) {
    // A bare file name would send dlopen searching the library path.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        error = "cannot load " + path + ": " + (why ? why : "unknown error");
        return false;
    }
    void* symbol = dlsym(handle, "mexFunction");
    if (!symbol) {
        dlclose(handle);
        error = path + " has no mexFunction";
        return false;
    }
    handle_ = handle;
    entry_ = reinterpret_cast<zvhost::MexEntry>(symbol);
    return true;
}

#endif

void MexLibrary::runExitFunction() {
    if (!entry_) return;
    const zvhost::CallResult result = zvhost::unloadMex(entry_);
    if (!result.ok)
        zvhost::printToErrorStream("Error in the MEX file's exit function: " + result.error + "\n");
}

} // namespace zvsim
