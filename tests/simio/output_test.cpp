#include "simio/csvout.h"
#include "simio/svgplot.h"
#include "simio/text.h"

#include "support/zvtest.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>
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

// Enough of an XML check for our own output: tags nest and close, and every
// '&' starts one of the five predefined entities.
::testing::AssertionResult wellFormed(const std::string& x) {
    std::vector<std::string> open;
    for (size_t i = 0; i < x.size(); ++i) {
        if (x[i] == '&') {
            static const char* const ents[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"};
            bool ok = false;
            for (const char* e : ents)
                ok = ok || x.compare(i, std::strlen(e), e) == 0;
            if (!ok) return ::testing::AssertionFailure() << "bare & at " << i;
        }
        if (x[i] != '<') continue;
        size_t end = x.find('>', i);
        if (end == std::string::npos) return ::testing::AssertionFailure() << "unclosed <";
        std::string tag = x.substr(i + 1, end - i - 1);
        if (tag.find('<') != std::string::npos)
            return ::testing::AssertionFailure() << "raw < inside tag at " << i;
        i = end;
        if (tag[0] == '?') continue;
        if (tag[0] == '/') {
            if (open.empty() || open.back() != tag.substr(1))
                return ::testing::AssertionFailure() << "stray </" << tag.substr(1) << ">";
            open.pop_back();
        } else if (tag.back() != '/') {
            open.push_back(tag.substr(0, tag.find_first_of(" \n")));
        }
    }
    if (!open.empty()) return ::testing::AssertionFailure() << "<" << open.back() << "> not closed";
    return ::testing::AssertionSuccess();
}

bool hasNonFiniteNumber(const std::string& svg) {
    return std::regex_search(svg, std::regex("=\"[^\"]*(nan|inf)"));
}

std::vector<std::string> legendTexts(const std::string& svg) {
    std::vector<std::string> out;
    size_t g = svg.find("<g class=\"legend\">");
    while (g != std::string::npos) {
        size_t end = svg.find("</g>", g);
        std::string part = svg.substr(g, end - g);
        std::regex text("<text[^>]*>([^<]*)</text>");
        for (std::sregex_iterator it(part.begin(), part.end(), text), e; it != e; ++it)
            out.push_back((*it)[1]);
        g = svg.find("<g class=\"legend\">", end);
    }
    return out;
}

} // namespace

TEST(SimioCsvOut, TinyRunExactText) {
    TempDir dir;
    CsvWriter w;
    std::string err;
    ASSERT_TRUE(w.open(dir.path("run.csv"), 2, 1, err)) << err;
    double u0[] = {0.1, -2.5}, y0[] = {1e-7};
    double u1[] = {1.0 / 3.0, NAN}, y1[] = {-INFINITY};
    EXPECT_TRUE(w.write(0.0, u0, y0));
    EXPECT_TRUE(w.write(0.1, u1, y1));
    ASSERT_TRUE(w.close(err)) << err;
    EXPECT_EQ(readFile(dir.path("run.csv")), "time,u1,u2,y1\n"
                                             "0,0.1,-2.5,1e-07\n"
                                             "0.1,0.3333333333333333,nan,-inf\n");

    ASSERT_TRUE(w.open(dir.path("none.csv"), 0, 0, err)) << err;
    EXPECT_TRUE(w.write(2.0, nullptr, nullptr));
    ASSERT_TRUE(w.close(err)) << err;
    EXPECT_EQ(readFile(dir.path("none.csv")), "time\n2\n");
}

TEST(SimioCsvOut, FailuresAreReportedNotHidden) {
    CsvWriter w;
    std::string err;
    EXPECT_FALSE(w.open("/nonexistent-dir/run.csv", 1, 1, err));
    EXPECT_NE(err.find("\"/nonexistent-dir/run.csv\""), std::string::npos) << err;
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    // Every write to /dev/full fails with "no space left": the buffered rows
    // must not end in a successful close.
    ASSERT_TRUE(w.open("/dev/full", 1, 1, err)) << err;
    double u = 1, y = 2;
    for (int i = 0; i < 10; ++i)
        w.write(i, &u, &y);
    EXPECT_FALSE(w.close(err));
    EXPECT_NE(err.find("/dev/full"), std::string::npos) << err;
}

TEST(SimioHistory, ThinsLongRunsButKeepsTheirShape) {
    const size_t n = 300000;
    History h(2, 4000);
    for (size_t i = 0; i < n; ++i) {
        double t = i * 1e-3;
        double v[2] = {std::sin(t), i == 123457 ? 50.0 : (i == 200001 ? -40.0 : 0.0)};
        if (i % 1000 == 7) v[0] = NAN;
        h.add(t, v);
    }
    EXPECT_EQ(h.samples(), n);
    for (size_t s = 0; s < 2; ++s) {
        std::vector<Point> p = h.points(s);
        EXPECT_LE(p.size(), 4000u);
        EXPECT_GT(p.size(), 1000u);
        EXPECT_EQ(p.front().t, 0.0);
        EXPECT_EQ(p.back().t, (n - 1) * 1e-3);
        for (size_t i = 1; i < p.size(); ++i)
            ASSERT_LE(p[i - 1].t, p[i].t);
        for (const Point& q : p)
            ASSERT_TRUE(std::isfinite(q.v));
    }
    // Single-sample spikes survive the thinning, at their own time.
    std::vector<Point> spikes = h.points(1);
    auto hi = std::max_element(spikes.begin(), spikes.end(),
                               [](const Point& a, const Point& b) { return a.v < b.v; });
    auto lo = std::min_element(spikes.begin(), spikes.end(),
                               [](const Point& a, const Point& b) { return a.v < b.v; });
    EXPECT_EQ(hi->v, 50.0);
    EXPECT_DOUBLE_EQ(hi->t, 123457 * 1e-3);
    EXPECT_EQ(lo->v, -40.0);

    // A short run comes back sample for sample.
    History few(1, 4000);
    for (int i = 0; i < 100; ++i) {
        double v = i * i;
        few.add(i, &v);
    }
    ASSERT_EQ(few.points(0).size(), 100u);
    EXPECT_EQ(few.points(0)[37].v, 37.0 * 37.0);
}

TEST(SimioAxis, RoundTicksCoverTheData) {
    struct Case {
        double lo, hi;
    } cases[] = {{0, 1},          {-0.3, 0.7},      {3, 3},      {0, 0},  {1e6, 1e6 + 1e-6},
                 {-1e308, 1e308}, {2.5e-9, 7.1e-9}, {-17, 1234}, {NAN, 1}};
    for (const Case& c : cases) {
        Axis a = niceAxis(c.lo, c.hi);
        SCOPED_TRACE(std::to_string(c.lo) + ".." + std::to_string(c.hi));
        ASSERT_TRUE(std::isfinite(a.lo) && std::isfinite(a.hi));
        EXPECT_LT(a.lo, a.hi);
        if (std::isfinite(c.lo) && std::fabs(c.lo) < 1e300) {
            EXPECT_LE(a.lo, c.lo);
            EXPECT_GE(a.hi, c.hi);
        }
        EXPECT_GE(a.ticks.size(), 2u);
        EXPECT_LE(a.ticks.size(), 12u);
        double mant = a.step / std::pow(10.0, std::floor(std::log10(a.step)));
        EXPECT_TRUE(std::fabs(mant - 1) < 1e-9 || std::fabs(mant - 2) < 1e-9 ||
                    std::fabs(mant - 5) < 1e-9 || std::fabs(mant - 10) < 1e-9)
            << mant;
    }
    Axis a = niceAxis(-0.3, 0.7);
    std::vector<std::string> labels;
    for (double t : a.ticks)
        labels.push_back(tickLabel(t, a.step));
    EXPECT_EQ(labels, (std::vector<std::string>{"-0.4", "-0.2", "0", "0.2", "0.4", "0.6", "0.8"}));
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
    EXPECT_NE(svg.find("<title>run &lt;a &amp; b&gt; &quot;x&quot; ?\xc3\xa9</title>"),
              std::string::npos);
    EXPECT_FALSE(hasNonFiniteNumber(svg));
    EXPECT_NE(svg.find(">inputs<"), std::string::npos);
    EXPECT_NE(svg.find(">outputs<"), std::string::npos);
    EXPECT_NE(svg.find(">time (s)<"), std::string::npos);

    TempDir dir;
    std::string err;
    ASSERT_TRUE(plot.write(dir.path("run.svg"), "t", err)) << err;
    EXPECT_EQ(readFile(dir.path("run.svg")), plot.render("t"));
    EXPECT_FALSE(plot.write(dir.path("no/such/dir.svg"), "t", err));
}

TEST(SimioSvg, DegenerateRuns) {
    // No signals at all, and no samples.
    std::string empty = RunPlot(0, 0).render("empty");
    EXPECT_TRUE(wellFormed(empty));
    EXPECT_NE(empty.find("no signals"), std::string::npos);
    EXPECT_EQ(countOf(empty, "<polyline"), 0u);

    // Outputs only, a single constant sample: a visible dot, a finite axis.
    RunPlot one(0, 1);
    double y = 4.0;
    one.add(0.0, nullptr, &y);
    std::string svg = one.render("one");
    EXPECT_TRUE(wellFormed(svg));
    EXPECT_EQ(countOf(svg, "<polyline"), 1u);
    EXPECT_EQ(countOf(svg, "<circle"), 1u);
    EXPECT_EQ(svg.find(">inputs<"), std::string::npos);
    EXPECT_FALSE(hasNonFiniteNumber(svg));
}

TEST(SimioSvg, ManySeriesKeepTheLegendInsideThePicture) {
    const int n = 128;
    RunPlot plot(n, n, 400);
    std::vector<double> u(n), y(n);
    for (int i = 0; i < 20000; ++i) {
        for (int k = 0; k < n; ++k)
            u[k] = y[k] = k + std::sin(i * 0.01);
        plot.add(i * 0.001, u.data(), y.data());
    }
    std::string svg = plot.render(std::string(300, 'T'));
    EXPECT_TRUE(wellFormed(svg));
    EXPECT_EQ(countOf(svg, "<polyline"), 2u * n);
    EXPECT_EQ(legendTexts(svg).size(), 2u * n);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(svg, m, std::regex("width=\"(\\d+)\" height=\"(\\d+)\"")));
    double width = std::stod(m[1]), height = std::stod(m[2]);
    std::regex pos("<text x=\"([0-9.]+)\" y=\"([0-9.]+)\" dominant-baseline=\"middle\">([^<]*)<");
    for (std::sregex_iterator it(svg.begin(), svg.end(), pos), e; it != e; ++it) {
        double x = std::stod((*it)[1]), yy = std::stod((*it)[2]);
        EXPECT_LE(x + 7.0 * (*it)[3].length(), width) << (*it)[3];
        EXPECT_LE(yy, height) << (*it)[3];
    }
    // Each panel lists its own colours: distinct within a panel.
    std::regex colour("<line x1=\"[^\"]*\" y1=\"[^\"]*\" x2=\"[^\"]*\" y2=\"[^\"]*\" "
                      "stroke=\"(#[0-9a-f]{6})\"( stroke-dasharray=\"[^\"]*\")?");
    std::set<std::string> styles;
    size_t legendStart = svg.find("<g class=\"legend\">");
    std::string firstLegend = svg.substr(legendStart, svg.find("</g>", legendStart) - legendStart);
    for (std::sregex_iterator it(firstLegend.begin(), firstLegend.end(), colour), e; it != e; ++it)
        styles.insert((*it)[1].str() + (*it)[2].str());
    EXPECT_EQ(styles.size(), static_cast<size_t>(n));
}
