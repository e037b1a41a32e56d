#include "solver_client.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include "protocol/protocol.h"

std::string demoModel() {
    std::ifstream in(DEMO_MODEL_PATH);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

ScratchDir::ScratchDir() {
    char name[] = "/tmp/zvsolver-XXXXXX";
    if (mkdtemp(name)) path = name;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

void ScratchDir::write(const std::string& name, const std::string& text) const {
    std::ofstream(path + "/" + name) << text;
}

std::string ScratchDir::read(const std::string& name) const {
    std::ifstream in(path + "/" + name);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool ScratchDir::exists(const std::string& name) const {
    return access((path + "/" + name).c_str(), F_OK) == 0;
}

SolverProcess::SolverProcess(const std::vector<std::string>& args, const std::string& dir,
                             const std::string& faultsEnv) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        if (chdir(dir.c_str()) != 0) _exit(126);
        if (faultsEnv.empty())
            unsetenv("ZELVANE_FAULTS");
        else
            setenv("ZELVANE_FAULTS", faultsEnv.c_str(), 1);
        std::vector<char*> argv;
        std::string program = ZELVANE_PATH;
        argv.push_back(&program[0]);
        std::vector<std::string> copy = args;
        for (std::string& a : copy)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(fds[1]);
    stdoutFd = fds[0];
}

SolverProcess::~SolverProcess() {
    if (pid > 0 && terminate() < 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (stdoutFd >= 0) close(stdoutFd);
}

std::string SolverProcess::readLine(int timeoutSeconds) {
    std::string line;
    char c;
    pollfd p = {stdoutFd, POLLIN, 0};
    while (poll(&p, 1, timeoutSeconds * 1000) == 1 && read(stdoutFd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

int SolverProcess::waitExit(int timeoutSeconds) {
    for (int i = 0; pid > 0 && i < timeoutSeconds * 20; ++i) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        usleep(50000);
    }
    return -1;
}

int SolverProcess::terminate() {
    if (pid <= 0) return -1;
    kill(pid, SIGTERM);
    return waitExit(10);
}

SolverClient::SolverClient(XSocket* connected) : s_(connected) {
    setXSocketTimeout(s_, 10);
}

SolverClient::~SolverClient() {
    releaseXSocket(s_);
}

SolverClient* SolverClient::connectTo(uint16_t port) {
    XSocket* s = newXSocket();
    if (!connectXSocketToHost(s, "127.0.0.1", port, nullptr, 0)) {
        releaseXSocket(s);
        return nullptr;
    }
    return new SolverClient(s);
}

uint32_t SolverClient::handshake(std::string* reply) {
    static const char text[] = "ZVI|LINK|VER:1";
    if (!writeMessageHeader(s_, 1, sizeof text) || !writeMessageData(s_, text, sizeof text) ||
        !nextHeader(&lastFlag, &lastLength))
        return 0;
    std::vector<char> body(static_cast<size_t>(lastLength) + 1, '\0');
    if (!readMessageData(s_, body.data(), lastLength)) return 0;
    *reply = body.data();
    return lastFlag;
}

bool SolverClient::nextHeader(uint32_t* flag, int32_t* length) {
    return readMessageHeader(s_, flag, length) != 0;
}

bool SolverClient::sendCall(uint16_t id, ...) {
    va_list args;
    va_start(args, id);
    bool ok = sendFunctionMessage(s_, id, args, 1);
    va_end(args);
    return ok;
}

bool SolverClient::exchangeRaw(uint16_t id, ...) {
    va_list args, again;
    va_start(args, id);
    va_copy(again, args);
    bool ok = sendFunctionMessage(s_, id, args, 1) && nextHeader(&lastFlag, &lastLength) &&
              lastFlag == FLAG_RETURN && receiveFunctionReturn(id, s_, lastLength, again);
    va_end(again);
    va_end(args);
    return ok;
}

bool SolverClient::dataExist(const std::string& model, const std::string& product,
                             const std::string& version, int32_t* result) {
    int32_t n1 = int32_t(model.size()), n2 = int32_t(product.size()), n3 = int32_t(version.size());
    char *p1 = const_cast<char*>(model.data()), *p2 = const_cast<char*>(product.data()),
         *p3 = const_cast<char*>(version.data());
    return exchangeRaw(13, &n1, &p1, result, &n2, &p2, &n3, &p3);
}

bool SolverClient::startup(const std::string& model, const std::string& product, double* duration) {
    int32_t n1 = int32_t(model.size()), n2 = int32_t(product.size());
    char *p1 = const_cast<char*>(model.data()), *p2 = const_cast<char*>(product.data());
    return exchangeRaw(12, &n2, &p2, &n1, &p1, duration); // product first, as the block sends
}

bool SolverClient::update(std::vector<double>* outputs, int32_t capacity) {
    outputs->assign(static_cast<size_t>(capacity), 0.0);
    int32_t count = capacity;
    double* data = outputs->data();
    bool ok = exchangeRaw(14, &count, &data);
    outputs->resize(ok ? static_cast<size_t>(count) : 0);
    return ok;
}

bool SolverClient::advance(double dt, std::vector<double> inputs, int32_t* doneSim, int32_t* adv) {
    int32_t count = int32_t(inputs.size());
    double* data = inputs.data();
    return exchangeRaw(15, &dt, &count, &data, doneSim, adv);
}

bool SolverClient::noArgs(uint16_t id) {
    return exchangeRaw(id);
}

bool SolverClient::slClose(int32_t code) {
    return exchangeRaw(16, &code);
}

void SolverClient::sendClose() {
    writeMessageHeader(s_, FLAG_CLOSE, 0);
}
