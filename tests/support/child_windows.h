// A child process on Windows: pipes, a job object that holds whatever the
// tests start, and an end asked for through standard input.
#pragma once

#include "support/net.h" // Winsock before windows.h
#include <windows.h>

#include <algorithm>
#include <memory>

namespace zvproc {

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
    int left = -1;
    within(seconds, [&] {
        left = QueryInformationJobObject(testJob(), JobObjectBasicAccountingInformation, &info,
                                         sizeof info, nullptr)
                   ? int(info.ActiveProcesses) - 1
                   : -1;
        return left <= 0;
    });
    return left;
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
        std::vector<std::unique_ptr<zvtest::EnvVar>> saved;
        for (const EnvChange& c : env)
            saved.push_back(std::make_unique<zvtest::EnvVar>(
                c.first.c_str(), c.second ? c.second->c_str() : nullptr));
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
        while (!saved.empty()) // the last change undone first
            saved.pop_back();
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

} // namespace zvproc
