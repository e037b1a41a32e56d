// zvsim's progress line, written to a temporary file on a fake clock.
#include "simio/progress.h"

#include "support/zvtest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

using simio::ProgressLine;

namespace {

// What a ProgressLine writes to a file, on a fake clock.
struct Capture {
    zvtest::TempDir dir;
    std::FILE* f = std::fopen(dir.path("progress.txt").c_str(), "w");
    double now = 100.0;
    ~Capture() { std::fclose(f); }
    ProgressLine::Clock clock = [this] { return now; };
    std::string text() { return std::fflush(f), zvtest::readFile(dir.path("progress.txt")); }
};

} // namespace

// Nothing off a terminal or for a run that ends within the first interval;
// otherwise a few draws per second, each in place, blanking what is left.
TEST(SimioProgress, SilentUnlessLongOnATerminalThenRedrawsInPlace) {
    Capture cap;
    ProgressLine off(cap.f);
    EXPECT_FALSE(off.enabled());
    ProgressLine shortRun(cap.f, true, cap.clock, 0.25);
    for (int i = 0; i < 1000; ++i) {
        off.update(i, 1000, i);
        shortRun.update(i, 1000, i);
    }
    off.finish();
    shortRun.finish();
    EXPECT_EQ(cap.text(), "");

    ProgressLine p(cap.f, true, cap.clock, 0.25);
    // 10000 steps over 2 s of clock: at most one draw per quarter second.
    for (int i = 0; i <= 10000; ++i) {
        cap.now = 100.0 + i * 2e-4;
        p.update(i * 1e-2, 100.0, static_cast<unsigned long long>(i));
    }
    p.finish();
    const std::string text = cap.text();
    const auto draws = std::count(text.begin(), text.end(), '\r');
    EXPECT_TRUE(draws >= 5 && draws <= 10) << text;
    EXPECT_EQ(text.substr(text.find('\n')), "\n"); // in place, then one line end
    EXPECT_EQ(text.substr(text.rfind('\r')), "\rt = 100 / 100 s, 5000 steps/s\n");

    Capture open;
    ProgressLine q(open.f, true, open.clock, 0.25);
    q.update(0, INFINITY, 0);
    open.now += 1;
    q.update(123456.5, INFINITY, 1000000);
    open.now += 1;
    q.update(1, INFINITY, 1000000);
    q.clear();
    EXPECT_EQ(open.text(), "\rt = 123456 s, 1000000 steps/s\rt = 1 s, 500000 steps/s      \r" +
                               std::string(23, ' ') + "\r");
}
