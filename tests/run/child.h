// Programs run as children for the end-to-end tests: in a given folder,
// with a changed environment, output captured, and every wait bounded.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace runtest {

// name = value, or name removed when there is no value.
using EnvChange = std::pair<std::string, std::optional<std::string>>;

struct ChildResult {
    int exitCode = -1; // when the child exited
    int signal = 0;    // when a signal ended it
    bool timedOut = false;
    std::string out, err;
};

// Runs argv[0] with argv in dir. watch, when given, sees standard output
// every time it grows and may signal the child. A child still running after
// limitSeconds is killed and reported as timed out.
ChildResult runChild(const std::vector<std::string>& argv, const std::string& dir,
                     const std::vector<EnvChange>& env,
                     const std::function<void(pid_t, const std::string&)>& watch = {},
                     double limitSeconds = 60.0);

// A child left running in the background (a listening solver).
struct Background {
    pid_t pid = -1;
    int outFd = -1;
    // Reads standard output until it holds text, for at most limitSeconds.
    bool waitFor(const std::string& text, std::string& seen, double limitSeconds = 30.0);
    // SIGTERM, then SIGKILL if it has not gone within a few seconds; reaps it.
    void stop();
    ~Background() { stop(); }
};

bool startBackground(const std::vector<std::string>& argv, const std::string& dir,
                     Background& child);

} // namespace runtest
