#include "solver/results.h"

#include <charconv>
#include <chrono>
#include <cmath>

#include "solver/platform.h"

// The results' number format is printf's "%.9g". printf, and to_chars with
// a precision, cost more than the rest of a step of a wide model; the nine
// digits are found here with one exactly rounded scaling instead. Its error
// is far below a millionth of the last digit, so any value whose tenth digit
// and beyond come that close to a rounding tie, or that is out of the range
// of exact powers of ten, is left to to_chars.
char* writeResultNumber(char* out, double value) {
    static const double POW10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const double magnitude = std::fabs(value);
    if (magnitude == 0.0) {
        if (std::signbit(value)) *out++ = '-';
        *out++ = '0';
        return out;
    }
    int exponent2 = 0;
    if (std::isfinite(value) && magnitude != 0.0) std::frexp(magnitude, &exponent2);
    // magnitude < 2^exponent2, so its decimal exponent is this or one less.
    int x = static_cast<int>(std::floor(exponent2 * 0.30102999566398120));
    double scaled = 0.0;
    bool exact = false;
    for (int attempt = 0; attempt < 3 && exponent2 != 0; ++attempt) {
        const int k = 8 - x;
        if (k > 22 || k < -22) break;
        scaled = k >= 0 ? magnitude * POW10[k] : magnitude / POW10[-k];
        if (scaled >= 1e9) {
            ++x;
        } else if (scaled < 1e8) {
            --x;
        } else {
            exact = true;
            break;
        }
    }
    double whole = std::floor(scaled);
    const double fraction = scaled - whole;
    if (!exact || std::fabs(fraction - 0.5) < 1e-6) {
        return std::to_chars(out, out + RESULT_NUMBER_MAX, value, std::chars_format::general, 9)
            .ptr;
    }
    if (fraction > 0.5) whole += 1.0;
    if (whole >= 1e9) {
        whole = 1e8;
        ++x;
    }
    char digits[9];
    uint32_t d = static_cast<uint32_t>(whole);
    for (int i = 8; i >= 0; --i, d /= 10)
        digits[i] = static_cast<char>('0' + d % 10);
    int n = 9;
    while (n > 1 && digits[n - 1] == '0')
        --n;

    char* p = out;
    if (value < 0) *p++ = '-';
    if (x < -4 || x >= 9) {
        *p++ = digits[0];
        if (n > 1) *p++ = '.';
        for (int i = 1; i < n; ++i)
            *p++ = digits[i];
        *p++ = 'e';
        *p++ = x < 0 ? '-' : '+';
        const int e = x < 0 ? -x : x;
        if (e >= 100) *p++ = static_cast<char>('0' + e / 100);
        *p++ = static_cast<char>('0' + e / 10 % 10);
        *p++ = static_cast<char>('0' + e % 10);
    } else if (x >= 0) {
        for (int i = 0; i <= x; ++i)
            *p++ = digits[i];
        if (n > x + 1) *p++ = '.';
        for (int i = x + 1; i < n; ++i)
            *p++ = digits[i];
    } else {
        *p++ = '0';
        *p++ = '.';
        for (int i = -1; i > x; --i)
            *p++ = '0';
        for (int i = 0; i < n; ++i)
            *p++ = digits[i];
    }
    return p;
}

namespace {

// Rows reach the disk within about twice this while a run goes on.
const std::chrono::milliseconds FLUSH_PERIOD(200);
// A writer that falls this far behind (a slow disk) holds the solver back
// instead of letting the queue grow without bound.
const size_t MAX_QUEUED_NUMBERS = size_t(1) << 22;
// Rows are left to gather until this many numbers wait, or the flush period
// has passed: waking the writer for every row would cost each step a
// thread switch on a machine with few cores.
const size_t WAKE_QUEUED_NUMBERS = size_t(1) << 12;

} // namespace

bool ResultsFile::open(const std::string& path, size_t inputs, size_t outputs) {
    close();
    file_ = fopen(path.c_str(), "w");
    if (!file_) return false;
    // A row of a wide model is kilobytes: a small buffer would write every row.
    setvbuf(file_, nullptr, _IOFBF, 1 << 18);
    fprintf(file_, "time");
    for (size_t i = 0; i < inputs; ++i)
        fprintf(file_, " u%zu", i + 1);
    for (size_t j = 0; j < outputs; ++j)
        fprintf(file_, " y%zu", j + 1);
    fprintf(file_, "\n");
    width_ = 1 + inputs + outputs;
    stop_ = flushAsked_ = busy_ = false;
    queued_.clear();
    staged_.clear();
    worker_ = std::thread(&ResultsFile::run, this);
    return true;
}

void ResultsFile::add(double time, const std::vector<double>& inputs,
                      const std::vector<double>& outputs) {
    if (!file_) return;
    staged_.push_back(time);
    staged_.insert(staged_.end(), inputs.begin(), inputs.end());
    staged_.insert(staged_.end(), outputs.begin(), outputs.end());
    // A row is always whole, whatever the model's vectors hold.
    staged_.resize(staged_.size() + width_ - (1 + inputs.size() + outputs.size()), 0.0);
    // The writer may hold the lock with the least of priorities: the rows
    // wait here rather than the solver, until the queue is getting long.
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
        if (staged_.size() < WAKE_QUEUED_NUMBERS) return;
        lock.lock();
    }
    handOver(lock);
    if (!busy_ && queued_.size() >= WAKE_QUEUED_NUMBERS) wake_.notify_one();
}

void ResultsFile::handOver(std::unique_lock<std::mutex>& lock) {
    written_.wait(lock, [&] { return queued_.size() < MAX_QUEUED_NUMBERS; });
    queued_.insert(queued_.end(), staged_.begin(), staged_.end());
    staged_.clear();
}

void ResultsFile::flush() {
    if (!file_) return;
    std::unique_lock<std::mutex> lock(mutex_);
    handOver(lock);
    flushAsked_ = true;
    wake_.notify_one();
    written_.wait(lock, [&] { return !flushAsked_; });
}

void ResultsFile::close() {
    if (!file_) return;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        handOver(lock);
        stop_ = true;
        wake_.notify_one();
    }
    worker_.join();
    fclose(file_);
    file_ = nullptr;
}

void ResultsFile::run() {
    // The block waits on the solver's answers, never on the rows: on a
    // busy machine the writer must not take a core from either of them.
    yieldToOtherThreads();
    std::vector<double> rows;
    std::string text;
    auto flushedAt = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait_for(lock, FLUSH_PERIOD, [&] {
            return stop_ || flushAsked_ || queued_.size() >= WAKE_QUEUED_NUMBERS;
        });
        if (queued_.empty() && !stop_ && !flushAsked_) continue;
        rows.swap(queued_);
        bool flushing = flushAsked_ || stop_;
        bool stopping = stop_;
        busy_ = true;
        written_.notify_all(); // room in the queue again
        lock.unlock();

        // Grown only, never cleared again: the text is overwritten row by row.
        const size_t room = rows.size() * (RESULT_NUMBER_MAX + 1) + 1;
        if (text.size() < room) text.resize(room);
        char* p = &text[0];
        for (size_t i = 0; i < rows.size(); ++i) {
            p = writeResultNumber(p, rows[i]);
            *p++ = (i + 1) % width_ == 0 ? '\n' : ' ';
        }
        fwrite(text.data(), 1, size_t(p - text.data()), file_);
        rows.clear();
        auto now = std::chrono::steady_clock::now();
        if (flushing || now - flushedAt >= FLUSH_PERIOD) {
            fflush(file_);
            flushedAt = now;
        }

        lock.lock();
        busy_ = false;
        if (flushing && queued_.empty()) {
            flushAsked_ = false;
            written_.notify_all();
        }
        if (stopping && queued_.empty()) return;
    }
}
