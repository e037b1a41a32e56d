// A one-line progress display for long runs, "t = 12.3 / 100 s, 45678
// steps/s", rewritten in place on a terminal a few times per second and
// silent when the stream is not a terminal (a pipe or a log file).
#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace simio {

bool isTerminal(std::FILE* f);

class ProgressLine {
  public:
    using Clock = std::function<double()>; // seconds on any steady scale

    // Shows on `out` only when it is a terminal.
    explicit ProgressLine(std::FILE* out = stderr);
    // For callers that decide themselves (and for tests): an empty clock
    // means the steady clock.
    ProgressLine(std::FILE* out, bool enabled, Clock clock = {}, double minInterval = 0.25);
    ~ProgressLine(); // finishes a line that is still showing
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // Cheap enough to call every step; redraws at most once per
    // minInterval. tFinal may be infinite (a run without a set end).
    void update(double t, double tFinal, unsigned long long steps);
    // Erases the line, e.g. before printing a message; the next due update
    // draws it again.
    void clear();
    // Draws the last state once more and ends the line; nothing when no
    // line was ever drawn.
    void finish();

    bool enabled() const { return enabled_; }

    // The text of one line; rate < 0 leaves the rate out.
    static std::string format(double t, double tFinal, double stepsPerSecond);

  private:
    void draw();

    std::FILE* out_;
    bool enabled_;
    Clock clock_;
    double minInterval_;
    bool started_ = false;
    bool drawn_ = false;
    double start_ = 0.0, lastDraw_ = 0.0, now_ = 0.0;
    unsigned long long startSteps_ = 0, steps_ = 0;
    double t_ = 0.0, tFinal_ = 0.0;
    size_t shownLength_ = 0;
};

} // namespace simio
