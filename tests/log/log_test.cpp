#include "log/test_support.h"

#include <string>

#include <gtest/gtest.h>

#include "log/zvlog.h"

using zvtest::readFile;

namespace {

class ZvLogTest : public ::testing::Test {
  protected:
    zvtest::TempDir dir;
    zvtest::LogReset logReset;
};

TEST_F(ZvLogTest, LevelsAndTagsFollowTheThreshold) {
    ASSERT_TRUE(dir.ok());
    zvtest::StdoutCapture out;
    logMessage(LOG_DEBUG, "hidden %d", 1);
    logMessage(LOG_TRACE, "hidden %d", 0);
    logMessage(LOG_INFO, "info %d", 2);
    logMessage(LOG_WARN, "warn %s", "w");
    logMessage(LOG_ERROR, "unknown message: %d", 9);
    logMessage(7, "beyond");
    logMessage(-3, "negative");
    setLogLevel(1);
    logMessage(LOG_TRACE, "still hidden");
    logMessage(LOG_DEBUG, "debug now");
    setLogLevel(0);
    logMessage(LOG_TRACE, "trace %s", "untagged");
    EXPECT_EQ(out.text(), "INFO: info 2\n"
                          "WARN: warn w\n"
                          "ERROR: unknown message: 9\n"
                          "ERROR: beyond\n"
                          "DEBUG: debug now\n"
                          "trace untagged\n");
}

TEST_F(ZvLogTest, FileAndStdoutGetIdenticalLines) {
    ASSERT_TRUE(dir.ok());
    ASSERT_EQ(isLogOpen(), 0);
    zvtest::StdoutCapture out;
    ASSERT_EQ(openLog("a.out"), 1);
    EXPECT_EQ(isLogOpen(), 1);
    // Many arguments so that a va_list consumed by the first output would
    // show as garbage in the second.
    logMessage(LOG_ERROR, "%s %d %s %d %.1f %s", "one", 2, "three", 4, 5.5, "six");
    // The line is flushed: readable before the file is closed.
    EXPECT_EQ(readFile("a.out"), "ERROR: one 2 three 4 5.5 six\n");
    closeLog();
    EXPECT_EQ(isLogOpen(), 0);
    closeLog(); // closing again is harmless
    const std::string expected = "ERROR: one 2 three 4 5.5 six\nINFO: closing log file...\n";
    EXPECT_EQ(readFile("a.out"), expected);
    EXPECT_EQ(out.text(), expected);
}

TEST_F(ZvLogTest, SecondFileClosesTheFirst) {
    ASSERT_TRUE(dir.ok());
    zvtest::StdoutCapture out;
    ASSERT_EQ(openLog("first.out"), 1);
    logMessage(LOG_WARN, "to first");
    ASSERT_EQ(openLog("second.out"), 1);
    logMessage(LOG_WARN, "to second");
    EXPECT_EQ(readFile("first.out"), "WARN: to first\nINFO: closing log file...\n");
    EXPECT_EQ(readFile("second.out"), "WARN: to second\n");
    out.text();
}

TEST_F(ZvLogTest, FailedOpenKeepsCurrentFile) {
    ASSERT_TRUE(dir.ok());
    zvtest::StdoutCapture out;
    ASSERT_EQ(openLog("kept.out"), 1);
    EXPECT_EQ(openLog("no-such-folder/x.out"), 0);
    EXPECT_EQ(openLog(nullptr), 0);
    EXPECT_EQ(isLogOpen(), 1);
    logMessage(LOG_WARN, "still here");
    EXPECT_EQ(readFile("kept.out"), "WARN: still here\n");
    EXPECT_EQ(out.text(), "WARN: still here\n");
}

TEST_F(ZvLogTest, FilteredClosingNoticeLeavesFileClean) {
    ASSERT_TRUE(dir.ok());
    zvtest::StdoutCapture out;
    ASSERT_EQ(openLog("quiet.out"), 1);
    setLogLevel(LOG_WARN);
    logMessage(LOG_INFO, "dropped");
    closeLog();
    EXPECT_EQ(readFile("quiet.out"), "");
    EXPECT_EQ(out.text(), "");
}

TEST_F(ZvLogTest, FormatTextIsUsedAsGiven) {
    zvtest::StdoutCapture out;
    const char* name = "XERROR_TIMEOUT";
    logMessage(LOG_ERROR, name, 0);
    setLogLevel(-2147483647 - 1); // the lowest setting must not overflow
    logMessage(-1000, "very low");
    EXPECT_EQ(out.text(), "ERROR: XERROR_TIMEOUT\nERROR: very low\n");
}

} // namespace
