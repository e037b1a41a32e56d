#include "support/zvtest.h"

#include <gtest/gtest.h>

using zvtest::readFile;

namespace {

// Levels, tags and the threshold; files receive what standard output receives.
TEST(ZvLogLines, LevelsTagsThresholdAndFiles) {
    zvtest::LogSandbox sandbox;
    zvtest::StdoutCapture out;
    logMessage(LOG_DEBUG, "hidden %d", 1);
    logMessage(LOG_INFO, "info %d", 2);
    logMessage(7, "beyond");
    setLogLevel(1);
    logMessage(LOG_TRACE, "still hidden");
    logMessage(LOG_DEBUG, "debug now");
    setLogLevel(0);
    logMessage(LOG_TRACE, "trace %s", "untagged");

    ASSERT_EQ(openLog("first.out"), 1);
    // Several arguments, so a va_list spent on stdout would show in the file.
    logMessage(LOG_WARN, "%s %d %.1f", "one", 2, 3.5);
    EXPECT_EQ(readFile("first.out"), "WARN: one 2 3.5\n"); // flushed per line
    EXPECT_EQ(openLog("no-such-folder/x.out"), 0);         // failure keeps the first file
    EXPECT_EQ(isLogOpen(), 1);
    ASSERT_EQ(openLog("second.out"), 1);
    logMessage(LOG_WARN, "to second");
    closeLog();
    EXPECT_EQ(isLogOpen(), 0);
    const std::string closing = "INFO: closing log file...\n";
    EXPECT_EQ(out.text(), "INFO: info 2\nERROR: beyond\nDEBUG: debug now\ntrace untagged\n"
                          "WARN: one 2 3.5\n" +
                              closing + "WARN: to second\n" + closing);
    EXPECT_EQ(readFile("first.out"), "WARN: one 2 3.5\n" + closing);
    EXPECT_EQ(readFile("second.out"), "WARN: to second\n" + closing);
}

} // namespace
