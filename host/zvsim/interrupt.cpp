// Plain C signals: the same code on POSIX and Windows.
#include "interrupt.h"

#include <csignal>

namespace zvsim {

namespace {

volatile std::sig_atomic_t requested = 0;

extern "C" void onInterrupt(int) {
    requested = 1;
    std::signal(SIGINT, SIG_DFL);
}

} // namespace

void armInterrupt() {
    requested = 0;
    std::signal(SIGINT, onInterrupt);
}

void disarmInterrupt() {
    std::signal(SIGINT, SIG_DFL);
}

bool interruptRequested() {
    return requested != 0;
}

} // namespace zvsim
