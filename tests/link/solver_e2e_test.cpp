// The link launching the stand-in solver from an installation tree, and the
// ways a launch fails. (Connect mode to a listening solver: the run tests.)
#include "link/link_test_support.h"

#include <filesystem>

#include "remote/stubs.h"
#include "support/process.h"

using namespace zvlinktest;
namespace fs = std::filesystem;

#ifdef _WIN32
const char SEP = '\\';
#else
const char SEP = '/';
#endif

struct LinkWithSolver : LinkTest {
    // An installation root with a blank in its name, program put in as the
    // solver of that version.
    std::string install(const std::string& version, const char* program) {
        const fs::path home = fs::path(sandbox.dir) / "zvi home";
        const fs::path bin = home / ("v" + version) / "Zelvane" / "bin";
        fs::create_directories(bin);
#ifdef _WIN32
        fs::copy_file(program, bin / "zelvane.exe", fs::copy_options::overwrite_existing);
#else
        fs::create_symlink(program, bin / "zelvane");
#endif
        return home.string();
    }
};

// Also when the solver connects back by another loopback address, as one
// that looks the machine's name up does on Debian (127.0.1.1).
TEST_F(LinkWithSolver, LaunchedSolverServesTheCallsAndLeavesNoZombie) {
    zvtest::EnvVar home("ZVIHOME", install("7.2", ZVTEST_ZELVANE).c_str());
    zvtest::writeFile("zvlink.prm", "VERSION=7.2\n");
    zvtest::writeFile("tank.dat", zvproc::demoModel());
    setLinkAcceptTimeout(20);
#ifdef _WIN32
    const char* const hosts[] = {""};
#else
    const char* const hosts[] = {"", "connect-to=127.0.1.1"};
#endif
    for (const char* host : hosts) {
        SCOPED_TRACE(host);
        zvtest::EnvVar faults("ZELVANE_FAULTS", host);
        ASSERT_TRUE(startLink()) << log();
        EXPECT_NE(zvFileCheck("tank", "ZVDEMO", "6.1"), 0);
        slOpen();
        EXPECT_EQ(zvStartup("tank", "ZVDEMO"), 10.0);
        EXPECT_TRUE(endLink());
        EXPECT_TRUE(calls().empty());
        EXPECT_EQ(log().find("refused a connection"), std::string::npos) << log();
        EXPECT_TRUE(fs::exists("screen.zv")); // it ran in the host's working folder
    }
    // Nothing of the solver is left behind (on POSIX: it was started through
    // a process already reaped, so nothing is left to wait for).
    EXPECT_EQ(zvproc::leftoverProcesses(), 0);
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
        {sandbox.dir, "", "ERROR: Error executing command: " + sandbox.dir + SEP + "v6.1.0", false},
        {std::string(1100, 'h'), "", "ERROR: Command string is too long.\n", false},
        {install("6.1.0", ZVTEST_ZELVANE), "", "ERROR: unable to start server\n",
         true}, // no call back (ZELVANE_FAULTS below)
        {"", "HOST=nosuchhost.invalid\nPORT=4000\n",
         "DEBUG: connecting to nosuchhost.invalid port 4000\nERROR: XERROR_INVALID_HOST\n", true},
        {"", "HOST=127.0.0.1\nPORT=" + std::to_string(closedPort()) + "\n",
         "Error while trying to connect.\n", true},
    };
    setLinkAcceptTimeout(1);
    zvtest::EnvVar faults("ZELVANE_FAULTS", "no-connect=0");
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

// The line as passed, quotes included, holds at most 1023 characters.
TEST(LinkLaunch, CommandLineMayHoldAtMost1023Characters) {
    const std::string tail = std::string(1, SEP) + "v6.1.0" + SEP + "Zelvane" + SEP + "bin" + SEP +
                             "zelvane ZVlink -i:50123";
    char line[LINK_COMMAND_SIZE];
    std::string home(1023 - tail.size(), 'h');
    ASSERT_TRUE(formatSolverCommand(line, sizeof line, home.c_str(), "6.1.0", 50123));
    EXPECT_EQ(std::string(line), home + tail);
    EXPECT_FALSE(formatSolverCommand(line, sizeof line, (home + 'h').c_str(), "6.1.0", 50123));
#ifdef _WIN32
    home[5] = ' '; // now quoted: two characters more
    home.resize(home.size() - 2);
    ASSERT_TRUE(formatSolverCommand(line, sizeof line, home.c_str(), "6.1.0", 50123));
    EXPECT_EQ(strlen(line), 1023u);
    EXPECT_FALSE(formatSolverCommand(line, sizeof line, (home + 'h').c_str(), "6.1.0", 50123));
#endif
}

#ifdef _WIN32
// CreateProcessA takes the program from the first token, or from the first
// quoted part: a path with a blank or a tab is quoted once, around all of it.
TEST(LinkLaunch, ProgramPathIsQuotedOnceWhenItHoldsABlankOrATab) {
    const struct {
        const char *home, *version, *line;
    } cases[] = {
        {"C:\\zvi", "6.1.0", "C:\\zvi\\v6.1.0\\Zelvane\\bin\\zelvane ZVlink -i:7"},
        {"C:\\Program Files\\zvi", "6.1.0",
         "\"C:\\Program Files\\zvi\\v6.1.0\\Zelvane\\bin\\zelvane\" ZVlink -i:7"},
        {"C:\\a\tb", "6.1.0", "\"C:\\a\tb\\v6.1.0\\Zelvane\\bin\\zelvane\" ZVlink -i:7"},
        {"C:\\zvi", "6 beta", "\"C:\\zvi\\v6 beta\\Zelvane\\bin\\zelvane\" ZVlink -i:7"},
        {"\"C:\\Program Files\\zvi\"", "6.1.0",
         "\"C:\\Program Files\\zvi\\v6.1.0\\Zelvane\\bin\\zelvane\" ZVlink -i:7"},
        {"\"C:\\zvi\"", "6.1.0", "C:\\zvi\\v6.1.0\\Zelvane\\bin\\zelvane ZVlink -i:7"},
    };
    for (const auto& c : cases) {
        char line[LINK_COMMAND_SIZE];
        ASSERT_TRUE(formatSolverCommand(line, sizeof line, c.home, c.version, 7)) << c.home;
        EXPECT_STREQ(line, c.line);
    }
}
#endif
