// Programs run as children of a test, every wait bounded; wire bytes built
// by hand; and, where the build defines ZVTEST_ZELVANE and ZVTEST_DEMO_MODEL
// (paths), the stand-in solver with the demo model and a client that speaks
// the link protocol to it.
#pragma once

#include <gtest/gtest.h>

#ifdef _WIN32
#include "support/net.h" // Winsock before windows.h
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <thread>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "protocol/protocol.h"
#include "protocol/catalogue.h"
#include "support/zvtest.h"

namespace zvproc {

using Bytes = std::string;

inline Bytes be32(uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
inline Bytes beDouble(double d) {
    uint64_t u;
    memcpy(&u, &d, 8);
    return be32(uint32_t(u >> 32)) + be32(uint32_t(u));
}
inline Bytes frame(uint32_t flag, const Bytes& body) {
    return be32(flag) + be32(uint32_t(body.size())) + body;
}
// A count-prefixed text field.
inline Bytes text(const std::string& t) {
    return be32(uint32_t(t.size())) + t;
}
// Function header: id, signature length with its NUL, the signature.
inline Bytes header(uint16_t id, const std::string& signature) {
    return Bytes{char(id >> 8), char(id), 0, char(signature.size() + 1)} + signature +
           Bytes(1, '\0');
}

inline double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// name = value, or name removed when there is no value.
using EnvChange = std::pair<std::string, std::optional<std::string>>;

#ifdef _WIN32

using ProcessId = DWORD;

// One argument as the C runtime of the program will split it again.
inline std::string quoteArgument(const std::string& a) {
    if (!a.empty() && a.find_first_of(" \t\"") == std::string::npos) return a;
    std::string q = "\"";
    size_t slashes = 0;
    for (char c : a) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        q.append(c == '"' ? 2 * slashes + 1 : slashes, '\\');
        slashes = 0;
        q += c;
    }
    return q.append(2 * slashes, '\\') + "\"";
}

// Every process the tests start, and whatever those start in turn, belongs
// to this job: what is left of them once a test is done can be counted.
inline HANDLE testJob() {
    static HANDLE job = [] {
        HANDLE j = CreateJobObjectA(nullptr, nullptr);
        if (j) AssignProcessToJobObject(j, GetCurrentProcess());
        return j;
    }();
    return job;
}

// Processes of the job other than this one, once they have had up to
// `seconds` to end.
inline int leftoverProcesses(double seconds = 10) {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
    for (const double end = now() + seconds;; Sleep(20)) {
        if (!QueryInformationJobObject(testJob(), JobObjectBasicAccountingInformation, &info,
                                       sizeof info, nullptr))
            return -1;
        if (info.ActiveProcesses <= 1 || now() > end) return int(info.ActiveProcesses) - 1;
    }
}

// argv[0] run in dir with env changed, its standard error into errFile when
// one is named; its standard output gathers in `out`. Stopped when destroyed.
class Child {
  public:
    Child(const std::vector<std::string>& argv, const std::string& dir,
          const std::vector<EnvChange>& env = {}, const std::string& errFile = "") {
        testJob();
        SECURITY_ATTRIBUTES inherited = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE outWrite = nullptr, inRead = nullptr;
        if (!CreatePipe(&outRead, &outWrite, &inherited, 0)) return;
        if (!CreatePipe(&inRead, &inWrite, &inherited, 0)) {
            CloseHandle(outWrite);
            return;
        }
        SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
        // Standard error: the file, else ours.
        HANDLE err = INVALID_HANDLE_VALUE;
        if (!errFile.empty())
            err = CreateFileA(errFile.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherited,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        else if (!DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE),
                                  GetCurrentProcess(), &err, 0, TRUE, DUPLICATE_SAME_ACCESS))
            err = INVALID_HANDLE_VALUE;
        std::string line;
        for (const std::string& a : argv)
            line += (line.empty() ? "" : " ") + quoteArgument(a);
        // The child takes the environment as it is when it starts.
        std::vector<EnvChange> saved;
        for (const EnvChange& c : env) {
            const char* old = getenv(c.first.c_str());
            saved.emplace_back(c.first, old ? std::optional<std::string>(old) : std::nullopt);
            zvtest::setEnv(c.first.c_str(), c.second ? c.second->c_str() : nullptr);
        }
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = inRead;
        startup.hStdOutput = outWrite;
        startup.hStdError = err;
        PROCESS_INFORMATION created{};
        if (CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, dir.c_str(),
                           &startup, &created)) {
            CloseHandle(created.hThread);
            process = created.hProcess;
            pid = created.dwProcessId;
        }
        for (auto it = saved.rbegin(); it != saved.rend(); ++it)
            zvtest::setEnv(it->first.c_str(), it->second ? it->second->c_str() : nullptr);
        CloseHandle(outWrite);
        CloseHandle(inRead);
        if (err != INVALID_HANDLE_VALUE) CloseHandle(err);
    }
    ~Child() {
        stop();
        if (outRead) CloseHandle(outRead);
        closeInput();
        if (process) CloseHandle(process);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Waits up to ms for standard output; true when more came.
    bool pump(int ms) {
        bool grew = false;
        for (const double end = now() + ms / 1000.0;;) {
            while (outRead) {
                DWORD ready = 0, n = 0;
                char buffer[4096];
                // A broken pipe: the output has ended.
                if (!PeekNamedPipe(outRead, nullptr, 0, nullptr, &ready, nullptr) ||
                    (ready > 0 && !ReadFile(outRead, buffer, std::min<DWORD>(ready, sizeof buffer),
                                            &n, nullptr))) {
                    CloseHandle(std::exchange(outRead, nullptr));
                    break;
                }
                if (n == 0) break;
                out.append(buffer, n);
                grew = true;
            }
            if (grew || now() >= end) break;
            Sleep(outRead ? 5 : DWORD(std::max(0.0, (end - now()) * 1000)));
        }
        if (grew) out = zvtest::withoutCarriageReturns(std::move(out));
        return grew;
    }
    // The exit status; -1 while it runs.
    int status() {
        DWORD code = 0;
        if (process && WaitForSingleObject(process, 0) == WAIT_OBJECT_0 &&
            GetExitCodeProcess(process, &code)) {
            CloseHandle(std::exchange(process, nullptr));
            pid = 0;
            exitCode = int(code);
        }
        return exitCode;
    }
    // status(), waiting at most `seconds` for the end.
    int wait(double seconds = 10) {
        for (const double end = now() + seconds; status() < 0 && process && now() < end;)
            pump(20);
        return exitCode;
    }
    // No console event reaches another program here: the end of its standard
    // input asks it to stop (the stand-in solver's --stop-at-eof), and one
    // that has not stopped after 10 s is terminated. The exit status.
    int stop() {
        closeInput();
        if (process && wait() < 0) kill();
        return exitCode;
    }
    // Ends it at once, with exit status 1.
    bool kill() {
        if (!process || !TerminateProcess(process, 1)) return false;
        WaitForSingleObject(process, 10000);
        return wait(0) >= 0;
    }
    void closeInput() {
        if (inWrite) CloseHandle(std::exchange(inWrite, nullptr));
    }
    ProcessId pid = 0;
    std::string out;

  private:
    HANDLE process = nullptr, outRead = nullptr, inWrite = nullptr;
    int exitCode = -1;
};

#else

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

#endif

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

#if defined(ZVTEST_ZELVANE) && defined(ZVTEST_DEMO_MODEL)

// The demo model's text, with `line` replaced by `with` (dropped when empty).
inline std::string demoModel(const std::string& line = "", const std::string& with = "") {
    std::string text = zvtest::readFile(ZVTEST_DEMO_MODEL);
    const size_t at = line.empty() ? std::string::npos : text.find(line + "\n");
    return at == std::string::npos
               ? text
               : text.replace(at, line.size() + 1, with.empty() ? "" : with + "\n");
}

// A scratch folder holding the demo model as tank.dat.
struct DemoFolder : zvtest::TempDir {
    DemoFolder() { file("tank.dat", demoModel()); }
    std::string read(const std::string& name) const { return zvtest::readFile(path(name)); }
    // Whether a file comes to hold text within 10 s: the solver writes its
    // console on its own time, also after the block's host has ended.
    bool eventually(const std::string& name, const std::string& text) const {
        for (const double end = now() + 10; now() < end;
             std::this_thread::sleep_for(std::chrono::milliseconds(20)))
            if (read(name).find(text) != std::string::npos) return true;
        return false;
    }
};

// The stand-in solver's command line; on Windows it stops at the end of its
// standard input, which Child::stop() closes.
inline std::vector<std::string> zelvane(std::vector<std::string> args) {
#ifdef _WIN32
    // First, so that the arguments a test gives stay last, as it wrote them.
    args.insert(args.begin(), "--stop-at-eof");
#endif
    args.insert(args.begin(), ZVTEST_ZELVANE);
    return args;
}

// The port a program started with --listen 0 says it listens on; 0 when it
// said nothing of the kind within 10 s.
inline uint16_t listeningPort(Child& c) {
    for (const double end = now() + 10;
         c.out.find('\n') == std::string::npos && c.status() < 0 && now() < end;)
        c.pump(20);
    uint16_t port = 0;
    return sscanf(c.out.c_str(), "listening on port %hu", &port) == 1 ? port : 0;
}

// zelvane --listen 0 in dir; port stays 0 unless it said where it listens.
struct ListeningSolver : Child {
    ListeningSolver(const std::string& dir, const std::vector<std::string>& more = {})
        : Child(zelvane(listen(more)), dir, {{"ZELVANE_FAULTS", std::nullopt}}),
          port(listeningPort(*this)) {}
    static std::vector<std::string> listen(std::vector<std::string> more) {
        more.insert(more.begin(), {"--listen", "0"});
        return more;
    }
    uint16_t port;
};

// The block's side of a link, every wait bounded by 10 s.
struct SolverClient {
    explicit SolverClient(XSocket* connected) : sock(connected) { setXSocketTimeout(sock, 10); }
    ~SolverClient() { releaseXSocket(sock); }
    // A connection to a listening solver before the handshake; none when refused.
    static std::unique_ptr<SolverClient> connect(uint16_t port) {
        XSocket* s = newXSocket();
        if (connectXSocketToHost(s, "127.0.0.1", port, nullptr, 0))
            return std::make_unique<SolverClient>(s);
        releaseXSocket(s);
        return nullptr;
    }

    bool hello(const std::string& text = "ZVI|LINK|VER:1") {
        int32_t n = int32_t(text.size() + 1);
        return writeMessageHeader(sock, FLAG_HANDSHAKE, uint32_t(n)) &&
               writeMessageData(sock, text.c_str(), n);
    }
    // The reply's byte flag (0 when none came), its text in *reply.
    uint32_t handshake(std::string* reply, const std::string& text = "ZVI|LINK|VER:1") {
        if (!hello(text) || !nextFlag()) return 0;
        *reply = receive(size_t(lastLength)).c_str();
        return lastFlag;
    }
    bool greeted() {
        std::string reply;
        return handshake(&reply) == FLAG_HANDSHAKE_REPLY && reply == "OK";
    }
    // The byte flag of the next frame header, 0 when none came.
    uint32_t nextFlag() { return readMessageHeader(sock, &lastFlag, &lastLength) ? lastFlag : 0; }
    void sendClose() { writeMessageHeader(sock, FLAG_CLOSE, 0); }
    bool send(const Bytes& b) { return writeMessageData(sock, b.data(), int32_t(b.size())); }
    // The next n bytes as they come; none when they did not.
    Bytes receive(size_t n) {
        Bytes b(n, '\0');
        return readMessageData(sock, &b[0], int32_t(n)) ? b : Bytes();
    }

    // Any call, its arguments as the protocol takes them. False when no
    // matching return came back; lastFlag then holds the flag of what came.
    bool call(int id, ...) {
        va_list args, again;
        va_start(args, id);
        va_copy(again, args);
        bool ok = sendFunctionMessage(sock, uint16_t(id), args, 1) && nextFlag() == FLAG_RETURN &&
                  receiveFunctionReturn(uint16_t(id), sock, lastLength, again);
        va_end(again);
        va_end(args);
        return ok;
    }
    bool dataExist(std::string model, std::string product, std::string version, int32_t* result) {
        int32_t n1 = int32_t(model.size()), n2 = int32_t(product.size()),
                n3 = int32_t(version.size());
        char *p1 = &model[0], *p2 = &product[0], *p3 = &version[0];
        return call(FID_DATEXIST, &n1, &p1, result, &n2, &p2, &n3, &p3);
    }
    bool startup(std::string model, std::string product, double* duration) {
        int32_t n1 = int32_t(model.size()), n2 = int32_t(product.size());
        char *p1 = &model[0], *p2 = &product[0];
        return call(FID_SLZVIMAN, &n2, &p2, &n1, &p1, duration); // product first, as the block
    }
    bool update(std::vector<double>* outputs, int32_t capacity = 128) {
        outputs->assign(size_t(capacity), 0.0);
        double* data = outputs->data();
        bool ok = call(FID_ZVUPDATE, &capacity, &data);
        outputs->resize(ok ? size_t(capacity) : 0);
        return ok;
    }
    bool advance(double dt, std::vector<double> inputs, int32_t* doneSim, int32_t* adv) {
        int32_t count = int32_t(inputs.size());
        double* data = inputs.data();
        return call(FID_SLCZVPWR, &dt, &count, &data, doneSim, adv);
    }
    // DATEXIST, SLOPEN and SLZVIMAN for the demo model, as the block's start sends them.
    void startRun(double* duration) {
        int32_t check = 0;
        ASSERT_TRUE(dataExist("tank", "ZVDEMO", "6.1", &check));
        EXPECT_EQ(check, 1);
        ASSERT_TRUE(call(FID_SLOPEN));
        ASSERT_TRUE(startup("tank", "ZVDEMO", duration));
    }

    XSocket* sock;
    uint32_t lastFlag = 0;
    int32_t lastLength = 0;
};

#endif

} // namespace zvproc
