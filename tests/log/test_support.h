// Helpers for tests that touch process-wide state: standard output, the
// working folder, environment variables and the link log.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "log/zvlog.h"

namespace zvtest {

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// A fresh folder that becomes the working folder until destruction.
class TempDir {
  public:
    TempDir() {
        char templ[] = "/tmp/zvtest.XXXXXX";
        if (mkdtemp(templ)) path_ = templ;
        char buf[4096];
        if (getcwd(buf, sizeof buf)) old_ = buf;
        if (!path_.empty() && chdir(path_.c_str()) != 0) path_.clear();
    }
    ~TempDir() {
        if (!old_.empty() && chdir(old_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << old_;
        if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
    }
    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    std::string old_;
};

// Sends file descriptor 1 to a temporary file until text() or destruction.
class StdoutCapture {
  public:
    StdoutCapture() {
        fflush(stdout);
        tmp_ = std::tmpfile();
        saved_ = dup(1);
        if (tmp_ && saved_ >= 0) dup2(fileno(tmp_), 1);
    }
    ~StdoutCapture() { restore(); }
    std::string text() {
        restore();
        if (!tmp_) return {};
        std::string out;
        rewind(tmp_);
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, tmp_)) > 0)
            out.append(buf, n);
        fclose(tmp_);
        tmp_ = nullptr;
        return out;
    }

  private:
    void restore() {
        if (saved_ < 0) return;
        fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        saved_ = -1;
    }
    FILE* tmp_ = nullptr;
    int saved_ = -1;
};

// Sets or clears an environment variable for the life of the object.
class EnvVar {
  public:
    EnvVar(const char* name, const char* value) : name_(name) {
        const char* old = getenv(name);
        had_ = old != nullptr;
        if (had_) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvVar() {
        if (had_)
            setenv(name_.c_str(), old_.c_str(), 1);
        else
            unsetenv(name_.c_str());
    }

  private:
    std::string name_;
    std::string old_;
    bool had_ = false;
};

// Leaves the log closed and at its initial level, before and after a test.
class LogReset {
  public:
    LogReset() { reset(); }
    ~LogReset() { reset(); }

  private:
    static void reset() {
        setLogLevel(LOG_INFO + 1); // back to dropping everything while the file closes
        closeLog();
        setLogLevel(LOG_INFO);
    }
};

} // namespace zvtest
