// What zvtrace sees on one direction of a link: the byte stream cut into
// frames, and each frame decoded by the catalogue's signature with the
// project's own marshalling code, into one event per frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct XSocket;

namespace zvtrace {

enum class Direction { ToSolver, ToBlock };

// One field of a call or return, in signature order.
struct Field {
    char direction = 'i'; // i, o or b
    char type = 'I';      // C, I, R or D
    bool array = false;
    // A C or <C output in a call: only the room the caller has for it.
    bool capacityOnly = false;
    int32_t count = 0;     // elements of an array or characters of a text; rows of <C
    int32_t rowLength = 0; // <C only
    std::vector<double> numbers;
    std::vector<std::string> texts; // C: one; <C: one per row
};

struct Event {
    double time = 0.0; // seconds since the trace began
    Direction direction = Direction::ToSolver;
    // handshake, call, return, close, lost, or unknown (a byte flag outside the protocol)
    std::string kind;
    uint32_t flag = 0;
    int64_t length = 0;    // as the header declares it (negative past 2^31)
    bool function = false; // a call or return whose head could be read
    uint16_t id = 0;
    std::string name, signature;
    std::vector<Field> fields;
    bool hasResult = false;
    int32_t result = 0;
    std::string text;    // handshake text, up to its NUL
    std::string problem; // why the frame is malformed; empty when it is not
    std::vector<unsigned char> raw;
    bool rawCut = false; // raw holds only the first bytes of a long frame
    // The whole frame as it travelled (a "lost" event: what came of the frame
    // the stream ended in); empty for a frame too long to keep.
    std::vector<unsigned char> bytes;
};

// Bodies up to this size are decoded; longer ones are passed on unread.
constexpr int64_t kDecodeLimit = 16 * 1024 * 1024;
// --raw shows at most this many bytes of a frame.
constexpr size_t kRawLimit = 4096;

// Decodes one whole frame.
Event decodeFrame(Direction direction, uint32_t flag, const unsigned char* body, int32_t length);

// Cuts a byte stream into frames as the bytes arrive, in any pieces.
class FrameParser {
  public:
    explicit FrameParser(Direction direction);
    ~FrameParser();
    FrameParser(const FrameParser&) = delete;
    FrameParser& operator=(const FrameParser&) = delete;

    // Appends an event for each frame that the bytes complete.
    void feed(const unsigned char* data, size_t size, double time, std::vector<Event>& out);
    // The stream ended: a "lost" event that says where it ended.
    Event end(double time, const std::string& why) const;

  private:
    void complete(double time, std::vector<Event>& out);

    Direction direction_;
    unsigned char header_[8];
    size_t headerHave_ = 0;
    uint32_t flag_ = 0;
    int64_t length_ = 0; // declared body length
    int64_t bodyHave_ = 0;
    bool keep_ = false; // the body is kept for decoding
    std::vector<unsigned char> body_;
    std::vector<unsigned char> rawHead_; // first bytes of a frame not kept whole
};

std::string directionName(Direction direction);
// Text as a quoted literal, anything unprintable as \xNN; json picks JSON's
// escapes.
std::string quoted(const std::string& text, bool json);
// One text line (no newline): time, direction, kind, function and fields.
std::string formatLine(const Event& event, bool raw);
// The same as one JSON object (no newline).
std::string formatJson(const Event& event, bool raw);

} // namespace zvtrace
