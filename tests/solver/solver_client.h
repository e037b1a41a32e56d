// Test side of the solver's link: zelvane as a child process in a scratch
// folder, and a client that talks to it with the project's protocol code.
// Every wait is bounded.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/protocol.h"
#include "remote/catalogue.h"
#include "support/zvtest.h"

// zelvane in dir, ZELVANE_FAULTS set to faults or removed; stopped when destroyed.
struct SolverProcess {
    int pid = -1, outFd = -1;
    SolverProcess(std::vector<std::string> args, const std::string& dir,
                  const char* faults = nullptr) {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], 1);
            close(fds[0]);
            close(fds[1]);
            faults ? setenv("ZELVANE_FAULTS", faults, 1) : unsetenv("ZELVANE_FAULTS");
            std::vector<char*> argv = {const_cast<char*>(ZELVANE_PATH)};
            for (std::string& a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            if (chdir(dir.c_str()) == 0) execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        outFd = fds[0];
    }
    ~SolverProcess() {
        if (pid > 0 && terminate() < 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (outFd >= 0) close(outFd);
    }
    std::string readLine() {
        std::string line;
        char c;
        pollfd p = {outFd, POLLIN, 0};
        while (poll(&p, 1, 10000) == 1 && read(outFd, &c, 1) == 1 && c != '\n')
            line += c;
        return line;
    }
    // Exit status (128 + signal when a signal ended it), -1 on time-out.
    int waitExit(int seconds = 10) {
        for (int i = 0; pid > 0 && i < seconds * 20; ++i, usleep(50000)) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) != pid) continue;
            pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return -1;
    }
    int terminate() { return pid > 0 && kill(pid, SIGTERM) == 0 ? waitExit() : -1; }
};

struct SolverClient {
    explicit SolverClient(XSocket* connected) : sock(connected) { setXSocketTimeout(sock, 10); }
    ~SolverClient() { releaseXSocket(sock); }

    bool hello(const std::string& text = "ZVI|LINK|VER:1") {
        int32_t n = int32_t(text.size() + 1);
        return writeMessageHeader(sock, FLAG_HANDSHAKE, uint32_t(n)) &&
               writeMessageData(sock, text.c_str(), n);
    }
    // The reply's byte flag (0 when none came), its text in *reply.
    uint32_t handshake(std::string* reply, const std::string& text = "ZVI|LINK|VER:1") {
        if (!hello(text) || !nextFlag()) return 0;
        std::vector<char> body(size_t(lastLength) + 1, '\0');
        if (!readMessageData(sock, body.data(), lastLength)) return 0;
        *reply = body.data();
        return lastFlag;
    }
    bool greeted() {
        std::string reply;
        return handshake(&reply) == FLAG_HANDSHAKE_REPLY && reply == "OK";
    }
    // The byte flag of the next frame header, 0 when none came.
    uint32_t nextFlag() { return readMessageHeader(sock, &lastFlag, &lastLength) ? lastFlag : 0; }
    void sendClose() { writeMessageHeader(sock, FLAG_CLOSE, 0); }

    // Any call, its arguments as the protocol takes them. False when no
    // matching return came back; lastFlag then holds the flag of what came.
    bool call(uint16_t id, ...) {
        va_list args, again;
        va_start(args, id);
        va_copy(again, args);
        bool ok = sendFunctionMessage(sock, id, args, 1) && nextFlag() == FLAG_RETURN &&
                  receiveFunctionReturn(id, sock, lastLength, again);
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

    XSocket* sock;
    uint32_t lastFlag = 0;
    int32_t lastLength = 0;
};

// DATEXIST, SLOPEN and SLZVIMAN as the block's start sends them.
inline void startRun(SolverClient& c, double* duration) {
    int32_t check = 0;
    ASSERT_TRUE(c.dataExist("tank", "ZVDEMO", "6.1", &check));
    EXPECT_EQ(check, 1);
    ASSERT_TRUE(c.call(FID_SLOPEN));
    ASSERT_TRUE(c.startup("tank", "ZVDEMO", duration));
}

inline std::string demoModel() {
    return zvtest::readFile(DEMO_MODEL_PATH);
}

// A solver listening in a scratch folder that holds the demo model.
class SolverSession : public ::testing::Test {
  protected:
    void start(const std::vector<std::string>& faults = {}, const std::string& dat = demoModel()) {
        dir.file("tank.dat", dat);
        std::vector<std::string> args = {"--listen", "0"};
        for (const std::string& f : faults)
            args.insert(args.end(), {"--fault", f});
        solver.reset(new SolverProcess(args, dir.path()));
        std::string line = solver->readLine();
        ASSERT_EQ(line.rfind("listening on port ", 0), 0u) << line;
        port = uint16_t(std::stoi(line.substr(18)));
    }
    // A connection before the handshake.
    std::unique_ptr<SolverClient> connect() {
        XSocket* s = newXSocket();
        if (connectXSocketToHost(s, "127.0.0.1", port, nullptr, 0))
            return std::make_unique<SolverClient>(s);
        releaseXSocket(s);
        return nullptr;
    }
    std::unique_ptr<SolverClient> link() {
        std::unique_ptr<SolverClient> c = connect();
        EXPECT_TRUE(!c || c->greeted());
        return c;
    }
    std::string file(const std::string& name) const { return zvtest::readFile(dir.path(name)); }

    zvtest::TempDir dir;
    std::unique_ptr<SolverProcess> solver;
    uint16_t port = 0;
};
