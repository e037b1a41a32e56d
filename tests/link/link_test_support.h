// A scripted solver for link tests: a raw loopback socket driven from a
// thread, so that the wire bytes are the test's own; every wait bounded.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "link/link.h"
#include "log/zvlog.h"
#include "support/net.h"
#include "support/wire.h"
#include "support/zvtest.h"

namespace zvlinktest {

using namespace zvproc; // the wire-byte builders

using zvnet::loopbackSocket;

// Accepts one block and runs the script on it in a thread; the connection
// closes when the script ends.
class FakeSolver {
  public:
    FakeSolver() : listener(loopbackSocket(&port)) { listen(listener, 1); }
    ~FakeSolver() {
        join();
        zvnet::closeHandle(listener);
    }
    void start(std::function<void(FakeSolver&)> script) {
        worker = std::thread([this, script] {
            if ((conn = accept(listener, nullptr, nullptr)) == zvnet::NONE) return;
            zvnet::limitWaits(conn, 10);
            script(*this);
            zvnet::closeHandle(conn);
        });
    }
    void join() {
        if (worker.joinable()) worker.join();
    }
    // One whole frame, header included; empty when none came in time, or
    // when the block closed its end.
    Bytes readFrame() {
        Bytes h(8, '\0');
        if (zvnet::receiveAll(conn, &h[0], 8) != 8) return Bytes();
        Bytes body(be32At(h, 4), '\0');
        return body.empty() || zvnet::receiveAll(conn, &body[0], body.size()) == body.size()
                   ? h + body
                   : Bytes();
    }
    void send(const Bytes& b) { (void)zvnet::sendSome(conn, b.data(), b.size()); }
    // Answers the handshake with "OK"; false when it was not the handshake.
    bool handshake() {
        bool ok = readFrame() == frame(1, Bytes("ZVI|LINK|VER:1\0", 15));
        send(frame(2, "OK"));
        return ok;
    }

    uint16_t port = 0;

  private:
    zvnet::Handle listener, conn = zvnet::NONE;
    std::thread worker;
};

// A clean working folder, the log at every level into zvlinkclient.out, and
// the error callback recorded.
struct LinkTest : ::testing::Test {
    inline static std::vector<int> calls;
    static void record(int32_t code) { calls.push_back(code); }
    void SetUp() override {
        calls.clear();
        openLog("zvlinkclient.out");
        setLogLevel(LOG_TRACE);
        setErrorCallback(record);
    }
    void TearDown() override {
        closeLink();
        solver.join();
        setErrorCallback(nullptr);
        zvnet::closeHandle(unused);
    }
    void aimAt(const std::string& host, uint16_t port) {
        zvtest::writeFile("zvlink.prm", "HOST=" + host + "\nPORT=" + std::to_string(port) + "\n");
    }
    // A solver of its own for one case, the block aimed at it.
    void serve(FakeSolver& peer, std::function<void(FakeSolver&)> script) {
        aimAt("127.0.0.1", peer.port);
        peer.start(std::move(script));
    }
    // Connects to the fake solver, which answers the handshake first.
    void linkUp(std::function<void(FakeSolver&)> script) {
        serve(solver, [script](FakeSolver& f) {
            if (f.handshake()) script(f);
        });
        ASSERT_TRUE(startLink());
    }
    std::string log() { return zvtest::readFile(sandbox.dir + "/zvlinkclient.out"); }
    bool logged(const std::string& line) { return log().find(line + "\n") != std::string::npos; }

    zvtest::LogSandbox sandbox;
    FakeSolver solver;
    // A loopback port where nothing listens: connecting is refused at once.
    uint16_t closedPort = 0;
    zvnet::Handle unused = loopbackSocket(&closedPort);
};

} // namespace zvlinktest
