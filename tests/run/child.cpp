#include "child.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace runtest {

namespace {

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Only after fork; the test process has one thread.
[[noreturn]] void execIn(const std::vector<std::string>& argv, const std::string& dir,
                         const std::vector<EnvChange>& env) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    for (const EnvChange& change : env) {
        if (change.second)
            setenv(change.first.c_str(), change.second->c_str(), 1);
        else
            unsetenv(change.first.c_str());
    }
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    signal(SIGINT, SIG_DFL);
    execv(args[0], args.data());
    _exit(127);
}

// Appends what can be read now; false at end of file or on an error.
bool drain(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<size_t>(n));
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
}

} // namespace

ChildResult runChild(const std::vector<std::string>& argv, const std::string& dir,
                     const std::vector<EnvChange>& env,
                     const std::function<void(pid_t, const std::string&)>& watch,
                     double limitSeconds) {
    ChildResult result;
    int out[2], err[2];
    if (pipe(out) != 0) return result;
    if (pipe(err) != 0) {
        close(out[0]);
        close(out[1]);
        return result;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        execIn(argv, dir, env);
    }
    close(out[1]);
    close(err[1]);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    fcntl(err[0], F_SETFL, O_NONBLOCK);

    // The solver inherits the pipes and may outlive zvsim, so the end is
    // zvsim's exit, not the end of the pipes.
    const double deadline = now() + limitSeconds;
    int status = 0;
    for (;;) {
        pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        poll(fds, 2, 50);
        const size_t before = result.out.size();
        drain(out[0], result.out);
        drain(err[0], result.err);
        if (watch && result.out.size() != before) watch(pid, result.out);
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) break;
        if (now() > deadline && !result.timedOut) {
            result.timedOut = true;
            kill(pid, SIGKILL);
        }
    }
    drain(out[0], result.out);
    drain(err[0], result.err);
    close(out[0]);
    close(err[0]);
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

bool startBackground(const std::vector<std::string>& argv, const std::string& dir,
                     Background& child) {
    int out[2];
    if (pipe(out) != 0) return false;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        execIn(argv, dir, {});
    }
    close(out[1]);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    child.pid = pid;
    child.outFd = out[0];
    return pid > 0;
}

bool Background::waitFor(const std::string& text, std::string& seen, double limitSeconds) {
    const double deadline = now() + limitSeconds;
    while (seen.find(text) == std::string::npos) {
        if (now() > deadline) return false;
        pollfd fd = {outFd, POLLIN, 0};
        poll(&fd, 1, 50);
        if (!drain(outFd, seen) && seen.find(text) == std::string::npos) return false;
    }
    return true;
}

void Background::stop() {
    if (pid > 0) {
        kill(pid, SIGTERM);
        int status = 0;
        const double deadline = now() + 10.0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pid = -1;
    }
    if (outFd >= 0) close(outFd);
    outFd = -1;
}

} // namespace runtest
