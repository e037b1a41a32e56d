// The stand-in solver driven over 127.0.0.1 the way the block drives it.
#include <algorithm>
#include <cmath>

#include "solver_client.h"

namespace {

double lagAfter(double gain, double u, double tau, double t) {
    return gain * u * (1.0 - std::exp(-t / tau));
}

TEST_F(SolverSession, HandshakeRepliesOkAndRefusesAnythingElse) {
    start();
    auto c = connect();
    ASSERT_TRUE(c && c->hello());
    char reply[11] = {};
    ASSERT_TRUE(readMessageData(c->sock, reply, 11));
    EXPECT_EQ(std::string(reply, 11), std::string("\0\0\0\2\0\0\0\3OK", 11));
    c->sendClose();

    // Another text is refused and the link ends; the next block is served again.
    c = connect();
    ASSERT_TRUE(c);
    std::string text;
    EXPECT_EQ(c->handshake(&text, "HELLO"), uint32_t(FLAG_HANDSHAKE_REPLY));
    EXPECT_NE(text, "OK");
    EXPECT_EQ(c->nextFlag(), uint32_t(FLAG_LOST));
    c.reset();
    EXPECT_TRUE(link());
}

TEST_F(SolverSession, DataFileCheckAnswersAllFourWays) {
    start();
    dir.file("old.dat", "ZVSOLVER:PRODUCT=ZVDEMO\nZVSOLVER:VERSION=6.0\n");
    dir.file("plain.dat", "ZELVANE MODEL DATA 6.1\n");
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
    solver->terminate();
    // Header, the start-up row and one row per advance.
    std::string out = file("tank.out");
    EXPECT_EQ(out.rfind("time u1 u2 y1 y2 y3\n", 0), 0u) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1 + 1 + 21);
}

// One listening solver serves the links in turn, each from a fresh start.
TEST_F(SolverSession, LinksInTurnEndAsDoneSimSaysAndASignalStopsTheSolver) {
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
        EXPECT_EQ(adv, 1);
        std::vector<double> before, y;
        ASSERT_TRUE(c->update(&before));
        doneSim = finished;
        ASSERT_TRUE(c->advance(0.25, {5.0, 5.0}, &doneSim, &adv)); // inputs held at zero
        ASSERT_TRUE(c->update(&y));
        EXPECT_NEAR(y[0], before[0] * std::exp(-0.75 / 0.5), 1e-9);
        EXPECT_EQ(y[1], 0.0);
        c->sendClose();
        c.reset();
        std::string out = file("tank.out"); // its last row is at the duration
        EXPECT_EQ(out.substr(out.rfind('\n', out.size() - 2) + 1, 2), "1 ") << out;
    }
    EXPECT_EQ(solver->terminate(), 0);
}

// Launched with ZVlink -i:PORT it connects back once and ends with the link,
// unless no-connect (here from the environment) holds it back.
TEST(SolverLaunch, ConnectsBackToTheBlocksPort) {
    zvtest::TempDir dir;
    XSocket* listener = newXSocket();
    setXSocketTimeout(listener, 2);
    ASSERT_TRUE(listenXSocket(listener, 1));
    const std::string port = "-i:" + std::to_string(getXSocketLocalPort(listener));
    XSocket* accepted = newXSocket();
    {
        SolverProcess held({"ZVlink", port}, dir.path(), "no-connect=30");
        EXPECT_FALSE(acceptXSocket(listener, accepted));
        EXPECT_EQ(listener->errorCode, XSOCKET_ETIMEDOUT);
        EXPECT_EQ(held.terminate(), 0); // a signal still ends it
    }
    SolverProcess solver({"ZVlink", port}, dir.path());
    setXSocketTimeout(listener, 10);
    ASSERT_TRUE(acceptXSocket(listener, accepted));
    releaseXSocket(listener);
    SolverClient c(accepted);
    EXPECT_TRUE(c.greeted());
    c.sendClose();
    EXPECT_EQ(solver.waitExit(), 0);
}

TEST(SolverCommandLine, RefusesWhatItCannotUse) {
    zvtest::TempDir dir;
    struct Case {
        std::vector<std::string> args;
        const char* faults;
    } cases[] = {
        {{"--listen", "0", "--fault", "nosuch"}, nullptr},
        {{"--listen", "0", "--fault", "stall=forever"}, nullptr},
        {{"--listen", "0"}, "drop=NOSUCHFUNCTION"},
        {{"ZVlink"}, nullptr},
        {{"ZVlink", "-i:70000"}, nullptr},
        {{}, nullptr},
    };
    for (const Case& k : cases) {
        SolverProcess p(k.args, dir.path(), k.faults);
        EXPECT_EQ(p.waitExit(), 2) << testing::PrintToString(k.args);
    }
}

} // namespace
