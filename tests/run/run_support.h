// What the end-to-end tests share: programs run as children (every wait
// bounded), a fresh folder holding the demo model, and the texts that the
// block prints into the command window.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <functional>
#include <optional>
#include <sstream>
#include <vector>

#include "support/zvtest.h"

namespace runtest {

inline double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Appends what can be read now; false at end of file or on an error.
inline bool drain(int fd, std::string& into) {
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        into.append(buffer, size_t(n));
    return n < 0 && (errno == EAGAIN || errno == EINTR);
}

// name = value, or name removed when there is no value.
using EnvChange = std::pair<std::string, std::optional<std::string>>;

// Starts argv[0] in dir, its standard error to errFile if given; *out reads
// its standard output.
inline pid_t spawn(const std::vector<std::string>& argv, const std::string& dir,
                   const std::vector<EnvChange>& env, int* out, const std::string& errFile = "") {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        if (chdir(dir.c_str()) != 0) _exit(126);
        if (!errFile.empty()) dup2(open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        for (const EnvChange& c : env)
            c.second ? setenv(c.first.c_str(), c.second->c_str(), 1) : unsetenv(c.first.c_str());
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        signal(SIGINT, SIG_DFL);
        execv(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    fcntl(*out = fds[0], F_SETFL, O_NONBLOCK);
    return pid;
}

struct ChildResult {
    int exitCode = -1, signal = 0; // the one that ended it
    bool timedOut = false;
    std::string out, err;
};

// Runs argv to its end. watch sees standard output each time it grows and
// may signal the child. A child still running after limitSeconds is killed.
inline ChildResult runChild(const std::vector<std::string>& argv, const std::string& dir,
                            const std::vector<EnvChange>& env,
                            const std::function<void(pid_t, const std::string&)>& watch = {},
                            double limitSeconds = 60.0) {
    ChildResult r;
    int out = -1, status = 0;
    const std::string errFile = dir + "/stderr.txt";
    const pid_t pid = spawn(argv, dir, env, &out, errFile);
    if (pid <= 0) return r;
    // The solver inherits the pipe and may outlive zvsim: the end is zvsim's exit.
    for (const double deadline = now() + limitSeconds;;) {
        pollfd fd = {out, POLLIN, 0};
        poll(&fd, 1, 50);
        const size_t before = r.out.size();
        drain(out, r.out);
        if (watch && r.out.size() != before) watch(pid, r.out);
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) break;
        if (now() > deadline && !r.timedOut) r.timedOut = kill(pid, SIGKILL) == 0;
    }
    drain(out, r.out);
    close(out);
    r.err = zvtest::readFile(errFile);
    if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
    return r;
}

// A child left running (a listening solver); SIGTERM, then SIGKILL, at the end.
struct Background {
    pid_t pid = -1;
    int out = -1;
    Background(const std::vector<std::string>& argv, const std::string& dir) {
        pid = spawn(argv, dir, {}, &out);
    }
    ~Background() { stop(); }
    // The first line of its standard output (waits at most 30 s a character).
    std::string firstLine() {
        std::string line;
        char c;
        pollfd fd = {out, POLLIN, 0};
        while (poll(&fd, 1, 30000) == 1 && read(out, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }
    void stop() {
        if (pid > 0) kill(pid, SIGTERM);
        for (double end = now() + 10; pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0; usleep(20000))
            if (now() > end) kill(pid, SIGKILL);
        pid = -1;
        if (out >= 0) close(out);
        out = -1;
    }
};

class RunFolder : public ::testing::Test {
  protected:
    void SetUp() override { dir.file("tank.dat", zvtest::readFile(ZVTEST_DEMO_MODEL)); }
    std::string file(const std::string& name) const { return zvtest::readFile(dir.path(name)); }
    // The tank model with one of its solver lines replaced (dropped when `with` is empty).
    void writeTankVariant(const std::string& name, const std::string& line,
                          const std::string& with) {
        std::string text = file("tank.dat");
        const size_t at = text.find(line);
        ASSERT_NE(at, std::string::npos);
        dir.file(name, text.replace(at, line.size() + 1, with.empty() ? "" : with + "\n"));
    }
    zvtest::TempDir dir;
};

// Standard output without the link log's lines: what the block and zvsim print.
inline std::string commandWindow(const std::string& out) {
    std::string kept, line;
    std::istringstream lines(out);
    while (std::getline(lines, line)) {
        if (line.rfind("INFO: ", 0) == 0 || line.rfind("WARN: ", 0) == 0 ||
            line.rfind("ERROR: ", 0) == 0 || line.rfind("DEBUG: ", 0) == 0)
            continue;
        kept += line;
        if (!lines.eof()) kept += '\n';
    }
    return kept;
}

inline std::string startSummary(const std::string& model, const std::string& product,
                                const std::string& source, const std::string& timestep, int nIn,
                                int nOut) {
    return "Model:                       " + model + "\nProduct:                     " + product +
           "\nSimulation Duration Source:  " + source +
           "\nTimestep:                    " + timestep +
           "\nInputs:                      " + std::to_string(nIn) +
           "\nOutputs:                     " + std::to_string(nOut) + "\n";
}

inline std::string blockError(const std::string& model, const std::string& text) {
    return "Error reported by S-function 'zelvanesl61' in '" + model + "/Zelvane':\n" + text;
}

const char COMPLETED[] = "\n\nThe Simulink simulation has completed.\n"
                         "\n\nThe ZV simulation may continue...\n"
                         "The ZV simulation has completed.\n";
const char SIMULTANEOUS[] = "The ZV and Simulink simulation have completed simultaneously.\n";
const char REFUSED[] = "The ZV simulation has been interrupted due to a Simulink error. \n"
                       "Please review the Simulink error message window for more details.\n";
const char INTERRUPTED[] = "The Simulink simulation has been interrupted.\n";
const char SOLVER_ERROR[] = "\n\nAn error has occurred in the ZELVANE application.\n"
                            "Examine the screen.zv and the output (*.out) file for error "
                            "messages.\n";
const char ERRSTOP_HINT[] = "Enter 'errstop61('name_of_mdl_file')' in the MATLAB Command Window "
                            "to clear the simulation.\n";

const char NOTICE_UNKNOWN[] = "\nI*** The Simulation Duration of the ZV model is unknown and "
                              "cannot be compared to the Simulink Stop Time.\n\n";
const char NOTICE_GREATER[] =
    "\nI*** The Simulation Duration of the ZV model is greater than the Simulink Stop Time.\n"
    "After reaching the Simulink Stop Time, the inputs to the ZV model will be frozen and the "
    "simulation will continue.\n\n";
const char NOTICE_LESS_FILES[] =
    "\nI*** The Simulation Duration of the ZV model is less than the Simulink Stop Time.\n"
    "ZV model output will be produced when the model reaches the Simulation Duration.\n"
    "The .OUT and .RLT files may be very large.\n\n";
const char NOTICE_LESS_STOPS[] =
    "\nI*** The Simulation Duration of the ZV model is less than the Simulink Stop Time.\n"
    "Simulink will be stopped when the ZV simulation completes.\n\n";

} // namespace runtest
