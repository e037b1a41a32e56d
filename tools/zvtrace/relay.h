// zvtrace's relay: the block's connection and the solver's, each direction
// passed on byte for byte while its frames are decoded and written out.
#pragma once

#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>

#include "decode.h"
#include "recording.h"

namespace zvtrace {

// Where the trace goes: text lines, and JSON lines when a file is given.
// Shared by the two directions of a link.
class TraceOutput {
  public:
    TraceOutput(std::FILE* text, std::FILE* jsonl, bool raw, RecordingWriter* record = nullptr)
        : text_(text), jsonl_(jsonl), raw_(raw), record_(record) {}
    void frame(const Event& event);
    // A link's frames in the recording lie between these two.
    void beginLink();
    void endLink();
    // A line about the trace itself, not a frame ("# ..." in the text).
    void note(const std::string& text);

  private:
    std::mutex mutex_;
    std::FILE* text_;
    std::FILE* jsonl_;
    bool raw_;
    RecordingWriter* record_;
};

// A socket's last error as one line, with the library's own message.
std::string socketErrorText(const XSocket* s);

// Seconds since the process started its trace.
double traceClock();

// Relays one link until either side ends it, then closes both connections.
// Takes over both sockets.
void relayLink(XSocket* block, XSocket* solver, TraceOutput& out);

// Set from a signal handler: stop waiting for blocks, end the links.
extern volatile std::sig_atomic_t traceStopRequested;

} // namespace zvtrace
