// The link's handshake, call exchange and end against a scripted solver.
#include "link/link_test_support.h"

#include "protocol/catalogue.h"

#include <atomic>
#include <chrono>

using namespace zvlinktest;

const Bytes slOpenCall = frame(3, header(FID_SLOPEN, "()V"));
const Bytes slOpenReturn = frame(4, header(FID_SLOPEN, "()V"));

int callSlOpen() {
    return callRemote(currentLink(), processMessage, FID_SLOPEN);
}

// Only "OK" is accepted; a refused reply is answered with a close and leaves
// a link without a connection, a close instead of a reply leaves no link,
// and the next call starts one, which ends with an eight-byte close.
TEST_F(LinkTest, AnswersToTheHandshake) {
    const Bytes close = frame(5, "");
    const struct {
        Bytes answer;
        std::string shown; // logged as refused; empty: accepted
    } cases[] = {{frame(2, Bytes("OK\0", 3)), ""},
                 {frame(2, "ok"), "ok"},
                 {frame(2, "OKAY"), "OKAY"},
                 {frame(2, ""), "\n"},
                 {frame(2, Bytes(5000, 'x')), Bytes(63, 'x')},
                 {close, ""}};
    for (const auto& c : cases) {
        bool told = false;
        FakeSolver peer;
        serve(peer, [&](FakeSolver& f) {
            f.readFrame();
            f.send(c.answer);
            told = f.readFrame() == close;
        });
        EXPECT_EQ(startLink(), c.shown.empty()) << c.answer; // after a close: the callback returned
        EXPECT_TRUE(c.shown.empty() ||
                    log().find("ERROR: error in handshake reply: " + c.shown) != std::string::npos);
        EXPECT_EQ(currentLink() == nullptr, c.answer == close);
        EXPECT_TRUE(c.shown.empty() || currentLink()->handle == XSOCKET_INVALID_HANDLE);
        if (c.answer != close) closeLink();
        peer.join();
        EXPECT_EQ(told, !c.shown.empty());
    }
    EXPECT_EQ(calls, std::vector<int>{0});

    bool closed = false;
    serve(solver, [&](FakeSolver& f) {
        if (f.handshake() && f.readFrame() == slOpenCall) f.send(slOpenReturn);
        closed = f.readFrame() == Bytes("\0\0\0\5\0\0\0\0", 8) && f.readFrame().empty();
    });
    EXPECT_TRUE(callRemote(getLink(), processMessage, FID_SLOPEN));
    EXPECT_TRUE(endLink());
    EXPECT_EQ(currentLink(), nullptr);
    solver.join();
    EXPECT_TRUE(closed);
}

TEST_F(LinkTest, HandlesEachKindOfAnswerToACall) {
    enum { WAIT, HANG_UP, SERVE_AGAIN };
    const Bytes incoming = frame(3, header(FID_SLCLOSE, "([i]I)V") + be32(7));
    const struct {
        Bytes answer; // sent once the call is in
        int then;
        bool ok, linkKept, closedCallback;
        std::string line;
    } cases[] = {
        {frame(2, "OK") + slOpenReturn, WAIT, true, true, false, "DEBUG: process message: 2"},
        {frame(5, ""), WAIT, false, false, true, "DEBUG: process message: 5"},
        {"", HANG_UP, false, false, true,
         "ERROR: Server process closed communication or lost communication to server process."},
        // Something else before the return fails the call; the return still
        // comes and is dropped before the next call's.
        {incoming + slOpenReturn, SERVE_AGAIN, false, true, false,
         "ERROR: unknown function call (16)"},
        {frame(9, "abcde") + slOpenReturn, SERVE_AGAIN, false, true, false,
         "ERROR: unknown message: 9"},
        {frame(4, "") + slOpenReturn, SERVE_AGAIN, false, true, false,
         "ERROR: Error while trying to unpack return"},
        // A return refused for what it holds was the answer: read to its end.
        {frame(4, header(FID_CHECKBACK, "()V")), SERVE_AGAIN, false, true, false,
         "ERROR: Error while trying to unpack return"},
        // A length of 2 GB or more: the stream cannot be trusted.
        {be32(9) + be32(0x80000000u), WAIT, false, false, false, "ERROR: unknown message: 9"},
        // Read and dropped in pieces until the stream ends inside it.
        {be32(1) + be32(0x7ffffff0u) + "abc", HANG_UP, false, false, false,
         "    Error receiving entire message"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        calls.clear();
        FakeSolver peer;
        serve(peer, [&](FakeSolver& f) {
            if (!f.handshake() || f.readFrame() != slOpenCall) return;
            f.send(c.answer);
            if (c.then == WAIT) f.readFrame();
            if (c.then == SERVE_AGAIN && f.readFrame() == slOpenCall) f.send(slOpenReturn);
        });
        ASSERT_TRUE(startLink());
        EXPECT_EQ(callSlOpen(), c.ok);
        EXPECT_EQ(currentLink() != nullptr, c.linkKept);
        EXPECT_EQ(calls, c.closedCallback ? std::vector<int>{0} : std::vector<int>{});
        EXPECT_TRUE(logged(c.line)) << log();
        EXPECT_TRUE(c.then != SERVE_AGAIN || callSlOpen());
        closeLink();
    }
}

// A call whose whole return does not come in time fails as a lost link
// does, and the solver is told (a late handshake reply: the launch tests).
TEST_F(LinkTest, TimeoutBoundsEveryWaitForACall) {
    // A stalled return, a trickled one (a byte every 0.2 s), a solver that
    // stopped reading the calls (no close frame then: the stream may hold
    // part of one).
    std::atomic<bool> done{false};
    const std::string late = "ERROR: no answer to SLOPEN within 0.5 s (TIMEOUT in zvlink.prm); "
                             "taking the solver as lost";
    for (const int way : {0, 1, 2}) { // stalled, trickled, stopped reading
        SCOPED_TRACE(way);
        calls.clear();
        done = false;
        bool told = false;
        FakeSolver peer;
        serve(peer, [&](FakeSolver& f) {
            if (!f.handshake()) return;
            for (int i = 0; way == 2 && i < 400 && !done; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (way == 2) return;
            f.readFrame();
            for (size_t i = 0; way == 1 && i < slOpenReturn.size(); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(200)),
                    f.send(Bytes(1, slOpenReturn[i]));
            told = f.readFrame() == frame(5, "");
        });
        zvtest::writeFile("zvlink.prm", zvtest::readFile("zvlink.prm") + "TIMEOUT=0.5\n");
        ASSERT_TRUE(startLink());
        if (way == 2) {
            // Junk until the socket takes no more: the solver reads nothing.
            const Bytes junk(1 << 16, 'j');
            setXSocketDeadline(currentLink(), 500);
            while (writeXSocket(currentLink(), junk.data(), int32_t(junk.size())) > 0) {
            }
        }
        EXPECT_FALSE(callSlOpen());
        done = true;
        EXPECT_EQ(currentLink(), nullptr);
        EXPECT_EQ(calls, std::vector<int>{0});
        EXPECT_TRUE(logged(way < 2 ? late
                                   : "ERROR: SLOPEN not sent within 0.5 s (TIMEOUT in zvlink.prm): "
                                     "the solver stopped reading; taking it as lost"))
            << log();
        peer.join();
        EXPECT_EQ(told, way < 2); // no close frame behind a torn one
    }
}
