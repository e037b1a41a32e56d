// The link with the stand-in solver: launched from an installation tree and
// serving every call the block makes, through the stubs; also the ways a
// launch fails. (Connect mode to a listening solver is covered by the run
// tests.)
#include "link/link_test_support.h"

#include <sys/wait.h>

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
};

} // namespace

TEST_F(LinkWithSolver, LaunchedSolverServesAWholeRun) {
    zvtest::EnvVar home("ZVIHOME", install("7.2", ZVTEST_ZELVANE).c_str());
    std::ofstream("zvlink.prm") << "VERSION=7.2\n";
    ASSERT_TRUE(startLink());
    // A run as the block makes it: check, open, start, steps, close.
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
    zvUpdate(outputs, 3);
    EXPECT_GT(outputs[0], 0.0); // the first output follows the first input
    slClose(0);
    zvCheckBack();
    EXPECT_TRUE(endLink());
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(fs::exists("screen.zv")); // it ran in the host's working folder
    // Started through a process already reaped: nothing is left to wait for.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST_F(LinkWithSolver, LaunchFailuresAreLoggedAndLeaveTheExpectedLink) {
    const std::string empty = sandbox.dir + "/empty";
    fs::create_directories(empty);
    const struct {
        std::string home; // "" for unset
        std::string line;
        bool linkLeft;
    } cases[] = {
        {"", "ERROR: ZVIHOME environment variable not set.\n", false},
        {empty,
         "ERROR: Error executing command: " + empty + "/v6.1.0/Zelvane/bin/zelvane ZVlink -i:",
         false},
        {std::string(1100, 'h'), "ERROR: Command string is too long.\n", false},
        // A solver that never connects back.
        {install("6.1.0", "/bin/true"), "ERROR: unable to start server\n", true},
    };
    setLinkAcceptTimeout(1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
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
