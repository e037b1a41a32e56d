#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "alloc_hook.h"
#include "protocol/wire_peer.h"
#include "protocol/catalogue.h"
#include "solver/results.h"

using namespace wiretest;

namespace {

const char* const ADVANCE = "([i]D[i]<D[b]I[b]I)V";

Bytes updateReturn(const std::vector<double>& values) {
    Bytes body = header(FID_ZVUPDATE, "([o]<D)V") + be32(uint32_t(values.size()));
    for (double d : values)
        body += beDouble(d);
    return frame(FLAG_RETURN, body);
}

// Calls either side of the 4096-byte stage (505 doubles fit, 506 do not) go
// out byte-exact. (Returns past the caller's room: the marshalling tests.)
TEST(FastPathSend, FramesEitherSideOfTheStageStayExact) {
    for (int32_t n : {0, 505, 506, 600}) {
        SCOPED_TRACE(n);
        std::vector<double> in(static_cast<size_t>(n));
        for (int32_t i = 0; i < n; ++i)
            in[size_t(i)] = std::ldexp(1.0 + i, i % 40 - 20) - 3.0;
        double delta = 0.001, *data = in.data();
        int32_t count = n, doneSim = -1, adv = 41;
        Bytes call = header(FID_SLCZVPWR, ADVANCE) + beDouble(delta) + be32(uint32_t(n));
        for (double d : in)
            call += beDouble(d);
        WirePair pair;
        ASSERT_TRUE(
            sendMessage(pair.local, FID_SLCZVPWR, 1, &delta, &count, &data, &doneSim, &adv));
        EXPECT_EQ(pair.peerReadAll(), frame(FLAG_CALL, call + ints({uint32_t(doneSim), 41})));
    }
}

// What a step sends and receives on the block's side costs no heap.
TEST(FastPathReceive, StepCallsAndReturnsAllocateNothing) {
    if (!zvbench::allocationsCounted()) GTEST_SKIP() << "allocations not counted in this build";
    WirePair pair;
    std::vector<double> in(128, 0.5), out(128, 0.0);
    ASSERT_TRUE(pair.peerWrite(updateReturn(in)));
    ASSERT_TRUE(pair.peerWrite(frame(4, header(FID_SLCZVPWR, ADVANCE) + ints({0, 7}))));
    int32_t capacity = 128, n = 128, doneSim = -1, adv = 3;
    double delta = 0.001, *data = in.data(), *into = out.data();
    zvbench::startCountingAllocations();
    const bool ok = sendMessage(pair.local, FID_ZVUPDATE, 1, &capacity, &into) &&
                    receiveReturn(pair.local, FID_ZVUPDATE, &capacity, &into) &&
                    sendMessage(pair.local, FID_SLCZVPWR, 1, &delta, &n, &data, &doneSim, &adv) &&
                    receiveReturn(pair.local, FID_SLCZVPWR, &delta, &n, &data, &doneSim, &adv);
    const long allocations = zvbench::stopCountingAllocations();
    ASSERT_TRUE(ok);
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(out, in);
    EXPECT_EQ(adv, 7);
}

std::string printed(double v) {
    char text[64];
    snprintf(text, sizeof text, "%.9g", v);
    return text;
}

TEST(SolverResultNumbers, MatchPrintfNineSignificantDigits) {
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> values = {0.0,   -0.0,         1.0,          -1.0,        0.1,
                                  1e-5,  123456789.0,  1234567890.0, 999999999.5, 999999999.4,
                                  1e9,   9.9999999995, 1.0000000005, 1e-4,        1.2345678949e-4,
                                  1e100, -1e-300,      5e-324,       DBL_MAX,     inf,
                                  -inf,  std::nan("")};
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
