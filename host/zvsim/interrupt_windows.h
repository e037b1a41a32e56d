// Ctrl-C on Windows arrives as a console control event, on a thread of its
// own; the handler is declared here so that tests can hand it events.
#pragma once

namespace zvsim {

// What SetConsoleCtrlHandler calls: nonzero when the event was handled.
int __stdcall onConsoleControl(unsigned long event);

} // namespace zvsim
