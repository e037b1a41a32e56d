// The stand-in solver driven over 127.0.0.1 the way the block drives it.
#include <algorithm>
#include <cmath>
#include <filesystem>

#include "support/solver.h"

using namespace zvproc;

namespace {

// A solver listening in a scratch folder that holds the demo model.
class SolverSession : public ::testing::Test {
  protected:
    void start() {
        solver = std::make_unique<ListeningSolver>(dir.path());
        ASSERT_NE(solver->port, 0) << solver->out;
    }
    std::unique_ptr<SolverClient> link() {
        std::unique_ptr<SolverClient> c = SolverClient::connect(solver->port);
        EXPECT_TRUE(!c || c->greeted());
        return c;
    }

    // A fresh solver; check runs on two links in turn.
    void onEachLink(const std::function<void(SolverClient&)>& check) {
        start();
        for (int run = 1; run <= 2; ++run) {
            SCOPED_TRACE("link " + std::to_string(run));
            std::unique_ptr<SolverClient> c = link();
            ASSERT_TRUE(c);
            check(*c);
        }
    }

    DemoFolder dir;
    std::unique_ptr<ListeningSolver> solver;
};

double lagAfter(double gain, double u, double tau, double t) {
    return gain * u * (1.0 - std::exp(-t / tau));
}

TEST_F(SolverSession, DataFileCheckNamesAndFilesOfItsOwn) {
    start();
    dir.file("plain.dat", "ZELVANE MODEL DATA 6.1\n");
    // A name that leads out of the working folder is never opened.
    std::filesystem::create_directory(dir.path("sub"));
    dir.file("sub/tank.dat", demoModel());
    auto c = link();
    ASSERT_TRUE(c);
    struct Case {
        const char *model, *product, *version;
        int32_t expected;
    } cases[] = {
        // (A missing file, another product, an older version: the run tests.)
        {"tank", "ZVDEMO", "6.2", -2},
        {"tank.dat", "ZVDEMO", "6.1", 0}, // a base name only: no tank.dat.dat
        {"plain", "ANYTHING", "6.1", 1},  // names neither product nor version
        {"sub/tank", "ZVDEMO", "6.1", 0},
    };
    for (const Case& k : cases) {
        int32_t result = 99;
        ASSERT_TRUE(c->dataExist(k.model, k.product, k.version, &result));
        EXPECT_EQ(result, k.expected) << k.model << " " << k.product << " " << k.version;
    }
    double duration = 0;
    ASSERT_TRUE(c->startup("plain", "X", &duration));
    EXPECT_EQ(duration, -1.0);
    // Nor is a results file written after it.
    ASSERT_TRUE(c->startup("sub/tank", "ZVDEMO", &duration));
    EXPECT_EQ(duration, -1.0);
    EXPECT_FALSE(std::filesystem::exists(dir.path("sub/tank.out")));
}

TEST_F(SolverSession, StepsFollowTheLagsExactly) {
    start();
    auto c = link();
    ASSERT_TRUE(c);
    double duration = 0;
    c->startRun(&duration);
    EXPECT_EQ(duration, 10.0);
    std::vector<double> y;
    ASSERT_TRUE(c->update(&y));
    EXPECT_EQ(y, std::vector<double>(3, 0.0)); // before any advance

    // Constant inputs; a third value is beyond the harness and must not matter.
    int32_t doneSim = 0, adv = 0;
    for (int n = 1; n <= 20; ++n) {
        ASSERT_TRUE(c->advance(0.1, {1.5, -2.0, 100.0}, &doneSim, &adv));
        EXPECT_EQ(adv, n);
        EXPECT_EQ(doneSim, 0);
    }
    ASSERT_TRUE(c->update(&y));
    ASSERT_EQ(y.size(), 3u);
    EXPECT_NEAR(y[0], lagAfter(2.0, 1.5, 0.5, 2.0), 1e-9);
    EXPECT_NEAR(y[1], lagAfter(1.0, -2.0, 2.0, 2.0), 1e-9);
    EXPECT_NEAR(y[2], lagAfter(-1.5, 1.5, 4.0, 2.0), 1e-9);

    // A missing input counts as 0.0: the second lag decays from where it stood.
    ASSERT_TRUE(c->advance(1.0, {1.5}, &doneSim, &adv));
    std::vector<double> after;
    ASSERT_TRUE(c->update(&after));
    EXPECT_NEAR(after[1], y[1] * std::exp(-1.0 / 2.0), 1e-9);

    c->sendClose();
    c.reset();
    solver->stop();
    // Header, the start-up row and one row per advance.
    std::string out = dir.read("tank.out");
    EXPECT_EQ(out.rfind("time u1 u2 y1 y2 y3\n", 0), 0u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1 + 1 + 21);
}

// (A fault ZELVANE_FAULTS names wrongly: the link's failed starts.)
TEST(SolverCommandLine, RefusesWhatItCannotUse) {
    zvtest::TempDir dir;
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        // The one line before "try 'zelvane --help'", when given.
        {{"--listen", "0", "--fault", "nosuch"}, ""},
        {{"ZVlink", "-i:70000"}, "bad port in -i:70000"},
        {{"--listen", "0", "--replay", "r", "--tolerance", "-1"},
         "--tolerance takes a relative tolerance of 0 or more, not -1"},
        {{"--listen", "0", "--replay", "r", "--fault", "drop"},
         "--fault does not go with --replay"},
    };
    for (const auto& [args, err] : cases) {
        Child p(zelvane(args), dir.path(), {{"ZELVANE_FAULTS", std::nullopt}}, dir.path("err.txt"));
        EXPECT_EQ(p.wait(), 2) << testing::PrintToString(args);
        if (err.empty()) continue;
        EXPECT_EQ(zvtest::readFile(dir.path("err.txt")),
                  "zelvane: " + err + "\ntry 'zelvane --help'\n");
    }
}

// (What each fault does on the wire: the trace's relay table; a stall: the
// run tests' TIMEOUT and LONGTIMEOUT cases.)
TEST_F(SolverSession, WhatABlockShouldNotSendEndsTheLinkInOrder) {
    // An unknown byte flag is read past, a repeated handshake answered again,
    // and a function this solver does not serve ends the link.
    onEachLink([](SolverClient& c) {
        ASSERT_TRUE(c.send(frame(9, "abc")));
        EXPECT_TRUE(c.greeted());
        int32_t rows = 0, rowLength = 8, result = 0;
        char* text = nullptr;
        EXPECT_FALSE(c.call(FID_GETCFDSPECIES, &rows, &rowLength, &text, &result));
        EXPECT_EQ(c.lastFlag, uint32_t(FLAG_CLOSE));
    });
    // SLCZVPWR whose input array claims 1000 doubles in a frame that holds none.
    onEachLink([](SolverClient& c) {
        // dt = 1.0, then the count and nothing after it.
        ASSERT_TRUE(c.send(frame(FLAG_CALL, header(FID_SLCZVPWR, "([i]D[i]<D[b]I[b]I)V") +
                                                beDouble(1.0) + be32(1000))));
        EXPECT_EQ(c.nextFlag(), uint32_t(FLAG_CLOSE));
    });
}

} // namespace
