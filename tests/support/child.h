// Programs run as children of a test, every wait bounded.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/zvtest.h"

namespace zvproc {

inline double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Whether done() came true within `seconds`, asked every 20 ms.
inline bool within(double seconds, const std::function<bool()>& done) {
    for (const double end = now() + seconds;;
         std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        if (done()) return true;
        if (now() > end) return false;
    }
}

// name = value, or name removed when there is no value.
using EnvChange = std::pair<std::string, std::optional<std::string>>;

} // namespace zvproc

#ifdef _WIN32
#include "support/child_windows.h"
#else
#include "support/child_posix.h"
#endif

namespace zvproc {

struct Finished {
    int status = -1; // as Child::status()
    bool timedOut = false;
    std::string out, err;
};

// Runs argv to its end. watch sees standard output each time it grows and
// may signal the child; a child still running after limitSeconds is killed.
inline Finished runChild(const std::vector<std::string>& argv, const std::string& dir,
                         const std::vector<EnvChange>& env,
                         const std::function<void(ProcessId, const std::string&)>& watch = {},
                         double limitSeconds = 60) {
    Finished r;
    const std::string errFile = dir + "/stderr.txt";
    Child c(argv, dir, env, errFile);
    // What it starts may hold standard output open after it: the end is its exit.
    for (const double deadline = now() + limitSeconds; c.status() < 0 && c.pid > 0;) {
        if (c.pump(50) && watch) watch(c.pid, c.out);
        if (now() > deadline && !r.timedOut) r.timedOut = c.kill();
    }
    c.pump(0);
    r.status = c.status();
    r.out = c.out;
    r.err = zvtest::readFile(errFile);
    return r;
}

} // namespace zvproc
