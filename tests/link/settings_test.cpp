// zvlink.prm as read into the link's settings, and the link log's start.
#include "support/zvtest.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "link/settings.h"
#include "log/zvlog.h"

// Reads text as the settings file, giving the result and the log lines written.
int readText(const std::string& text, LinkSettings* s, std::string* log) {
    zvtest::writeFile(LINK_SETTINGS_FILE, text);
    memset(s, 'x', sizeof *s); // reading must define every field itself
    zvtest::StdoutCapture out;
    int ok = readLinkSettings(LINK_SETTINGS_FILE, s);
    *log = out.text();
    return ok;
}

#ifdef _WIN32
// Read as text, a line ends at CR LF as it does at LF.
const std::string KEPT_CR = "";
// An empty value removes a variable from the environment.
const char* const EMPTY = "0";
#else
const std::string KEPT_CR = "\r";
const char* const EMPTY = "";
#endif

TEST(LinkSettingsFile, ContentsToRecordAndAMissingFileToTheDefaults) {
    const std::string h70(70, 'h');
    const std::string decimal = " (the value is decimal seconds)\n";
    const struct {
        std::string file, record, warnings = ""; // record: "ok host:port version"
        int pipeline = 0;
        int32_t ms = 0, longMs = 0;
    } cases[] = {
        {"# lab\n  host = LOCALHOST \r\nPort=4711 tail\n\nvErSiOn\t=\t7.0.2\n",
         "1 LOCALHOST:4711 7.0.2"},
        {"HOST=solver\n", "0 solver:0 "},
        {"HOST=h\nPORT=99999999999999999999999999999999\n", "1 h:65535 "},
        {"HOST=" + h70 + "\nPORT=1\nVERSION=123456789012\n",
         "1 " + h70.substr(0, 63) + ":1 123456789"},
        {"VERSION=   \n", "0 :0 "},
        // 300 characters: 255, then a 45-character line of its own.
        {"HOST=" + std::string(250, 'a') + "PORT=12" + std::string(38, ' ') + "\n",
         "1 " + std::string(63, 'a') + ":12 "},
        {"HOST=\nHOST\n  PORT\r\n===\ncolour=blue\n # host=c\nHOST=a=b\n==PORT=9\nlast", "1 a=b:9 ",
         "WARN: Skipping invalid line: HOST\nWARN: Skipping invalid line: HOST\n\n"
         "WARN: Skipping invalid line: PORT" +
             KEPT_CR +
             "\n\nWARN: Skipping invalid line: \n\n"
             "WARN: Skipping unknown attribute: colour\nWARN: Skipping invalid line: last\n"},
        // Only 0 and 1 switch the step mode; the last valid line wins.
        {"pipeline = 1 \nPIPELINE=yes\nPIPELINE=2\n", "0 :0 ",
         "WARN: Skipping invalid line: PIPELINE\nWARN: Skipping invalid line: PIPELINE\n", 1},
        {"PIPELINE=1\nHOST=h\nPORT=1\nPIPELINE=0\n", "1 h:1 ", "", 0},
        // TIMEOUT and LONGTIMEOUT: decimal seconds, rounded up to milliseconds, at
        // most a day; anything else is refused and the value before it kept.
        {"timeout = 7\nLongTimeout=0.5\n", "0 :0 ", "", 0, 7000, 500},
        {"TIMEOUT=.0001\nLONGTIMEOUT=90.\n", "0 :0 ", "", 0, 1, 90000},
        {"TIMEOUT=5\nTIMEOUT=abc\nTIMEOUT=1e1\nLONGTIMEOUT=7 s\n", "0 :0 ",
         "WARN: Skipping invalid line: TIMEOUT=abc" + decimal +
             "WARN: Skipping invalid line: TIMEOUT=1e1" + decimal +
             "WARN: Skipping invalid line: LONGTIMEOUT=7 s" + decimal,
         0, 5000},
        {"TIMEOUT=99999999999999999999\n", "0 :0 ", "", 0, 86400000},
    };
    zvtest::LogSandbox sandbox;
    for (const auto& c : cases) {
        LinkSettings s;
        std::string log;
        const int ok = readText(c.file, &s, &log);
        EXPECT_EQ(std::to_string(ok) + " " + s.host + ":" + std::to_string(s.port) + " " +
                      s.version,
                  c.record)
            << c.file;
        EXPECT_EQ(log, c.warnings) << c.file;
        EXPECT_EQ(s.pipeline, c.pipeline) << c.file;
        EXPECT_EQ(s.timeoutMs, c.ms) << c.file;
        EXPECT_EQ(s.longTimeoutMs, c.longMs) << c.file;
    }

    // A missing file gives the defaults. (A file that is read but refused
    // keeps its VERSION: the launch tests.)
    LinkSettings s;
    memset(&s, 'x', sizeof s);
    EXPECT_EQ(readLinkSettings("missing.prm", &s), 0);
    applyLinkDefaults(&s);
    EXPECT_EQ(std::string(s.host) + ":" + std::to_string(s.port) + " " + linkVersion(&s),
              "localhost:0 6.1.0");
}

// ZVIVERBOSE (every level) before ZVIDEBUG (debug and up); a file that could
// not be opened is tried again at the next start, standard output meanwhile.
TEST(LinkLogStart, LevelFromEnvironmentAndARetryAfterAFailedOpen) {
    const struct {
        const char *verbose, *debug, *expected;
    } cases[] = {
        {EMPTY, "1", "trace\nDEBUG: debug\nINFO: info\n"},
        {nullptr, EMPTY, "DEBUG: debug\nINFO: info\n"},
        {nullptr, nullptr, "INFO: info\n"},
    };
    for (const auto& c : cases) {
        zvtest::LogSandbox sandbox;
        zvtest::EnvVar verbose("ZVIVERBOSE", c.verbose), debug("ZVIDEBUG", c.debug);
        ASSERT_TRUE(
            std::filesystem::create_directory("zvlinkclient.out")); // a folder blocks the file
        zvtest::StdoutCapture out;
        startLinkLog();
        logMessage(LOG_WARN, "stdout only");
        ASSERT_TRUE(std::filesystem::remove("zvlinkclient.out"));
        startLinkLog();
        logMessage(LOG_TRACE, "trace");
        logMessage(LOG_DEBUG, "debug");
        logMessage(LOG_INFO, "info");
        EXPECT_EQ(zvtest::readFile("zvlinkclient.out"), c.expected);
        EXPECT_EQ(out.text(), "WARN: stdout only\n" + std::string(c.expected));
    }
}
