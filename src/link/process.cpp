// Starting the solver program: the one place where the link differs between
// Windows and POSIX (path separator, process creation).
#include <cstdio>
#include <cstring>

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
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {
// What follows the program in every solver command line.
const char SOLVER_ARGUMENTS[] = " ZVlink -i:";
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
    // A process group of its own: a Ctrl-C typed at a console that the host
    // shares with the solver is for the host, which then ends the run in
    // order with the solver.
    if (!CreateProcessA(nullptr, line, &processAttributes, &threadAttributes, FALSE,
                        CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &created))
        return 0;
    CloseHandle(created.hThread);
    CloseHandle(created.hProcess);
    return 1;
}

#else

int formatSolverCommand(char* buffer, int size, const char* home, const char* version,
                        uint16_t port) {
    int n = snprintf(buffer, size, "%s/v%s/Zelvane/bin/zelvane%s%hu", home, version,
                     SOLVER_ARGUMENTS, port);
    return n >= 0 && n < size;
}

namespace {

// The solver must not hold the host's sockets and files: a copy of the
// link's socket in the solver would keep the connection alive after the
// block closed it. Only async-signal-safe calls: this runs after fork.
void closeInheritedFiles(int keep) {
#if defined(SYS_close_range)
    if ((keep <= 3 || syscall(SYS_close_range, 3u, unsigned(keep - 1), 0u) == 0) &&
        syscall(SYS_close_range, unsigned(keep + 1), ~0u, 0u) == 0)
        return;
#endif
    long last = sysconf(_SC_OPEN_MAX);
    if (last < 0 || last > 65536) last = 65536;
    for (int fd = 3; fd < last; ++fd)
        if (fd != keep) close(fd);
}

void reportAndExit(int pipe, int code) {
    int error = errno;
    ssize_t ignored = write(pipe, &error, sizeof error);
    (void)ignored;
    _exit(code);
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

    // The pipe closes unwritten when exec succeeds; a failure sends errno.
    int report[2];
    if (pipe(report) != 0) return 0;
    if (fcntl(report[0], F_SETFD, FD_CLOEXEC) != 0 || fcntl(report[1], F_SETFD, FD_CLOEXEC) != 0) {
        close(report[0]);
        close(report[1]);
        return 0;
    }
    // The solver is started by a short-lived intermediate process, so it is
    // nobody's child here and cannot linger as a zombie in a long-lived host.
    pid_t intermediate = fork();
    if (intermediate < 0) {
        close(report[0]);
        close(report[1]);
        return 0;
    }
    if (intermediate == 0) {
        close(report[0]);
        pid_t solver = fork();
        if (solver < 0) reportAndExit(report[1], 1);
        if (solver == 0) {
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            // A session of its own: a Ctrl-C typed at the host's terminal is
            // for the host, which then ends the run in order with the solver.
            setsid();
            closeInheritedFiles(report[1]);
            execv(program, argv);
            reportAndExit(report[1], 127);
        }
        _exit(0);
    }
    close(report[1]);
    int status = 0;
    while (waitpid(intermediate, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t got;
    do
        got = read(report[0], &error, sizeof error);
    while (got < 0 && errno == EINTR);
    close(report[0]);
    return got == 0;
}

#endif
