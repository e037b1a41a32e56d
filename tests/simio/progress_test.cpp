#include "simio/progress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace simio;

namespace {

// Captures what a ProgressLine writes, on a fake clock.
struct Capture {
    std::FILE* f = std::tmpfile();
    double now = 100.0;
    ~Capture() { std::fclose(f); }
    ProgressLine::Clock clock() {
        return [this] { return now; };
    }
    std::string text() {
        std::fflush(f);
        long size = std::ftell(f);
        std::string s(static_cast<size_t>(size), '\0');
        std::rewind(f);
        size_t got = std::fread(&s[0], 1, s.size(), f);
        s.resize(got);
        std::fseek(f, 0, SEEK_END);
        return s;
    }
    // What a terminal would show: '\r' returns to the start of the line.
    std::vector<std::string> screen() {
        std::vector<std::string> lines(1);
        size_t col = 0;
        for (char c : text()) {
            if (c == '\r') {
                col = 0;
            } else if (c == '\n') {
                lines.emplace_back();
                col = 0;
            } else {
                std::string& l = lines.back();
                if (col < l.size())
                    l[col] = c;
                else
                    l += c;
                ++col;
            }
        }
        for (std::string& l : lines)
            l.erase(l.find_last_not_of(' ') + 1);
        return lines;
    }
};

} // namespace

TEST(SimioProgress, SilentWhenNotATerminal) {
    Capture cap;
    {
        ProgressLine p(cap.f);
        EXPECT_FALSE(p.enabled());
        for (int i = 0; i < 1000; ++i)
            p.update(i, 1000, i);
        p.finish();
    }
    EXPECT_EQ(cap.text(), "");
}

TEST(SimioProgress, RedrawsInPlaceAFewTimesPerSecond) {
    Capture cap;
    ProgressLine p(cap.f, true, cap.clock(), 0.25);
    // 10000 steps over 2 s of clock: at most one draw per quarter second.
    for (int i = 0; i <= 10000; ++i) {
        cap.now = 100.0 + i * 2e-4;
        p.update(i * 1e-2, 100.0, static_cast<unsigned long long>(i));
    }
    std::string text = cap.text();
    size_t draws = std::count(text.begin(), text.end(), '\r');
    EXPECT_GE(draws, 4u);
    EXPECT_LE(draws, 9u);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    p.finish();
    EXPECT_EQ(cap.screen(), (std::vector<std::string>{"t = 100 / 100 s, 5000 steps/s", ""}));
}

TEST(SimioProgress, ShorterLinesLeaveNoTraceAndClearErases) {
    Capture cap;
    ProgressLine p(cap.f, true, cap.clock(), 0.25);
    p.update(0, INFINITY, 0);
    cap.now += 1;
    p.update(123456.5, INFINITY, 1000000);
    cap.now += 1;
    p.update(1, INFINITY, 1000000);
    EXPECT_EQ(cap.screen(), (std::vector<std::string>{"t = 1 s, 500000 steps/s"}));
    p.clear();
    EXPECT_EQ(cap.screen(), (std::vector<std::string>{""}));
    p.finish();
    EXPECT_EQ(cap.screen().size(), 2u);
}

TEST(SimioProgress, ShortRunShowsNothing) {
    Capture cap;
    {
        ProgressLine p(cap.f, true, cap.clock(), 0.25);
        p.update(0, 1, 0);
        p.update(1, 1, 10);
        p.finish();
    }
    EXPECT_EQ(cap.text(), "");
    EXPECT_EQ(ProgressLine::format(12.3, 100, 45678), "t = 12.3 / 100 s, 45678 steps/s");
    EXPECT_EQ(ProgressLine::format(2, NAN, -1), "t = 2 s");
}
