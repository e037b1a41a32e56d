// The link launching the stand-in solver from an installation tree, and the
// ways a launch fails. (Connect mode to a listening solver: the run tests.)
#include "link/link_test_support.h"

#include <cstring>
#include <filesystem>

#include "remote/stubs.h"
#include "support/solver.h"

using namespace zvlinktest;
namespace fs = std::filesystem;

const char SEP = char(fs::path::preferred_separator);

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

// Every start that fails is logged; a link is left only when one was made
// and it fails every call at once, starting nothing new. A launched solver
// that ends first is named with how it ended; a settings file meant for
// connect mode never launches one.
TEST_F(LinkWithSolver, FailedStartsAreLoggedAndLeaveTheExpectedLink) {
    const std::string solverHome = install("6.1.0", ZVTEST_ZELVANE);
    const std::string unable = "ERROR: unable to start server\n";
    const std::string noConnection = "ERROR: error trying to initialize connection\n";
    // The system's own reason for a program it cannot find.
#ifdef _WIN32
    char text[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   ERROR_FILE_NOT_FOUND, 0, text, sizeof text, nullptr);
    const std::string missingProgram = std::string(text).substr(0, std::strcspn(text, "\r\n"));
#else
    const std::string missingProgram = "No such file or directory";
#endif
    const struct {
        std::string home, prm, faults; // home "" for unset
        std::string line, then;
        bool linkLeft;
    } cases[] = {
        {"", "", "", "ERROR: ZVIHOME environment variable not set.\n", unable, false},
        {sandbox.dir, "", "", "ERROR: Error executing command: " + sandbox.dir + SEP + "v6.1.0",
         "ERROR:     " + missingProgram + "\n" + unable, false},
        {std::string(1100, 'h'), "", "", "ERROR: Command string is too long.\n", unable, false},
        {solverHome, "", "no-connect=5", "INFO: launch mode: starting the solver " + solverHome,
         unable, true},
        {solverHome, "", "no-such-fault", "zelvane exited with status 2 before it connected back",
         unable, true},
        {"", "HOST=nosuchhost.invalid\nPORT=4000\n", "",
         "INFO: connect mode: connecting to nosuchhost.invalid port 4000\nERROR: "
         "XERROR_INVALID_HOST\n",
         noConnection, true},
        {"", "HOST=127.0.0.1\nPORT=" + std::to_string(closedPort) + "\n", "",
         "Error while trying to connect.\nERROR: 127.0.0.1 port " + std::to_string(closedPort) +
             " refused the connection: no solver listens there\n",
         noConnection, true},
        {solverHome, "HOST=127.0.0.1\nPORT=abc\n", "",
         "ERROR: PORT=abc in zvlink.prm is not a port number from 1 to 65535\n", "", false},
        {solverHome, "PORT=105289\n", "", "ERROR: PORT=105289 in zvlink.prm is not a port number",
         "", false},
        {solverHome, "HOST=127.0.0.1\nPROT=1234\n", "",
         "WARN: PROT is not a key of zvlink.prm: did you mean PORT?\nERROR: PROT in zvlink.prm "
         "is not a key; connect mode needs HOST and PORT\n",
         "", false},
        {solverHome, "PORT=1234\n", "", "ERROR: PORT=1234 in zvlink.prm has no HOST", "", false},
    };
    setLinkAcceptTimeout(3);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        zvtest::EnvVar home("ZVIHOME", c.home.empty() ? nullptr : c.home.c_str());
        zvtest::EnvVar faults("ZELVANE_FAULTS", c.faults.c_str());
        zvtest::writeFile("zvlink.prm", c.prm);
        const size_t before = log().size();
        EXPECT_FALSE(startLink());
        const std::string lines = log().substr(before);
        EXPECT_TRUE(zvtest::holds(lines, c.line));
        if (c.then.empty())
            EXPECT_TRUE(zvtest::lacks(lines, "launch mode"));
        else
            EXPECT_TRUE(zvtest::holds(lines, c.then));
        EXPECT_EQ(currentLink() != nullptr, c.linkLeft);
        EXPECT_TRUE(!c.linkLeft || (getLink() == currentLink() &&
                                    !callRemote(currentLink(), processMessage, FID_SLOPEN)));
        closeLink();
    }
    EXPECT_TRUE(calls.empty());
}

// A solver the block gives up on is ended, whether the start or a call gave
// up on it; one told in order that the link has ended is left to finish, also
// when it connected back by another loopback address, as one that looks the
// machine's name up does on Debian (127.0.1.1).
TEST_F(LinkWithSolver, NoSolverOutlivesALinkTheBlockGaveUpOn) {
    zvtest::EnvVar home("ZVIHOME", install("7.2", ZVTEST_ZELVANE).c_str());
    zvtest::writeFile("zvlink.prm", "VERSION=7.2\nTIMEOUT=1\n");
    const struct {
        const char* faults;
        bool started, endsInOrder;
    } cases[] = {
        {"stall-handshake=60", false, false},
        {"stall=60@SLOPEN", true, false},
        {"", true, true},
#ifndef _WIN32
        {"connect-to=127.0.1.1", true, true},
#endif
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults);
        zvtest::EnvVar faults("ZELVANE_FAULTS", c.faults);
        const size_t before = log().size();
        calls.clear();
        ASSERT_EQ(startLink(), c.started);
        const int pid = launchedSolverId();
        if (c.started) {
            EXPECT_NE(pid, 0);
            slOpen();
            if (c.endsInOrder) endLink();
        }
        EXPECT_EQ(launchedSolverId(), 0);
        EXPECT_EQ(calls.empty(), c.endsInOrder || !c.started);
        const std::string lines = log().substr(before);
        EXPECT_TRUE(
            c.started ||
            zvtest::holds(lines, "ERROR: no handshake reply within 1 s (TIMEOUT in zvlink.prm)"));
        EXPECT_EQ(lines.find("ending the solver the block launched") != std::string::npos,
                  !c.endsInOrder)
            << lines;
        EXPECT_TRUE(zvtest::lacks(lines, "refused a connection"));
#ifndef _WIN32
        // Wine delivers no Ctrl-Break to another process: there only the kill
        // after the grace period ends the solver.
        EXPECT_TRUE(zvtest::lacks(lines, "killed it"));
#endif
        closeLink();
    }
    EXPECT_TRUE(fs::exists("screen.zv")); // it ran in the host's working folder
    // Nothing of the solver is left behind (on POSIX: it was started through
    // a process already reaped, so nothing is left to wait for).
    EXPECT_EQ(zvproc::leftoverProcesses(), 0);
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
