// The floor: what two processes pay for the step's two synchronous round
// trips on loopback, with nothing but the frames' bytes to move. Its server
// side, with returns prepared for the calls around the steps too, is also
// the canned peer the block is measured against on its own.
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
#include <cstdlib>
#include <cstring>
#include <map>

#include "protocol/bigendian.h"
#include "protocol/protocol.h"
#include "protocol/catalogue.h"
#include "runs.h"

namespace zvbench {

namespace {

using Clock = std::chrono::steady_clock;

// A frame as the block's own packer makes it.
template <typename... Fields>
std::vector<unsigned char> frameOf(uint16_t id, int isCall, Fields... fields) {
    int32_t length = 0;
    unsigned char* packed = newFunctionFrameOf(&length, isCall, id, fields...);
    std::vector<unsigned char> frame(packed, packed ? packed + length : packed);
    free(packed);
    return frame;
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

// A listening socket on 127.0.0.1, port of the system's choosing.
int listenLoopback(sockaddr_in* address) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    *address = sockaddr_in{};
    address->sin_family = AF_INET;
    address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof *address;
    if (listener < 0 || bind(listener, (sockaddr*)address, size) != 0 ||
        getsockname(listener, (sockaddr*)address, &size) != 0 || listen(listener, 1) != 0) {
        if (listener >= 0) close(listener);
        return -1;
    }
    return listener;
}

int acceptPeer(int listener, bool noDelay) {
    pollfd waiting{listener, POLLIN, 0};
    if (poll(&waiting, 1, 10000) != 1) return -1;
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) return -1;
    setNoDelay(fd, noDelay);
    boundWaits(fd);
    return fd;
}

// The solver's half of the steps: a call in, its return out, twice per
// step. A call of another size than expected means the block sent something
// else: the run ends rather than read out of step.
bool serveSteps(int fd, const StepFrames& frames, int total) {
    std::vector<unsigned char> in(frames.advanceCall.size() + frames.updateCall.size());
    for (int i = 0; i < total; ++i) {
        if (!readAll(fd, in.data(), frames.updateCall.size()) ||
            memcmp(in.data(), frames.updateCall.data(), 8) != 0 ||
            !writeAll(fd, frames.updateReturn) ||
            !readAll(fd, in.data(), frames.advanceCall.size()) ||
            memcmp(in.data(), frames.advanceCall.data(), 8) != 0 ||
            !writeAll(fd, frames.advanceReturn))
            return false;
    }
    return true;
}

// Everything but the steps, one frame at a time: the handshake, and each
// call answered with its prepared return, until `calls` calls or the close.
bool serveOthers(int fd, const std::map<uint16_t, std::vector<unsigned char>>& returns, int calls) {
    static const std::vector<unsigned char> reply = {0, 0, 0, 2, 0, 0, 0, 3, 'O', 'K', 0};
    std::vector<unsigned char> body;
    while (calls > 0) {
        unsigned char header[8];
        if (!readAll(fd, header, 8)) return false;
        const uint32_t flag = getBig32(header), length = getBig32(header + 4);
        if (length > 65536) return false;
        body.resize(length);
        if (!readAll(fd, body.data(), length)) return false;
        if (flag == FLAG_CLOSE) return true;
        if (flag == FLAG_HANDSHAKE) {
            if (!writeAll(fd, reply)) return false;
            continue;
        }
        if (flag != FLAG_CALL || length < 2) return false;
        const auto answer = returns.find(uint16_t(body[0] << 8 | body[1]));
        if (answer == returns.end() || !writeAll(fd, answer->second)) return false;
        --calls;
    }
    return true;
}

} // namespace

StepFrames stepFrames(int inputs, int outputs) {
    StepFrames f;
    std::vector<double> in(size_t(inputs), 0.5), out(size_t(outputs), 0.25);
    int32_t count = 0;
    double* values = nullptr;
    f.updateCall = frameOf(FID_ZVUPDATE, 1, &count, &values);
    count = outputs;
    values = out.data();
    f.updateReturn = frameOf(FID_ZVUPDATE, 0, &count, &values);
    double delta = 0.001;
    int32_t n = inputs, doneSim = 0, adv = 0;
    double* data = in.data();
    f.advanceCall = frameOf(FID_SLCZVPWR, 1, &delta, &n, &data, &doneSim, &adv);
    f.advanceReturn = frameOf(FID_SLCZVPWR, 0, &delta, &n, &data, &doneSim, &adv);
    // The start's and the end's calls: the file is accepted, the duration
    // unknown; the rest return nothing.
    int32_t length = 0, accepted = 1;
    char* text = nullptr;
    double duration = -1.0;
    f.otherReturns[FID_DATEXIST] =
        frameOf(FID_DATEXIST, 0, &length, &text, &accepted, &length, &text, &length, &text);
    f.otherReturns[FID_SLZVIMAN] =
        frameOf(FID_SLZVIMAN, 0, &length, &text, &length, &text, &duration);
    f.otherReturns[FID_SLCLOSE] = frameOf(FID_SLCLOSE, 0, &length);
    for (uint16_t id : {FID_SLOPEN, FID_CHECKBACK})
        f.otherReturns[id] = frameOf(id, 0);
    f.otherReturns[FID_SLCZVPWR] = f.advanceReturn;
    return f;
}

RunResult runBaseline(const StepFrames& frames, int warmup, int steps, bool noDelay) {
    RunResult result;
    sockaddr_in address;
    socklen_t size = sizeof address;
    const int listener = listenLoopback(&address);
    if (listener < 0) {
        result.error = "cannot listen on 127.0.0.1";
        return result;
    }
    const int total = warmup + steps;

    const pid_t server = fork();
    if (server == 0) {
        const int fd = acceptPeer(listener, noDelay);
        _exit(fd >= 0 && serveSteps(fd, frames, total) ? 0 : 1);
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

RunResult runCannedPeer(const BlockSetup& setup, const StepFrames& frames, int width, int warmup,
                        int steps) {
    sockaddr_in address;
    const int listener = listenLoopback(&address);
    if (listener < 0) {
        RunResult result;
        result.error = "cannot listen on 127.0.0.1";
        return result;
    }
    const pid_t server = fork();
    if (server == 0) {
        // DATEXIST, SLOPEN and SLZVIMAN; the steps; the final advance,
        // SLCLOSE and CHECKBACK, then the close.
        const int fd = acceptPeer(listener, true);
        _exit(fd >= 0 && serveOthers(fd, frames.otherReturns, 3) &&
                      serveSteps(fd, frames, warmup + steps) &&
                      serveOthers(fd, frames.otherReturns, 4)
                  ? 0
                  : 1);
    }
    close(listener);
    RunResult result;
    if (server < 0) {
        result.error = "cannot fork";
        return result;
    }
    const std::string settings =
        "HOST=127.0.0.1\nPORT=" + std::to_string(ntohs(address.sin_port)) + "\n";
    result = runBlock(setup, width, warmup, steps, settings);
    int status = 0;
    if (!result.ok) kill(server, SIGKILL);
    while (waitpid(server, &status, 0) < 0 && errno == EINTR) {
    }
    if (result.ok && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
        result.ok = false;
        result.error = "the canned peer saw other frames than a run's";
    }
    return result;
}

} // namespace zvbench
