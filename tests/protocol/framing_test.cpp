#include <gtest/gtest.h>

#include <thread>

#include "protocol/catalogue.h"
#include "protocol/wire_peer.h"
#include "support/zvtest.h"

using namespace wiretest;

namespace {

std::string errorText(const XSocket* s) {
    return s->errorMessage ? s->errorMessage : "";
}

// The advance's 600 doubles pass the stack stage: that frame is packed on
// the heap, and still leaves in one piece.
TEST(ProtocolFramingOut, NumbersLeaveBigEndianAndTheCallerKeepsItsData) {
    WirePair pair;
    std::vector<double> many(600);
    for (size_t i = 0; i < many.size(); ++i)
        many[i] = double(i) + 0.25;
    const std::vector<double> original = many;
    double delta = 1.0, *data = many.data();
    float f = 1.0f, *floats = &f;
    int32_t n = 600, one = 1, u258 = 258;
    ASSERT_TRUE(writeMessageHeader(pair.local, FLAG_CLOSE, 0));
    ASSERT_TRUE(sendMessage(pair.local, FID_SLCZVPWR, 1, &delta, &n, &data, &one, &u258));
    ASSERT_TRUE(sendMessage(pair.local, FID_BCTRANSFER, 1, &one, &u258, &f, &f, &f, &one, &floats));

    Bytes advance = header(15, "([i]D[i]<D[b]I[b]I)V") + beDouble(1.0) + be32(600);
    for (double v : original)
        advance += beDouble(v);
    advance += ints({1, 258});
    const Bytes transfer = header(6, "([i]I[i]I[i]R[i]R[i]R[i]<R)I") + ints({1, 258}) +
                           beFloats({1.0f, 1.0f, 1.0f}) + be32(1) + beFloats({1.0f});
    EXPECT_EQ(pair.peerReadAll(),
              frame(FLAG_CLOSE, "") + frame(FLAG_CALL, advance) + frame(FLAG_CALL, transfer));
    EXPECT_EQ(many, original);
}

TEST(ProtocolFramingIn, FieldsDeliveredOneByteAtATimeStillArrive) {
    WirePair pair;
    const Bytes sent = frame(FLAG_RETURN, "abcdef");
    std::thread peer([&] {
        for (char b : sent) {
            pair.peerWrite(Bytes(1, b));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    uint32_t flag = 0;
    int32_t length = 0;
    char body[7] = {};
    const int header = readMessageHeader(pair.local, &flag, &length);
    const int data = readMessageData(pair.local, body, 6);
    peer.join();
    ASSERT_TRUE(header && data);
    EXPECT_EQ(flag, uint32_t(FLAG_RETURN));
    EXPECT_EQ(length, 6);
    EXPECT_STREQ(body, "abcdef");
}

TEST(ProtocolFramingIn, PeerClosingMidStreamGivesTheThreeOutcomes) {
    struct Case {
        Bytes sent;
        const char* message; // none: the link was lost between frames
    } cases[] = {
        {"", nullptr},
        {Bytes(3, '\0'), "Error receiving byte flag"},
        {be32(3), "Error receiving message length"},
        {be32(3) + Bytes(2, '\0'), "Error receiving message length"},
    };
    for (const Case& c : cases) {
        WirePair pair;
        ASSERT_TRUE(pair.peerWrite(c.sent));
        pair.closePeer();
        uint32_t flag = 99;
        int32_t length = 99;
        ASSERT_EQ(readMessageHeader(pair.local, &flag, &length), c.message == nullptr);
        if (c.message == nullptr) {
            EXPECT_EQ(flag, uint32_t(FLAG_LOST));
            EXPECT_EQ(length, 0);
        } else {
            EXPECT_EQ(pair.local->errorCode, XERROR_INCOMPLETE_MESSAGE);
            EXPECT_EQ(errorText(pair.local), c.message);
        }
    }
}

TEST(ProtocolFramingIn, BodyCutShortLogsThreeErrorLines) {
    zvtest::LogSandbox sandbox;
    ASSERT_TRUE(openLog("protocol.out"));
    WirePair pair;
    ASSERT_TRUE(pair.peerWrite("short"));
    pair.closePeer();
    char body[10];
    EXPECT_FALSE(readMessageData(pair.local, body, 10));
    logXSocketError(pair.local);
    zvtest::LogSandbox::resetLog();
    EXPECT_EQ(zvtest::readFile("protocol.out"),
              "ERROR: XERROR_INCOMPLETE_MESSAGE\n"
              "ERROR:     Library Error: Message sent/received is not complete.\n"
              "ERROR:     Error receiving entire message\n");
}

TEST(ProtocolFramingIn, LengthOfTwoToTheThirtyFirstIsNegativeAndFitsNothing) {
    WirePair pair;
    ASSERT_TRUE(pair.peerWrite(ints({FLAG_RETURN, 0x80000000u}) + header(16, "([i]I)V")));
    uint32_t flag = 0;
    int32_t length = 0;
    ASSERT_TRUE(readMessageHeader(pair.local, &flag, &length));
    EXPECT_LT(length, 0);
    EXPECT_EQ(receiveFunctionHeader(pair.local, length), nullptr);
    EXPECT_EQ(pair.local->errorCode, XERROR_INCOMPLETE_MESSAGE);
    EXPECT_EQ(pair.localReadRest(), header(16, "([i]I)V"));
}

} // namespace
