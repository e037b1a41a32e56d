// The link launching the stand-in solver from an installation tree, and the
// ways a launch fails. (Connect mode to a listening solver: the run tests.)
#include "link/link_test_support.h"

#include <sys/wait.h>

#include <filesystem>

#include "remote/stubs.h"
#include "support/process.h"

using namespace zvlinktest;
namespace fs = std::filesystem;

struct LinkWithSolver : LinkTest {
    // An installation root with a blank in its name, program linked in as
    // the solver of that version.
    std::string install(const std::string& version, const char* program) {
        const fs::path home = fs::path(sandbox.dir) / "zvi home";
        fs::create_directories(home / ("v" + version) / "Zelvane" / "bin");
        fs::create_symlink(program, home / ("v" + version) / "Zelvane" / "bin" / "zelvane");
        return home.string();
    }
};

TEST_F(LinkWithSolver, LaunchedSolverServesTheCallsAndLeavesNoZombie) {
    zvtest::EnvVar home("ZVIHOME", install("7.2", ZVTEST_ZELVANE).c_str());
    zvtest::writeFile("zvlink.prm", "VERSION=7.2\n");
    zvtest::writeFile("tank.dat", zvproc::demoModel());
    setLinkAcceptTimeout(20);
    ASSERT_TRUE(startLink());
    EXPECT_NE(zvFileCheck("tank", "ZVDEMO", "6.1"), 0);
    slOpen();
    EXPECT_EQ(zvStartup("tank", "ZVDEMO"), 10.0);
    EXPECT_TRUE(endLink());
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(fs::exists("screen.zv")); // it ran in the host's working folder
    // Started through a process already reaped: nothing is left to wait for.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

// Every start that fails is logged; a link is left only when one was made
// and it fails every call at once, starting nothing new.
TEST_F(LinkWithSolver, FailedStartsAreLoggedAndLeaveTheExpectedLink) {
    const struct {
        std::string home, prm; // home "" for unset
        std::string line;
        bool linkLeft;
    } cases[] = {
        {"", "", "ERROR: ZVIHOME environment variable not set.\n", false},
        {sandbox.dir, "", "ERROR: Error executing command: " + sandbox.dir + "/v6.1.0/", false},
        {std::string(1100, 'h'), "", "ERROR: Command string is too long.\n", false},
        {install("6.1.0", "/bin/true"), "", "ERROR: unable to start server\n",
         true}, // no call back
        {"", "HOST=nosuchhost.invalid\nPORT=4000\n",
         "DEBUG: connecting to nosuchhost.invalid port 4000\nERROR: XERROR_INVALID_HOST\n", true},
        {"", "HOST=127.0.0.1\nPORT=" + std::to_string(closedPort()) + "\n",
         "Error while trying to connect.\n", true},
    };
    setLinkAcceptTimeout(1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        zvtest::EnvVar home("ZVIHOME", c.home.empty() ? nullptr : c.home.c_str());
        zvtest::writeFile("zvlink.prm", c.prm);
        const size_t before = log().size();
        EXPECT_FALSE(startLink());
        const std::string lines = log().substr(before);
        EXPECT_NE(lines.find(c.line), std::string::npos) << lines;
        EXPECT_NE(lines.find(c.prm.empty() ? "ERROR: unable to start server\n"
                                           : "ERROR: error trying to initialize connection\n"),
                  std::string::npos);
        EXPECT_EQ(currentLink() != nullptr, c.linkLeft);
        EXPECT_TRUE(!c.linkLeft || (getLink() == currentLink() &&
                                    !callRemote(currentLink(), processMessage, FID_SLOPEN)));
        closeLink();
    }
    EXPECT_TRUE(calls().empty());
}

TEST(LinkLaunch, CommandLineMayHoldAtMost1023Characters) {
    char line[LINK_COMMAND_SIZE];
    std::string home(1023 - strlen("/v6.1.0/Zelvane/bin/zelvane ZVlink -i:50123"), 'h');
    ASSERT_TRUE(formatSolverCommand(line, sizeof line, home.c_str(), "6.1.0", 50123));
    EXPECT_EQ(std::string(line), home + "/v6.1.0/Zelvane/bin/zelvane ZVlink -i:50123");
    home += 'h';
    EXPECT_FALSE(formatSolverCommand(line, sizeof line, home.c_str(), "6.1.0", 50123));
}
