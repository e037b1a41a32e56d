// Ctrl-C on Windows: a console control handler rather than C signals, so
// that a second Ctrl-C can still end zvsim while the first waits for the
// step in progress (the C runtime's SIGINT emulation runs the handler once
// and then ends the process on its own terms). The handler runs on a thread
// of its own, one per event, so two events may meet in it: the record
// (interrupt_record.cpp) merges them.
#include "interrupt.h"
#include "interrupt_windows.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>

namespace zvsim {

namespace {

std::atomic<bool> armed{false};

// The system ends the process when the handler of a close returns, and in
// any case a few seconds after the event.
const DWORD CLOSE_GRACE_MS = 4000;

} // namespace

int __stdcall onConsoleControl(unsigned long event) {
    if (!armed) return FALSE;
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT: {
        // A request after the one that gave the run up: giving up stalls.
        const bool givenUp = abandonSignal() != 0;
        if (noteInterrupt(event == CTRL_C_EVENT ? INTERRUPT_CTRL_C : INTERRUPT_CTRL_BREAK,
                          interruptClockMs()) != INTERRUPT_ABANDON)
            return TRUE;
        // The engine gives the run up; with no engine watching, the
        // default ends zvsim at once.
        return interruptWatched() && !givenUp ? TRUE : FALSE;
    }
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT: {
        if (!interruptWatched()) return FALSE;
        // As SIGTERM: the engine ends the run, and the process, before the
        // system does; this thread waits for that.
        noteInterrupt(INTERRUPT_CONSOLE_CLOSED, interruptClockMs());
        Sleep(CLOSE_GRACE_MS);
        return TRUE;
    }
    default: // log-off: a service's concern
        return FALSE;
    }
}

long long interruptClockMs() {
    return static_cast<long long>(GetTickCount64());
}

void armInterrupt() {
    clearInterrupts();
    if (!armed.exchange(true)) SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

void disarmInterrupt() {
    if (armed.exchange(false)) SetConsoleCtrlHandler(onConsoleControl, FALSE);
}

namespace {
std::atomic<HANDLE> shielded{nullptr};
} // namespace

bool parkShieldedThread() {
    const HANDLE thread = shielded.load();
    return thread && SuspendThread(thread) != static_cast<DWORD>(-1);
}

std::thread startShieldedThread(std::function<void()> body) {
    // Console events come on threads of their own; the thread's handle is
    // kept so that a run given up can stop it.
    return std::thread([body = std::move(body)] {
        HANDLE self = nullptr;
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0,
                        FALSE, DUPLICATE_SAME_ACCESS);
        shielded = self;
        body();
        shielded = nullptr;
        if (self) CloseHandle(self);
    });
}

} // namespace zvsim
