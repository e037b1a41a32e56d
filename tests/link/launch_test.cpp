// Launch mode: the block starts a stand-in solver from a ZVIHOME tree.
#include "link/link_test_support.h"

#include <sys/wait.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>

#include "remote/catalogue.h"

using namespace zvlinktest;
namespace fs = std::filesystem;

namespace {

struct LinkLaunch : LinkTest {
    void SetUp() override {
        LinkTest::SetUp();
        setLinkAcceptTimeout(20);
    }
    void TearDown() override {
        LinkTest::TearDown();
        setLinkAcceptTimeout(LINK_ACCEPT_TIMEOUT);
    }
    // An installation root with a blank in its name, holding version v.
    std::string install(const std::string& version) {
        fs::path bin = fs::path(sandbox.dir) / "zvi home" / ("v" + version) / "Zelvane" / "bin";
        fs::create_directories(bin);
        fs::create_symlink(ZVTEST_FAKE_ZELVANE, bin / "zelvane");
        return (fs::path(sandbox.dir) / "zvi home").string();
    }
    std::vector<std::string> recorded() {
        std::vector<std::string> lines;
        std::ifstream in("started.txt");
        for (std::string l; std::getline(in, l);)
            lines.push_back(l);
        return lines;
    }
};

} // namespace

TEST_F(LinkLaunch, StartsSolverWithItsPortWhoConnectsBack) {
    zvtest::EnvVar home("ZVIHOME", install("6.1.0").c_str());
    zvtest::EnvVar record("ZVTEST_RECORD", (sandbox.dir + "/started.txt").c_str());
    ASSERT_TRUE(startLink());
    ASSERT_NE(currentLink(), nullptr);
    EXPECT_TRUE(callRemote(currentLink(), processMessage, FID_SLOPEN));
    char here[PATH_MAX];
    ASSERT_NE(realpath(".", here), nullptr);
    // Program name, working folder and the two arguments, unsplit by the blank.
    std::vector<std::string> expected = {
        "3", here, "ZVlink", "-i:" + std::to_string(getXSocketLocalPort(currentLink()))};
    EXPECT_EQ(recorded(), expected);
    EXPECT_TRUE(endLink());
    // The solver was started through a process already reaped: nothing is
    // left for the host to wait for.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST_F(LinkLaunch, VersionSettingChoosesTheInstallation) {
    zvtest::EnvVar home("ZVIHOME", install("7.2").c_str());
    std::ofstream("zvlink.prm") << "VERSION=7.2\n";
    EXPECT_TRUE(startLink());
    EXPECT_TRUE(endLink());
}

TEST_F(LinkLaunch, FailuresAreLoggedAndLeaveTheExpectedLink) {
    const std::string empty = sandbox.dir + "/empty";
    fs::create_directories(empty);
    struct Case {
        const char* name;
        std::string home; // "" for unset
        const char* mode;
        std::string line;
        bool linkLeft;
    } cases[] = {
        {"no ZVIHOME", "", "", "ERROR: ZVIHOME environment variable not set.\n", false},
        {"no program", empty, "",
         "ERROR: Error executing command: " + empty + "/v6.1.0/Zelvane/bin/zelvane ZVlink -i:",
         false},
        {"long path", std::string(1100, 'h'), "",
         "ERROR: Command string is too long.\nERROR: Most likely cause is a long path.\n", false},
        {"never connects", install("6.1.0"), "silent", "ERROR: unable to start server\n", true},
    };
    setLinkAcceptTimeout(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        zvtest::EnvVar home("ZVIHOME", c.home.empty() ? nullptr : c.home.c_str());
        zvtest::EnvVar mode("ZVTEST_MODE", c.mode);
        size_t before = log().size();
        EXPECT_FALSE(startLink());
        std::string lines = log().substr(before);
        EXPECT_NE(lines.find(c.line), std::string::npos) << lines;
        EXPECT_NE(lines.find("ERROR: unable to start server\n"), std::string::npos);
        ASSERT_EQ(currentLink() != nullptr, c.linkLeft);
        // An unconnected link fails every call at once, starting nothing new.
        if (c.linkLeft) {
            EXPECT_FALSE(callRemote(getLink(), processMessage, FID_SLOPEN));
        }
        closeLink();
    }
}

TEST_F(LinkLaunch, CommandLineMayHoldAtMost1023Characters) {
    char line[LINK_COMMAND_SIZE];
    const size_t fixed = std::string("/v6.1.0/Zelvane/bin/zelvane ZVlink -i:50123").size();
    std::string home(1023 - fixed, 'h');
    ASSERT_TRUE(formatSolverCommand(line, sizeof line, home.c_str(), "6.1.0", 50123));
    EXPECT_EQ(std::string(line), home + "/v6.1.0/Zelvane/bin/zelvane ZVlink -i:50123");
    home += 'h';
    EXPECT_FALSE(formatSolverCommand(line, sizeof line, home.c_str(), "6.1.0", 50123));
}
