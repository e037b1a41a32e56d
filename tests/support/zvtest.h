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
#include <unistd.h>

#include "log/zvlog.h"

namespace zvtest {

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

// A scratch folder for the life of the object (the working folder is not changed).
class TempDir {
  public:
    TempDir() {
        static int counter = 0;
        path_ = std::filesystem::temp_directory_path() /
                ("zvtest-" + std::to_string(getpid()) + "-" + std::to_string(++counter));
        std::filesystem::create_directories(path_);
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
        char templ[] = "/tmp/zvtest.XXXXXX";
        char cwd[4096];
        if (mkdtemp(templ) && getcwd(cwd, sizeof cwd) && chdir(templ) == 0) dir = templ, old = cwd;
    }
    ~LogSandbox() {
        resetLog();
        if (dir.empty() || chdir(old.c_str()) != 0) return;
        std::system(("rm -rf '" + dir + "'").c_str());
    }
    static void resetLog() {
        setLogLevel(LOG_WARN); // the closing notice is not wanted here
        closeLog();
        setLogLevel(LOG_INFO);
    }
    std::string dir, old;
};

// Sends file descriptor 1 to a temporary file until text() is called.
struct StdoutCapture {
    StdoutCapture() : tmp(std::tmpfile()), saved(dup(1)) {
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
        return out;
    }
    FILE* tmp;
    int saved;
};

// Sets (value non-null) or removes an environment variable until destruction.
struct EnvVar {
    EnvVar(const char* name, const char* value) : name(name), had(getenv(name) != nullptr) {
        if (had) old = getenv(name);
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~EnvVar() { had ? setenv(name.c_str(), old.c_str(), 1) : unsetenv(name.c_str()); }
    std::string name, old;
    bool had;
};

} // namespace zvtest
