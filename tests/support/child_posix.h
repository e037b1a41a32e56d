// A child process on POSIX systems: fork and exec, a non-blocking pipe for
// its standard output, and signals to end it.
#pragma once

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zvproc {

using ProcessId = pid_t;

// argv[0] run in dir with env changed, its standard error into errFile when
// one is named; its standard output gathers in `out`. Stopped when destroyed.
class Child {
  public:
    Child(const std::vector<std::string>& argv, const std::string& dir,
          const std::vector<EnvChange>& env = {}, const std::string& errFile = "") {
        int fds[2];
        if (pipe(fds) != 0) return;
        if ((pid = fork()) == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            if (!errFile.empty())
                dup2(open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            for (const EnvChange& c : env)
                c.second ? setenv(c.first.c_str(), c.second->c_str(), 1)
                         : unsetenv(c.first.c_str());
            std::vector<char*> args;
            for (const std::string& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            signal(SIGINT, SIG_DFL);
            if (chdir(dir.c_str()) == 0) execv(args[0], args.data());
            _exit(127);
        }
        close(fds[1]);
        fcntl(fd = fds[0], F_SETFL, O_NONBLOCK);
    }
    ~Child() {
        stop();
        if (fd >= 0) close(fd);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Waits up to ms for standard output; true when more came.
    bool pump(int ms) {
        pollfd p = {fd, POLLIN, 0};
        poll(&p, 1, ms); // only sleeps once the output has ended (fd < 0)
        const size_t before = out.size();
        char buffer[4096];
        ssize_t n = -1;
        while (fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0)
            out.append(buffer, size_t(n));
        if (n == 0) close(std::exchange(fd, -1));
        return out.size() != before;
    }
    // The exit status, 128 + the signal that ended it; -1 while it runs.
    int status() {
        int s = 0;
        if (pid > 0 && waitpid(pid, &s, WNOHANG) == pid) {
            pid = -1;
            code = WIFEXITED(s) ? WEXITSTATUS(s) : 128 + WTERMSIG(s);
        }
        return code;
    }
    // status(), waiting at most `seconds` for the end.
    int wait(double seconds = 10) {
        for (const double end = now() + seconds; status() < 0 && pid > 0 && now() < end;)
            pump(20);
        return code;
    }
    // SIGTERM, then SIGKILL after 10 s; the exit status.
    int stop() {
        if (pid > 0 && ::kill(pid, SIGTERM) == 0 && wait() < 0 && ::kill(pid, SIGKILL) == 0) wait();
        return code;
    }
    // Ends it at once (SIGKILL).
    bool kill() { return pid > 0 && ::kill(pid, SIGKILL) == 0; }
    ProcessId pid = -1;
    std::string out;

  private:
    int fd = -1, code = -1;
};

// Children of this process, running or unreaped (1 when there are any): a
// program started through a process already reaped is nobody's child here.
inline int leftoverProcesses(double = 0) {
    return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD ? 0 : 1;
}

} // namespace zvproc
