// Ctrl-C during a run: the first one asks for a stop after the step in
// progress, the second ends zvsim at once (the default action is back), so
// a solver that never answers cannot trap the user.
#pragma once

namespace zvsim {

// Installs the handler and clears any earlier request.
void armInterrupt();
// Puts the default action back.
void disarmInterrupt();
bool interruptRequested();

} // namespace zvsim
