// The call stubs against a scripted solver: the exact call each one sends,
// what it makes of the return, and how failures reach the block.
#include "link/link_test_support.h"

#include <stdexcept>
#include <thread>

#include "protocol/catalogue.h"
#include "remote/stubs.h"

using namespace zvlinktest;

namespace {

using StubWire = LinkTest;
using StubFailure = LinkTest;

Bytes fn(uint16_t id) {
    return header(id, functionSignature(id));
}

} // namespace

TEST_F(StubWire, EveryStubSendsItsFieldsInSignatureOrder) {
    const std::vector<std::pair<Bytes, Bytes>> script = {
        // call body, return body
        {fn(11), fn(11)},
        {fn(12) + text("P7") + text("m1.dat"), fn(12) + beDouble(42.5)}, // the product first
        {fn(13) + text("m1.dat") + text("P7") + text(""), fn(13) + be32(uint32_t(-2))},
        {fn(14), fn(14) + be32(2) + beDouble(1.5) + beDouble(-2)},
        {fn(15) + beDouble(0.5) + be32(2) + beDouble(1) + beDouble(2) + ints({1, 0}),
         fn(15) + ints({0, 1})},
        {fn(16) + be32(0), fn(16)},
        {fn(17), fn(17)},
        {fn(1) + text("abc") + text("xy"), fn(1) + be32(5)},
        {fn(2), fn(2)},
        {fn(3) + be32(7), fn(3)},
        {fn(4) + ints({8, 9}),
         fn(4) + beFloats({1, 2, 3}) + be32(2) + beFloats({4, 5, 6, 7}) + be32(9)},
        {fn(5) + ints({8, 9}), fn(5) + beFloats({1, 2, 3, 4}) + be32(1) + beFloats({8}) + be32(3)},
        {fn(18), fn(18) + be32(2)}, // BCTRANSFER asks for its count first
        {fn(6) + ints({8, 9}) + beFloats({1, 2, 3}) + be32(2) + beFloats({0.25, 0.75}),
         fn(6) + be32(4)},
        {fn(7) + ints({1, 2}) + beFloats({0.5}) + be32(3), fn(7) + be32(0)},
        // Text-array outputs send only their row lengths.
        {fn(8) + ints({4, 3}), fn(8) + ints({2, 1, 11, 1}) + beFloats({0.5}) + ints({2, 4}) +
                                   "AAAABBBB" + ints({1, 3}) + "CCC" + be32(6)},
        {fn(9) + be32(2), fn(9) + ints({3, 3, 2}) + "aabbcc" + be32(1)},
        {fn(10), fn(10)},
    };
    std::vector<Bytes> sent;
    linkUp([&](FakeSolver& f) {
        for (const auto& exchange : script) {
            sent.push_back(f.readFrame());
            f.send(frame(4, exchange.second));
        }
        f.readFrame();
    });

    slOpen();
    EXPECT_EQ(zvStartup("m1.dat", "P7"), 42.5);
    EXPECT_EQ(zvFileCheck("m1.dat", "P7", ""), -2);
    double outputs[ZVUPDATE_CAPACITY] = {0, 0, 7};
    zvUpdate(outputs, 1);
    EXPECT_EQ(std::vector<double>(outputs, outputs + 3), (std::vector<double>{1.5, -2, 7}));
    const double inputs[] = {1, 2};
    int32_t doneSim = 1, adv = 0;
    zvAdvanceThenUpdate(0.5, inputs, 2, &doneSim, &adv); // alone without PIPELINE=1
    EXPECT_EQ(doneSim, 0);
    EXPECT_EQ(adv, 1);
    slClose(0);
    zvCheckBack();

    const int32_t three = 3, two = 2, seven = 7, eight = 8, nine = 9, one = 1;
    EXPECT_EQ(ZVFLU("abcdef", &three, "xy", &two), 5);
    ZVIMAN();
    ZVISETMODE(&seven);
    float p[6] = {}, a[REMOTE_ARRAY_CAPACITY] = {};
    EXPECT_EQ(BCDZVI(&p[0], &p[1], &p[2], a, &p[3], &p[4], &eight, &nine), 9);
    EXPECT_EQ(std::vector<float>(p, p + 5), (std::vector<float>{1, 2, 3, 6, 7}));
    EXPECT_EQ(a[1], 5);
    EXPECT_EQ(BCDZVP(&p[0], &p[1], &p[2], &p[3], a, &eight, &nine), 3);
    EXPECT_EQ(a[0], 8);
    const float pf = 1, tf = 2, uf = 3, fractions[] = {0.25f, 0.75f}, dt = 0.5f;
    EXPECT_EQ(BCTRANSFER(&eight, &nine, &pf, &tf, &uf, fractions), 4);
    EXPECT_EQ(TIMEINTEGRATIONAUX(&one, &two, &dt, &three), 0);
    int32_t zones = 0, ids[REMOTE_ARRAY_CAPACITY] = {}, four = 4;
    float values[REMOTE_ARRAY_CAPACITY] = {};
    char names1[REMOTE_ARRAY_CAPACITY * 4] = {}, names2[REMOTE_ARRAY_CAPACITY * 3] = {};
    EXPECT_EQ(GETCFDZONES(&zones, ids, values, names1, &four, names2, &three), 6);
    EXPECT_EQ(zones, 2);
    EXPECT_EQ(ids[0], 11);
    EXPECT_EQ(std::string(names1) + names2, "AAAABBBBCCC");
    int32_t species = 0;
    char names[REMOTE_ARRAY_CAPACITY * 2] = {};
    EXPECT_EQ(GETCFDSPECIES(&species, names, &two), 1);
    EXPECT_EQ(std::string(names), "aabbcc");
    ZVIWRP();

    closeLink();
    solver.join();
    ASSERT_EQ(sent.size(), script.size());
    for (size_t i = 0; i < script.size(); ++i)
        EXPECT_EQ(sent[i], frame(3, script[i].first)) << "exchange " << i;
    EXPECT_TRUE(calls.empty());
    // Each stub logs its arguments.
    EXPECT_TRUE(logged("FileName   : m1.dat") && logged("ProductName: P7")) << log();
    EXPECT_TRUE(logged("FileName   : abc") && logged("lenMassFracs: 2")) << log();
}

TEST_F(StubFailure, SolverSendingMoreThanTheRoomFailsWithoutWritingPastIt) {
    linkUp([](FakeSolver& f) {
        f.readFrame();
        Bytes values;
        for (int i = 0; i < ZVUPDATE_CAPACITY + 1; ++i)
            values += beDouble(i);
        f.send(frame(4, fn(14) + be32(ZVUPDATE_CAPACITY + 1) + values));
        f.readFrame();
    });
    double outputs[ZVUPDATE_CAPACITY + 1];
    std::fill(outputs, outputs + ZVUPDATE_CAPACITY + 1, -1.0);
    zvUpdate(outputs, 4);
    EXPECT_EQ(outputs[ZVUPDATE_CAPACITY], -1.0);
    EXPECT_EQ(calls, std::vector<int>{1});
    EXPECT_TRUE(logged("ERROR: Error while calling function: ZVUPDATE"));
}

// The host's error stop does not return: in the stand-in host it throws.
// A link that could not be started is reported by the link alone.
TEST_F(StubFailure, CallbackThatDoesNotReturnLeavesNothingBehindAndNoLinkIsReportedOnce) {
    setErrorCallback([](int32_t code) {
        record(code);
        throw std::runtime_error("stop");
    });
    linkUp([](FakeSolver& f) {
        f.readFrame();
        f.send(frame(2, "OK") + frame(5, ""));
    });
    double outputs[ZVUPDATE_CAPACITY];
    EXPECT_THROW(zvUpdate(outputs, 1), std::runtime_error);
    EXPECT_EQ(calls, std::vector<int>{0});
    EXPECT_EQ(currentLink(), nullptr);
    aimAt("127.0.0.1", closedPort);
    EXPECT_THROW(slOpen(), std::runtime_error); // no link can be started
    EXPECT_EQ(calls, (std::vector<int>{0, -1}));

    // With a callback that returns, the link has reported that failure already.
    setErrorCallback(record);
    closeLink();
    zvCheckBack();
    EXPECT_EQ(calls, (std::vector<int>{0, -1, -1}));
    EXPECT_TRUE(logged("ERROR: exiting..."));
    EXPECT_FALSE(logged("ERROR: Error while calling function: CHECKBACK"));
}

// PIPELINE=1: the advance carries the next output request in the same
// write; the output request then only takes its return, and any other call
// takes and drops it first.
TEST_F(StubWire, PipelinedAdvanceSendsTheNextOutputRequestAlong) {
    const Bytes advanceCall =
        frame(3, fn(15) + beDouble(0.5) + be32(1) + beDouble(3) + ints({0, 4}));
    const Bytes advanceReturn = frame(4, fn(15) + ints({0, 5}));
    const Bytes updateCall = frame(3, fn(14));
    const Bytes updateReturn = frame(4, fn(14) + be32(2) + beDouble(1.5) + beDouble(-2));
    const Bytes closeCall = frame(3, fn(16) + be32(0));
    const double inputs[] = {3};
    auto advance = [&] {
        int32_t doneSim = 0, adv = 4;
        zvAdvanceThenUpdate(0.5, inputs, 1, &doneSim, &adv);
        EXPECT_EQ(adv, 5);
    };
    auto update = [&](std::vector<double> expected) {
        double outputs[ZVUPDATE_CAPACITY] = {0, 0, 7};
        zvUpdate(outputs, 3);
        EXPECT_EQ(std::vector<double>(outputs, outputs + 3), expected);
    };
    std::vector<Bytes> sent;
    serve(solver, [&](FakeSolver& f) {
        if (!f.handshake()) return;
        // Three steps, each with both calls in before either is answered;
        // then SLCLOSE; then a step whose output request is never answered.
        for (int step = 0; step < 4; ++step) {
            if (step == 3) sent.push_back(f.readFrame()), f.send(frame(4, fn(16)));
            sent.push_back(f.readFrame());
            sent.push_back(f.readFrame());
            f.send(advanceReturn);
            if (step == 1) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (step < 3) f.send(updateReturn);
        }
    });
    zvtest::writeFile("zvlink.prm", zvtest::readFile("zvlink.prm") + "PIPELINE=1\n");
    ASSERT_TRUE(startLink());
    const std::vector<double> answered = {1.5, -2, 7};
    advance(), update(answered);
    advance(), update(answered);
    advance(), slClose(0); // takes and drops the third output return
    EXPECT_TRUE(calls.empty());
    advance(), update({0, 0, 7});
    EXPECT_EQ(calls, (std::vector<int>{0, 1}));
    EXPECT_TRUE(logged("ERROR: Error while calling function: ZVUPDATE")) << log();
    solver.join();
    EXPECT_EQ(sent,
              (std::vector<Bytes>{advanceCall, updateCall, advanceCall, updateCall, advanceCall,
                                  updateCall, closeCall, advanceCall, updateCall}));
}
