#include "relay.h"

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "xsocket/xsocket.h"

namespace zvtrace {

volatile std::sig_atomic_t traceStopRequested = 0;

void TraceOutput::frame(const Event& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (text_) {
        std::fprintf(text_, "%s\n", formatLine(event, raw_).c_str());
        std::fflush(text_);
    }
    if (jsonl_) {
        std::fprintf(jsonl_, "%s\n", formatJson(event, raw_).c_str());
        std::fflush(jsonl_);
    }
    if (record_) record_->frame(event);
}

void TraceOutput::beginLink() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (record_) record_->beginLink();
}

void TraceOutput::endLink() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (record_) record_->endLink();
}

void TraceOutput::note(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!text_) return;
    std::fprintf(text_, "# %s\n", text.c_str());
    std::fflush(text_);
}

double traceClock() {
    using Clock = std::chrono::steady_clock;
    static const Clock::time_point start = Clock::now();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

namespace {

bool timedOut(const XSocket* s) {
    return !s->libraryError && (s->errorCode == XSOCKET_ETIMEDOUT || s->errorCode == XSOCKET_EINTR);
}

// A second record on the same connection, for the thread that writes to it:
// each record then has one thread, and with it its own recorded error.
XSocket* writerOf(XSocket* s) {
    XSocket* w = newXSocket();
    if (w) w->handle = s->handle;
    return w;
}

void dropWriter(XSocket* w) {
    if (!w) return;
    w->handle = XSOCKET_INVALID_HANDLE; // the connection belongs to the reading record
    releaseXSocket(w);
}

bool writeAll(XSocket* s, const unsigned char* data, int32_t size) {
    while (size > 0) {
        const int32_t n = writeXSocket(s, data, size);
        if (n <= 0) return false;
        data += n;
        size -= n;
    }
    return true;
}

// One direction: every byte from `from` goes on to `to` as it came, after
// the frames it completes have been traced, so a return is never traced
// before its call.
void pump(XSocket* from, XSocket* to, Direction direction, TraceOutput& out,
          std::atomic<bool>& stop) {
    const std::string source = direction == Direction::ToSolver ? "block" : "solver";
    const std::string sink = direction == Direction::ToSolver ? "solver" : "block";
    FrameParser parser(direction);
    std::vector<unsigned char> buffer(65536); // above the read-ahead size: read straight in
    std::vector<Event> events;
    setXSocketTimeout(from, 1); // a second at most between looks at the stop flag
    while (!stop && !traceStopRequested) {
        int32_t n = static_cast<int32_t>(buffer.size());
        if (!readXSocket(from, buffer.data(), &n)) {
            if (timedOut(from)) continue;
            out.frame(parser.end(traceClock(), "reading from the " + source +
                                                   " failed: " + socketErrorText(from)));
            break;
        }
        if (n < 0) {
            out.frame(parser.end(traceClock(), "the " + source + " closed the connection"));
            break;
        }
        events.clear();
        parser.feed(buffer.data(), size_t(n), traceClock(), events);
        for (const Event& e : events)
            out.frame(e);
        if (!writeAll(to, buffer.data(), n)) {
            out.note("could not pass " + std::to_string(n) + " bytes on to the " + sink + ": " +
                     socketErrorText(to));
            break;
        }
    }
    stop = true;
}

} // namespace

std::string socketErrorText(const XSocket* s) {
    const char* name = nullptr;
    char text[512] = "";
    getXSocketErrorText(s, text, sizeof text, &name);
    std::string out = text;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    if (s->errorMessage) out += std::string(" (") + s->errorMessage + ")";
    return out;
}

void relayLink(XSocket* block, XSocket* solver, TraceOutput& out) {
    out.beginLink();
    // Each direction sends what it has at once, as the two ends do themselves.
    setXSocketNoDelay(block, 1);
    setXSocketNoDelay(solver, 1);
    XSocket* toBlock = writerOf(block);
    XSocket* toSolver = writerOf(solver);
    std::atomic<bool> stop{!toBlock || !toSolver};
    std::thread up([&] { pump(block, toSolver, Direction::ToSolver, out, stop); });
    pump(solver, toBlock, Direction::ToBlock, out, stop);
    up.join();
    dropWriter(toBlock);
    dropWriter(toSolver);
    // Whichever end went first, the other now sees its connection end too.
    releaseXSocket(block);
    releaseXSocket(solver);
    out.endLink();
}

} // namespace zvtrace
