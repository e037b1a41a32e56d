// Test side of the solver's link: a child process running zelvane in a
// scratch folder, and a client that talks to it with the project's protocol
// code. Every wait is bounded.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "protocol/protocol.h"
#include "remote/catalogue.h"
#include "xsocket/xsocket.h"

// A scratch working folder, removed with everything in it at the end.
struct ScratchDir {
    std::string path;
    ScratchDir();
    ~ScratchDir();
    void write(const std::string& name, const std::string& text) const;
    std::string read(const std::string& name) const;
    bool exists(const std::string& name) const;
};

// zelvane as a child process; stopped (SIGTERM, then SIGKILL) when destroyed.
struct SolverProcess {
    int pid = -1;
    int stdoutFd = -1;
    SolverProcess(const std::vector<std::string>& args, const std::string& dir,
                  const std::string& faultsEnv = "");
    ~SolverProcess();
    std::string readLine(int timeoutSeconds = 10); // one line of its standard output
    int terminate();                               // SIGTERM; exit status, -1 if it hung
    int waitExit(int timeoutSeconds);              // exit status, -1 on time-out
};

// The demo model of examples/demo: 2 harness inputs, 3 outputs, 10 s.
std::string demoModel();

class SolverClient {
  public:
    explicit SolverClient(XSocket* connected); // takes the socket; reads wait at most 10 s
    ~SolverClient();
    static SolverClient* connectTo(uint16_t port);

    XSocket* socket() const { return s_; }
    // Sends the handshake; returns the reply's byte flag, its text in *reply.
    uint32_t handshake(std::string* reply);

    // Each call answers false when no matching return came back; *flag then
    // holds the byte flag of the frame that came instead.
    bool dataExist(const std::string& model, const std::string& product, const std::string& version,
                   int32_t* result);
    bool startup(const std::string& model, const std::string& product, double* duration);
    bool update(std::vector<double>* outputs, int32_t capacity = 128);
    bool advance(double dt, std::vector<double> inputs, int32_t* doneSim, int32_t* adv);
    bool noArgs(uint16_t id); // SLOPEN, CHECKBACK
    bool slClose(int32_t code);
    void sendClose();
    // Reads the next frame header (bounded wait).
    bool nextHeader(uint32_t* flag, int32_t* length);

    // Any call: its argument list as the protocol takes it.
    bool exchangeRaw(uint16_t id, ...);
    bool sendCall(uint16_t id, ...);

    uint32_t lastFlag = 0;
    int32_t lastLength = 0;

  private:
    XSocket* s_;
};

// A solver listening in a scratch folder that holds the demo model.
class SolverSession : public ::testing::Test {
  protected:
    void start(const std::vector<std::string>& faults = {}, const std::string& dat = demoModel()) {
        dir.write("tank.dat", dat);
        std::vector<std::string> args = {"--listen", "0"};
        for (const std::string& f : faults) {
            args.push_back("--fault");
            args.push_back(f);
        }
        solver.reset(new SolverProcess(args, dir.path));
        std::string line = solver->readLine();
        ASSERT_EQ(line.rfind("listening on port ", 0), 0u) << line;
        port = static_cast<uint16_t>(std::stoi(line.substr(18)));
    }
    std::unique_ptr<SolverClient> link() {
        std::unique_ptr<SolverClient> c(SolverClient::connectTo(port));
        if (c) {
            std::string reply;
            EXPECT_EQ(c->handshake(&reply), uint32_t(FLAG_HANDSHAKE_REPLY));
            EXPECT_EQ(reply, "OK");
        }
        return c;
    }
    // DATEXIST, SLOPEN and SLZVIMAN as the block's start sends them.
    void startRun(SolverClient& c, double* duration) {
        int32_t check = 0;
        ASSERT_TRUE(c.dataExist("tank", "ZVDEMO", "6.1", &check));
        EXPECT_EQ(check, 1);
        ASSERT_TRUE(c.noArgs(FID_SLOPEN));
        ASSERT_TRUE(c.startup("tank", "ZVDEMO", duration));
    }

    ScratchDir dir;
    std::unique_ptr<SolverProcess> solver;
    uint16_t port = 0;
};
