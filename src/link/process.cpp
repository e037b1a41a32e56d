// Starting the solver program and keeping an eye on it: the one place where
// the link differs between Windows and POSIX (path separator, process
// creation, exit status, ending a process).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "link/link.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {
// What follows the program in every solver command line.
const char SOLVER_ARGUMENTS[] = " ZVlink -i:";

void describeExit(char* how, int size, bool signalled, int code) {
    if (!how || size <= 0) return;
    if (signalled)
        snprintf(how, size_t(size), "was ended by signal %d", code);
    else
        snprintf(how, size_t(size), "exited with status %d", code);
}

char startFailure[192] = "";

// Polls until done() or the time has passed; true when done() became true.
template <typename Done> bool pollFor(int milliseconds, Done done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        pauseLink(20);
    }
}
} // namespace

#ifdef _WIN32

int formatSolverCommand(char* buffer, int size, const char* home, const char* version,
                        uint16_t port) {
    // Unquoted, a blank or a tab would end the program name early. A home
    // written in quotes, as for a shell, is quoted once, around the whole
    // program path: CreateProcessA takes the first quoted part as the
    // program, so "home"\v... would name the home folder.
    size_t homeLength = strlen(home);
    if (homeLength >= 2 && home[0] == '"' && home[homeLength - 1] == '"') {
        ++home;
        homeLength -= 2;
    }
    bool blank = strpbrk(version, " \t") != nullptr;
    for (size_t i = 0; i < homeLength && !blank; ++i)
        blank = home[i] == ' ' || home[i] == '\t';
    const char* quote = blank ? "\"" : "";
    if (homeLength >= size_t(size)) return 0;
    int n = snprintf(buffer, size, "%s%.*s\\v%s\\Zelvane\\bin\\zelvane%s%s%hu", quote,
                     int(homeLength), home, version, quote, SOLVER_ARGUMENTS, port);
    return n >= 0 && n < size;
}

void pauseLink(int milliseconds) {
    Sleep(DWORD(milliseconds));
}

namespace {

// The solver this process launched; its handle tells when and how it ended.
struct Launched {
    HANDLE process; // nullptr: none watched
    DWORD id;
};
Launched launched = {nullptr, 0};

void forget(void) {
    if (launched.process) CloseHandle(launched.process);
    launched = {nullptr, 0};
}

bool hasEnded(void) {
    return !launched.process || WaitForSingleObject(launched.process, 0) == WAIT_OBJECT_0;
}

} // namespace

int startSolverProcess(const char* commandLine) {
    char line[LINK_COMMAND_SIZE]; // CreateProcessA may write to its command line
    if (strlen(commandLine) >= sizeof line) return 0;
    strcpy(line, commandLine);
    SECURITY_ATTRIBUTES processAttributes = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    SECURITY_ATTRIBUTES threadAttributes = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USECOUNTCHARS;
    startup.dwXCountChars = 80;
    startup.dwYCountChars = 400;
    PROCESS_INFORMATION created;
    // A solver from an earlier link that nobody gave up on runs on alone.
    forget();
    // A process group of its own: a Ctrl-C typed at a console that the host
    // shares with the solver is for the host, which then ends the run in
    // order with the solver.
    startFailure[0] = '\0';
    if (!CreateProcessA(nullptr, line, &processAttributes, &threadAttributes, FALSE,
                        CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &created)) {
        const DWORD error = GetLastError();
        int n = int(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, startFailure, sizeof startFailure, nullptr));
        // The system's texts end in a line break, and Wine has none for some codes.
        while (n > 0 && (startFailure[n - 1] == '\n' || startFailure[n - 1] == '\r'))
            startFailure[--n] = '\0';
        if (n <= 0) snprintf(startFailure, sizeof startFailure, "system error %lu", error);
        return 0;
    }
    CloseHandle(created.hThread);
    // The process handle is kept to watch the solver and, when the block
    // gives up on it, to end it.
    launched = {created.hProcess, created.dwProcessId};
    return 1;
}

int launchedSolverEnded(char* how, int size) {
    if (!launched.process || !hasEnded()) return 0;
    DWORD code = 0;
    if (!GetExitCodeProcess(launched.process, &code))
        snprintf(how, size_t(size), "ended");
    else
        describeExit(how, size, false, int(code));
    return 1;
}

int launchedSolverId(void) {
    return int(launched.id);
}

int stopLaunchedSolver(int graceMilliseconds) {
    if (!launched.process) return 0;
    int how = 0;
    if (!hasEnded()) {
        how = 1;
        // Ctrl-Break reaches a process group of its own where it shares the
        // host's console; elsewhere only the grace period passes.
        GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, launched.id);
        if (!pollFor(graceMilliseconds, hasEnded)) {
            how = 2;
            TerminateProcess(launched.process, 1);
            WaitForSingleObject(launched.process, 2000);
        }
    }
    forget();
    return how;
}

void releaseLaunchedSolver(void) {
    forget();
}

#else

int formatSolverCommand(char* buffer, int size, const char* home, const char* version,
                        uint16_t port) {
    int n = snprintf(buffer, size, "%s/v%s/Zelvane/bin/zelvane%s%hu", home, version,
                     SOLVER_ARGUMENTS, port);
    return n >= 0 && n < size;
}

void pauseLink(int milliseconds) {
    poll(nullptr, 0, milliseconds);
}

namespace {

// The solver this process launched. It is started by a watcher process
// that is nobody's child here (its parent exits at once), so a host that
// lives on collects no zombies; the watcher sends the solver's process id,
// then, once the solver has ended, its wait status.
struct Launched {
    pid_t pid;    // 0: none watched
    int statusFd; // read end of the watcher's pipe
    int ended;    // the wait status has arrived
    int status;
};
Launched launched = {0, -1, 0, 0};

// Closes every file from 3 up but the two kept: the solver and its watcher
// must not hold the host's sockets, or a connection would outlive the
// block's close. Only async-signal-safe calls: this runs after fork.
void closeInheritedFiles(int keepA, int keepB) {
    int low = keepA < keepB ? keepA : keepB;
    int high = keepA < keepB ? keepB : keepA;
#if defined(SYS_close_range)
    if ((low <= 3 || syscall(SYS_close_range, 3u, unsigned(low - 1), 0u) == 0) &&
        (high <= low + 1 ||
         syscall(SYS_close_range, unsigned(low + 1), unsigned(high - 1), 0u) == 0) &&
        syscall(SYS_close_range, unsigned(high + 1), ~0u, 0u) == 0)
        return;
#endif
    long last = sysconf(_SC_OPEN_MAX);
    if (last < 0 || last > 65536) last = 65536;
    for (int fd = 3; fd < last; ++fd)
        if (fd != keepA && fd != keepB) close(fd);
}

int failedWith(int error) {
    snprintf(startFailure, sizeof startFailure, "%s", strerror(error));
    return 0;
}

void reportAndExit(int pipe, int code) {
    int error = errno;
    ssize_t ignored = write(pipe, &error, sizeof error);
    (void)ignored;
    _exit(code);
}

void writeAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        size -= size_t(n);
    }
}

// Runs in the watcher: starts the solver and reports on it.
void watchSolver(char* program, char** argv, int report, int status) {
    struct sigaction ignore;
    memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, nullptr); // the block may have stopped listening
    pid_t solver = fork();
    if (solver < 0) reportAndExit(report, 1);
    if (solver == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        ignore.sa_handler = SIG_DFL;
        sigaction(SIGPIPE, &ignore, nullptr);
        execv(program, argv);
        reportAndExit(report, 127);
    }
    close(report);
    writeAll(status, &solver, sizeof solver);
    int waited = 0;
    while (waitpid(solver, &waited, 0) < 0 && errno == EINTR) {
    }
    writeAll(status, &waited, sizeof waited);
    _exit(0);
}

void forget(void) {
    if (launched.statusFd >= 0) close(launched.statusFd);
    launched = {0, -1, 0, 0};
}

// Takes the wait status if the watcher has sent it.
bool collect(void) {
    if (!launched.pid) return true;
    if (launched.ended) return true;
    int waited = 0;
    ssize_t got;
    do
        got = read(launched.statusFd, &waited, sizeof waited);
    while (got < 0 && errno == EINTR);
    if (got == sizeof waited) {
        launched.ended = 1;
        launched.status = waited;
    } else if (got == 0) {
        // The watcher went without a word: nothing is left to watch.
        launched.ended = 1;
        launched.status = -1;
    }
    return launched.ended != 0;
}

} // namespace

int startSolverProcess(const char* commandLine) {
    // The program path may hold blanks, so it is not split on them: it is
    // everything before the fixed arguments.
    const char* arguments = nullptr;
    for (const char* p = strstr(commandLine, SOLVER_ARGUMENTS); p;
         p = strstr(p + 1, SOLVER_ARGUMENTS))
        arguments = p;
    if (!arguments || arguments == commandLine) return 0;
    char program[LINK_COMMAND_SIZE];
    size_t programLength = size_t(arguments - commandLine);
    if (programLength >= sizeof program) return 0;
    memcpy(program, commandLine, programLength);
    program[programLength] = '\0';
    char name[] = "ZVlink";
    char port[LINK_COMMAND_SIZE];
    snprintf(port, sizeof port, "-i:%s", arguments + strlen(SOLVER_ARGUMENTS));
    char* argv[] = {program, name, port, nullptr};

    // A solver from an earlier link that nobody gave up on runs on alone.
    forget();
    // report closes unwritten when exec succeeds; a failure sends errno.
    // status carries the solver's process id, then its wait status.
    startFailure[0] = '\0';
    int report[2], status[2];
    if (pipe(report) != 0) return failedWith(errno);
    if (pipe(status) != 0) {
        const int error = errno;
        close(report[0]);
        close(report[1]);
        return failedWith(error);
    }
    bool ready = true;
    for (int fd : {report[0], report[1], status[0], status[1]})
        ready = ready && fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
    pid_t intermediate = ready ? fork() : -1;
    if (intermediate < 0) {
        const int error = errno;
        for (int fd : {report[0], report[1], status[0], status[1]})
            close(fd);
        return failedWith(error);
    }
    if (intermediate == 0) {
        close(report[0]);
        close(status[0]);
        pid_t watcher = fork();
        if (watcher < 0) reportAndExit(report[1], 1);
        if (watcher == 0) {
            // A session of its own: a Ctrl-C typed at the host's terminal
            // is for the host, which then ends the run in order with the
            // solver.
            setsid();
            closeInheritedFiles(report[1], status[1]);
            watchSolver(program, argv, report[1], status[1]);
        }
        _exit(0);
    }
    close(report[1]);
    close(status[1]);
    int waited = 0;
    while (waitpid(intermediate, &waited, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t got;
    do
        got = read(report[0], &error, sizeof error);
    while (got < 0 && errno == EINTR);
    close(report[0]);
    pid_t solver = 0;
    if (got == 0) {
        ssize_t n;
        do
            n = read(status[0], &solver, sizeof solver);
        while (n < 0 && errno == EINTR);
        if (n != sizeof solver) solver = 0;
    }
    if (got != 0 || solver <= 0 || fcntl(status[0], F_SETFL, O_NONBLOCK) != 0) {
        close(status[0]);
        if (got == ssize_t(sizeof error)) failedWith(error); // the exec's own errno
        return got == 0;
    }
    launched = {solver, status[0], 0, 0};
    return 1;
}

int launchedSolverEnded(char* how, int size) {
    if (!launched.pid || !collect()) return 0;
    if (launched.status < 0)
        snprintf(how, size_t(size), "ended");
    else
        describeExit(how, size, WIFSIGNALED(launched.status),
                     WIFSIGNALED(launched.status) ? WTERMSIG(launched.status)
                                                  : WEXITSTATUS(launched.status));
    return 1;
}

int launchedSolverId(void) {
    return launched.pid;
}

int stopLaunchedSolver(int graceMilliseconds) {
    if (!launched.pid) return 0;
    int how = 0;
    if (!collect()) {
        how = 1;
        kill(launched.pid, SIGTERM);
        if (!pollFor(graceMilliseconds, collect)) {
            how = 2;
            kill(launched.pid, SIGKILL);
            pollFor(2000, collect);
        }
    }
    forget();
    return how;
}

void releaseLaunchedSolver(void) {
    forget();
}

#endif

const char* solverStartFailure(void) {
    return startFailure;
}
