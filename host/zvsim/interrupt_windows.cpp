// Ctrl-C on Windows: a console control handler rather than C signals, so
// that the second Ctrl-C can still end zvsim while the first waits for the
// step in progress (the C runtime's SIGINT emulation runs the handler once
// and then ends the process on its own terms).
#include "interrupt.h"
#include "interrupt_windows.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>

namespace zvsim {

namespace {

std::atomic<int> requested{0};
std::atomic<bool> armed{false};

} // namespace

int __stdcall onConsoleControl(unsigned long event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE; // closing, log-off
    if (!armed || requested.exchange(1) != 0) return FALSE; // the default: end at once
    return TRUE;
}

void armInterrupt() {
    requested = 0;
    if (!armed.exchange(true)) SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

void disarmInterrupt() {
    if (armed.exchange(false)) SetConsoleCtrlHandler(onConsoleControl, FALSE);
}

bool interruptRequested() {
    return requested != 0;
}

} // namespace zvsim
