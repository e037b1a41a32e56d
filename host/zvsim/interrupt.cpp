// Ctrl-C and SIGTERM on POSIX (Windows: interrupt_windows.cpp). The handler
// only records; the engine's watch does the talking.
#include "interrupt.h"

#include <atomic>

#include <csignal>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

namespace zvsim {

namespace {

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

extern "C" void onSignal(int signal) {
    const InterruptNote note =
        noteInterrupt(signal == SIGTERM ? INTERRUPT_TERM : INTERRUPT_CTRL_C, interruptClockMs());
    // With nobody to act on it, a request that gives the run up ends zvsim
    // as the signal would; so does a third one, should giving up stall.
    if (note == INTERRUPT_ABANDON) {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        if (!interruptWatched()) raise(signal);
    }
}

} // namespace

long long interruptClockMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void armInterrupt() {
    clearInterrupts();
    install(onSignal);
}

void disarmInterrupt() {
    install(SIG_DFL);
}

namespace {

std::atomic<bool> parked{false};
pthread_t shielded;
bool shieldedStarted = false;

// Runs on the shielded thread and never returns: the thread sleeps in it
// until the process ends.
extern "C" void onPark(int) {
    parked = true;
    sigset_t all;
    sigfillset(&all);
    for (;;)
        sigsuspend(&all);
}

} // namespace

bool parkShieldedThread() {
    if (!shieldedStarted) return false;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = onPark;
    sigfillset(&action.sa_mask);
    sigaction(SIGUSR2, &action, nullptr);
    if (pthread_kill(shielded, SIGUSR2) != 0) return false;
    for (int waited = 0; waited < 200 && !parked; ++waited)
        usleep(1000);
    return parked;
}

std::thread startShieldedThread(std::function<void()> body) {
    sigset_t blocked, old;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    // A new thread starts with its creator's mask.
    pthread_sigmask(SIG_BLOCK, &blocked, &old);
    std::thread thread(std::move(body));
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    shielded = thread.native_handle();
    shieldedStarted = true;
    return thread;
}

} // namespace zvsim
