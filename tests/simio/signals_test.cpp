#include "simio/signals.h"

#include "support/zvtest.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace simio;
using zvtest::TempDir;

namespace {

double valueOf(const std::string& text, double t) {
    Signal s;
    std::string err;
    EXPECT_TRUE(parseSignal(text, s, err)) << text << ": " << err;
    return s.at(t);
}

std::string errorOf(const std::string& text) {
    Signal s;
    std::string err;
    EXPECT_FALSE(parseSignal(text, s, err)) << text;
    return err;
}

} // namespace

TEST(SimioSignal, ShapesAtChosenTimes) {
    EXPECT_EQ(valueOf("2.5", 7.0), 2.5);
    EXPECT_EQ(valueOf(" const:+1e-3 ", 0.0), 1e-3);
    // Step: the new value holds from t0 itself on.
    EXPECT_EQ(valueOf("step:1,-2,10", 0.999), -2.0);
    EXPECT_EQ(valueOf("step:1,-2,10", 1.0), 10.0);
    EXPECT_EQ(valueOf("step:1,-2,10", 5.0), 10.0);
    EXPECT_EQ(valueOf("step:1", 0.5), 0.0);
    EXPECT_EQ(valueOf("step:1", 1.5), 1.0);
    // Ramp: initial value until start, then slope per second.
    EXPECT_EQ(valueOf("ramp:2", 3.0), 6.0);
    EXPECT_EQ(valueOf("ramp:2,1,5", 0.5), 5.0);
    EXPECT_DOUBLE_EQ(valueOf("ramp:2,1,5", 3.0), 9.0);
    // Sine: frequency in Hz, phase in radians, then the offset.
    EXPECT_NEAR(valueOf("sine:3,0.5", 0.5), 3.0, 1e-12); // quarter period
    EXPECT_NEAR(valueOf("sine:3,0.5,1.5707963267948966,1", 0.0), 4.0, 1e-12);
    EXPECT_NEAR(valueOf("SINE:1,1", 0.5), 0.0, 1e-12);
}

TEST(SimioSignal, ParseErrorsNameTheBadText) {
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"abc", "\"abc\""},
        {"sine:1", "got 1 number"},
        {"step:a,0,1", "\"a\" is not a finite number"},
        {"step:1,2", "T0 alone or T0,BEFORE,AFTER"},
        {"ramp:", "got 0 numbers"},
        {"const:inf", "\"inf\" is not a finite number"},
        {"nan", "\"nan\""},
        {"square:1,2", "unknown kind \"square\""},
        {"sine:1,2,3,4,5", "got 5 numbers"},
        {"const:1 2", "\"1 2\""},
        {"csv:", "csv:FILE[:COLUMN]"},
    };
    for (const Case& c : cases)
        EXPECT_NE(errorOf(c.text).find(c.expected), std::string::npos)
            << c.text << " gave: " << errorOf(c.text);
}

TEST(SimioCsvInput, InterpolatesAndHoldsOutsideTheRange) {
    TempDir dir;
    std::string f = dir.file("in.csv", "\xEF\xBB\xBF# drive cycle\r\n"
                                       "time, \"speed\" ,torque\r\n"
                                       "\r\n"
                                       "1,10,0\r\n"
                                       "3,30,1\r\n"
                                       "3,-5,2\r\n"
                                       "5,-5,3\r\n");
    EXPECT_EQ(valueOf("csv:" + f + ":speed", 0.0), 10.0); // before the first row
    EXPECT_EQ(valueOf("csv:" + f + ":speed", 1.0), 10.0);
    EXPECT_EQ(valueOf("csv:" + f + ":speed", 2.5), 25.0);  // between rows
    EXPECT_EQ(valueOf("csv:" + f + ":speed", 3.0), -5.0);  // a jump: the later row wins
    EXPECT_EQ(valueOf("csv:" + f + ":speed", 99.0), -5.0); // after the last row
    EXPECT_EQ(valueOf("csv:" + f + ":3", 4.0), 2.5);       // by column number
    EXPECT_EQ(valueOf("csv:" + f, 2.0), 20.0);             // column 2 by default

    std::string bare = dir.file("bare.csv", "0,1\n10,2");
    EXPECT_EQ(valueOf("csv:" + bare + ":2", 5.0), 1.5);
    EXPECT_EQ(valueOf("csv:" + bare + ":2", std::nan("")), 2.0); // must not read past the end
}

TEST(SimioCsvInput, BadFilesAndColumnsGiveClearErrors) {
    TempDir dir;
    std::string f = dir.file("in.csv", "time,a,b\n0,1,2\n1,2,3\n");
    std::string missing = dir.path("nope.csv");
    struct Case {
        std::string text;
        std::string expected;
    } cases[] = {
        {"csv:" + missing, "cannot open CSV file \"" + missing + "\""},
        {"csv:" + f + ":c", "no value column named \"c\" (columns: a, b)"},
        {"csv:" + f + ":1", "column 1 holds the time"},
        {"csv:" + f + ":4", "line 2 has 3 columns, column 4 is missing"},
        {"csv:" + dir.file("t.csv", "0,1\n2,1\n1,1\n") + ":2", "line 3: time 1 is earlier"},
        {"csv:" + dir.file("v.csv", "t,a\n0,1\n1,x\n") + ":a", "line 3: value \"x\""},
        {"csv:" + dir.file("e.csv", "t,a\n# only a header\n") + ":a", "has no data rows"},
        {"csv:" + dir.file("n.csv", "0,1\n") + ":a", "no header line"},
        // A drive letter is part of the file name, not a column separator.
        {"csv:C:\\data.csv", "cannot open CSV file \"C:\\data.csv\""},
    };
    for (const Case& c : cases)
        EXPECT_NE(errorOf(c.text).find(c.expected), std::string::npos)
            << c.text << " gave: " << errorOf(c.text);
}

TEST(SimioInputSet, ElementsDefaultsAndLists) {
    InputSet set;
    std::string err;
    ASSERT_TRUE(set.addInput("2=step:1,0,5", err)) << err;
    ASSERT_TRUE(set.addInput("4=7", err)) << err;
    ASSERT_TRUE(set.addInput("4=8", err)) << err; // the later one wins
    double u[5];
    set.sample(2.0, u, 5);
    EXPECT_EQ((std::vector<double>(u, u + 5)), (std::vector<double>{0, 5, 0, 8, 0}));

    ASSERT_TRUE(set.addInput("*=-1", err)) << err;
    set.sample(0.0, u, 5);
    EXPECT_EQ((std::vector<double>(u, u + 5)), (std::vector<double>{-1, 0, -1, 8, -1}));

    InputSet list;
    ASSERT_TRUE(list.addList("1; ;ramp:2;", err)) << err;
    list.sample(1.5, u, 4);
    EXPECT_EQ((std::vector<double>(u, u + 4)), (std::vector<double>{1, 0, 3, 0}));
    EXPECT_TRUE(list.check(3, err));
    EXPECT_FALSE(list.check(2, err));
    EXPECT_NE(err.find("input element 3 has a signal, but the block has 2 inputs"),
              std::string::npos)
        << err;
}

TEST(SimioInputSet, BadSpecsAreRefusedWithTheirText) {
    struct Case {
        const char* spec;
        const char* expected;
    } cases[] = {
        {"sine:1,2", "expected ELEMENT=SIGNAL"},
        {"0=1", "element \"0\" is not a number from 1 to 128"},
        {"129=1", "element \"129\""},
        {"99999999999=1", "element \"99999999999\""},
        {"x=1", "element \"x\""},
        {"3=sine:1", "input \"3=sine:1\": bad signal \"sine:1\""},
    };
    for (const Case& c : cases) {
        InputSet set;
        std::string err;
        EXPECT_FALSE(set.addInput(c.spec, err)) << c.spec;
        EXPECT_NE(err.find(c.expected), std::string::npos) << c.spec << " gave: " << err;
    }
    InputSet set;
    std::string err;
    EXPECT_FALSE(set.addList("1;2;bogus", err));
    EXPECT_NE(err.find("inputs item 3: bad signal \"bogus\""), std::string::npos) << err;
}
