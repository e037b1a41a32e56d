// Input signals: their shapes, CSV tables, and the signals of the whole input port.
#include "simio/signals.h"

#include "support/zvtest.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace simio;
using zvtest::TempDir;

namespace {

// The signal's value at chosen times, given as {t, value, t, value, ...}.
void expectValues(const std::string& text, std::vector<double> tv) {
    Signal s;
    std::string err;
    ASSERT_TRUE(parseSignal(text, s, err)) << text << ": " << err;
    for (size_t i = 0; i + 1 < tv.size(); i += 2)
        EXPECT_NEAR(s.at(tv[i]), tv[i + 1], 1e-12) << text << " at " << tv[i];
}

std::vector<double> sample(const InputSet& set, double t, int n) {
    std::vector<double> u(n);
    set.sample(t, u.data(), n);
    return u;
}

} // namespace

TEST(SimioSignal, ShapesAtChosenTimes) {
    expectValues("2.5", {7, 2.5});
    expectValues(" const:+1e-3 ", {0, 1e-3});
    // Step: the new value holds from T0 itself on (by default 0, then 1).
    expectValues("step:1,-2,10", {0.999, -2, 1, 10});
    expectValues("step:1", {0.5, 0, 1.5, 1});
    // Ramp: the initial value until the start, then the slope per second.
    expectValues("ramp:2", {3, 6});
    expectValues("ramp:2,1,5", {0.5, 5, 3, 9});
    // Sine: frequency in Hz, phase in radians, then the offset.
    expectValues("SINE:3,0.5", {0.5, 3});
    expectValues("sine:3,0.5,1.5707963267948966,1", {0, 4, 1, -2});
}

TEST(SimioCsvInput, InterpolatesAndHoldsOutsideTheRange) {
    TempDir dir;
    const std::string f =
        "csv:" + dir.file("in.csv", "\xEF\xBB\xBF# drive cycle\r\ntime, \"speed\" "
                                    ",torque\r\n\r\n1,10,0\r\n3,30,1\r\n3,-5,2\r\n5,-5,3\r\n");
    // Held before the first and after the last row, linear between rows; at a jump the later
    // row wins. By name, by column number, or column 2 by default.
    expectValues(f + ":speed", {0, 10, 2.5, 25, 3, -5, 99, -5});
    expectValues(f + ":3", {4, 2.5});
    expectValues(f, {2, 20});
    const std::string bare = "csv:" + dir.file("bare.csv", "0,1\n10,2");
    expectValues(bare + ":2", {5, 1.5, std::nan(""), 2}); // NaN must not read past the end

    // The plot names an element after its column, by name or by number, when there is a header.
    InputSet set;
    std::string err;
    ASSERT_TRUE(set.addList(f + ":speed;" + f + ":3;" + bare + ";1", err)) << err;
    EXPECT_EQ(set.nameOf(1) + "," + set.nameOf(2) + "," + set.nameOf(3) + "," + set.nameOf(4),
              "speed,torque,,");
}

TEST(SimioSignal, BadSignalsAndFilesGiveClearErrors) {
    TempDir dir;
    const std::string f = dir.file("in.csv", "time,a,b\n0,1,2\n1,2,3\n");
    const std::string missing = dir.path("nope.csv");
    const std::pair<std::string, std::string> cases[] = {
        {"sine:1", "got 1 number"},
        {"step:a,0,1", "\"a\" is not a finite number"},
        {"step:1,2", "T0 alone or T0,BEFORE,AFTER"},
        {"const:inf", "\"inf\" is not a finite number"},
        {"square:1,2", "unknown kind \"square\""},
        {"csv:", "csv:FILE[:COLUMN]"},
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
    for (const auto& [text, part] : cases) { // refused with a message that holds the part
        Signal s;
        std::string err;
        EXPECT_FALSE(parseSignal(text, s, err)) << text;
        EXPECT_TRUE(zvtest::holds(err, part)) << text;
    }
}

TEST(SimioInputSet, ElementsDefaultsAndLists) {
    InputSet set;
    std::string err;
    ASSERT_TRUE(set.addInput("2=step:1,0,5", err) && set.addInput("4=7", err) &&
                set.addInput("4=8", err)) // the later one wins
        << err;
    EXPECT_EQ(sample(set, 2.0, 5), (std::vector<double>{0, 5, 0, 8, 0}));
    ASSERT_TRUE(set.addInput("*=-1", err)) << err;
    EXPECT_EQ(sample(set, 0.0, 5), (std::vector<double>{-1, 0, -1, 8, -1}));

    InputSet list;
    ASSERT_TRUE(list.addList("1; ;ramp:2;", err)) << err;
    EXPECT_EQ(sample(list, 1.5, 4), (std::vector<double>{1, 0, 3, 0}));
    EXPECT_TRUE(list.check(3, err));
    EXPECT_FALSE(list.check(2, err));
    EXPECT_EQ(err, "input element 3 has a signal, but the block has 2 inputs");

    // Refusals name the offending text.
    for (auto [spec, part] : {std::pair{"sine:1,2", "expected ELEMENT=SIGNAL"},
                              {"0=1", "element \"0\" is not a number from 1 to 128"},
                              {"129=1", "element \"129\""},
                              {"99999999999=1", "element \"99999999999\""},
                              {"3=sine:1", "input \"3=sine:1\": bad signal \"sine:1\""}}) {
        EXPECT_FALSE(InputSet().addInput(spec, err)) << spec;
        EXPECT_TRUE(zvtest::holds(err, part)) << spec;
    }
    EXPECT_FALSE(InputSet().addList("1;2;bogus", err));
    EXPECT_TRUE(zvtest::holds(err, "inputs item 3: bad signal \"bogus\""));
}
