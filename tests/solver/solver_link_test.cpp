// The stand-in solver driven over 127.0.0.1 the way the block drives it.
#include <cmath>
#include <memory>

#include <gtest/gtest.h>

#include "protocol/protocol.h"
#include "remote/catalogue.h"
#include "solver_client.h"

namespace {

double lagAfter(double gain, double u, double tau, double t) {
    return gain * u * (1.0 - std::exp(-t / tau));
}

TEST_F(SolverSession, HandshakeRepliesOkAndRefusesAnythingElse) {
    start();
    // Raw bytes of the reply: byte flag 2, then "OK" and its zero.
    {
        std::unique_ptr<SolverClient> c(SolverClient::connectTo(port));
        ASSERT_TRUE(c);
        static const char text[] = "ZVI|LINK|VER:1";
        ASSERT_TRUE(writeMessageHeader(c->socket(), 1, 15));
        ASSERT_TRUE(writeMessageData(c->socket(), text, 15));
        unsigned char reply[11] = {};
        ASSERT_TRUE(readMessageData(c->socket(), reply, 11));
        const unsigned char expected[11] = {0, 0, 0, 2, 0, 0, 0, 3, 'O', 'K', 0};
        EXPECT_EQ(0, memcmp(reply, expected, 11));
        c->sendClose();
    }
    // Another text is refused and the link ends; the next block is served again.
    {
        std::unique_ptr<SolverClient> c(SolverClient::connectTo(port));
        ASSERT_TRUE(c);
        ASSERT_TRUE(writeMessageHeader(c->socket(), 1, 5));
        ASSERT_TRUE(writeMessageData(c->socket(), "HELLO", 5));
        uint32_t flag = 0;
        int32_t length = 0;
        ASSERT_TRUE(c->nextHeader(&flag, &length));
        EXPECT_EQ(flag, uint32_t(FLAG_HANDSHAKE_REPLY));
        std::vector<char> body(length + 1, 0);
        ASSERT_TRUE(readMessageData(c->socket(), body.data(), length));
        EXPECT_STRNE(body.data(), "OK");
        ASSERT_TRUE(c->nextHeader(&flag, &length));
        EXPECT_EQ(flag, uint32_t(FLAG_LOST));
    }
    EXPECT_TRUE(link());
}

TEST_F(SolverSession, DataFileCheckAnswersAllFourWays) {
    start();
    dir.write("old.dat", "ZVSOLVER:PRODUCT=ZVDEMO\nZVSOLVER:VERSION=6.0\n");
    dir.write("plain.dat", "ZELVANE MODEL DATA 6.1\n");
    auto c = link();
    ASSERT_TRUE(c);
    struct Case {
        const char *model, *product, *version;
        int32_t expected;
    } cases[] = {
        {"nosuch", "ZVDEMO", "6.1", 0},  {"tank", "ZVOTHER", "6.1", -1},
        {"old", "ZVDEMO", "6.1", -2},    {"tank", "ZVDEMO", "6.2", -2},
        {"tank", "ZVDEMO", "6.1", 1},    {"tank.dat", "ZVDEMO", "6.1", 1},
        {"plain", "ANYTHING", "6.1", 1}, // names neither product nor version
    };
    for (const Case& k : cases) {
        int32_t result = 99;
        ASSERT_TRUE(c->dataExist(k.model, k.product, k.version, &result));
        EXPECT_EQ(result, k.expected) << k.model << " " << k.product << " " << k.version;
    }
    double duration = 0;
    ASSERT_TRUE(c->startup("plain", "X", &duration));
    EXPECT_EQ(duration, -1.0);
}

TEST_F(SolverSession, StepsFollowTheLagsExactly) {
    start();
    auto c = link();
    ASSERT_TRUE(c);
    double duration = 0;
    startRun(*c, &duration);
    EXPECT_EQ(duration, 10.0);

    std::vector<double> y;
    ASSERT_TRUE(c->update(&y));
    EXPECT_EQ(y, std::vector<double>(3, 0.0)); // before any advance

    // Constant inputs; a third value is beyond the harness and must not matter.
    const double dt = 0.1;
    int32_t adv = 0;
    for (int n = 1; n <= 20; ++n) {
        int32_t doneSim = 0;
        ASSERT_TRUE(c->advance(dt, {1.5, -2.0, 100.0}, &doneSim, &adv));
        EXPECT_EQ(adv, n);
        EXPECT_EQ(doneSim, 0);
    }
    ASSERT_TRUE(c->update(&y));
    ASSERT_EQ(y.size(), 3u);
    EXPECT_NEAR(y[0], lagAfter(2.0, 1.5, 0.5, 2.0), 1e-9);
    EXPECT_NEAR(y[1], lagAfter(1.0, -2.0, 2.0, 2.0), 1e-9);
    EXPECT_NEAR(y[2], lagAfter(-1.5, 1.5, 4.0, 2.0), 1e-9);

    // A missing input counts as 0.0: the second lag decays from where it stood.
    int32_t doneSim = 0;
    ASSERT_TRUE(c->advance(1.0, {1.5}, &doneSim, &adv));
    std::vector<double> after;
    ASSERT_TRUE(c->update(&after));
    EXPECT_NEAR(after[1], y[1] * std::exp(-1.0 / 2.0), 1e-9);

    ASSERT_TRUE(c->slClose(0));
    ASSERT_TRUE(c->noArgs(FID_CHECKBACK));
    c->sendClose();
    c.reset();
    solver->terminate();
    // Header, the start-up row and one row per advance.
    std::string out = dir.read("tank.out");
    EXPECT_EQ(out.rfind("time u1 u2 y1 y2 y3\n", 0), 0u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1 + 1 + 21);
    EXPECT_NE(dir.read("screen.zv").find("DATEXIST"), std::string::npos);
}

TEST_F(SolverSession, CompletionFollowsDoneSim) {
    std::string model = demoModel();
    start({}, model.replace(model.find("DURATION=10"), 11, "DURATION=1"));
    // doneSim -1: -2 once the solver's time reaches its duration, and from then on.
    {
        auto c = link();
        ASSERT_TRUE(c);
        double duration = 0;
        startRun(*c, &duration);
        EXPECT_EQ(duration, 1.0);
        int32_t adv = 0;
        for (int n = 1; n <= 5; ++n) {
            int32_t doneSim = -1;
            ASSERT_TRUE(c->advance(0.25, {1.0, 1.0}, &doneSim, &adv));
            EXPECT_EQ(doneSim, n >= 4 ? -2 : -1) << "step " << n;
        }
        c->sendClose();
    }
    // doneSim 1 or 2: Simulink has finished; the solver runs alone to its duration.
    for (int32_t finished : {1, 2}) {
        auto c = link();
        ASSERT_TRUE(c);
        double duration = 0;
        startRun(*c, &duration);
        int32_t adv = 0, doneSim = 0;
        ASSERT_TRUE(c->advance(0.25, {1.0, 0.0}, &doneSim, &adv));
        std::vector<double> before;
        ASSERT_TRUE(c->update(&before));
        doneSim = finished;
        ASSERT_TRUE(c->advance(0.25, {5.0, 5.0}, &doneSim, &adv)); // inputs held at zero
        std::vector<double> y;
        ASSERT_TRUE(c->update(&y));
        EXPECT_NEAR(y[0], before[0] * std::exp(-0.75 / 0.5), 1e-9);
        EXPECT_EQ(y[1], 0.0);
        c->sendClose();
        c.reset();
        std::string out = dir.read("tank.out");
        std::string last = out.substr(out.rfind('\n', out.size() - 2) + 1);
        EXPECT_EQ(last.rfind("1 ", 0), 0u) << last; // the last row is at the duration
    }
}

TEST_F(SolverSession, ListenModeServesLinksInTurnAndStopsOnSignal) {
    start();
    for (int run = 0; run < 2; ++run) {
        auto c = link();
        ASSERT_TRUE(c);
        double duration = 0;
        startRun(*c, &duration);
        int32_t doneSim = 0, adv = 0;
        ASSERT_TRUE(c->advance(0.5, {1.0, 1.0}, &doneSim, &adv));
        EXPECT_EQ(adv, 1); // each link starts its model afresh
        c->sendClose();
    }
    EXPECT_EQ(solver->terminate(), 0);
}

TEST(SolverLaunch, ConnectsBackToTheBlocksPort) {
    std::string path = ZELVANE_PATH;
    EXPECT_NE(path.find("zvihome/v6.1.0/Zelvane/bin/zelvane"), std::string::npos);
    ScratchDir dir;
    dir.write("tank.dat", demoModel());
    XSocket* listener = newXSocket();
    setXSocketTimeout(listener, 10);
    ASSERT_TRUE(listenXSocket(listener, 1));
    SolverProcess solver({"ZVlink", "-i:" + std::to_string(getXSocketLocalPort(listener))},
                         dir.path);
    XSocket* accepted = newXSocket();
    ASSERT_TRUE(acceptXSocket(listener, accepted));
    releaseXSocket(listener);
    SolverClient c(accepted);
    std::string reply;
    EXPECT_EQ(c.handshake(&reply), uint32_t(FLAG_HANDSHAKE_REPLY));
    EXPECT_EQ(reply, "OK");
    int32_t check = 0;
    ASSERT_TRUE(c.dataExist("tank", "ZVDEMO", "6.1", &check));
    EXPECT_EQ(check, 1);
    c.sendClose();
    EXPECT_EQ(solver.waitExit(10), 0); // one link, then it ends by itself
}

TEST(SolverCommandLine, RefusesWhatItCannotUseAndDocumentsFaults) {
    ScratchDir dir;
    SolverProcess help({"--help"}, dir.path);
    std::string text, line;
    for (int i = 0; i < 60; ++i)
        text += help.readLine(5) + "\n";
    for (const char* fault :
         {"close-after", "drop", "cut", "no-connect", "refuse-handshake", "bad-flag", "call-back",
          "wrong-id", "too-many-outputs", "byte-by-byte", "stall"})
        EXPECT_NE(text.find(fault), std::string::npos) << fault;
    EXPECT_EQ(help.waitExit(10), 0);

    for (std::vector<std::string> args :
         {std::vector<std::string>{"--listen", "0", "--fault", "nosuch"},
          {"--listen", "0", "--fault", "stall=forever"},
          {"ZVlink"},
          {"ZVlink", "-i:70000"},
          {}}) {
        SolverProcess bad(args, dir.path);
        EXPECT_EQ(bad.waitExit(10), 2);
    }
    SolverProcess badEnv({"--listen", "0"}, dir.path, "drop=NOSUCHFUNCTION");
    EXPECT_EQ(badEnv.waitExit(10), 2);
}

} // namespace
