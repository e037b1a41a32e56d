// Ctrl-C (Ctrl-Break, SIGTERM, closing the console) during a run. The
// handlers only record requests; the engine acts on them between and
// during the block's calls:
// - the first Ctrl-C asks for a stop after the call in progress; if that
//   call still waits after two seconds, zvsim says what it waits for;
// - SIGTERM (closing the console on Windows) asks for the same stop, but
//   a call still waiting half a second later is given up;
// - a second request gives the run up at once.
// Giving up writes the CSV file and the plot from the rows so far, has the
// block end its link (the close frame is tried) and exits with 128 + the
// signal. Two requests that arrive together, as a process group's members
// get them, count as one.
#pragma once

#include <functional>
#include <thread>

namespace zvsim {

// What a request came from.
enum InterruptKind {
    INTERRUPT_NONE,
    INTERRUPT_CTRL_C,
    INTERRUPT_CTRL_BREAK,
    INTERRUPT_TERM,
    INTERRUPT_CONSOLE_CLOSED
};
enum InterruptNote { INTERRUPT_FIRST, INTERRUPT_SAME, INTERRUPT_ABANDON };

// Installs the handlers and clears any earlier request.
void armInterrupt();
// Puts the default actions back.
void disarmInterrupt();
bool interruptRequested();
// The signal of the first request (SIGINT or SIGTERM), 0 when none came.
int interruptSignal();
// The signal of the request that gives the run up, 0 until one came.
int abandonSignal();
// How the user names a request: "Ctrl-C", "SIGTERM"...; first: the first
// request, else the one that gives the run up.
const char* interruptName(bool first);
// Milliseconds since the first request; -1 when none came.
long long interruptAgeMs();
// What a call of the block in progress waits for, for the messages: static
// text, or null between calls.
void setInterruptWait(const char* what);
const char* interruptWait();
// Whether the engine watches the requests (and so will end the process
// on one that gives the run up).
void setInterruptWatched(bool watched);
bool interruptWatched();
// A thread for the run that the requests never interrupt (on POSIX the
// signals are blocked in it), so that they reach the watching thread and
// no wait of the block's is cut short by one.
std::thread startShieldedThread(std::function<void()> body);
// Stops the shielded thread where it is, for good, so that a run given up
// can end the block's link while the block's call on that thread never
// wakes to touch what the link's end frees. True once it is stopped
// (waited for a moment at most).
bool parkShieldedThread();

// The record both platforms keep: notes a request of a kind at a time on
// the platform's monotonic clock. Safe in a signal handler and on several
// threads at once.
InterruptNote noteInterrupt(InterruptKind kind, long long nowMs);
// The platform's monotonic clock, in milliseconds.
long long interruptClockMs();
// Clears the record.
void clearInterrupts();

} // namespace zvsim
