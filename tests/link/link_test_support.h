// A scripted solver for link tests: a raw loopback socket driven from a
// thread, so that the wire bytes the block sends and receives are the test's
// own and not the protocol library's. Every wait is bounded.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "link/link.h"
#include "log/test_support.h"
#include "log/zvlog.h"

namespace zvlinktest {

using Bytes = std::string;

inline Bytes be32(uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
inline Bytes be16(uint16_t v) {
    return {char(v >> 8), char(v)};
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
    return be16(id) + be16(uint16_t(signature.size() + 1)) + signature + Bytes(1, '\0');
}
inline Bytes handshakeFrame() {
    return frame(1, Bytes("ZVI|LINK|VER:1", 14) + Bytes(1, '\0'));
}

struct Frame {
    uint32_t flag = 0;
    Bytes body;
    bool ok = false;
};

// Listens on 127.0.0.1, port 0; the script runs in a thread once start() is
// called and the connection is closed when it ends.
class FakeSolver {
  public:
    FakeSolver() {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        if (bind(listener, (sockaddr*)&a, n) == 0 && listen(listener, 1) == 0 &&
            getsockname(listener, (sockaddr*)&a, &n) == 0)
            port = ntohs(a.sin_port);
    }
    ~FakeSolver() {
        join();
        if (listener >= 0) close(listener);
    }
    void start(std::function<void(FakeSolver&)> script) {
        worker = std::thread([this, script] {
            if (waitFor(listener, POLLIN)) conn = accept(listener, nullptr, nullptr);
            if (conn >= 0) script(*this);
            if (conn >= 0) close(conn);
            conn = -1;
        });
    }
    void join() {
        if (worker.joinable()) worker.join();
    }

    bool readExact(Bytes& out, size_t n) {
        out.assign(n, '\0');
        for (size_t got = 0; got < n;) {
            if (!waitFor(conn, POLLIN)) return false;
            ssize_t r = recv(conn, &out[got], n - got, 0);
            if (r <= 0) return false;
            got += size_t(r);
        }
        return true;
    }
    Frame readFrame() {
        Frame f;
        Bytes h;
        if (!readExact(h, 8)) return f;
        auto u32 = [&](size_t i) {
            return uint32_t(uint8_t(h[i])) << 24 | uint32_t(uint8_t(h[i + 1])) << 16 |
                   uint32_t(uint8_t(h[i + 2])) << 8 | uint8_t(h[i + 3]);
        };
        f.flag = u32(0);
        f.ok = readExact(f.body, u32(4));
        return f;
    }
    void send(const Bytes& b) { (void)::send(conn, b.data(), b.size(), MSG_NOSIGNAL); }
    // Answers the handshake with "OK"; false when it was not a handshake.
    bool handshake() {
        Frame f = readFrame();
        send(frame(2, "OK"));
        return f.ok && frame(f.flag, f.body) == handshakeFrame();
    }
    // True when the block closed its end (or sent nothing more) in time.
    bool readEnd() {
        char c;
        return waitFor(conn, POLLIN) && recv(conn, &c, 1, 0) == 0;
    }

    uint16_t port = 0;
    int conn = -1;

  private:
    static bool waitFor(int fd, short events) {
        pollfd p{fd, events, 0};
        return poll(&p, 1, 10000) == 1;
    }
    int listener = -1;
    std::thread worker;
};

// A clean working folder with a settings file aimed at a fake solver, the
// log at every level into zvlinkclient.out, and the error callback recorded.
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
        if (unused < 0) unused = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t n = sizeof a;
        if (bind(unused, (sockaddr*)&a, n) != 0 || getsockname(unused, (sockaddr*)&a, &n) != 0)
            ADD_FAILURE() << "no port to leave unused";
        return ntohs(a.sin_port);
    }
    // Connects to the fake solver, which first answers the handshake.
    void linkUp(std::function<void(FakeSolver&)> script) {
        aimAt("127.0.0.1", solver.port);
        solver.start([script](FakeSolver& f) {
            if (f.handshake()) script(f);
        });
        ASSERT_TRUE(startLink());
        ASSERT_NE(currentLink(), nullptr);
    }
    std::string log() { return zvtest::readFile(sandbox.dir + "/zvlinkclient.out"); }
    bool logged(const std::string& line) { return log().find(line + "\n") != std::string::npos; }

    zvtest::LogSandbox sandbox;
    FakeSolver solver;
    int unused = -1;
};

} // namespace zvlinktest
