#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "alloc_hook.h"
#include "protocol/protocol.h"
#include "remote/catalogue.h"
#include "solver/session.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Pair {
    XSocket* local = nullptr;
    int peer = -1;
    explicit Pair(int type = SOCK_STREAM) {
        int fds[2];
        if (socketpair(AF_UNIX, type, 0, fds) != 0) return;
        timeval limit{5, 0};
        setsockopt(fds[1], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(fds[0], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        local = newXSocket();
        local->handle = fds[0];
        peer = fds[1];
    }
    ~Pair() {
        releaseXSocket(local);
        if (peer >= 0) close(peer);
    }
    Bytes peerRead(size_t most) {
        Bytes b(most);
        const ssize_t n = recv(peer, b.data(), most, 0);
        b.resize(n > 0 ? size_t(n) : 0);
        return b;
    }
    bool peerWrite(const Bytes& b) { return write(peer, b.data(), b.size()) == ssize_t(b.size()); }
};

int send(XSocket* s, uint16_t id, int isCall, ...) {
    va_list args;
    va_start(args, isCall);
    const int ok = sendFunctionMessage(s, id, args, isCall);
    va_end(args);
    return ok;
}

int receive(XSocket* s, uint16_t id, ...) {
    uint32_t flag = 0;
    int32_t length = 0;
    if (!readMessageHeader(s, &flag, &length) || flag != FLAG_RETURN) return 0;
    va_list args;
    va_start(args, id);
    const int ok = receiveFunctionReturn(id, s, length, args);
    va_end(args);
    return ok;
}

// The advance call as the wire carries it, built independently of the code.
Bytes advanceFrame(double delta, const std::vector<double>& in, int32_t doneSim, int32_t adv) {
    Bytes body = {0, FID_SLCZVPWR, 0, 21};
    const std::string sig = "([i]D[i]<D[b]I[b]I)V";
    body.insert(body.end(), sig.begin(), sig.end());
    body.push_back(0);
    auto u32 = [&](uint32_t v) {
        for (int s = 24; s >= 0; s -= 8)
            body.push_back(uint8_t(v >> s));
    };
    auto f64 = [&](double d) {
        uint64_t v;
        memcpy(&v, &d, 8);
        u32(uint32_t(v >> 32));
        u32(uint32_t(v));
    };
    f64(delta);
    u32(uint32_t(in.size()));
    for (double d : in)
        f64(d);
    u32(uint32_t(doneSim));
    u32(uint32_t(adv));
    Bytes frame;
    const uint32_t header[2] = {FLAG_CALL, uint32_t(body.size())};
    for (uint32_t h : header)
        for (int s = 24; s >= 0; s -= 8)
            frame.push_back(uint8_t(h >> s));
    frame.insert(frame.end(), body.begin(), body.end());
    return frame;
}

// A frame that fits the stage goes out as one write: on a packet socket
// every write is one record. Larger frames still go out byte-exact.
TEST(FastPathSend, StagedFrameIsOneWriteAndLargeFramesStayExact) {
    for (int32_t n : {0, 8, 128, 505, 506, 600}) {
        SCOPED_TRACE(n);
        std::vector<double> in(static_cast<size_t>(n));
        for (int32_t i = 0; i < n; ++i)
            in[size_t(i)] = 0.1 * i - 3.0;
        double delta = 0.001, *data = in.data();
        int32_t count = n, doneSim = -1, adv = 41;
        const Bytes expected = advanceFrame(delta, in, doneSim, adv);
        const bool staged = expected.size() <= 4096; // 505 doubles fit, 506 do not
        EXPECT_EQ(staged, n <= 505);

        Pair packets(SOCK_SEQPACKET);
        ASSERT_TRUE(send(packets.local, FID_SLCZVPWR, 1, &delta, &count, &data, &doneSim, &adv));
        const Bytes first = packets.peerRead(65536);
        if (staged) {
            EXPECT_EQ(first, expected);
        } else {
            EXPECT_EQ(first.size(), 8u); // the header went first
        }

        Pair stream;
        ASSERT_TRUE(send(stream.local, FID_SLCZVPWR, 1, &delta, &count, &data, &doneSim, &adv));
        shutdown(stream.local->handle, SHUT_WR);
        Bytes all;
        for (Bytes piece; !(piece = stream.peerRead(65536)).empty();)
            all.insert(all.end(), piece.begin(), piece.end());
        EXPECT_EQ(all, expected);
    }
}

// A return from the stage and one read field by field land the same, and
// the awaited return leaves the stream at the start of the next frame.
TEST(FastPathReceive, ReturnsEitherSideOfTheStageAgreeAndKeepTheStreamInStep) {
    for (int32_t n : {3, 128, 600}) {
        SCOPED_TRACE(n);
        Pair pair;
        std::vector<double> sent(static_cast<size_t>(n)), got(static_cast<size_t>(n), -1.0);
        for (int32_t i = 0; i < n; ++i)
            sent[size_t(i)] = std::ldexp(1.0 + i, i % 40 - 20);
        int32_t count = n;
        double* values = sent.data();
        // Our own side writes the solver's return, then a close frame.
        ASSERT_TRUE(send(pair.local, FID_ZVUPDATE, 0, &count, &values));
        ASSERT_TRUE(writeMessageHeader(pair.local, FLAG_CLOSE, 0));
        Bytes loop;
        for (Bytes piece; loop.size() < 8 + 13 + 4 + 8 * size_t(n) + 8;) {
            piece = pair.peerRead(65536);
            ASSERT_FALSE(piece.empty());
            loop.insert(loop.end(), piece.begin(), piece.end());
        }
        ASSERT_TRUE(pair.peerWrite(loop));

        int32_t capacity = n;
        double* into = got.data();
        ASSERT_TRUE(receive(pair.local, FID_ZVUPDATE, &capacity, &into));
        EXPECT_EQ(capacity, n);
        EXPECT_EQ(got, sent);
        uint32_t flag = 0;
        int32_t length = -1;
        ASSERT_TRUE(readMessageHeader(pair.local, &flag, &length));
        EXPECT_EQ(flag, uint32_t(FLAG_CLOSE));
        EXPECT_EQ(length, 0);
    }
}

// What a step sends and receives on the block's side costs no heap.
TEST(FastPathReceive, StepCallsAndReturnsAllocateNothing) {
    if (!zvbench::allocationsCounted()) GTEST_SKIP() << "sanitizer build";
    Pair pair;
    std::vector<double> in(128, 0.5), out(128, 0.0);
    // The solver's two returns, prepared before counting.
    int32_t count = 128, doneSim = 0, adv = 7;
    double delta = 0.001, *data = in.data();
    ASSERT_TRUE(send(pair.local, FID_ZVUPDATE, 0, &count, &data));
    ASSERT_TRUE(send(pair.local, FID_SLCZVPWR, 0, &delta, &count, &data, &doneSim, &adv));
    Bytes returns;
    while (returns.size() < (8 + 13 + 4 + 1024) + (8 + 25 + 8)) {
        Bytes piece = pair.peerRead(65536);
        ASSERT_FALSE(piece.empty());
        returns.insert(returns.end(), piece.begin(), piece.end());
    }
    ASSERT_TRUE(pair.peerWrite(returns));

    int32_t capacity = 128, n = 128, sentDone = -1, sentAdv = 3;
    double* into = out.data();
    zvbench::startCountingAllocations();
    const bool ok = send(pair.local, FID_ZVUPDATE, 1, &capacity, &into) &&
                    receive(pair.local, FID_ZVUPDATE, &capacity, &into) &&
                    send(pair.local, FID_SLCZVPWR, 1, &delta, &n, &data, &sentDone, &sentAdv) &&
                    receive(pair.local, FID_SLCZVPWR, &delta, &n, &data, &sentDone, &sentAdv);
    const long allocations = zvbench::stopCountingAllocations();
    ASSERT_TRUE(ok);
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(out, in);
    EXPECT_EQ(sentAdv, 7);
}

// The solver takes a call whole: a refused one leaves nothing behind, an
// accepted one unpacks from memory.
TEST(FastPathReceive, WholeCallsLeaveTheStreamAtTheNextFrame) {
    const std::vector<double> in = {1.5, -2.5};
    Bytes good = advanceFrame(0.25, in, 0, 9);
    Bytes refused = good;
    refused[8 + 4 + 5] = 'R'; // "<D" becomes "<R": not the catalogue's text
    for (bool accept : {true, false}) {
        SCOPED_TRACE(accept);
        Pair pair;
        ASSERT_TRUE(pair.peerWrite(accept ? good : refused));
        ASSERT_TRUE(pair.peerWrite({0, 0, 0, 5, 0, 0, 0, 0}));
        uint32_t flag = 0;
        int32_t length = 0;
        ASSERT_TRUE(readMessageHeader(pair.local, &flag, &length));
        MessageBuffer* call = receiveFunctionMessage(pair.local, length);
        EXPECT_EQ(call != nullptr, accept);
        if (call) {
            double delta = 0, *values = nullptr;
            int32_t n = 0, doneSim = -1, adv = 0;
            EXPECT_TRUE(unpackFunctionCall(call, &delta, &n, &values, &doneSim, &adv));
            ASSERT_EQ(n, 2);
            EXPECT_EQ(std::vector<double>(values, values + n), in);
            EXPECT_EQ(delta, 0.25);
            EXPECT_EQ(adv, 9);
            // The frame says more than the fields: unpacking again runs past it.
            EXPECT_FALSE(unpackFunctionCall(call, &delta, &n, &values, &doneSim, &adv));
            freeMessageBuffer(call);
        }
        ASSERT_TRUE(readMessageHeader(pair.local, &flag, &length));
        EXPECT_EQ(flag, uint32_t(FLAG_CLOSE));
    }
}

std::string printed(double v) {
    char text[64];
    snprintf(text, sizeof text, "%.9g", v);
    return text;
}

TEST(SolverResultNumbers, MatchPrintfNineSignificantDigits) {
    std::vector<double> values = {0.0,
                                  -0.0,
                                  1.0,
                                  -1.0,
                                  0.1,
                                  123456789.0,
                                  1234567890.0,
                                  999999999.5,
                                  999999999.4,
                                  9.9999999995,
                                  1.0000000005,
                                  0.00012345678949,
                                  0.0001,
                                  0.00001,
                                  1e-5,
                                  1e9,
                                  1e100,
                                  -1e-300,
                                  5e-324,
                                  std::numeric_limits<double>::max(),
                                  std::numeric_limits<double>::infinity(),
                                  -std::numeric_limits<double>::infinity(),
                                  std::nan("")};
    std::mt19937_64 random(61);
    std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
    std::uniform_int_distribution<int> exponent(-40, 40);
    for (int i = 0; i < 200000; ++i)
        values.push_back(mantissa(random) * std::pow(10.0, exponent(random)));
    // Values on and next to a tie of the ninth digit.
    for (int i = 0; i < 2000; ++i) {
        const double tie = (100000000.0 + i * 4507 + 0.5) * std::pow(10.0, exponent(random) % 12);
        for (double v : {tie, std::nextafter(tie, 0.0), std::nextafter(tie, 1e300)})
            values.push_back(v);
    }
    int wrong = 0;
    for (double v : values) {
        char text[RESULT_NUMBER_MAX + 8];
        const std::string row(text, writeResultNumber(text, v));
        if (row != printed(v) && ++wrong <= 10)
            ADD_FAILURE() << printed(v) << " written as " << row;
    }
    EXPECT_EQ(wrong, 0);
}

} // namespace
