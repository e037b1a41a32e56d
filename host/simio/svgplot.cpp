#include "simio/svgplot.h"
#include "simio/text.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace simio {

// ---- thinning ------------------------------------------------------------

History::History(size_t seriesCount, size_t maxPoints)
    : series_(seriesCount), maxBuckets_(std::max<size_t>(2, maxPoints / 4) & ~size_t(1)) {}

void History::merge(Cell& into, const Cell& later) {
    if (!later.any) return;
    if (!into.any) {
        into = later;
        return;
    }
    into.last = later.last;
    if (later.lo.v < into.lo.v) into.lo = later.lo;
    if (later.hi.v > into.hi.v) into.hi = later.hi;
}

// Only called when every bucket is full and their number is even, so the
// merged buckets are full too and all cover the same number of samples.
void History::compact() {
    size_t half = buckets_ / 2;
    for (size_t b = 0; b < half; ++b) {
        for (size_t s = 0; s < series_; ++s) {
            Cell merged = cells_[2 * b * series_ + s];
            merge(merged, cells_[(2 * b + 1) * series_ + s]);
            cells_[b * series_ + s] = merged;
        }
    }
    buckets_ = half;
    perBucket_ *= 2;
    inBucket_ = perBucket_;
    cells_.resize(buckets_ * series_);
}

void History::add(double t, const double* values) {
    if (!std::isfinite(t)) return;
    if (buckets_ == 0 || inBucket_ == perBucket_) {
        if (buckets_ == maxBuckets_) compact();
        ++buckets_;
        cells_.resize(buckets_ * series_);
        inBucket_ = 0;
    }
    Cell* row = cells_.data() + (buckets_ - 1) * series_;
    for (size_t s = 0; s < series_; ++s) {
        double v = values[s];
        if (!std::isfinite(v)) continue;
        Cell& c = row[s];
        Point p{t, v};
        if (!c.any) {
            c.first = c.last = c.lo = c.hi = p;
            c.any = true;
            continue;
        }
        c.last = p;
        if (v < c.lo.v) c.lo = p;
        if (v > c.hi.v) c.hi = p;
    }
    ++inBucket_;
    if (samples_ == 0) tFirst_ = t;
    tLast_ = t;
    ++samples_;
}

std::vector<Point> History::points(size_t s) const {
    std::vector<Point> out;
    if (s >= series_) return out;
    for (size_t b = 0; b < buckets_; ++b) {
        const Cell& c = cells_[b * series_ + s];
        if (!c.any) continue;
        Point four[4] = {c.first, c.lo, c.hi, c.last};
        std::stable_sort(four, four + 4, [](const Point& a, const Point& b) { return a.t < b.t; });
        for (const Point& p : four) {
            if (!out.empty() && out.back().t == p.t && out.back().v == p.v) continue;
            out.push_back(p);
        }
    }
    return out;
}

// ---- axes ----------------------------------------------------------------

Axis niceAxis(double lo, double hi, int targetTicks) {
    // Far beyond any plausible signal; keeps every difference below finite.
    const double kLimit = 1e300;
    if (!std::isfinite(lo) || !std::isfinite(hi)) lo = 0.0, hi = 1.0;
    if (lo > hi) std::swap(lo, hi);
    lo = std::clamp(lo, -kLimit, kLimit);
    hi = std::clamp(hi, -kLimit, kLimit);
    double mag = std::max(std::fabs(lo), std::fabs(hi));
    if (hi - lo <= mag * 1e-9) {
        // A flat line: give it some room rather than a zero-height axis.
        double mid = 0.5 * (lo + hi);
        double d = mid == 0.0 ? 1.0 : std::fabs(mid) * 0.1;
        lo = mid - d;
        hi = mid + d;
    }
    int n = std::max(targetTicks, 2);
    double raw = (hi - lo) / (n - 1);
    double p10 = std::pow(10.0, std::floor(std::log10(raw)));
    double r = raw / p10;
    double step = (r <= 1.0 ? 1.0 : r <= 2.0 ? 2.0 : r <= 5.0 ? 5.0 : 10.0) * p10;
    Axis a;
    a.step = step;
    a.lo = std::floor(lo / step) * step;
    a.hi = std::ceil(hi / step) * step;
    long long k0 = std::llround(a.lo / step), k1 = std::llround(a.hi / step);
    for (long long k = k0; k <= k1 && a.ticks.size() < 50; ++k) {
        double v = static_cast<double>(k) * step;
        if (std::fabs(v) < step * 1e-9) v = 0.0;
        a.ticks.push_back(v);
    }
    return a;
}

std::string tickLabel(double v, double step) {
    char buf[64];
    if (v == 0.0) return "0";
    if (std::fabs(v) >= 1e6 || step < 1e-4) {
        std::snprintf(buf, sizeof buf, "%.6g", v);
    } else {
        int decimals = step >= 1.0 ? 0 : static_cast<int>(std::ceil(-std::log10(step) - 1e-9));
        std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    }
    return buf;
}

// ---- drawing -------------------------------------------------------------

namespace {

const int kLeft = 80;      // room for y tick labels and the y title
const int kTop = 44;       // room for the title
const int kPanelGap = 60;  // below each panel: x tick labels and the x title
const int kBottom = 8;     // below the last panel's block
const int kLegendGap = 16; // between plot area and legend
const int kRowHeight = 16; // of a legend entry
// A legend of more columns than this, or wider than the plot, goes below its
// panel, wrapped into as many columns as the plot's width holds.
const int kMaxSideColumns = 2;
// More lines than this in one panel are a solid band, and their styles can
// no longer be told apart: a larger group is drawn as a set of panels.
const size_t kMaxPerPanel = 16;
const size_t kMaxNameChars = 32;

std::string num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

// Sixteen colours that stay apart on white. A series takes the colour of its
// index, so the lines of any panel (at most sixteen consecutive series) all
// differ, and with sixteen series or fewer no two share one anywhere.
std::string seriesColour(size_t i) {
    static const char* const palette[kMaxPerPanel] = {
        "#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f",
        "#bcbd22", "#17becf", "#000000", "#393b79", "#843c39", "#b8860b", "#7b4173", "#637939"};
    return palette[i % kMaxPerPanel];
}

// The k-th line of a panel is drawn over the ones before it: the first is
// solid and every later one dashed, so lines that coincide still show each
// colour in the gaps of those above.
std::string seriesDash(size_t k) {
    static const char* const patterns[] = {"7 4", "2 3", "10 3 2 3"};
    if (k == 0) return "";
    return std::string(" stroke-dasharray=\"") + patterns[(k - 1) % 3] + "\"";
}

// Cuts long names at a character boundary so the legend keeps its width.
std::string shortName(const std::string& name) {
    size_t chars = 0, i = 0;
    for (; i < name.size(); ++i) {
        if ((static_cast<unsigned char>(name[i]) & 0xC0) == 0x80) continue;
        if (chars == kMaxNameChars) return name.substr(0, i) + "\xE2\x80\xA6";
        ++chars;
    }
    return name;
}

size_t charCount(const std::string& s) {
    size_t n = 0;
    for (char c : s)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
    return n;
}

struct PanelLayout {
    const PlotPanel* panel;
    std::vector<std::vector<Point>> points;
    std::vector<std::string> labels;
    std::vector<size_t> series; // History index of each line: its colour
    int rows = 1, cols = 0, colWidth = 0;
    bool below = false; // the legend is under the panel
};

// Position of v on an axis as a fraction, kept within a sane band so an
// outlier cannot produce absurd coordinates.
double frac(double v, const Axis& a) {
    return std::clamp((v - a.lo) / (a.hi - a.lo), -1.0, 2.0);
}

// A group of more than kMaxPerPanel series as consecutive panels, each
// labelled with the positions in the group it shows ("inputs 17-32").
std::vector<PlotPanel> pagedPanels(const std::vector<PlotPanel>& groups) {
    std::vector<PlotPanel> pages;
    for (const PlotPanel& g : groups) {
        if (g.series.size() <= kMaxPerPanel) {
            pages.push_back(g);
            continue;
        }
        for (size_t from = 0; from < g.series.size(); from += kMaxPerPanel) {
            const size_t to = std::min(g.series.size(), from + kMaxPerPanel);
            PlotPanel page;
            page.yLabel = g.yLabel + " " + std::to_string(from + 1) + "-" + std::to_string(to);
            page.series.assign(g.series.begin() + long(from), g.series.begin() + long(to));
            pages.push_back(std::move(page));
        }
    }
    return pages;
}

} // namespace

std::string renderSvg(const History& history, const PlotSpec& spec) {
    const int pw = std::max(spec.plotWidth, 100), ph = std::max(spec.plotHeight, 60);
    const std::vector<PlotPanel> pages = pagedPanels(spec.panels);
    std::vector<PanelLayout> panels;
    for (const PlotPanel& p : pages) {
        PanelLayout L;
        L.panel = &p;
        for (size_t s : p.series) {
            if (s >= history.seriesCount()) continue;
            L.points.push_back(history.points(s));
            L.series.push_back(s);
            std::string name = s < spec.names.size() ? spec.names[s] : "s" + std::to_string(s + 1);
            name = shortName(name);
            if (L.points.back().empty()) name += " (no data)";
            L.labels.push_back(name);
        }
        if (L.points.empty()) continue;
        size_t longest = 1;
        for (const std::string& n : L.labels)
            longest = std::max(longest, charCount(n));
        L.rows = std::max(1, (ph - 8) / kRowHeight);
        L.cols = static_cast<int>((L.labels.size() + L.rows - 1) / L.rows);
        // Columns of even length: 8 and 8 rather than 14 and 2.
        L.rows = static_cast<int>((L.labels.size() + L.cols - 1) / L.cols);
        L.colWidth = 36 + static_cast<int>(longest) * 7;
        if (L.cols > kMaxSideColumns || L.cols * L.colWidth > pw) {
            L.below = true;
            L.cols = std::max(1, pw / L.colWidth);
            L.rows = static_cast<int>((L.labels.size() + L.cols - 1) / L.cols);
        }
        panels.push_back(std::move(L));
    }
    bool noSignals = panels.empty();
    if (noSignals) panels.push_back(PanelLayout{nullptr, {}, {}, {}, 1, 0, 0, false});

    int legendWidth = 0;
    std::vector<double> tops; // of each panel's plotting area
    double bottom = kTop;     // of the last panel's block
    for (const PanelLayout& L : panels) {
        if (!L.below) legendWidth = std::max(legendWidth, L.cols * L.colWidth);
        if (!tops.empty()) bottom += kPanelGap;
        tops.push_back(bottom);
        bottom += ph;
        if (L.below) bottom += kPanelGap - 4 + L.rows * kRowHeight;
    }
    const int width = kLeft + pw + kLegendGap + legendWidth + 12;
    const int height = static_cast<int>(bottom) + kPanelGap + kBottom;

    Axis tAxis = niceAxis(history.tFirst(), history.tLast(), 8);
    std::string title = xmlEscape(spec.title);
    std::string o;
    o.reserve(4096 + history.seriesCount() * 1000);
    o += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    o += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(width) +
         "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(width) +
         " " + std::to_string(height) + "\" font-family=\"Helvetica, Arial, sans-serif\" " +
         "font-size=\"12\">\n";
    o += "<title>" + title + "</title>\n";
    o += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    o += "<text x=\"" + std::to_string(kLeft + pw / 2) +
         "\" y=\"26\" text-anchor=\"middle\" font-size=\"16\" font-weight=\"bold\">" + title +
         "</text>\n";

    for (size_t pi = 0; pi < panels.size(); ++pi) {
        const PanelLayout& L = panels[pi];
        const double x0 = kLeft, y0 = tops[pi];
        const double x1 = x0 + pw, y1 = y0 + ph;
        double vlo = INFINITY, vhi = -INFINITY;
        for (const auto& pts : L.points)
            for (const Point& p : pts)
                vlo = std::min(vlo, p.v), vhi = std::max(vhi, p.v);
        if (vlo > vhi) vlo = 0.0, vhi = 1.0;
        // Headroom: a line along the top or bottom of its range stays clear of the frame.
        const double margin = 0.05 * (vhi - vlo);
        Axis vAxis = niceAxis(vlo - margin, vhi + margin, 6);
        auto X = [&](double t) { return x0 + frac(t, tAxis) * pw; };
        auto Y = [&](double v) { return y1 - frac(v, vAxis) * ph; };

        o += "<g class=\"panel\">\n";
        // Grid and tick labels.
        for (double t : tAxis.ticks) {
            std::string x = num(X(t));
            o += "<line x1=\"" + x + "\" y1=\"" + num(y0) + "\" x2=\"" + x + "\" y2=\"" + num(y1) +
                 "\" stroke=\"#e4e4e4\"/>\n";
            o += "<text x=\"" + x + "\" y=\"" + num(y1 + 16) + "\" text-anchor=\"middle\">" +
                 xmlEscape(tickLabel(t, tAxis.step)) + "</text>\n";
        }
        for (double v : vAxis.ticks) {
            std::string y = num(Y(v));
            o += "<line x1=\"" + num(x0) + "\" y1=\"" + y + "\" x2=\"" + num(x1) + "\" y2=\"" + y +
                 "\" stroke=\"#e4e4e4\"/>\n";
            o += "<text x=\"" + num(x0 - 6) + "\" y=\"" + y +
                 "\" text-anchor=\"end\" dominant-baseline=\"middle\">" +
                 xmlEscape(tickLabel(v, vAxis.step)) + "</text>\n";
        }
        o += "<rect x=\"" + num(x0) + "\" y=\"" + num(y0) + "\" width=\"" + std::to_string(pw) +
             "\" height=\"" + std::to_string(ph) + "\" fill=\"none\" stroke=\"#444\"/>\n";
        // Each panel's time axis carries its own title, however tall the picture.
        o += "<text x=\"" + num((x0 + x1) / 2) + "\" y=\"" + num(y1 + 36) +
             "\" text-anchor=\"middle\">" + xmlEscape(spec.xLabel) + "</text>\n";
        if (L.panel) {
            double cy = (y0 + y1) / 2;
            o += "<text x=\"20\" y=\"" + num(cy) +
                 "\" text-anchor=\"middle\" transform=\"rotate(-90 20 " + num(cy) + ")\">" +
                 xmlEscape(L.panel->yLabel) + "</text>\n";
        } else {
            o += "<text x=\"" + num((x0 + x1) / 2) + "\" y=\"" + num((y0 + y1) / 2) +
                 "\" text-anchor=\"middle\" fill=\"#888\">no signals</text>\n";
        }

        // Series, clipped to the plotting area.
        std::string clip = "clip" + std::to_string(pi);
        o += "<clipPath id=\"" + clip + "\"><rect x=\"" + num(x0) + "\" y=\"" + num(y0) +
             "\" width=\"" + std::to_string(pw) + "\" height=\"" + std::to_string(ph) +
             "\"/></clipPath>\n";
        o += "<g clip-path=\"url(#" + clip + ")\" fill=\"none\" stroke-width=\"1.5\" " +
             "stroke-linejoin=\"round\">\n";
        for (size_t k = 0; k < L.points.size(); ++k) {
            const std::vector<Point>& pts = L.points[k];
            if (pts.empty()) continue;
            std::string colour = seriesColour(L.series[k]);
            o += "<polyline stroke=\"" + colour + "\"" + seriesDash(k) + " points=\"";
            for (size_t i = 0; i < pts.size(); ++i) {
                if (i) o += ' ';
                // A held value runs level to the next sample, then jumps.
                if (i && spec.steps) o += num(X(pts[i].t)) + ',' + num(Y(pts[i - 1].v)) + ' ';
                o += num(X(pts[i].t));
                o += ',';
                o += num(Y(pts[i].v));
            }
            o += "\"/>\n";
            if (pts.size() == 1)
                o += "<circle cx=\"" + num(X(pts[0].t)) + "\" cy=\"" + num(Y(pts[0].v)) +
                     "\" r=\"3\" fill=\"" + colour + "\"/>\n";
        }
        o += "</g>\n";

        // Legend: columns to the right of the plot, filled top to bottom.
        if (!L.labels.empty()) {
            o += "<g class=\"legend\">\n";
            for (size_t k = 0; k < L.labels.size(); ++k) {
                // Beside the panel filled top to bottom; below it left to right.
                int col = static_cast<int>(k) / L.rows, row = static_cast<int>(k) % L.rows;
                if (L.below) col = static_cast<int>(k) % L.cols, row = static_cast<int>(k) / L.cols;
                double lx = (L.below ? x0 : x1 + kLegendGap) + col * L.colWidth;
                double ly = (L.below ? y1 + kPanelGap - 4 : y0 + 10) + row * kRowHeight;
                o += "<line x1=\"" + num(lx) + "\" y1=\"" + num(ly) + "\" x2=\"" + num(lx + 22) +
                     "\" y2=\"" + num(ly) + "\" stroke=\"" + seriesColour(L.series[k]) + "\"" +
                     seriesDash(k) + " stroke-width=\"2\"/>\n";
                o += "<text x=\"" + num(lx + 28) + "\" y=\"" + num(ly) +
                     "\" dominant-baseline=\"middle\">" + xmlEscape(L.labels[k]) + "</text>\n";
            }
            o += "</g>\n";
        }
        o += "</g>\n";
    }
    o += "</svg>\n";
    return o;
}

bool writeTextFile(const std::string& path, const std::string& text, std::string& err) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        err = "cannot create \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    int e = errno;
    if (std::fclose(f) != 0 && ok) ok = false, e = errno;
    if (!ok) err = "writing \"" + path + "\" failed: " + std::strerror(e);
    return ok;
}

// ---- zvsim's picture -----------------------------------------------------

void RunPlot::setNames(std::vector<std::string> inputs, std::vector<std::string> outputs) {
    inNames_ = std::move(inputs);
    outNames_ = std::move(outputs);
}

RunPlot::RunPlot(int nIn, int nOut, size_t maxPoints)
    : nIn_(std::max(nIn, 0)), nOut_(std::max(nOut, 0)),
      history_(static_cast<size_t>(nIn_ + nOut_), maxPoints), scratch_(nIn_ + nOut_) {}

void RunPlot::add(double t, const double* u, const double* y) {
    std::copy(u, u + nIn_, scratch_.begin());
    std::copy(y, y + nOut_, scratch_.begin() + nIn_);
    history_.add(t, scratch_.data());
}

std::string RunPlot::render(const std::string& title) const {
    PlotSpec spec;
    spec.title = title;
    spec.steps = true; // the block is discrete: its ports hold between sample hits
    PlotPanel in{"inputs", {}}, out{"outputs", {}};
    auto name = [](const std::vector<std::string>& names, int i, const char* prefix) {
        const size_t k = static_cast<size_t>(i);
        return k < names.size() && !names[k].empty() ? names[k] : prefix + std::to_string(i + 1);
    };
    for (int i = 0; i < nIn_; ++i) {
        spec.names.push_back(name(inNames_, i, "u"));
        in.series.push_back(static_cast<size_t>(i));
    }
    for (int i = 0; i < nOut_; ++i) {
        spec.names.push_back(name(outNames_, i, "y"));
        out.series.push_back(static_cast<size_t>(nIn_ + i));
    }
    spec.panels = {in, out};
    return renderSvg(history_, spec);
}

bool RunPlot::write(const std::string& path, const std::string& title, std::string& err) const {
    return writeTextFile(path, render(title), err);
}

} // namespace simio
