// The floor: what two processes pay for the step's two synchronous round
// trips on loopback, with nothing but the frames' bytes to move.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <functional>

#include "protocol/protocol.h"
#include "remote/catalogue.h"
#include "runs.h"

namespace zvbench {

namespace {

using Clock = std::chrono::steady_clock;

int sendMessage(XSocket* s, uint16_t id, int isCall, ...) {
    va_list args;
    va_start(args, isCall);
    const int ok = sendFunctionMessage(s, id, args, isCall);
    va_end(args);
    return ok;
}

// The frame the protocol writes, taken from a socket pair.
std::vector<unsigned char> capture(const std::function<int(XSocket*)>& write) {
    int fds[2];
    std::vector<unsigned char> bytes;
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return bytes;
    XSocket* s = newXSocket();
    s->handle = fds[0];
    const bool ok = write(s) != 0;
    releaseXSocket(s);
    unsigned char chunk[4096];
    for (ssize_t n; ok && (n = read(fds[1], chunk, sizeof chunk)) > 0;)
        bytes.insert(bytes.end(), chunk, chunk + n);
    close(fds[1]);
    return bytes;
}

bool writeAll(int fd, const std::vector<unsigned char>& frame) {
    size_t done = 0;
    while (done < frame.size()) {
        const ssize_t n = send(fd, frame.data() + done, frame.size() - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

// The size is known, so a message is one read unless TCP cuts it up.
bool readAll(int fd, unsigned char* into, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = recv(fd, into + done, size - done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

void setNoDelay(int fd, bool on) {
    int flag = on ? 1 : 0;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &flag, sizeof flag);
}

// A peer that stops answering must not hang the run.
void boundWaits(int fd) {
    timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

} // namespace

StepFrames stepFrames(int inputs, int outputs) {
    StepFrames f;
    std::vector<double> in(size_t(inputs), 0.5), out(size_t(outputs), 0.25);
    int32_t count = 0;
    double* values = nullptr;
    f.updateCall =
        capture([&](XSocket* s) { return sendMessage(s, FID_ZVUPDATE, 1, &count, &values); });
    count = outputs;
    values = out.data();
    f.updateReturn =
        capture([&](XSocket* s) { return sendMessage(s, FID_ZVUPDATE, 0, &count, &values); });
    double delta = 0.001;
    int32_t n = inputs, doneSim = 0, adv = 0;
    double* data = in.data();
    f.advanceCall = capture([&](XSocket* s) {
        return sendMessage(s, FID_SLCZVPWR, 1, &delta, &n, &data, &doneSim, &adv);
    });
    f.advanceReturn = capture([&](XSocket* s) {
        return sendMessage(s, FID_SLCZVPWR, 0, &delta, &n, &data, &doneSim, &adv);
    });
    return f;
}

RunResult runBaseline(const StepFrames& frames, int warmup, int steps, bool noDelay) {
    RunResult result;
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener < 0 || bind(listener, (sockaddr*)&address, size) != 0 ||
        getsockname(listener, (sockaddr*)&address, &size) != 0 || listen(listener, 1) != 0) {
        if (listener >= 0) close(listener);
        result.error = "cannot listen on 127.0.0.1";
        return result;
    }
    const int total = warmup + steps;

    const pid_t server = fork();
    if (server == 0) {
        // The solver's half: a call in, its return out, twice per step.
        pollfd waiting{listener, POLLIN, 0};
        if (poll(&waiting, 1, 10000) != 1) _exit(1);
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) _exit(1);
        setNoDelay(fd, noDelay);
        boundWaits(fd);
        std::vector<unsigned char> in(frames.advanceCall.size() + frames.updateCall.size());
        for (int i = 0; i < total; ++i) {
            if (!readAll(fd, in.data(), frames.updateCall.size()) ||
                !writeAll(fd, frames.updateReturn) ||
                !readAll(fd, in.data(), frames.advanceCall.size()) ||
                !writeAll(fd, frames.advanceReturn))
                _exit(1);
        }
        _exit(0);
    }
    if (server < 0) {
        close(listener);
        result.error = "cannot fork";
        return result;
    }

    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const bool connected = fd >= 0 && connect(fd, (sockaddr*)&address, size) == 0;
    close(listener);
    if (connected) {
        setNoDelay(fd, noDelay);
        boundWaits(fd);
        std::vector<unsigned char> in(frames.advanceReturn.size() + frames.updateReturn.size());
        result.stepSeconds.reserve(size_t(steps));
        result.ok = true;
        for (int i = 0; i < total && result.ok; ++i) {
            const Clock::time_point begin = Clock::now();
            result.ok = writeAll(fd, frames.updateCall) &&
                        readAll(fd, in.data(), frames.updateReturn.size()) &&
                        writeAll(fd, frames.advanceCall) &&
                        readAll(fd, in.data(), frames.advanceReturn.size());
            const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
            if (i >= warmup) result.stepSeconds.push_back(seconds);
        }
        if (!result.ok) result.error = "the loopback peer stopped answering";
    } else {
        result.error = "cannot connect to 127.0.0.1";
    }
    if (fd >= 0) close(fd);
    int status = 0;
    if (!result.ok) kill(server, SIGKILL);
    while (waitpid(server, &status, 0) < 0 && errno == EINTR) {
    }
    return result;
}

} // namespace zvbench
