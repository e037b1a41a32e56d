// Test side of the solver's link: a child process running zelvane in a
// scratch folder, and a client that talks to it with the project's protocol
// code. Every wait is bounded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// The solver's demo model, with the harness the block finds in it.
extern const char* const DEMO_DAT;

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

    uint32_t lastFlag = 0;
    int32_t lastLength = 0;

  private:
    bool exchange(uint16_t id, ...);
    XSocket* s_;
};
