#include <gtest/gtest.h>

#include <thread>

#include "protocol/wire_peer.h"
#include "support/zvtest.h"

using namespace wiretest;

namespace {

std::string errorText(const XSocket* s) {
    return s->errorMessage ? s->errorMessage : "";
}

TEST(ProtocolFramingOut, NumbersLeaveBigEndianAndTheCallerKeepsItsData) {
    WirePair pair;
    const int32_t one = 1;
    const uint16_t u258 = 258;
    const double d = 1.0;
    const float f = 1.0f;
    std::vector<double> many(300);
    for (size_t i = 0; i < many.size(); ++i)
        many[i] = double(i) + 0.25;
    const std::vector<double> original = many;

    ASSERT_TRUE(writeMessageHeader(pair.local, FLAG_CLOSE, 0));
    ASSERT_TRUE(writeMessageArray(pair.local, &one, 4, 4) &&
                writeMessageArray(pair.local, &u258, 2, 2));
    ASSERT_TRUE(writeMessageArray(pair.local, &d, 8, 8) && writeMessageArray(pair.local, &f, 4, 4));
    ASSERT_TRUE(writeMessageArray(pair.local, "abc", 1, 3));
    ASSERT_TRUE(writeMessageArray(pair.local, many.data(), 8, 2400));

    Wire expected;
    expected.raw({0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 1, 1, 2});
    expected.raw({0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0x3F, 0x80, 0, 0}).text("abc");
    for (double v : original)
        expected.f64(v);
    EXPECT_EQ(pair.peerReadAll(), expected.bytes);
    EXPECT_EQ(many, original);
}

TEST(ProtocolFramingIn, FieldsDeliveredOneByteAtATimeStillArrive) {
    WirePair pair;
    const Bytes sent = Wire().u32(FLAG_RETURN).u32(6).text("abcdef").bytes;
    std::thread peer([&] {
        for (uint8_t b : sent) {
            pair.peerWrite({b});
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
        {{}, nullptr},
        {{0, 0, 0}, "Error receiving byte flag"},
        {{0, 0, 0, 3}, "Error receiving message length"},
        {{0, 0, 0, 3, 0, 0}, "Error receiving message length"},
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
    ASSERT_TRUE(pair.peerWrite(Wire().text("short").bytes));
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
    ASSERT_TRUE(
        pair.peerWrite(Wire().u32(FLAG_RETURN).u32(0x80000000u).u16(16).sig("([i]I)V").bytes));
    uint32_t flag = 0;
    int32_t length = 0;
    ASSERT_TRUE(readMessageHeader(pair.local, &flag, &length));
    EXPECT_LT(length, 0);
    EXPECT_EQ(receiveFunctionHeader(pair.local, length), nullptr);
    EXPECT_EQ(pair.local->errorCode, XERROR_INCOMPLETE_MESSAGE);
    EXPECT_EQ(pair.localReadRest(), Wire().u16(16).sig("([i]I)V").bytes);
}

TEST(ProtocolMessageBuffer, MeasuringSumsSizesAndRefusesSizesThatWrap) {
    WirePair pair;
    MessageBuffer* measure = newMessageBuffer(pair.local, 0);
    double values[3] = {1, 2, 3};
    void* slot = values;
    EXPECT_TRUE(transferField(measure, &slot, 8, 3, FIELD_SEND));
    EXPECT_TRUE(transferField(measure, &slot, 1, 5, FIELD_SEND | FIELD_ARRAY));
    EXPECT_EQ(measure->total, 29);
    EXPECT_FALSE(transferField(measure, &slot, 8, INT32_MAX, FIELD_SEND));
    EXPECT_FALSE(transferField(measure, &slot, 4, -1, FIELD_SEND));
    freeMessageBuffer(measure);
    EXPECT_TRUE(pair.peerReadAll().empty());
}

} // namespace
