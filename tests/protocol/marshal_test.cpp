#include <gtest/gtest.h>

#include <cstring>

#include "protocol/wire_peer.h"
#include "remote/catalogue.h"

using namespace wiretest;

namespace {

TEST(ProtocolSignatureCheck, GrammarPointsAtTheFirstOffendingCharacter) {
    struct {
        const char* text;
        int result;
    } cases[] = {{"", 0},         {"(", 0},        {"()V", -1},     {"([x]I)V", 2},
                 {"([i]I)", 5},   {"([i]I", -1},   {"[i]I)V", 0},   {"([i]<<D)V", 5},
                 {"([i]D)I", -1}, {"([o]<C)X", 7}, {"([i]I)V ", 7}, {"()", 1}};
    for (const auto& c : cases)
        EXPECT_EQ(checkSignature(c.text), c.result) << c.text;
    for (uint16_t id = 1; id <= FID_INVALID; ++id) {
        EXPECT_EQ(checkSignature(functionSignature(id)), -1) << functionName(id);
    }
}

TEST(ProtocolMarshalOut, CallsAndReturnsMatchTheWireByteForByte) {
    WirePair pair;
    int32_t sl = 0;
    ASSERT_TRUE(sendMessage(pair.local, FID_SLCLOSE, 1, &sl));
    ASSERT_TRUE(sendMessage(pair.local, FID_SLCLOSE, 0, &sl));
    for (uint16_t id : {uint16_t(0), uint16_t(19), uint16_t(65535)}) {
        ASSERT_TRUE(sendMessage(pair.local, id, 1));
    }
    // GETCFDSPECIES: the call carries only the row length of its text block.
    int32_t species = 2, rows = 2, rowLength = 3, result = 7;
    char names[] = "COXN2_";
    char* text = names;
    ASSERT_TRUE(
        sendMessage(pair.local, FID_GETCFDSPECIES, 1, &species, &rows, &rowLength, &text, &result));
    ASSERT_TRUE(
        sendMessage(pair.local, FID_GETCFDSPECIES, 0, &species, &rows, &rowLength, &text, &result));

    Wire w;
    w.raw({0, 0, 0, 3, 0, 0, 0, 16, 0, 16, 0, 8});
    w.raw({0x28, 0x5B, 0x69, 0x5D, 0x49, 0x29, 0x56, 0, 0, 0, 0, 0});
    w.raw(Wire().u16(16).sig("([i]I)V").frame(FLAG_RETURN));
    w.raw(Wire().u16(0).sig("()V").frame(FLAG_CALL));
    w.raw(Wire().u16(19).sig("()V").frame(FLAG_CALL));
    w.raw(Wire().u16(65535).sig("()V").frame(FLAG_CALL));
    w.raw(Wire().u16(9).sig("([o]I[o]<C)I").u32(3).frame(FLAG_CALL));
    w.raw(Wire()
              .u16(9)
              .sig("([o]I[o]<C)I")
              .u32(2)
              .u32(2)
              .u32(3)
              .text("COXN2_")
              .u32(7)
              .frame(FLAG_RETURN));
    EXPECT_EQ(pair.peerReadAll(), w.bytes);
}

TEST(ProtocolMarshalOut, AdvanceCallCarriesEveryInputInOrder) {
    WirePair pair;
    double delta = 0.5;
    std::vector<double> inputs(300);
    for (size_t i = 0; i < inputs.size(); ++i)
        inputs[i] = -double(i);
    double* data = inputs.data();
    int32_t n = 300, doneSim = 1, adv = 0;
    ASSERT_TRUE(sendMessage(pair.local, FID_SLCZVPWR, 1, &delta, &n, &data, &doneSim, &adv));

    Wire body;
    body.u16(15).sig("([i]D[i]<D[b]I[b]I)V").f64(0.5).u32(300);
    for (double v : inputs)
        body.f64(v);
    body.u32(1).u32(0);
    EXPECT_EQ(pair.peerReadAll(), body.frame(FLAG_CALL));
}

// The solver's side of the protocol, serving one advance on its own thread.
TEST(ProtocolMarshalRoundTrip, ServedAdvanceOverwritesTheBothWaysFields) {
    WirePair pair;
    XSocket* solver = newXSocket();
    solver->handle = pair.peer;
    setXSocketTimeout(solver, 5);
    pair.peer = -1;

    std::vector<double> seen;
    int served = 0;
    std::thread peer([&] {
        uint32_t flag = 0;
        int32_t length = 0;
        if (!readMessageHeader(solver, &flag, &length) || flag != FLAG_CALL) return;
        MessageBuffer* call = receiveFunctionHeader(solver, length);
        if (call == nullptr) return;
        double delta = 0;
        double* in = nullptr;
        int32_t n = 0, doneSim = 0, adv = 0;
        if (unpackFunctionCall(call, &delta, &n, &in, &doneSim, &adv) && call->total == length) {
            seen.assign(in, in + n);
            seen.push_back(delta);
            doneSim = -2;
            adv = doneSim + 1 + n;
            served = sendFunctionReturn(call, &delta, &n, &in, &doneSim, &adv);
        }
        freeMessageBuffer(call);
    });

    double delta = 0.25;
    double inputs[3] = {1.5, -2.5, 3.5};
    double* data = inputs;
    int32_t n = 3, doneSim = 1, adv = 0;
    const int sent = sendMessage(pair.local, FID_SLCZVPWR, 1, &delta, &n, &data, &doneSim, &adv);
    const int received = receiveReturn(pair.local, FID_SLCZVPWR, &delta, &n, &data, &doneSim, &adv);
    peer.join();
    releaseXSocket(solver);

    ASSERT_TRUE(sent);
    ASSERT_TRUE(served);
    ASSERT_TRUE(received);
    EXPECT_EQ(seen, (std::vector<double>{1.5, -2.5, 3.5, 0.25}));
    EXPECT_EQ(doneSim, -2);
    EXPECT_EQ(adv, 2);
}

// A return that does not unpack must leave the caller's memory beyond its
// capacity untouched, whatever the peer claims.
struct GuardedValues {
    double memory[130];
    double* values = memory + 1;
    static constexpr double kCanary = -12345.0;
    GuardedValues() {
        for (double& d : memory)
            d = kCanary;
    }
    bool canariesIntact() const { return memory[0] == kCanary && memory[129] == kCanary; }
};

Bytes updateReturn(int32_t count, uint16_t id = FID_ZVUPDATE) {
    Wire w;
    w.u16(id).sig("([o]<D)V").u32(uint32_t(count));
    for (int32_t i = 0; i < count && i < 200; ++i)
        w.f64(i + 1.0);
    return w.frame(FLAG_RETURN);
}

TEST(ProtocolMarshalIn, UpdateReturnFillsUpToTheCallersCapacity) {
    WirePair pair;
    GuardedValues g;
    int32_t count = 128;
    ASSERT_TRUE(pair.peerWrite(updateReturn(128)));
    ASSERT_TRUE(receiveReturn(pair.local, FID_ZVUPDATE, &count, &g.values));
    EXPECT_EQ(count, 128);
    EXPECT_EQ(g.values[0], 1.0);
    EXPECT_EQ(g.values[127], 128.0);
    EXPECT_TRUE(g.canariesIntact());
}

TEST(ProtocolMarshalIn, ReturnsThatDoNotFitAreRefused) {
    struct Case {
        const char* what;
        Bytes frame;
    } cases[] = {
        {"more than the capacity", updateReturn(129)},
        {"negative count", updateReturn(-1)},
        {"count beyond the frame", Wire().u16(14).sig("([o]<D)V").u32(0x10000000).frame(4)},
        {"another id", updateReturn(1, FID_SLOPEN)},
        {"signature without its zero byte",
         Wire().u16(14).u16(8).text("([o]<D)V").u32(0).frame(FLAG_RETURN)},
        {"signature of another row", Wire().u16(14).sig("([o]<R)V").u32(0).frame(FLAG_RETURN)},
        {"zero-length signature", Wire().u16(14).u16(0).u32(0).frame(FLAG_RETURN)},
    };
    for (const Case& c : cases) {
        WirePair pair;
        GuardedValues g;
        int32_t count = 128;
        ASSERT_TRUE(pair.peerWrite(c.frame));
        EXPECT_FALSE(receiveReturn(pair.local, FID_ZVUPDATE, &count, &g.values)) << c.what;
        EXPECT_EQ(count, 128) << c.what;
        EXPECT_EQ(g.values[0], GuardedValues::kCanary) << c.what;
        EXPECT_TRUE(g.canariesIntact()) << c.what;
    }
}

TEST(ProtocolMarshalIn, ReturnForAnotherIdLeavesItsFieldsUnread) {
    WirePair pair;
    ASSERT_TRUE(pair.peerWrite(updateReturn(1)));
    int32_t sl = 0;
    EXPECT_FALSE(receiveReturn(pair.local, FID_SLCLOSE, &sl));
    EXPECT_EQ(pair.localReadRest(), Wire().u32(1).f64(1.0).bytes);
}

TEST(ProtocolMarshalIn, TextBlockReturnIsBoundedByRowsTimesRowLength) {
    const Bytes fits = Wire()
                           .u16(9)
                           .sig("([o]I[o]<C)I")
                           .u32(5)
                           .u32(3)
                           .u32(2)
                           .text("AABBCC")
                           .u32(1)
                           .frame(FLAG_RETURN);
    const Bytes tooWide = Wire()
                              .u16(9)
                              .sig("([o]I[o]<C)I")
                              .u32(5)
                              .u32(1)
                              .u32(7)
                              .text("AABBCCD")
                              .u32(1)
                              .frame(FLAG_RETURN);
    for (const Bytes* frame : {&fits, &tooWide}) {
        WirePair pair;
        char memory[8];
        std::memset(memory, '#', sizeof memory);
        char* text = memory;
        int32_t species = 0, rows = 2, rowLength = 3, result = 0;
        ASSERT_TRUE(pair.peerWrite(*frame));
        const int ok = receiveReturn(pair.local, FID_GETCFDSPECIES, &species, &rows, &rowLength,
                                     &text, &result);
        EXPECT_EQ(memory[6], '#');
        if (frame == &fits) {
            ASSERT_TRUE(ok);
            EXPECT_EQ(std::string(memory, 6), "AABBCC");
            EXPECT_EQ(species + rows + rowLength + result, 5 + 3 + 2 + 1);
        } else {
            EXPECT_FALSE(ok);
        }
    }
}

TEST(ProtocolMarshalServe, HostileCallsFailWithoutAllocatingPastTheFrame) {
    struct Case {
        const char* what;
        Bytes body;
    } cases[] = {
        {"negative count", Wire().u16(15).sig("([i]D[i]<D[b]I[b]I)V").f64(1).u32(0xFFFFFFFF).bytes},
        {"huge count", Wire().u16(15).sig("([i]D[i]<D[b]I[b]I)V").f64(1).u32(0x7FFFFFFF).bytes},
    };
    for (const Case& c : cases) {
        WirePair pair;
        ASSERT_TRUE(pair.peerWrite(c.body));
        MessageBuffer* call = receiveFunctionHeader(pair.local, int32_t(c.body.size()));
        ASSERT_NE(call, nullptr) << c.what;
        double delta = 0;
        double* in = nullptr;
        int32_t n = 0, doneSim = 0, adv = 0;
        EXPECT_FALSE(unpackFunctionCall(call, &delta, &n, &in, &doneSim, &adv)) << c.what;
        EXPECT_EQ(in, nullptr) << c.what;
        EXPECT_EQ(call->head, call->tail) << c.what; // the signature's chunk only
        freeMessageBuffer(call);
    }

    WirePair pair;
    const Bytes body = Wire().u16(1).sig("([i]C[i]C)I").u32(1000).text("ab").bytes;
    ASSERT_TRUE(pair.peerWrite(body));
    MessageBuffer* call = receiveFunctionHeader(pair.local, int32_t(body.size()));
    ASSERT_NE(call, nullptr);
    int32_t fileLength = 0, codeLength = 0, result = 0;
    char* file = nullptr;
    char* code = nullptr;
    EXPECT_FALSE(unpackFunctionCall(call, &fileLength, &file, &codeLength, &code, &result));
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(call->head, call->tail);
    freeMessageBuffer(call);
}

} // namespace
