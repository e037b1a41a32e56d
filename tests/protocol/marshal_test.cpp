#include <gtest/gtest.h>

#include "protocol/wire_peer.h"
#include "protocol/catalogue.h"

using namespace wiretest;

namespace {

const std::string ADVANCE = "([i]D[i]<D[b]I[b]I)V";

TEST(ProtocolSignatureCheck, GrammarPointsAtTheFirstOffendingCharacter) {
    struct {
        const char* text;
        int result;
    } cases[] = {{"", 0},       {"(", 0},      {"()V", -1},      {"([x]I)V", 2},
                 {"([i]I)", 5}, {"([i]I", -1}, {"([i]<<D)V", 5}, {"([o]<C)X", 7}};
    for (const auto& c : cases)
        EXPECT_EQ(checkSignature(c.text), c.result) << c.text;
    for (uint16_t id = 1; id <= FID_INVALID; ++id)
        EXPECT_EQ(checkSignature(functionSignature(id)), -1) << id;
}

TEST(ProtocolMarshalOut, CallsAndReturnsMatchTheWireByteForByte) {
    WirePair pair;
    int32_t sl = 0;
    ASSERT_TRUE(sendMessage(pair.local, FID_SLCLOSE, 1, &sl) &&
                sendMessage(pair.local, FID_SLCLOSE, 0, &sl));
    for (uint16_t id : {0, 19, 65535}) // unknown ids go out as "()V"
        ASSERT_TRUE(sendMessage(pair.local, id, 1));
    // GETCFDSPECIES: the call carries only the row length of its text block.
    int32_t species = 2, rows = 2, rowLength = 3, result = 7;
    char* text = nullptr; // an output: the call only tells its room
    ASSERT_TRUE(
        sendMessage(pair.local, FID_GETCFDSPECIES, 1, &species, &rows, &rowLength, &text, &result));

    Bytes w("\0\0\0\3\0\0\0\x10\0\x10\0\x08([i]I)V\0\0\0\0\0", 24);
    w += frame(FLAG_RETURN, header(16, "([i]I)V"));
    for (uint16_t id : {0, 19, 65535})
        w += frame(FLAG_CALL, header(id, "()V"));
    w += frame(FLAG_CALL, header(9, "([o]I[o]<C)I") + be32(3));
    EXPECT_EQ(pair.peerReadAll(), w);
}

// The solver's side: the both-ways fields come in with the call and go back
// changed in the return.
TEST(ProtocolMarshalServe, AdvanceReturnCarriesTheBothWaysFields) {
    WirePair pair;
    const Bytes body = header(15, ADVANCE) + beDouble(0.25) + be32(2) + beDouble(1.5) +
                       beDouble(-2.5) + ints({1, 0});
    ASSERT_TRUE(pair.peerWrite(body));
    MessageBuffer* call = receiveFunctionHeader(pair.local, int32_t(body.size()));
    ASSERT_NE(call, nullptr);
    double delta = 0, *in = nullptr;
    int32_t n = 0, doneSim = 0, adv = 9;
    EXPECT_TRUE(unpackFunctionCall(call, &delta, &n, &in, &doneSim, &adv));
    EXPECT_TRUE(n == 2 && in[1] == -2.5 && doneSim == 1 && adv == 0);
    doneSim = -2;
    adv = 3;
    EXPECT_TRUE(sendFunctionReturn(call, &delta, &n, &in, &doneSim, &adv));
    freeMessageBuffer(call);
    EXPECT_EQ(pair.peerReadAll(),
              frame(FLAG_RETURN, header(15, ADVANCE) + ints({uint32_t(-2), 3})));
}

Bytes updateReturn(int32_t count, uint16_t id = FID_ZVUPDATE) {
    Bytes body = header(id, "([o]<D)V") + be32(uint32_t(count));
    for (int32_t i = 0; i < count && i < 200; ++i)
        body += beDouble(i + 1.0);
    return frame(FLAG_RETURN, body);
}

// Whatever the solver claims, nothing lands beyond the room the caller has,
// and a refused return is read to its end, whatever its size.
TEST(ProtocolMarshalIn, UpdateReturnIsBoundedByTheCallersCapacity) {
    struct Case {
        const char* what;
        Bytes frame;
    } cases[] = {
        {"exactly the capacity", updateReturn(128)},
        {"more than the capacity", updateReturn(129)},
        {"negative count", updateReturn(-1)},
        {"count beyond the frame", frame(4, header(14, "([o]<D)V") + be32(0x10000000))},
        {"another id", updateReturn(1, FID_SLOPEN)},
        {"signature without its zero byte", frame(4, Bytes("\0\x0e\0\x08([o]<D)V", 12) + be32(0))},
        {"signature of another row", frame(FLAG_RETURN, header(14, "([o]<R)V") + be32(0))},
        {"more than the capacity, longer than the stage", updateReturn(1000)},
        {"another id, longer than the stage",
         frame(FLAG_RETURN, header(FID_SLOPEN, "()V") + Bytes(6000, 7))},
        {"empty", frame(FLAG_RETURN, "")},
    };
    const double canary = -12345.0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WirePair pair;
        double memory[130];
        std::fill(memory, memory + 130, canary);
        double* values = memory + 1;
        int32_t count = 128;
        ASSERT_TRUE(pair.peerWrite(c.frame));
        const bool fits = &c == &cases[0];
        EXPECT_EQ(receiveReturn(pair.local, FID_ZVUPDATE, &count, &values), fits);
        EXPECT_EQ(count, 128);
        EXPECT_EQ(values[127], fits ? 128.0 : canary);
        EXPECT_TRUE(memory[0] == canary && memory[129] == canary);
        EXPECT_EQ(pair.localReadRest(), Bytes()); // the next frame starts in step
    }
}

// A list laid out from the signature packs what a stub's arguments would,
// and a return in memory unpacks into one; a text block's room is rows x
// row length, whatever the rows the return brings. Fields whose size passes
// 2 GB make no message.
TEST(ProtocolMarshalIn, ArgumentListPacksAndUnpacksAReturnInMemory) {
    const char* signature = functionSignature(FID_GETCFDSPECIES);
    ArgumentList out, fits, tooSmall;
    ASSERT_TRUE(initArgumentList(&out, signature, 6) && initArgumentList(&fits, signature, 6) &&
                initArgumentList(&tooSmall, signature, 5));
    out.ints[0] = 2, out.ints[1] = 2, out.ints[2] = 3, out.ints[4] = 7;
    std::memcpy(out.data[3], "COXN2_", 6);
    std::memset(tooSmall.data[3], '#', 5);
    unsigned char packed[64];
    int32_t length = 0;
    ASSERT_TRUE(packFunctionMessage(FID_GETCFDSPECIES, &out.fields, 0, packed, 64, &length));
    EXPECT_EQ(Bytes(packed, packed + length),
              frame(4, header(9, signature) + ints({2, 2, 3}) + "COXN2_" + be32(7)));
    EXPECT_EQ(unpackFunctionReturn(9, packed + 8, length - 8, &fits.fields, nullptr),
              RETURN_UNPACKED);
    EXPECT_TRUE(fits.ints[0] == 2 && fits.ints[1] == 2 && fits.ints[2] == 3 && fits.ints[4] == 7 &&
                std::memcmp(fits.data[3], "COXN2_", 6) == 0);
    EXPECT_EQ(unpackFunctionReturn(9, packed + 8, length - 8, &tooSmall.fields, nullptr),
              RETURN_REFUSED);
    EXPECT_EQ(std::string(static_cast<char*>(tooSmall.data[3]), 5), "#####");
    out.ints[2] = INT32_MAX;
    EXPECT_EQ(measureFunctionMessage(FID_GETCFDSPECIES, &out.fields, 0), -1);
    for (ArgumentList* list : {&out, &fits, &tooSmall})
        freeArgumentList(list);
}

TEST(ProtocolMarshalServe, HostileCallsFailWithoutAllocatingPastTheFrame) {
    const Bytes bodies[] = {
        header(15, ADVANCE) + beDouble(1) + be32(0xFFFFFFFF),
        header(15, ADVANCE) + beDouble(1) + be32(0x7FFFFFFF),
        header(1, "([i]C[i]C)I") + be32(1000) + "ab",
    };
    for (const Bytes& body : bodies) {
        WirePair pair;
        ASSERT_TRUE(pair.peerWrite(body));
        MessageBuffer* call = receiveFunctionHeader(pair.local, int32_t(body.size()));
        ASSERT_NE(call, nullptr);
        double delta = 0;
        double* in = nullptr;
        int32_t n = 0, doneSim = 0, adv = 0;
        char* text = nullptr;
        const int ok = call->functionId == FID_ZVFLU
                           ? unpackFunctionCall(call, &n, &text, &doneSim, &text, &adv)
                           : unpackFunctionCall(call, &delta, &n, &in, &doneSim, &adv);
        EXPECT_FALSE(ok);
        EXPECT_TRUE(in == nullptr && text == nullptr);
        EXPECT_EQ(call->head, call->tail); // the signature's chunk only
        freeMessageBuffer(call);
    }
}

} // namespace
