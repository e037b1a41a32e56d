// Each fault of the stand-in solver does what it says, only to the call it is
// aimed at, and on every link; and what a block should not send ends the link
// in order.
#include <functional>

#include "solver_client.h"

namespace {

class SolverFault : public SolverSession {
  protected:
    using Check = std::function<void(SolverClient&)>;
    // A solver with these faults; check runs on two links in turn, after the
    // handshake or (onEachConnection) before it.
    void onEachLink(const std::vector<std::string>& faults, const Check& check, bool greet = true) {
        SCOPED_TRACE(testing::PrintToString(faults));
        start(faults);
        for (int run = 1; run <= 2; ++run) {
            SCOPED_TRACE("link " + std::to_string(run));
            std::unique_ptr<SolverClient> c = greet ? link() : connect();
            ASSERT_TRUE(c);
            check(*c);
        }
    }
    void onEachConnection(const std::vector<std::string>& faults, const Check& check) {
        onEachLink(faults, check, false);
    }
};

TEST_F(SolverFault, FaultsThatEndTheLink) {
    onEachLink({"close-after=2"}, [](SolverClient& c) {
        int32_t check = 0;
        double duration = 0;
        ASSERT_TRUE(c.dataExist("tank", "ZVDEMO", "6.1", &check));
        ASSERT_TRUE(c.call(FID_SLOPEN));
        EXPECT_FALSE(c.startup("tank", "ZVDEMO", &duration));
        EXPECT_EQ(c.lastFlag, uint32_t(FLAG_CLOSE));
        EXPECT_EQ(c.lastLength, 0);
        EXPECT_EQ(c.nextFlag(), uint32_t(FLAG_LOST));
    });
    onEachLink({"drop=ZVUPDATE:2"}, [](SolverClient& c) {
        double duration = 0;
        startRun(c, &duration);
        std::vector<double> y;
        int32_t doneSim = 0, adv = 0;
        ASSERT_TRUE(c.update(&y));
        ASSERT_TRUE(c.advance(0.1, {1, 1}, &doneSim, &adv));
        EXPECT_FALSE(c.update(&y));
        EXPECT_EQ(c.lastFlag, uint32_t(FLAG_LOST));
    });
    onEachLink({"cut=SLCZVPWR:2"}, [](SolverClient& c) {
        int32_t doneSim = 0, adv = 0;
        ASSERT_TRUE(c.advance(0.1, {1, 1}, &doneSim, &adv));
        EXPECT_FALSE(c.advance(0.1, {1, 1}, &doneSim, &adv));
        // The return's header came, its body stops half-way.
        EXPECT_EQ(c.lastFlag, uint32_t(FLAG_RETURN));
        EXPECT_EQ(c.sock->errorCode, XERROR_INCOMPLETE_MESSAGE);
        EXPECT_EQ(adv, 1);
    });
    onEachConnection({"refuse-handshake=NOPE"}, [](SolverClient& c) {
        std::string reply;
        EXPECT_EQ(c.handshake(&reply), uint32_t(FLAG_HANDSHAKE_REPLY));
        EXPECT_EQ(reply, "NOPE");
        EXPECT_EQ(c.nextFlag(), uint32_t(FLAG_LOST));
    });
}

TEST_F(SolverFault, WrongOrLateAnswers) {
    onEachLink({"bad-flag=1", "call-back=SLOPEN", "wrong-id=SLZVIMAN"}, [](SolverClient& c) {
        int32_t check = 0;
        EXPECT_FALSE(c.dataExist("tank", "ZVDEMO", "6.1", &check));
        EXPECT_EQ(c.lastFlag, 7u);
        EXPECT_EQ(c.lastLength, 0);
        EXPECT_FALSE(c.call(FID_SLOPEN));
        EXPECT_EQ(c.lastFlag, uint32_t(FLAG_CALL));
        MessageBuffer* call = receiveFunctionHeader(c.sock, c.lastLength);
        ASSERT_NE(call, nullptr);
        EXPECT_EQ(call->functionId, FID_ZVNUMSPEC);
        EXPECT_EQ(call->total, c.lastLength); // nothing of it is left unread
        freeMessageBuffer(call);
        double duration = 0;
        EXPECT_FALSE(c.startup("tank", "ZVDEMO", &duration));
        EXPECT_EQ(c.lastFlag, uint32_t(FLAG_RETURN));
        // The link carries on in step with the block.
        ASSERT_TRUE(c.dataExist("tank", "ZVDEMO", "6.1", &check));
        EXPECT_EQ(check, 1);
        ASSERT_TRUE(c.call(FID_CHECKBACK));
    });
    onEachLink({"stall=2@SLOPEN"}, [](SolverClient& c) {
        int32_t check = 0;
        ASSERT_TRUE(c.dataExist("tank", "ZVDEMO", "6.1", &check));
        setXSocketTimeout(c.sock, 1);
        EXPECT_FALSE(c.call(FID_SLOPEN));
        EXPECT_EQ(c.sock->errorCode, XSOCKET_ETIMEDOUT);
        setXSocketTimeout(c.sock, 10);
        EXPECT_EQ(c.nextFlag(), uint32_t(FLAG_RETURN));
    });
}

TEST_F(SolverFault, OddlyShapedAnswers) {
    onEachLink({"too-many-outputs=130"}, [](SolverClient& c) {
        double duration = 0;
        startRun(c, &duration);
        std::vector<double> y;
        ASSERT_TRUE(c.update(&y, 200));
        EXPECT_EQ(y.size(), 130u);
    });
    onEachConnection({"byte-by-byte"}, [](SolverClient& c) {
        ASSERT_TRUE(c.hello());
        char reply[11];
        int32_t first = 11;
        ASSERT_TRUE(readXSocket(c.sock, reply, &first));
        EXPECT_LT(first, 8); // a reader that wants the header in one receive is let down
        ASSERT_TRUE(readMessageData(c.sock, reply + first, 11 - first));
        EXPECT_EQ(std::string(reply, 11), std::string("\0\0\0\2\0\0\0\3OK", 11));
        // A return too: SLOPEN's, byte for byte.
        ASSERT_TRUE(writeMessageHeader(c.sock, FLAG_CALL, 8));
        ASSERT_TRUE(writeMessageData(c.sock, "\0\13\0\4()V", 8));
        char frame[16];
        ASSERT_TRUE(readMessageData(c.sock, frame, 16));
        EXPECT_EQ(std::string(frame, 16), std::string("\0\0\0\4\0\0\0\10\0\13\0\4()V", 16));
    });
}

TEST_F(SolverFault, WhatABlockShouldNotSendEndsTheLinkInOrder) {
    // An unknown byte flag is read past, a repeated handshake answered again,
    // and a function this solver does not serve ends the link.
    onEachLink({}, [](SolverClient& c) {
        ASSERT_TRUE(writeMessageHeader(c.sock, 9, 3));
        ASSERT_TRUE(writeMessageData(c.sock, "abc", 3));
        EXPECT_TRUE(c.greeted());
        int32_t rows = 0, rowLength = 8, result = 0;
        char* text = nullptr;
        EXPECT_FALSE(c.call(FID_GETCFDSPECIES, &rows, &rowLength, &text, &result));
        EXPECT_EQ(c.lastFlag, uint32_t(FLAG_CLOSE));
    });
    // SLCZVPWR whose input array claims 1000 doubles in a frame that holds none.
    onEachLink({}, [](SolverClient& c) {
        // id 15, the signature, dt = 1.0, then the count and nothing after it.
        const std::string body("\0\17\0\25([i]D[i]<D[b]I[b]I)V\0"
                               "\77\360\0\0\0\0\0\0\0\0\3\350",
                               37);
        ASSERT_TRUE(writeMessageHeader(c.sock, FLAG_CALL, uint32_t(body.size())));
        ASSERT_TRUE(writeMessageData(c.sock, body.data(), int32_t(body.size())));
        EXPECT_EQ(c.nextFlag(), uint32_t(FLAG_CLOSE));
    });
}

} // namespace
