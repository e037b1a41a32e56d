#include "simio/progress.h"

#include <chrono>
#include <cmath>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace simio {

bool isTerminal(std::FILE* f) {
    if (!f) return false;
#ifdef _WIN32
    return _isatty(_fileno(f)) != 0;
#else
    return isatty(fileno(f)) != 0;
#endif
}

namespace {

double steadySeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

ProgressLine::ProgressLine(std::FILE* out) : ProgressLine(out, isTerminal(out)) {}

ProgressLine::ProgressLine(std::FILE* out, bool enabled, Clock clock, double minInterval)
    : out_(out), enabled_(enabled && out != nullptr),
      clock_(clock ? std::move(clock) : Clock(steadySeconds)), minInterval_(minInterval) {}

ProgressLine::~ProgressLine() {
    finish();
}

std::string ProgressLine::format(double t, double tFinal, double stepsPerSecond) {
    char buf[128];
    int n;
    if (std::isfinite(tFinal))
        n = std::snprintf(buf, sizeof buf, "t = %.6g / %.6g s", t, tFinal);
    else
        n = std::snprintf(buf, sizeof buf, "t = %.6g s", t);
    std::string line(buf, n > 0 ? static_cast<size_t>(n) : 0);
    if (stepsPerSecond >= 0.0 && std::isfinite(stepsPerSecond)) {
        std::snprintf(buf, sizeof buf, ", %.0f steps/s", stepsPerSecond);
        line += buf;
    }
    return line;
}

void ProgressLine::update(double t, double tFinal, unsigned long long steps) {
    if (!enabled_) return;
    now_ = clock_();
    t_ = t;
    tFinal_ = tFinal;
    steps_ = steps;
    if (!started_) {
        // The first call only sets the baseline: a run that ends within the
        // first interval never shows a line.
        started_ = true;
        start_ = lastDraw_ = now_;
        startSteps_ = steps;
        return;
    }
    if (now_ - lastDraw_ < minInterval_) return;
    lastDraw_ = now_;
    draw();
}

void ProgressLine::draw() {
    double elapsed = now_ - start_;
    double rate = elapsed > 0.0 && steps_ >= startSteps_
                      ? static_cast<double>(steps_ - startSteps_) / elapsed
                      : -1.0;
    std::string line = format(t_, tFinal_, rate);
    size_t length = line.size();
    // Blank out what is left of a longer previous line.
    if (length < shownLength_) line.append(shownLength_ - length, ' ');
    std::fputc('\r', out_);
    std::fwrite(line.data(), 1, line.size(), out_);
    std::fflush(out_);
    shownLength_ = length;
    drawn_ = true;
}

void ProgressLine::clear() {
    if (!enabled_ || shownLength_ == 0) return;
    std::string blank = "\r" + std::string(shownLength_, ' ') + "\r";
    std::fwrite(blank.data(), 1, blank.size(), out_);
    std::fflush(out_);
    shownLength_ = 0;
}

void ProgressLine::finish() {
    if (!enabled_ || !drawn_) return;
    now_ = clock_();
    draw();
    std::fputc('\n', out_);
    std::fflush(out_);
    drawn_ = false;
    started_ = false;
    shownLength_ = 0;
}

} // namespace simio
