// Each fault of the stand-in solver does what it says, and only to the call
// it is aimed at.
#include <cstring>

#include <gtest/gtest.h>

#include "solver_client.h"

namespace {

using SolverFault = SolverSession;

TEST_F(SolverFault, CloseAfterAnsweringNCallsOnEveryLink) {
    start({"close-after=2"});
    for (int run = 0; run < 2; ++run) {
        auto c = link();
        ASSERT_TRUE(c);
        int32_t check = 0;
        double duration = 0;
        ASSERT_TRUE(c->dataExist("tank", "ZVDEMO", "6.1", &check));
        ASSERT_TRUE(c->noArgs(FID_SLOPEN));
        EXPECT_FALSE(c->startup("tank", "ZVDEMO", &duration));
        EXPECT_EQ(c->lastFlag, uint32_t(FLAG_CLOSE));
        EXPECT_EQ(c->lastLength, 0);
        uint32_t flag = 0;
        int32_t length = 0;
        ASSERT_TRUE(c->nextHeader(&flag, &length));
        EXPECT_EQ(flag, uint32_t(FLAG_LOST));
    }
}

TEST_F(SolverFault, DropAndCutEndTheConnectionInsideTheAimedCall) {
    start({"drop=ZVUPDATE:2", "cut=SLCZVPWR:2"});
    {
        auto c = link();
        ASSERT_TRUE(c);
        double duration = 0;
        startRun(*c, &duration);
        std::vector<double> y;
        int32_t doneSim = 0, adv = 0;
        ASSERT_TRUE(c->update(&y));
        ASSERT_TRUE(c->advance(0.1, {1, 1}, &doneSim, &adv));
        EXPECT_FALSE(c->update(&y));
        EXPECT_EQ(c->lastFlag, uint32_t(FLAG_LOST));
    }
    {
        auto c = link();
        ASSERT_TRUE(c);
        int32_t doneSim = 0, adv = 0;
        ASSERT_TRUE(c->advance(0.1, {1, 1}, &doneSim, &adv));
        EXPECT_FALSE(c->advance(0.1, {1, 1}, &doneSim, &adv));
        // The return's header came, its body stops half-way.
        EXPECT_EQ(c->lastFlag, uint32_t(FLAG_RETURN));
        EXPECT_EQ(c->socket()->errorCode, XERROR_INCOMPLETE_MESSAGE);
        EXPECT_EQ(adv, 1);
    }
}

TEST_F(SolverFault, RefusedHandshakeEndsTheLink) {
    start({"refuse-handshake=NOPE"});
    std::unique_ptr<SolverClient> c(SolverClient::connectTo(port));
    ASSERT_TRUE(c);
    std::string reply;
    EXPECT_EQ(c->handshake(&reply), uint32_t(FLAG_HANDSHAKE_REPLY));
    EXPECT_EQ(reply, "NOPE");
    uint32_t flag = 0;
    int32_t length = 0;
    ASSERT_TRUE(c->nextHeader(&flag, &length));
    EXPECT_EQ(flag, uint32_t(FLAG_LOST));
}

TEST_F(SolverFault, WrongAnswersLeaveTheStreamClean) {
    start({"bad-flag=1", "call-back=SLOPEN", "wrong-id=SLZVIMAN"});
    auto c = link();
    ASSERT_TRUE(c);
    int32_t check = 0;
    EXPECT_FALSE(c->dataExist("tank", "ZVDEMO", "6.1", &check));
    EXPECT_EQ(c->lastFlag, 7u);
    EXPECT_EQ(c->lastLength, 0);

    EXPECT_FALSE(c->noArgs(FID_SLOPEN));
    EXPECT_EQ(c->lastFlag, uint32_t(FLAG_CALL));
    MessageBuffer* call = receiveFunctionHeader(c->socket(), c->lastLength);
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(call->functionId, FID_ZVNUMSPEC);
    EXPECT_EQ(call->total, c->lastLength); // nothing of it is left unread
    freeMessageBuffer(call);

    double duration = 0;
    EXPECT_FALSE(c->startup("tank", "ZVDEMO", &duration));
    EXPECT_EQ(c->lastFlag, uint32_t(FLAG_RETURN));

    // The link carries on in step with the block.
    ASSERT_TRUE(c->dataExist("tank", "ZVDEMO", "6.1", &check));
    EXPECT_EQ(check, 1);
    ASSERT_TRUE(c->noArgs(FID_CHECKBACK));
}

TEST_F(SolverFault, TooManyOutputs) {
    start({"too-many-outputs=130"});
    auto c = link();
    ASSERT_TRUE(c);
    double duration = 0;
    startRun(*c, &duration);
    std::vector<double> y;
    ASSERT_TRUE(c->update(&y, 200));
    EXPECT_EQ(y.size(), 130u);
}

TEST_F(SolverFault, ByteByByteFramesArriveInPiecesButWhole) {
    start({"byte-by-byte"});
    std::unique_ptr<SolverClient> c(SolverClient::connectTo(port));
    ASSERT_TRUE(c);
    static const char text[] = "ZVI|LINK|VER:1";
    ASSERT_TRUE(writeMessageHeader(c->socket(), 1, 15));
    ASSERT_TRUE(writeMessageData(c->socket(), text, 15));
    int32_t first = 8;
    unsigned char header[8];
    ASSERT_TRUE(readXSocket(c->socket(), header, &first));
    EXPECT_LT(first, 8); // a reader that wants the header in one receive is let down
    ASSERT_TRUE(readMessageData(c->socket(), header + first, 8 - first));
    char body[3];
    ASSERT_TRUE(readMessageData(c->socket(), body, 3));
    EXPECT_STREQ(body, "OK");
    // A return too: SLOPEN's, byte for byte.
    ASSERT_TRUE(c->sendCall(FID_SLOPEN));
    unsigned char frame[16];
    ASSERT_TRUE(readMessageData(c->socket(), frame, 16));
    const unsigned char expected[16] = {0, 0, 0, 4, 0, 0, 0, 8, 0, 11, 0, 4, '(', ')', 'V', 0};
    EXPECT_EQ(0, memcmp(frame, expected, 16));
}

TEST_F(SolverFault, StallHoldsTheAnswerBack) {
    start({"stall=3@SLOPEN"});
    auto c = link();
    ASSERT_TRUE(c);
    int32_t check = 0;
    ASSERT_TRUE(c->dataExist("tank", "ZVDEMO", "6.1", &check));
    setXSocketTimeout(c->socket(), 1);
    EXPECT_FALSE(c->noArgs(FID_SLOPEN));
    EXPECT_EQ(c->socket()->errorCode, XSOCKET_ETIMEDOUT);
    setXSocketTimeout(c->socket(), 10);
    uint32_t flag = 0;
    int32_t length = 0;
    ASSERT_TRUE(c->nextHeader(&flag, &length));
    EXPECT_EQ(flag, uint32_t(FLAG_RETURN));
}

TEST(SolverFaultLaunch, NoConnectFromTheEnvironmentNeverConnectsBack) {
    ScratchDir dir;
    XSocket* listener = newXSocket();
    setXSocketTimeout(listener, 2);
    ASSERT_TRUE(listenXSocket(listener, 1));
    SolverProcess solver({"ZVlink", "-i:" + std::to_string(getXSocketLocalPort(listener))},
                         dir.path, "no-connect=30");
    XSocket* accepted = newXSocket();
    EXPECT_FALSE(acceptXSocket(listener, accepted));
    EXPECT_EQ(listener->errorCode, XSOCKET_ETIMEDOUT);
    releaseXSocket(accepted);
    releaseXSocket(listener);
    EXPECT_EQ(solver.terminate(), 0); // and a signal still ends it
}

TEST_F(SolverFault, UnexpectedMessagesFromTheBlock) {
    start();
    auto c = link();
    ASSERT_TRUE(c);
    // An unknown byte flag is read past; a repeated handshake is answered again.
    ASSERT_TRUE(writeMessageHeader(c->socket(), 9, 3));
    ASSERT_TRUE(writeMessageData(c->socket(), "abc", 3));
    std::string reply;
    EXPECT_EQ(c->handshake(&reply), uint32_t(FLAG_HANDSHAKE_REPLY));
    EXPECT_EQ(reply, "OK");
    // A catalogue function this solver does not serve ends the link in order.
    int32_t rows = 0, rowLength = 8, result = 0;
    char* text = nullptr;
    EXPECT_FALSE(c->exchangeRaw(FID_GETCFDSPECIES, &rows, &rowLength, &text, &result));
    EXPECT_EQ(c->lastFlag, uint32_t(FLAG_CLOSE));
}

} // namespace

namespace {

TEST_F(SolverFault, MalformedCallEndsTheLinkInOrder) {
    start();
    auto c = link();
    ASSERT_TRUE(c);
    // SLCZVPWR whose input array claims 1000 doubles in a frame that holds none.
    const char signature[] = "([i]D[i]<D[b]I[b]I)V";
    std::vector<unsigned char> body = {0, 15, 0, sizeof signature};
    body.insert(body.end(), signature, signature + sizeof signature);
    const unsigned char dtAndCount[12] = {0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0, 0, 0x03, 0xE8};
    body.insert(body.end(), dtAndCount, dtAndCount + 12);
    ASSERT_TRUE(writeMessageHeader(c->socket(), FLAG_CALL, uint32_t(body.size())));
    ASSERT_TRUE(writeMessageData(c->socket(), body.data(), int32_t(body.size())));
    uint32_t flag = 0;
    int32_t length = 0;
    ASSERT_TRUE(c->nextHeader(&flag, &length));
    EXPECT_EQ(flag, uint32_t(FLAG_CLOSE));
    c.reset();
    EXPECT_TRUE(link()); // the next block is served as usual
}

} // namespace
