// Ctrl-C and SIGTERM on POSIX (Windows: interrupt_windows.cpp).
#include "interrupt.h"

#include <csignal>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace zvsim {

namespace {

volatile std::sig_atomic_t requested = 0;
const char* volatile waitingFor = nullptr;

// Milliseconds of the first request, on the monotonic clock.
volatile long long firstAt = 0;
// Closer than this, a second signal is the same request delivered twice.
const long long SAME_REQUEST_MS = 100;

long long monotonicMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Only async-signal-safe calls from here on.
void say(const char* text) {
    ssize_t ignored = write(STDERR_FILENO, text, strlen(text));
    (void)ignored;
}

extern "C" void onSignal(int signal) {
    const char* name = signal == SIGTERM ? "SIGTERM" : "Ctrl-C";
    const long long now = monotonicMs();
    if (!requested) {
        requested = signal;
        firstAt = now;
        const char* what = waitingFor;
        say("\nzvsim: ");
        say(name);
        say(": the run ends once ");
        say(what ? what : "the step in progress");
        say(" returns; it waits for the solver. A second ");
        say(name);
        say(" abandons the run.\n");
        return;
    }
    if (now - firstAt < SAME_REQUEST_MS) return;
    say("\nzvsim: ");
    say(name);
    say(" again: abandoning the run.\n");
    std::signal(signal, SIG_DFL);
    raise(signal);
}

void install(void (*handler)(int)) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // One handler at a time: a SIGTERM cannot cut into a Ctrl-C's.
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace

void armInterrupt() {
    requested = 0;
    waitingFor = nullptr;
    install(onSignal);
}

void disarmInterrupt() {
    install(SIG_DFL);
}

bool interruptRequested() {
    return requested != 0;
}

int interruptSignal() {
    return requested;
}

void setInterruptWait(const char* what) {
    waitingFor = what;
}

} // namespace zvsim
