#include "log/test_support.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "link/settings.h"
#include "log/zvlog.h"

using zvtest::readFile;
using zvtest::writeFile;

namespace {

class LinkSettingsTest : public ::testing::Test {
  protected:
    // Reads text as the settings file; the log lines it causes land in warnings.
    int read(const std::string& text) {
        writeFile(LINK_SETTINGS_FILE, text);
        zvtest::StdoutCapture out;
        int ok = readLinkSettings(LINK_SETTINGS_FILE, &s);
        warnings = out.text();
        return ok;
    }
    void SetUp() override {
        ASSERT_TRUE(dir.ok());
        memset(&s, 'x', sizeof s); // reading must define every field itself
    }

    zvtest::TempDir dir;
    zvtest::LogReset logReset;
    LinkSettings s;
    std::string warnings;
};

TEST_F(LinkSettingsTest, MissingFileGivesLaunchDefaults) {
    zvtest::StdoutCapture out;
    EXPECT_EQ(readLinkSettings("zvlink.prm", &s), 0);
    EXPECT_EQ(readLinkSettings(nullptr, &s), 0);
    EXPECT_EQ(readLinkSettings("zvlink.prm", nullptr), 0);
    EXPECT_EQ(out.text(), "");
    EXPECT_STREQ(s.host, "");
    EXPECT_STREQ(s.version, "");
    EXPECT_EQ(s.port, 0);
    applyLinkDefaults(&s);
    EXPECT_STREQ(s.host, "localhost");
    EXPECT_EQ(s.port, 0);
    EXPECT_STREQ(linkVersion(&s), "6.1.0");
}

TEST_F(LinkSettingsTest, ConnectModeFileIsReadAsWritten) {
    ASSERT_EQ(read("# solver on the lab machine\n"
                   "  host = LOCALHOST \r\n"
                   "Port=4711 trailing text\n"
                   "\n"
                   "vErSiOn\t=\t7.0.2\n"),
              1);
    EXPECT_STREQ(s.host, "LOCALHOST"); // case kept: this is connect mode
    EXPECT_EQ(s.port, 4711);
    EXPECT_STREQ(s.version, "7.0.2");
    EXPECT_STREQ(linkVersion(&s), "7.0.2");
    EXPECT_EQ(warnings, "");
}

TEST_F(LinkSettingsTest, IncompleteFilesFail) {
    EXPECT_EQ(read("HOST=solver\n"), 0);
    EXPECT_STREQ(s.host, "solver");
    EXPECT_EQ(read("HOST=solver\nPORT=0\n"), 0);
    EXPECT_EQ(read("HOST=solver\nPORT=abc\n"), 0);
    EXPECT_EQ(read("HOST=solver\nPORT=65536\n"), 0);
    EXPECT_EQ(read("PORT=80\n"), 0);
    EXPECT_EQ(read("HOST=  \nPORT=80\n"), 0);
    EXPECT_STREQ(s.host, "");

    // Only the version survives the defaults.
    ASSERT_EQ(read("HOST=solver\nVERSION=5.9\n"), 0);
    applyLinkDefaults(&s);
    EXPECT_STREQ(s.host, "localhost");
    EXPECT_EQ(s.port, 0);
    EXPECT_STREQ(linkVersion(&s), "5.9");
}

TEST_F(LinkSettingsTest, PortKeepsLow16BitsOfAtoiValue) {
    const struct {
        const char* text;
        int port;
    } cases[] = {
        {"70000", 4464},   {"-1", 65535},
        {"+80", 80},       {"  123abc", 123},
        {"65535", 65535},  {"-65535", 1},
        {"4294967297", 1}, {"99999999999999999999999999999999999999", 65535},
        {"- 5", 0},        {"--5", 0},
    };
    for (const auto& c : cases) {
        read(std::string("HOST=h\nPORT=") + c.text + "\n");
        EXPECT_EQ(s.port, c.port) << c.text;
    }
    ASSERT_EQ(read("PORT=1\nHOST=h\nPORT=2\n"), 1);
    EXPECT_EQ(s.port, 2); // last line wins
}

TEST_F(LinkSettingsTest, LongValuesAreCut) {
    const std::string host70(70, 'h');
    ASSERT_EQ(read("HOST=" + host70 + "\nPORT=1\nVERSION=123456789012\n"), 1);
    EXPECT_EQ(std::string(s.host), host70.substr(0, 63));
    EXPECT_STREQ(s.version, "123456789");

    ASSERT_EQ(read("HOST=h\nPORT=1\nVERSION=   \n"), 1);
    EXPECT_STREQ(s.version, "");
    EXPECT_STREQ(linkVersion(&s), "6.1.0");
}

TEST_F(LinkSettingsTest, LongLinesArriveInPieces) {
    // 255 characters, then a 45-character tail that is a line of its own.
    const std::string head = "HOST=" + std::string(250, 'a');
    const std::string tail = "PORT=12" + std::string(38, ' ');
    ASSERT_EQ(head.size() + tail.size(), 300u);
    ASSERT_EQ(read(head + tail + "\n"), 1);
    EXPECT_EQ(std::string(s.host), std::string(63, 'a'));
    EXPECT_EQ(s.port, 12);

    const std::string junk(255, 'j');
    read(junk + "HOST=x\n");
    EXPECT_EQ(warnings, "WARN: Skipping invalid line: " + junk + "\n");
    EXPECT_STREQ(s.host, "x");
}

TEST_F(LinkSettingsTest, MalformedLinesAreReportedAndSkipped) {
    ASSERT_EQ(read("HOST=\n"
                   "HOST\n"
                   "  PORT\r\n"
                   "===\n"
                   "=\n"
                   "colour=blue\n"
                   "  # host=commented\n"
                   "HOST=a=b\n"
                   "==PORT=9\n"
                   "last"),
              1);
    EXPECT_EQ(warnings, "WARN: Skipping invalid line: HOST\n"
                        "WARN: Skipping invalid line: HOST\n\n"
                        "WARN: Skipping invalid line: PORT\r\n\n"
                        "WARN: Skipping invalid line: \n\n"
                        "WARN: Skipping invalid line: \n\n"
                        "WARN: Skipping unknown attribute: colour\n"
                        "WARN: Skipping invalid line: last\n");
    EXPECT_STREQ(s.host, "a=b");
    EXPECT_EQ(s.port, 9);
}

class LinkLogStartTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(dir.ok()); }
    zvtest::TempDir dir;
    zvtest::LogReset logReset;
};

TEST_F(LinkLogStartTest, VerboseOpensFileAndWritesEverything) {
    zvtest::EnvVar verbose("ZVIVERBOSE", "");
    zvtest::EnvVar debug("ZVIDEBUG", "1");
    zvtest::StdoutCapture out;
    startLinkLog();
    EXPECT_EQ(isLogOpen(), 1);
    logMessage(LOG_TRACE, "trace");
    EXPECT_EQ(readFile("zvlinkclient.out"), "trace\n");
    out.text();
}

TEST_F(LinkLogStartTest, DebugLevelAndOnceOnly) {
    zvtest::EnvVar verbose("ZVIVERBOSE", nullptr);
    zvtest::EnvVar debug("ZVIDEBUG", "");
    zvtest::StdoutCapture out;
    startLinkLog();
    logMessage(LOG_TRACE, "trace");
    logMessage(LOG_DEBUG, "debug");
    // Already open: neither reopened (which would empty it) nor re-levelled.
    setLogLevel(LOG_WARN);
    startLinkLog();
    logMessage(LOG_INFO, "info");
    EXPECT_EQ(readFile("zvlinkclient.out"), "DEBUG: debug\n");
    out.text();
}

TEST_F(LinkLogStartTest, NoSwitchesKeepInitialLevel) {
    zvtest::EnvVar verbose("ZVIVERBOSE", nullptr);
    zvtest::EnvVar debug("ZVIDEBUG", nullptr);
    zvtest::StdoutCapture out;
    startLinkLog();
    logMessage(LOG_DEBUG, "debug");
    logMessage(LOG_INFO, "info");
    EXPECT_EQ(readFile("zvlinkclient.out"), "INFO: info\n");
    out.text();
}

TEST_F(LinkLogStartTest, UncreatableFileStillTakesLevelAndRetries) {
    zvtest::EnvVar verbose("ZVIVERBOSE", "yes");
    // A folder of that name keeps the file from being created.
    ASSERT_EQ(mkdir("zvlinkclient.out", 0700), 0);
    zvtest::StdoutCapture out;
    startLinkLog();
    EXPECT_EQ(isLogOpen(), 0);
    logMessage(LOG_TRACE, "on stdout only");
    ASSERT_EQ(rmdir("zvlinkclient.out"), 0);
    startLinkLog();
    EXPECT_EQ(isLogOpen(), 1);
    logMessage(LOG_TRACE, "both");
    EXPECT_EQ(readFile("zvlinkclient.out"), "both\n");
    EXPECT_EQ(out.text(), "on stdout only\nboth\n");
}

} // namespace
