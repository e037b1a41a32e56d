// The run's signals as an SVG picture: one panel per group of series (zvsim
// draws inputs above outputs), nice round ticks, a legend, one colour per
// series. Long runs are thinned while they are recorded, so memory and the
// file stay small however many steps the run takes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace simio {

struct Point {
    double t;
    double v;
};

// Samples of several series on one time axis, thinned on the fly: samples
// fall into consecutive buckets, and each bucket keeps only its first, last,
// smallest and largest value per series, so spikes survive the thinning.
// When the buckets run out, neighbours merge and each covers twice as many
// samples.
class History {
  public:
    // At most maxPoints points per series come back from points()
    // (minimum 8).
    explicit History(size_t seriesCount, size_t maxPoints = 4000);

    // One sample: values holds seriesCount values. A sample with a
    // non-finite time is ignored; non-finite values are skipped per series.
    void add(double t, const double* values);

    size_t seriesCount() const { return series_; }
    size_t samples() const { return samples_; }
    // The finite time range seen so far (both 0 before the first sample).
    double tFirst() const { return tFirst_; }
    double tLast() const { return tLast_; }

    // The kept points of series s in time order, finite values only.
    std::vector<Point> points(size_t s) const;

  private:
    struct Cell {
        Point first, last, lo, hi;
        bool any = false;
    };
    static void merge(Cell& into, const Cell& later);
    void compact();

    size_t series_;
    size_t maxBuckets_;
    size_t perBucket_ = 1; // samples per bucket
    size_t inBucket_ = 0;  // samples in the last bucket
    size_t buckets_ = 0;
    size_t samples_ = 0;
    double tFirst_ = 0.0, tLast_ = 0.0;
    std::vector<Cell> cells_; // bucket-major: cells_[b * series_ + s]
};

struct PlotPanel {
    std::string yLabel;
    std::vector<size_t> series; // indices into the History
};

struct PlotSpec {
    std::string title;
    std::string xLabel = "time (s)";
    std::vector<std::string> names; // one per series of the History
    std::vector<PlotPanel> panels;  // panels without series are left out
    int plotWidth = 800;            // of each panel's plotting area, in pixels
    int plotHeight = 240;
    // Values held from one sample to the next (a discrete signal), drawn as
    // steps rather than lines between the samples.
    bool steps = false;
};

// A "nice" axis: round ends and ticks of 1, 2 or 5 times a power of ten.
struct Axis {
    double lo, hi, step;
    std::vector<double> ticks;
};
Axis niceAxis(double lo, double hi, int targetTicks = 6);
std::string tickLabel(double v, double step);

std::string renderSvg(const History& history, const PlotSpec& spec);
bool writeTextFile(const std::string& path, const std::string& text, std::string& err);

// What zvsim records: inputs u1..uN in the upper panel, outputs y1..yM in
// the lower one.
class RunPlot {
  public:
    RunPlot(int nIn, int nOut, size_t maxPoints = 4000);
    // Legend names, one per element (missing ones: u1.., y1..).
    void setNames(std::vector<std::string> inputs, std::vector<std::string> outputs);
    void add(double t, const double* u, const double* y);
    std::string render(const std::string& title) const;
    bool write(const std::string& path, const std::string& title, std::string& err) const;
    const History& history() const { return history_; }

  private:
    int nIn_, nOut_;
    std::vector<std::string> inNames_, outNames_;
    History history_;
    std::vector<double> scratch_;
};

} // namespace simio
