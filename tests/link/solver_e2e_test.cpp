// The link with the stand-in solver: started from an installation tree,
// reached where it listens, and every call the block makes, through the
// stubs. Also the ways a launch fails.
#include "link/link_test_support.h"

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>

#include "remote/catalogue.h"
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
    // An installation root with a blank in its name; program is linked in as
    // the solver of that version.
    std::string install(const std::string& version, const char* program) {
        fs::path bin = fs::path(sandbox.dir) / "zvi home" / ("v" + version) / "Zelvane" / "bin";
        fs::create_directories(bin);
        fs::create_symlink(program, bin / "zelvane");
        return (fs::path(sandbox.dir) / "zvi home").string();
    }

    // A run as the block makes it: check, open, start, steps, close.
    void run() {
        EXPECT_EQ(zvFileCheck("tank", "OTHER", "6.1"), -1);
        EXPECT_NE(zvFileCheck("tank", "ZVDEMO", "6.1"), 0);
        slOpen();
        EXPECT_EQ(zvStartup("tank", "ZVDEMO"), 10.0)
            << "SLZVIMAN carries the product ahead of the file name";
        double outputs[ZVUPDATE_CAPACITY] = {};
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
    zvtest::EnvVar home("ZVIHOME", install("7.2", ZVTEST_ZELVANE).c_str());
    std::ofstream("zvlink.prm") << "VERSION=7.2\n";
    ASSERT_TRUE(startLink());
    run();
    EXPECT_TRUE(fs::exists("screen.zv")); // it ran in the host's working folder
    // Started through a process already reaped: nothing is left to wait for.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST_F(LinkWithSolver, ListeningSolverServesAWholeRun) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        execl(ZVTEST_ZELVANE, ZVTEST_ZELVANE, "--listen", "0", (char*)nullptr);
        _exit(127);
    }
    close(out[1]);
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
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (waitpid(pid, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > until) kill(pid, SIGKILL);
        usleep(10000);
    }
    close(out[0]);
}

TEST_F(LinkWithSolver, LaunchFailuresAreLoggedAndLeaveTheExpectedLink) {
    const std::string empty = sandbox.dir + "/empty";
    fs::create_directories(empty);
    struct Case {
        const char* name;
        std::string home; // "" for unset
        std::string line;
        bool linkLeft;
    } cases[] = {
        {"no ZVIHOME", "", "ERROR: ZVIHOME environment variable not set.\n", false},
        {"no program", empty,
         "ERROR: Error executing command: " + empty + "/v6.1.0/Zelvane/bin/zelvane ZVlink -i:",
         false},
        {"long path", std::string(1100, 'h'), "ERROR: Command string is too long.\n", false},
        {"never connects", install("6.1.0", "/bin/true"), "ERROR: unable to start server\n", true},
    };
    setLinkAcceptTimeout(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        zvtest::EnvVar home("ZVIHOME", c.home.empty() ? nullptr : c.home.c_str());
        size_t before = log().size();
        EXPECT_FALSE(startLink());
        std::string lines = log().substr(before);
        EXPECT_NE(lines.find(c.line), std::string::npos) << lines;
        EXPECT_NE(lines.find("ERROR: unable to start server\n"), std::string::npos);
        EXPECT_EQ(currentLink() != nullptr, c.linkLeft);
        // An unconnected link fails every call at once, starting nothing new.
        if (c.linkLeft) {
            EXPECT_FALSE(callRemote(getLink(), processMessage, FID_SLOPEN));
        }
        closeLink();
    }
}

TEST_F(LinkWithSolver, CommandLineMayHoldAtMost1023Characters) {
    char line[LINK_COMMAND_SIZE];
    std::string home(1023 - strlen("/v6.1.0/Zelvane/bin/zelvane ZVlink -i:50123"), 'h');
    ASSERT_TRUE(formatSolverCommand(line, sizeof line, home.c_str(), "6.1.0", 50123));
    EXPECT_EQ(std::string(line), home + "/v6.1.0/Zelvane/bin/zelvane ZVlink -i:50123");
    home += 'h';
    EXPECT_FALSE(formatSolverCommand(line, sizeof line, home.c_str(), "6.1.0", 50123));
}
