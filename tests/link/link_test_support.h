// A scripted solver for link tests: a raw loopback socket driven from a
// thread, so that the wire bytes are the test's own and not the protocol
// library's. Every wait is bounded.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "link/link.h"
#include "support/zvtest.h"
#include "log/zvlog.h"

namespace zvlinktest {

using Bytes = std::string;

inline Bytes be32(uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
inline Bytes beDouble(double d) {
    uint64_t u;
    memcpy(&u, &d, 8);
    return be32(uint32_t(u >> 32)) + be32(uint32_t(u));
}
inline Bytes beFloat(float f) {
    uint32_t u;
    memcpy(&u, &f, 4);
    return be32(u);
}
inline Bytes text(const std::string& t) {
    return be32(uint32_t(t.size())) + t;
}
inline Bytes frame(uint32_t flag, const Bytes& body) {
    return be32(flag) + be32(uint32_t(body.size())) + body;
}
// Function header: id, signature length with its NUL, the signature.
inline Bytes header(uint16_t id, const std::string& signature) {
    return Bytes{char(id >> 8), char(id), 0, char(signature.size() + 1)} + signature +
           Bytes(1, '\0');
}

// A socket bound to 127.0.0.1 and a port of the system's choosing.
inline int loopbackSocket(uint16_t* port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    if (bind(fd, (sockaddr*)&a, n) == 0 && getsockname(fd, (sockaddr*)&a, &n) == 0)
        *port = ntohs(a.sin_port);
    return fd;
}

// Accepts one block; the script runs in a thread and the connection is
// closed when it ends.
class FakeSolver {
  public:
    FakeSolver() : listener(loopbackSocket(&port)) { listen(listener, 1); }
    ~FakeSolver() {
        join();
        close(listener);
    }
    void start(std::function<void(FakeSolver&)> script) {
        worker = std::thread([this, script] {
            if (!readable(listener)) return;
            conn = accept(listener, nullptr, nullptr);
            script(*this);
            close(conn);
        });
    }
    void join() {
        if (worker.joinable()) worker.join();
    }
    // One whole frame, header included; empty when none came in time.
    Bytes readFrame() {
        Bytes h = readExact(8);
        if (h.size() < 8) return {};
        uint32_t length = uint32_t(uint8_t(h[4])) << 24 | uint32_t(uint8_t(h[5])) << 16 |
                          uint32_t(uint8_t(h[6])) << 8 | uint8_t(h[7]);
        Bytes body = readExact(length);
        return body.size() == length ? h + body : Bytes();
    }
    void send(const Bytes& b) { (void)::send(conn, b.data(), b.size(), MSG_NOSIGNAL); }
    // Answers the handshake with "OK"; false when it was not the handshake.
    bool handshake() {
        bool ok = readFrame() == frame(1, Bytes("ZVI|LINK|VER:1\0", 15));
        send(frame(2, "OK"));
        return ok;
    }
    // True when the block closed its end in time.
    bool readEnd() {
        char c;
        return readable(conn) && recv(conn, &c, 1, 0) == 0;
    }

    uint16_t port = 0;

  private:
    Bytes readExact(size_t n) {
        Bytes out(n, '\0');
        size_t got = 0;
        while (got < n && readable(conn)) {
            ssize_t r = recv(conn, &out[got], n - got, 0);
            if (r <= 0) break;
            got += size_t(r);
        }
        out.resize(got);
        return out;
    }
    static bool readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 10000) == 1;
    }
    int listener, conn = -1;
    std::thread worker;
};

// A clean working folder, the log at every level into zvlinkclient.out, and
// the error callback recorded.
struct LinkTest : ::testing::Test {
    static std::vector<int>& calls() {
        static std::vector<int> c;
        return c;
    }
    static void record(int32_t code) { calls().push_back(code); }
    void SetUp() override {
        calls().clear();
        openLog("zvlinkclient.out");
        setLogLevel(LOG_TRACE);
        setErrorCallback(record);
    }
    void TearDown() override {
        closeLink();
        solver.join();
        setErrorCallback(nullptr);
        if (unused >= 0) close(unused);
    }
    void aimAt(const std::string& host, uint16_t port) {
        std::ofstream("zvlink.prm") << "HOST=" << host << "\nPORT=" << port << "\n";
    }
    // A loopback port where nothing listens: connecting is refused at once.
    uint16_t closedPort() {
        if (unused < 0) unused = loopbackSocket(&unusedPort);
        return unusedPort;
    }
    // Connects to the fake solver, which answers the handshake first.
    void linkUp(std::function<void(FakeSolver&)> script) {
        aimAt("127.0.0.1", solver.port);
        solver.start([script](FakeSolver& f) {
            if (f.handshake()) script(f);
        });
        ASSERT_TRUE(startLink());
    }
    std::string log() { return zvtest::readFile(sandbox.dir + "/zvlinkclient.out"); }
    bool logged(const std::string& line) { return log().find(line + "\n") != std::string::npos; }

    zvtest::LogSandbox sandbox;
    FakeSolver solver;
    int unused = -1;
    uint16_t unusedPort = 0;
};

} // namespace zvlinktest
