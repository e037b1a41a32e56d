// A run's CSV file and SVG picture, and the thinning behind the picture.
#include "simio/csvout.h"
#include "simio/svgplot.h"

#include "support/zvtest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <regex>

using namespace simio;
using zvtest::readFile;
using zvtest::TempDir;

namespace {

size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}

// Enough of an XML check for our own output: every '&' starts one of the five
// predefined entities, and tags nest and close.
::testing::AssertionResult wellFormed(const std::string& x) {
    if (std::regex_search(x, std::regex("&(?!(amp|lt|gt|quot|apos);)")))
        return ::testing::AssertionFailure() << "bare &";
    std::vector<std::string> open;
    for (size_t i = x.find('<'); i != std::string::npos; i = x.find('<', i + 1)) {
        const size_t end = x.find('>', i);
        const std::string tag = x.substr(i + 1, end - i - 1);
        if (end == std::string::npos || tag.find('<') != std::string::npos)
            return ::testing::AssertionFailure() << "< inside a tag or not closed at " << i;
        if (tag[0] == '?' || tag.back() == '/') continue;
        if (tag[0] != '/')
            open.push_back(tag.substr(0, tag.find_first_of(" \n")));
        else if (open.empty() || open.back() != tag.substr(1))
            return ::testing::AssertionFailure() << "stray <" << tag << ">";
        else
            open.pop_back();
    }
    if (open.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "<" << open.back() << "> not closed";
}

const std::regex kNonFinite("=\"[^\"]*(nan|inf)"); // a non-finite number in an attribute

// The legend entries, in order.
std::vector<std::string> legendTexts(const std::string& svg) {
    static const std::regex entry(
        "<text x=\"[^\"]*\" y=\"[^\"]*\" dominant-baseline=\"middle\">([^<]*)</text>");
    std::vector<std::string> out;
    for (std::sregex_iterator it(svg.begin(), svg.end(), entry), e; it != e; ++it)
        out.push_back((*it)[1]);
    return out;
}

} // namespace

TEST(SimioCsvOut, TinyRunExactText) {
    TempDir dir;
    CsvWriter w;
    std::string err;
    // A name given for a column replaces its default, quoted when it must be.
    ASSERT_TRUE(w.open(dir.path("run.csv"), 2, 1, err, {"", "", "level, \"m\""})) << err;
    double u0[] = {0.1, -2.5}, y0[] = {1e-7};
    double u1[] = {1.0 / 3.0, NAN}, y1[] = {-INFINITY};
    EXPECT_TRUE(w.write(0.0, u0, y0));
    EXPECT_TRUE(w.write(3 * 0.1, u1, y1)); // the sample time, not the sum's last bits
    ASSERT_TRUE(w.close(err)) << err;
    EXPECT_EQ(readFile(dir.path("run.csv")), "time,u1,u2,\"level, \"\"m\"\"\"\n"
                                             "0,0.1,-2.5,1e-07\n"
                                             "0.3,0.3333333333333333,nan,-inf\n");
}

TEST(SimioCsvOut, FailuresAreReportedNotHidden) {
    CsvWriter w;
    std::string err;
    EXPECT_FALSE(w.open("/nonexistent-dir/run.csv", 1, 1, err));
    EXPECT_TRUE(zvtest::holds(err, "\"/nonexistent-dir/run.csv\""));
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    // Every write to /dev/full fails: the buffered rows must not end in a successful close.
    ASSERT_TRUE(w.open("/dev/full", 1, 1, err)) << err;
    double u = 1, y = 2;
    for (int i = 0; i < 10; ++i)
        w.write(i, &u, &y);
    EXPECT_FALSE(w.close(err));
    EXPECT_TRUE(zvtest::holds(err, "/dev/full"));
}

TEST(SimioHistory, ThinsLongRunsToTheBoundButKeepsTheirShape) {
    const size_t n = 300000;
    History h(2, 4000);
    for (size_t i = 0; i < n; ++i) {
        double v[2] = {i % 1000 == 7 ? NAN : std::sin(i * 1e-3),
                       i == 123457 ? 50.0 : (i == 200001 ? -40.0 : 0.0)};
        h.add(i * 1e-3, v);
    }
    for (size_t s = 0; s < 2; ++s) {
        std::vector<Point> p = h.points(s);
        EXPECT_TRUE(p.size() > 1000 && p.size() <= 4000) << p.size();
        EXPECT_EQ(p.back().t, (n - 1) * 1e-3);
    }
    // Single-sample spikes survive the thinning, at their own time.
    std::vector<Point> spikes = h.points(1);
    auto [lo, hi] = std::minmax_element(spikes.begin(), spikes.end(),
                                        [](const Point& a, const Point& b) { return a.v < b.v; });
    EXPECT_EQ(hi->v, 50.0);
    EXPECT_DOUBLE_EQ(hi->t, 123457 * 1e-3);
    EXPECT_EQ(lo->v, -40.0);
}

TEST(SimioSvg, RunPictureIsWellFormedWithOneLinePerSeries) {
    RunPlot plot(2, 3);
    for (int i = 0; i < 50; ++i) {
        double u[2] = {1.0, i * 0.1}, y[3] = {std::sin(i * 0.2), NAN, i % 2 ? INFINITY : 2.0};
        plot.add(i * 0.01, u, y);
    }
    std::string svg = plot.render("run <a & b> \"x\"\x01 \xff\xc3\xa9");
    EXPECT_TRUE(wellFormed(svg));
    // y2 has only NaN, so nothing to draw; y3 keeps its finite half.
    EXPECT_EQ(countOf(svg, "<polyline"), 4u);
    EXPECT_EQ(legendTexts(svg), (std::vector<std::string>{"u1", "u2", "y1", "y2 (no data)", "y3"}));
    // Control characters and invalid UTF-8 do not reach the picture.
    EXPECT_TRUE(zvtest::holds(svg, "<title>run &lt;a &amp; b&gt; &quot;x&quot; ?\xc3\xa9</title>"));
    EXPECT_FALSE(std::regex_search(svg, kNonFinite));

    std::string err;
    EXPECT_FALSE(plot.write("/nonexistent-dir/run.svg", "t", err));

    // Outputs only, one constant sample: a dot on a finite axis.
    RunPlot one(0, 1);
    double y = 4.0;
    one.add(0.0, nullptr, &y);
    svg = one.render("one");
    EXPECT_TRUE(wellFormed(svg));
    EXPECT_EQ(countOf(svg, "<circle"), 1u);
    EXPECT_TRUE(zvtest::lacks(svg, ">inputs<"));
    EXPECT_FALSE(std::regex_search(svg, kNonFinite));
}

// What an engineer reads off the picture: held values drawn as steps, names,
// and a bounded width.
TEST(SimioSvg, DiscreteSignalsReadAsAReportNeedsThem) {
    RunPlot plot(2, 2);
    plot.setNames({"", "valve"}, {"level"});
    for (int i = 0; i < 3; ++i) {
        double u[2] = {double(i > 0), double(i > 0)}, y[2] = {double(i), double(i)};
        plot.add(i, u, y);
    }
    const std::string svg = plot.render("t");
    EXPECT_EQ(legendTexts(svg), (std::vector<std::string>{"u1", "valve", "level", "y2"}));
    std::smatch m;
    EXPECT_EQ(countOf(svg, "<polyline"), 4u);
    // Three samples held: level, rise, level, rise, level.
    ASSERT_TRUE(std::regex_search(svg, m, std::regex("<polyline[^>]* points=\"([^\"]*)\"")));
    const std::string p = m[1];
    EXPECT_EQ(std::count(p.begin(), p.end(), ','), 5) << p;

    // 128 by 128: panels of 16 lines, each labelled with the elements it
    // shows, its legend beside it and no wider than the plot.
    RunPlot wide(128, 128);
    std::vector<double> v(128, 1.0);
    wide.add(0, v.data(), v.data());
    const std::string big = wide.render("wide");
    EXPECT_TRUE(wellFormed(big));
    EXPECT_EQ(legendTexts(big).size(), 256u);
    EXPECT_EQ(countOf(big, "<g class=\"panel\">"), 16u);
    EXPECT_TRUE(zvtest::holds(big, ">outputs 17-32<"));
    ASSERT_TRUE(std::regex_search(big, m, std::regex("<svg [^>]* width=\"([0-9]+)\"")));
    EXPECT_LE(std::stoi(m[1]), 80 + 800 + 16 + 800 + 12);
}
