// Every call the block makes, through the stubs, against the stand-in
// solver: launched from its installation tree and reached where it listens.
#include "link/link_test_support.h"

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>

#include "remote/stubs.h"

using namespace zvlinktest;
namespace fs = std::filesystem;

namespace {

struct LinkWithSolver : LinkTest {
    void SetUp() override {
        LinkTest::SetUp();
        fs::copy_file(ZVTEST_DEMO_MODEL, "tank.dat");
        setLinkAcceptTimeout(20);
    }
    void TearDown() override {
        LinkTest::TearDown();
        setLinkAcceptTimeout(LINK_ACCEPT_TIMEOUT);
    }

    // A run as the block makes it: check, open, start, steps, close.
    void run() {
        EXPECT_EQ(zvFileCheck("tank", "OTHER", "6.1"), -1);
        EXPECT_NE(zvFileCheck("tank", "ZVDEMO", "6.1"), 0);
        slOpen();
        EXPECT_EQ(zvStartup("tank", "ZVDEMO"), 10.0)
            << "SLZVIMAN carries the product ahead of the file name";
        double outputs[ZVUPDATE_CAPACITY];
        const double inputs[2] = {1.0, 0.5};
        int32_t doneSim = 0, adv = 0;
        for (int step = 0; step < 5; ++step) {
            zvUpdate(outputs, 3);
            zvAdvance(0.1, inputs, 2, &doneSim, &adv);
        }
        EXPECT_EQ(adv, 5); // the solver counts the advances it was given
        EXPECT_NE(doneSim, -2);
        zvUpdate(outputs, 3);
        EXPECT_GT(outputs[0], 0.0); // the first output follows the first input
        slClose(0);
        zvCheckBack();
        EXPECT_TRUE(endLink());
        EXPECT_TRUE(calls().empty());
    }
};

} // namespace

TEST_F(LinkWithSolver, LaunchedSolverServesAWholeRun) {
    zvtest::EnvVar home("ZVIHOME", ZVTEST_ZVIHOME);
    ASSERT_TRUE(startLink());
    run();
}

TEST_F(LinkWithSolver, ListeningSolverServesAWholeRun) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        execl(ZVTEST_ZELVANE, ZVTEST_ZELVANE, "--listen", "0", (char*)nullptr);
        _exit(127);
    }
    close(out[1]);
    // "listening on port N", read within a bounded wait.
    std::string said;
    pollfd p{out[0], POLLIN, 0};
    char c;
    while (said.find('\n') == std::string::npos && poll(&p, 1, 10000) == 1 &&
           read(out[0], &c, 1) == 1)
        said += c;
    unsigned port = 0;
    EXPECT_EQ(sscanf(said.c_str(), "listening on port %u", &port), 1) << said;
    if (port) {
        aimAt("127.0.0.1", uint16_t(port));
        EXPECT_TRUE(startLink());
        run();
    }
    kill(pid, SIGTERM);
    int status = 0;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > until) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        usleep(10000);
    }
    close(out[0]);
}
