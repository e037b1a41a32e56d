// Ctrl-C (and, on POSIX, SIGTERM) during a run: the first asks for a stop
// after the step in progress and says what the run is waiting for; a second
// one abandons the run at once (the CSV file is flushed row by row, so it
// stays whole), so a solver that never answers cannot trap the user. Two
// that arrive together, as a process group's members get them, count as one.
#pragma once

namespace zvsim {

// Installs the handlers and clears any earlier request.
void armInterrupt();
// Puts the default actions back.
void disarmInterrupt();
bool interruptRequested();
// The signal of the request (SIGINT or SIGTERM), 0 when none came.
int interruptSignal();
// What a call of the block in progress waits for, for the first request's
// message: static text, or null between calls.
void setInterruptWait(const char* what);

} // namespace zvsim
