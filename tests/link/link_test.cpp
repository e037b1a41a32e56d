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

} // namespace

using LinkHandshake = LinkTest;
using LinkExchange = LinkTest;

TEST_F(LinkHandshake, SendsExactHandshakeAndEndsWithEightByteClose) {
    bool closeSeen = false, endSeen = false;
    linkUp([&](FakeSolver& f) {
        Bytes b;
        closeSeen = f.readExact(b, 8) && b == Bytes("\0\0\0\5\0\0\0\0", 8);
        endSeen = f.readEnd();
    });
    EXPECT_TRUE(endLink());
    EXPECT_EQ(currentLink(), nullptr);
    solver.join();
    EXPECT_TRUE(closeSeen);
    EXPECT_TRUE(endSeen);
    EXPECT_TRUE(logged("DEBUG: sent handshake!  waiting for reply..."));
    EXPECT_TRUE(endLink()); // no link: nothing to send
}

TEST_F(LinkHandshake, AcceptsOnlyTheExactReplyOK) {
    struct Case {
        Bytes reply;
        bool accepted;
        std::string shown;
    } cases[] = {
        {"OK", true, ""},
        {Bytes("OK\0", 3), true, ""},
        {"ok", false, "ok"},
        {"OKAY", false, "OKAY"},
        {"", false, ""},
        // Only the start of a long reply is kept and shown.
        {Bytes(5000, 'x'), false, Bytes(63, 'x')},
    };
    for (const Case& c : cases) {
        FakeSolver peer;
        aimAt("127.0.0.1", peer.port);
        peer.start([&](FakeSolver& f) {
            f.readFrame();
            f.send(frame(2, c.reply));
            f.readEnd();
        });
        EXPECT_EQ(startLink(), c.accepted ? 1 : 0) << c.reply;
        if (!c.accepted) {
            EXPECT_TRUE(logged("ERROR: error in handshake reply: " + c.shown)) << c.reply;
            EXPECT_TRUE(logged("ERROR: error trying to initialize connection"));
        }
        closeLink();
        peer.join();
    }
}

TEST_F(LinkHandshake, ConnectFailuresLeaveAnUnconnectedLink) {
    for (auto target : {std::make_pair(std::string("nosuchhost.invalid"), uint16_t(4000)),
                        std::make_pair(std::string("127.0.0.1"), closedPort())}) {
        aimAt(target.first, target.second);
        EXPECT_FALSE(startLink()) << target.first;
        EXPECT_TRUE(logged("ERROR: error trying to initialize connection"));
        // The failed link stays, so calls fail on it instead of starting anew.
        ASSERT_NE(currentLink(), nullptr);
        EXPECT_EQ(getLink(), currentLink());
        EXPECT_FALSE(callSlOpen());
    }
    EXPECT_TRUE(logged("ERROR: XERROR_INVALID_HOST"));
}

TEST_F(LinkHandshake, CloseInsteadOfReplyLeavesNoLinkAndNextCallStartsOne) {
    aimAt("127.0.0.1", solver.port);
    solver.start([](FakeSolver& f) {
        f.readFrame();
        f.send(frame(5, ""));
    });
    EXPECT_TRUE(startLink()); // the callback returned
    EXPECT_EQ(currentLink(), nullptr);
    EXPECT_EQ(calls(), std::vector<int>{0});

    FakeSolver second;
    bool served = false;
    aimAt("127.0.0.1", second.port);
    second.start([&](FakeSolver& f) {
        served = f.handshake() && f.readFrame().body == slOpenCall.substr(8);
        f.send(slOpenReturn);
    });
    ASSERT_NE(getLink(), nullptr);
    EXPECT_TRUE(callSlOpen());
    closeLink();
    second.join();
    EXPECT_TRUE(served);
}

TEST_F(LinkExchange, HandlesEachKindOfAnswerToACall) {
    enum { WAIT, HANG_UP, SERVE_AGAIN };
    struct Case {
        const char* name;
        Bytes answer; // sent after the call is read
        int then;     // what the solver does next
        bool ok;      // first call's result
        bool linkKept;
        std::vector<int> callbacks;
        std::string line;
    } cases[] = {
        {"return", slOpenReturn, WAIT, true, true, {}, "DEBUG: received reply..."},
        {"OK first",
         frame(2, "OK") + slOpenReturn,
         WAIT,
         true,
         true,
         {},
         "DEBUG: process message: 2"},
        {"close", frame(5, ""), WAIT, false, false, {0}, "DEBUG: process message: 5"},
        {"lost",
         "",
         HANG_UP,
         false,
         false,
         {0},
         "ERROR: Server process closed communication or lost communication to server process."},
        {"incoming call",
         frame(3, header(FID_SLCLOSE, "([i]I)V") + be32(7)),
         SERVE_AGAIN,
         false,
         true,
         {},
         "ERROR: unknown function call (16)"},
        {"unknown flag",
         frame(9, "abcde"),
         SERVE_AGAIN,
         false,
         true,
         {},
         "ERROR: unknown message: 9"},
        {"flag 0", frame(0, ""), SERVE_AGAIN, false, true, {}, "ERROR: unknown message: 0"},
        {"wrong id",
         frame(4, header(FID_CHECKBACK, "()V")),
         WAIT,
         false,
         false,
         {},
         "ERROR: Error while trying to unpack return"},
        {"bad reply", frame(2, "NO"), WAIT, false, true, {}, "ERROR: error in handshake reply: NO"},
        {"2 GB length",
         be32(9) + be32(0x80000000u),
         WAIT,
         false,
         false,
         {},
         "ERROR: unknown message: 9"},
        {"length past the stream",
         be32(1) + be32(0x7ffffff0u) + "abc",
         HANG_UP,
         false,
         true,
         {},
         "    Error receiving entire message"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        calls().clear();
        FakeSolver peer;
        aimAt("127.0.0.1", peer.port);
        bool secondServed = false;
        peer.start([&](FakeSolver& f) {
            if (!f.handshake() || f.readFrame().body != slOpenCall.substr(8)) return;
            f.send(c.answer);
            if (c.then == HANG_UP) return;
            if (c.then == WAIT) return void(f.readEnd());
            secondServed = f.readFrame().body == slOpenCall.substr(8);
            f.send(slOpenReturn);
            f.readEnd();
        });
        ASSERT_TRUE(startLink());
        EXPECT_EQ(callSlOpen(), c.ok ? 1 : 0);
        EXPECT_EQ(currentLink() != nullptr, c.linkKept);
        EXPECT_EQ(calls(), c.callbacks);
        EXPECT_TRUE(logged(c.line)) << log();
        if (c.then == SERVE_AGAIN) {
            EXPECT_TRUE(callSlOpen()); // the link is still in step
        }
        closeLink();
        peer.join();
        EXPECT_EQ(secondServed, c.then == SERVE_AGAIN);
    }
}

TEST_F(LinkExchange, PlainReturnLogsOnlyTheExchangeLines) {
    linkUp([](FakeSolver& f) {
        f.readFrame();
        f.send(slOpenReturn);
        f.readEnd();
    });
    size_t before = log().size();
    EXPECT_TRUE(callSlOpen());
    EXPECT_EQ(log().substr(before), "DEBUG: sending function call: 11\n"
                                    "DEBUG: sent function!  waiting for reply...\n"
                                    "DEBUG: received reply...\n");
}
