// A recording of the link: every frame in both directions, whole, with its
// time, as JSON lines that a replaying solver can answer a block from.
//
// Line 1, the header:
//   {"format":"zelvane-link-recording","version":1,"catalogue":"<8 hex>",
//    "handshake":"ZVI|LINK|VER:1","mode":"launch"|"connect","solver":"...",
//    "pipeline":0|1|null,"started":"<UTC time>","recorder":"zvtrace 6.1.0"}
// Then, for each link, one line per frame: "link" (from 1), "n" (the frame's
// number in its link, from 1), then the fields of zvtrace's --jsonl line,
// then "bytes", the whole frame in hex ("lost": the bytes that came of a
// frame the stream ended in). A link ends with
//   {"link":L,"end":"link ended","frames":N}.
// A file without that last line was cut short and is not replayed.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "decode.h"

namespace zvtrace {

constexpr const char* kRecordingFormat = "zelvane-link-recording";
constexpr int kRecordingVersion = 1;

// The catalogue every recorded frame was encoded with: a hash of its ids,
// names and signatures, so that a recording is never replayed against
// another catalogue.
std::string catalogueVersion();

// How the link was set up, for the header.
struct RecordingSetup {
    std::string mode;   // "launch" or "connect"
    std::string solver; // the solver's command line or HOST:PORT
    int pipeline = -1;  // the block's PIPELINE setting; -1: not known here
};

// Writes a recording as the link goes, flushing every line. Not thread-safe:
// the trace output serialises the two directions.
class RecordingWriter {
  public:
    // Null file: records nothing.
    RecordingWriter(std::FILE* file, const RecordingSetup& setup);
    void beginLink();
    void frame(const Event& event);
    void endLink();

  private:
    void line(const std::string& text);
    std::FILE* file_;
    int link_ = 0, frames_ = 0;
    bool inLink_ = false;
};

struct RecordedFrame {
    int line = 0; // in the file, from 1
    Direction direction = Direction::ToSolver;
    std::string kind; // as zvtrace names it
    double time = 0.0;
    std::vector<unsigned char> bytes; // whole; for "lost" what came of a cut frame
};

struct RecordedLink {
    std::vector<RecordedFrame> frames;
};

struct Recording {
    int pipeline = -1; // the header's setting; -1 when the recorder did not know it
    std::string mode;
    std::vector<RecordedLink> links;
};

// Reads and checks a whole recording. False, with the reason in *error, for
// a file that cannot be read, is not a recording, is of another format
// version or catalogue, is corrupt or was cut short.
bool loadRecording(const std::string& path, Recording* recording, std::string* error);

} // namespace zvtrace
