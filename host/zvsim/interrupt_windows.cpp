// Ctrl-C on Windows: a console control handler rather than C signals, so
// that the second Ctrl-C can still end zvsim while the first waits for the
// step in progress (the C runtime's SIGINT emulation runs the handler once
// and then ends the process on its own terms). The handler runs on a thread
// of its own, so it may write and read the clock freely.
#include "interrupt.h"
#include "interrupt_windows.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>
#include <csignal>
#include <cstdio>

namespace zvsim {

namespace {

std::atomic<int> requested{0};
std::atomic<bool> armed{false};
std::atomic<const char*> waitingFor{nullptr};
std::atomic<unsigned long long> firstAt{0};
// Closer than this, a second event is the same request delivered twice.
const unsigned long long SAME_REQUEST_MS = 100;

} // namespace

int __stdcall onConsoleControl(unsigned long event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE; // closing, log-off
    if (!armed) return FALSE;
    const unsigned long long now = GetTickCount64();
    int none = 0;
    if (requested.compare_exchange_strong(none, SIGINT)) {
        firstAt = now;
        const char* what = waitingFor;
        std::fprintf(stderr,
                     "\nzvsim: Ctrl-C: the run ends once %s returns; it waits for the solver. A "
                     "second Ctrl-C abandons the run.\n",
                     what ? what : "the step in progress");
        std::fflush(stderr);
        return TRUE;
    }
    if (now - firstAt < SAME_REQUEST_MS) return TRUE;
    std::fputs("\nzvsim: Ctrl-C again: abandoning the run.\n", stderr);
    std::fflush(stderr);
    return FALSE; // the default: end at once
}

void armInterrupt() {
    requested = 0;
    waitingFor = nullptr;
    if (!armed.exchange(true)) SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

void disarmInterrupt() {
    if (armed.exchange(false)) SetConsoleCtrlHandler(onConsoleControl, FALSE);
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
