// Helpers shared by the test folders: scratch folders, standard output,
// environment variables and the link log, all process-wide state that a test
// must leave as it found it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#ifdef _WIN32
#include <io.h>
#include <process.h>
#else
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "log/zvlog.h"

namespace zvtest {

// Whether text holds part (lacks: does not); a failure shows the whole text.
inline ::testing::AssertionResult holds(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no \"" << part << "\" in:\n" << text;
}
inline ::testing::AssertionResult lacks(const std::string& text, const std::string& part) {
    if (text.find(part) == std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << part << "\" in:\n" << text;
}

// Text files and console output end their lines with CR LF on Windows; the
// tests compare what the lines hold.
inline std::string withoutCarriageReturns(std::string text) {
#ifdef _WIN32
    size_t kept = 0;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            text[kept++] = text[i];
    text.resize(kept);
#endif
    return text;
}

// The folder a program names after "Working folder: " as the program's
// platform spells it, replaced by "*": tests that run programs elsewhere
// compare the rest.
inline std::string maskedFolders(std::string text) {
    const std::string key = "Working folder: ";
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
        const size_t from = at + key.size();
        text.replace(from, text.find('\n', from) - from, "*");
    }
    return text;
}

// The file's content, lines ending in a bare LF on every platform.
inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return withoutCarriageReturns(std::string(std::istreambuf_iterator<char>(in), {}));
}

// Sets (value non-null) or removes an environment variable of the process,
// which the programs it starts inherit.
inline void setEnv(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value ? value : ""); // an empty value removes it
#else
    value ? setenv(name, value, 1) : unsetenv(name);
#endif
}

inline void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

// A scratch folder for the life of the object (the working folder is not changed).
class TempDir {
  public:
    // Always a folder of its own: process numbers come round again soon on
    // Windows, and a folder that a program still held open may have stayed.
    TempDir() {
        static int counter = 0;
        std::error_code ec;
        do
            path_ = std::filesystem::temp_directory_path() /
                    ("zvtest-" + std::to_string(getpid()) + "-" + std::to_string(++counter));
        while (!std::filesystem::create_directories(path_, ec) && !ec);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // Writes a file in the folder and gives its path.
    std::string file(const std::string& name, const std::string& content) const {
        std::string p = path(name);
        writeFile(p, content);
        return p;
    }
    std::string path(const std::string& name = "") const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

// A fresh working folder for the life of the object; also leaves the log
// closed and at its initial level on the way in and out.
struct LogSandbox {
    LogSandbox() {
        resetLog();
        std::error_code ec;
        old = std::filesystem::current_path(ec).string();
        std::filesystem::current_path(scratch.path(), ec);
        if (!ec) dir = scratch.path();
    }
    ~LogSandbox() {
        resetLog();
        std::error_code ec;
        if (!dir.empty()) std::filesystem::current_path(old, ec); // scratch then goes
    }
    static void resetLog() {
        setLogLevel(LOG_WARN); // the closing notice is not wanted here
        closeLog();
        setLogLevel(LOG_INFO);
    }
    TempDir scratch;
    std::string dir, old;
};

// Sends file descriptor 1 to a temporary file until text() is called.
struct StdoutCapture {
    StdoutCapture() : tmp(openScratch()), saved(dup(1)) {
        fflush(stdout);
        if (tmp) dup2(fileno(tmp), 1);
    }
    ~StdoutCapture() { text(); }
    std::string text() {
        if (saved < 0 || !tmp) return {};
        fflush(stdout);
        dup2(saved, 1);
        close(saved);
        saved = -1;
        std::string out;
        rewind(tmp);
        for (int c; (c = fgetc(tmp)) != EOF;)
            out += static_cast<char>(c);
        fclose(tmp);
        return withoutCarriageReturns(out);
    }
    // tmpfile() on Windows writes to the root of the drive, which a user may not.
    FILE* openScratch() {
#ifdef _WIN32
        return std::fopen(folder.path("stdout.txt").c_str(), "w+b");
#else
        return std::tmpfile();
#endif
    }
#ifdef _WIN32
    TempDir folder;
#endif
    FILE* tmp;
    int saved;
};

// Sets (value non-null) or removes an environment variable until destruction.
struct EnvVar {
    EnvVar(const char* name, const char* value) : name(name), had(getenv(name) != nullptr) {
        if (had) old = getenv(name);
        setEnv(name, value);
    }
    ~EnvVar() { setEnv(name.c_str(), had ? old.c_str() : nullptr); }
    std::string name, old;
    bool had;
};

} // namespace zvtest
