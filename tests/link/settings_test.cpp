#include "support/zvtest.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "link/settings.h"

namespace {

struct SettingsCase {
    std::string file;
    int ok, port;
    std::string host, version, warnings;
};

// Reads text as the settings file, giving the result and the log lines written.
int readText(const std::string& text, LinkSettings* s, std::string* log) {
    zvtest::writeFile(LINK_SETTINGS_FILE, text);
    memset(s, 'x', sizeof *s); // reading must define every field itself
    zvtest::StdoutCapture out;
    int ok = readLinkSettings(LINK_SETTINGS_FILE, s);
    *log = out.text();
    return ok;
}

TEST(LinkSettingsFile, ContentsToRecord) {
    const std::string a250(250, 'a'), h70(70, 'h'), j255(255, 'j');
    const SettingsCase cases[] = {
        {"# lab\n  host = LOCALHOST \r\nPort=4711 tail\n\nvErSiOn\t=\t7.0.2\n", 1, 4711,
         "LOCALHOST", "7.0.2", ""},
        {"HOST=solver\n", 0, 0, "solver", "", ""},
        {"HOST=solver\nPORT=abc\n", 0, 0, "solver", "", ""},
        {"HOST=solver\nPORT=65536\n", 0, 0, "solver", "", ""},
        {"HOST=  \nPORT=80\n", 0, 80, "", "", ""},
        {"HOST=h\nPORT=70000\n", 1, 4464, "h", "", ""},
        {"HOST=h\nPORT=-1\n", 1, 65535, "h", "", ""},
        {"HOST=h\nPORT=99999999999999999999999999999999\n", 1, 65535, "h", "", ""},
        {"HOST=h\nPORT=1\nPORT=2\n", 1, 2, "h", "", ""},
        {"HOST=" + h70 + "\nPORT=1\nVERSION=123456789012\n", 1, 1, h70.substr(0, 63), "123456789",
         ""},
        {"VERSION=   \n", 0, 0, "", "", ""},
        // 300 characters: 255, then a 45-character line of its own.
        {"HOST=" + a250 + "PORT=12" + std::string(38, ' ') + "\n", 1, 12, std::string(63, 'a'), "",
         ""},
        {j255 + "HOST=x\n", 0, 0, "x", "", "WARN: Skipping invalid line: " + j255 + "\n"},
        {"HOST=\nHOST\n  PORT\r\n===\ncolour=blue\n # host=c\nHOST=a=b\n==PORT=9\nlast", 1, 9,
         "a=b", "",
         "WARN: Skipping invalid line: HOST\nWARN: Skipping invalid line: HOST\n\n"
         "WARN: Skipping invalid line: PORT\r\n\nWARN: Skipping invalid line: \n\n"
         "WARN: Skipping unknown attribute: colour\nWARN: Skipping invalid line: last\n"},
    };
    zvtest::LogSandbox sandbox;
    ASSERT_FALSE(sandbox.dir.empty());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        LinkSettings s;
        std::string log;
        EXPECT_EQ(readText(c.file, &s, &log), c.ok);
        EXPECT_EQ(s.port, c.port);
        EXPECT_EQ(std::string(s.host), c.host);
        EXPECT_EQ(std::string(s.version), c.version);
        EXPECT_EQ(log, c.warnings);
    }
}

TEST(LinkSettingsFile, DefaultsKeepOnlyTheVersion) {
    zvtest::LogSandbox sandbox;
    LinkSettings s;
    memset(&s, 'x', sizeof s);
    EXPECT_EQ(readLinkSettings("missing.prm", &s), 0);
    EXPECT_EQ(std::string(s.host) + std::string(s.version), "");
    applyLinkDefaults(&s);
    EXPECT_STREQ(s.host, "localhost");
    EXPECT_STREQ(linkVersion(&s), "6.1.0");

    std::string log;
    ASSERT_EQ(readText("HOST=solver\nPORT=0\nVERSION=5.9\n", &s, &log), 0);
    applyLinkDefaults(&s);
    EXPECT_STREQ(s.host, "localhost");
    EXPECT_EQ(s.port, 0);
    EXPECT_STREQ(linkVersion(&s), "5.9");
}

TEST(LinkLogStart, LevelFromEnvironment) {
    const struct {
        const char *verbose, *debug, *expected;
    } cases[] = {
        {"", "1", "trace\nDEBUG: debug\nINFO: info\n"},
        {nullptr, "", "DEBUG: debug\nINFO: info\n"},
        {nullptr, nullptr, "INFO: info\n"},
    };
    for (const auto& c : cases) {
        zvtest::LogSandbox sandbox;
        zvtest::EnvVar verbose("ZVIVERBOSE", c.verbose), debug("ZVIDEBUG", c.debug);
        zvtest::StdoutCapture out;
        startLinkLog();
        logMessage(LOG_TRACE, "trace");
        logMessage(LOG_DEBUG, "debug");
        logMessage(LOG_INFO, "info");
        EXPECT_EQ(zvtest::readFile("zvlinkclient.out"), c.expected);
    }
}

TEST(LinkLogStart, OpensOnceAndRetriesAfterFailure) {
    zvtest::LogSandbox sandbox;
    zvtest::EnvVar verbose("ZVIVERBOSE", "yes");
    ASSERT_EQ(mkdir("zvlinkclient.out", 0700), 0); // a folder blocks the file
    zvtest::StdoutCapture out;
    startLinkLog();
    EXPECT_EQ(isLogOpen(), 0);
    logMessage(LOG_TRACE, "stdout only");
    ASSERT_EQ(rmdir("zvlinkclient.out"), 0);
    startLinkLog();
    logMessage(LOG_TRACE, "both");
    setLogLevel(LOG_WARN);
    startLinkLog(); // already open: neither emptied nor re-levelled
    logMessage(LOG_INFO, "dropped");
    EXPECT_EQ(zvtest::readFile("zvlinkclient.out"), "both\n");
    EXPECT_EQ(out.text(), "stdout only\nboth\n");
}

} // namespace
