// The link's handshake, call exchange and end against a scripted solver.
#include "link/link_test_support.h"

#include "remote/catalogue.h"

using namespace zvlinktest;

namespace {

const Bytes slOpenCall = frame(3, header(FID_SLOPEN, "()V"));
const Bytes slOpenReturn = frame(4, header(FID_SLOPEN, "()V"));

int callSlOpen() {
    return callRemote(currentLink(), processMessage, FID_SLOPEN);
}

using LinkHandshake = LinkTest;
using LinkExchange = LinkTest;

} // namespace

TEST_F(LinkHandshake, SendsExactHandshakeAndEndsWithEightByteClose) {
    bool closed = false; // the handshake bytes are checked by linkUp
    linkUp([&](FakeSolver& f) {
        closed = f.readFrame() == Bytes("\0\0\0\5\0\0\0\0", 8) && f.readEnd();
    });
    EXPECT_TRUE(endLink());
    EXPECT_EQ(currentLink(), nullptr);
    solver.join();
    EXPECT_TRUE(closed);
    EXPECT_TRUE(endLink()); // nothing left to close
}

TEST_F(LinkHandshake, AcceptsOnlyTheReplyOK) {
    const struct {
        Bytes reply;
        std::string shown; // empty: accepted
    } cases[] = {{"OK", ""},   {Bytes("OK\0", 3), ""},
                 {"ok", "ok"}, {"OKAY", "OKAY"},
                 {"", "\n"},   {Bytes(5000, 'x'), Bytes(63, 'x')}};
    for (const auto& c : cases) {
        FakeSolver peer;
        aimAt("127.0.0.1", peer.port);
        peer.start([&](FakeSolver& f) {
            f.readFrame();
            f.send(frame(2, c.reply));
            f.readEnd();
        });
        EXPECT_EQ(startLink(), c.shown.empty()) << c.reply;
        if (!c.shown.empty()) {
            EXPECT_NE(log().find("ERROR: error in handshake reply: " + c.shown), std::string::npos);
        }
        closeLink();
    }
}

TEST_F(LinkHandshake, FailedConnectLeavesALinkThatFailsEveryCall) {
    for (auto target : {std::make_pair(std::string("nosuchhost.invalid"), uint16_t(4000)),
                        std::make_pair(std::string("127.0.0.1"), closedPort())}) {
        aimAt(target.first, target.second);
        EXPECT_FALSE(startLink()) << target.first;
        EXPECT_TRUE(logged("ERROR: error trying to initialize connection"));
        ASSERT_NE(currentLink(), nullptr);
        EXPECT_EQ(getLink(), currentLink()); // no new start
        EXPECT_FALSE(callSlOpen());
    }
    EXPECT_TRUE(logged("ERROR: XERROR_INVALID_HOST"));
    EXPECT_TRUE(calls().empty());
}

TEST_F(LinkHandshake, CloseForAReplyLeavesNoLinkAndTheNextCallStartsOne) {
    aimAt("127.0.0.1", solver.port);
    solver.start([](FakeSolver& f) {
        f.readFrame();
        f.send(frame(5, ""));
    });
    EXPECT_TRUE(startLink()); // the callback returned
    EXPECT_EQ(currentLink(), nullptr);
    EXPECT_EQ(calls(), std::vector<int>{0});

    FakeSolver second;
    aimAt("127.0.0.1", second.port);
    second.start([&](FakeSolver& f) {
        if (f.handshake() && f.readFrame() == slOpenCall) f.send(slOpenReturn);
    });
    EXPECT_TRUE(callRemote(getLink(), processMessage, FID_SLOPEN));
}

TEST_F(LinkExchange, HandlesEachKindOfAnswerToACall) {
    enum { WAIT, HANG_UP, SERVE_AGAIN };
    const Bytes incoming = frame(3, header(FID_SLCLOSE, "([i]I)V") + be32(7));
    const struct {
        Bytes answer; // sent once the call is in
        int then;
        bool ok, linkKept, closedCallback;
        std::string line;
    } cases[] = {
        {slOpenReturn, WAIT, true, true, false, "DEBUG: received reply..."},
        {frame(2, "OK") + slOpenReturn, WAIT, true, true, false, "DEBUG: process message: 2"},
        {frame(5, ""), WAIT, false, false, true, "DEBUG: process message: 5"},
        {"", HANG_UP, false, false, true,
         "ERROR: Server process closed communication or lost communication to server process."},
        // Refused, and its arguments dropped so that the link stays in step.
        {incoming, SERVE_AGAIN, false, true, false, "ERROR: unknown function call (16)"},
        {frame(9, "abcde"), SERVE_AGAIN, false, true, false, "ERROR: unknown message: 9"},
        {frame(4, header(FID_CHECKBACK, "()V")), WAIT, false, false, false,
         "ERROR: Error while trying to unpack return"},
        // A length of 2 GB or more: the stream cannot be trusted.
        {be32(9) + be32(0x80000000u), WAIT, false, false, false, "ERROR: unknown message: 9"},
        // Read and dropped in pieces until the stream ends.
        {be32(1) + be32(0x7ffffff0u) + "abc", HANG_UP, false, true, false,
         "    Error receiving entire message"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        calls().clear();
        FakeSolver peer;
        aimAt("127.0.0.1", peer.port);
        peer.start([&](FakeSolver& f) {
            if (!f.handshake() || f.readFrame() != slOpenCall) return;
            f.send(c.answer);
            if (c.then == WAIT) f.readEnd();
            if (c.then == SERVE_AGAIN && f.readFrame() == slOpenCall) f.send(slOpenReturn);
        });
        ASSERT_TRUE(startLink());
        EXPECT_EQ(callSlOpen(), c.ok);
        EXPECT_EQ(currentLink() != nullptr, c.linkKept);
        EXPECT_EQ(calls(), c.closedCallback ? std::vector<int>{0} : std::vector<int>{});
        EXPECT_TRUE(logged(c.line)) << log();
        if (c.then == SERVE_AGAIN) {
            EXPECT_TRUE(callSlOpen());
        }
        closeLink();
    }
}
