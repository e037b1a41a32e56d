// The record of interrupt requests, the same on every platform. One atomic
// word holds the first request's time and kind together, so a second
// request on another thread sees either nothing or all of the first.
#include "interrupt.h"

#include <atomic>
#include <csignal>

namespace zvsim {

namespace {

// Closer than this, a second request is the same one delivered twice.
const long long SAME_REQUEST_MS = 100;
const int KIND_BITS = 3;

// (time << KIND_BITS) | kind of the first request; 0: none.
std::atomic<unsigned long long> first{0};
std::atomic<int> abandonKind{INTERRUPT_NONE};
std::atomic<const char*> waitingFor{nullptr};
std::atomic<bool> watched{false};

static_assert(std::atomic<unsigned long long>::is_always_lock_free,
              "a signal handler writes the record");

int signalOf(int kind) {
    return kind == INTERRUPT_NONE                                     ? 0
           : kind == INTERRUPT_CTRL_C || kind == INTERRUPT_CTRL_BREAK ? SIGINT
                                                                      : SIGTERM;
}

const char* nameOf(int kind) {
    switch (kind) {
    case INTERRUPT_CTRL_C:
        return "Ctrl-C";
    case INTERRUPT_CTRL_BREAK:
        return "Ctrl-Break";
    case INTERRUPT_TERM:
        return "SIGTERM";
    case INTERRUPT_CONSOLE_CLOSED:
        return "console close";
    default:
        return nullptr;
    }
}

} // namespace

InterruptNote noteInterrupt(InterruptKind kind, long long nowMs) {
    // The clock starts at 0 on some systems; the time 0 must not read as "none".
    const unsigned long long record =
        (static_cast<unsigned long long>(nowMs + 1) << KIND_BITS) | static_cast<unsigned>(kind);
    unsigned long long seen = 0;
    if (first.compare_exchange_strong(seen, record)) return INTERRUPT_FIRST;
    // Another thread may have read its clock a moment before this one.
    const long long since = nowMs + 1 - static_cast<long long>(seen >> KIND_BITS);
    if (since < SAME_REQUEST_MS) return INTERRUPT_SAME;
    int none = INTERRUPT_NONE;
    abandonKind.compare_exchange_strong(none, kind);
    return INTERRUPT_ABANDON;
}

void clearInterrupts() {
    abandonKind = INTERRUPT_NONE;
    first = 0;
    waitingFor = nullptr;
}

bool interruptRequested() {
    return first != 0;
}

int interruptSignal() {
    return signalOf(static_cast<int>(first & ((1u << KIND_BITS) - 1)));
}

int abandonSignal() {
    return signalOf(abandonKind);
}

const char* interruptName(bool firstRequest) {
    return nameOf(firstRequest ? static_cast<int>(first & ((1u << KIND_BITS) - 1))
                               : abandonKind.load());
}

long long interruptAgeMs() {
    const unsigned long long record = first;
    if (!record) return -1;
    return interruptClockMs() + 1 - static_cast<long long>(record >> KIND_BITS);
}

void setInterruptWait(const char* what) {
    waitingFor = what;
}

const char* interruptWait() {
    return waitingFor;
}

void setInterruptWatched(bool on) {
    watched = on;
}

bool interruptWatched() {
    return watched;
}

} // namespace zvsim
