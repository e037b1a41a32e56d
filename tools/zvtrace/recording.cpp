#include "recording.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <utility>

#include "protocol/bigendian.h"
#include "protocol/protocol.h"
#include "protocol/catalogue.h"

namespace zvtrace {

std::string catalogueVersion() {
    uint32_t hash = 2166136261u; // FNV-1a
    auto add = [&hash](const char* text) {
        for (const char* p = text; *p; ++p)
            hash = (hash ^ uint8_t(*p)) * 16777619u;
        hash = (hash ^ 0xffu) * 16777619u; // keeps "AB","C" apart from "A","BC"
    };
    for (uint16_t id = 0; id < FUNCTION_COUNT; ++id) {
        add(std::to_string(id).c_str());
        add(functionName(id));
        add(functionSignature(id));
    }
    char text[9];
    std::snprintf(text, sizeof text, "%08x", hash);
    return text;
}

RecordingWriter::RecordingWriter(std::FILE* file, const RecordingSetup& setup) : file_(file) {
    if (!file_) return;
    char started[32] = "";
    const std::time_t now = std::time(nullptr);
    if (const std::tm* utc = std::gmtime(&now))
        std::strftime(started, sizeof started, "%Y-%m-%dT%H:%M:%SZ", utc);
    line(std::string("{\"format\":\"") + kRecordingFormat + "\",\"version\":" +
         std::to_string(kRecordingVersion) + ",\"catalogue\":\"" + catalogueVersion() +
         "\",\"handshake\":\"" LINK_HANDSHAKE_TEXT "\",\"mode\":" + quoted(setup.mode, true) +
         ",\"solver\":" + quoted(setup.solver, true) +
         ",\"pipeline\":" + (setup.pipeline < 0 ? "null" : std::to_string(setup.pipeline)) +
         ",\"started\":\"" + started + "\",\"recorder\":\"zvtrace 6.1.0\"}");
}

void RecordingWriter::line(const std::string& text) {
    std::fputs(text.c_str(), file_);
    std::fputc('\n', file_);
    std::fflush(file_); // a crash later leaves every frame before it readable
}

void RecordingWriter::beginLink() {
    ++link_;
    frames_ = 0;
    inLink_ = true;
}

void RecordingWriter::frame(const Event& event) {
    if (!file_ || !inLink_) return;
    ++frames_;
    static const char hexDigits[] = "0123456789abcdef";
    std::string bytes;
    bytes.reserve(event.bytes.size() * 2);
    for (unsigned char b : event.bytes) {
        bytes += hexDigits[b >> 4];
        bytes += hexDigits[b & 15];
    }
    // The trace's own JSON object, with the link and frame number ahead and
    // the bytes behind.
    const std::string decoded = formatJson(event, false);
    const bool whole = !event.bytes.empty() || event.kind == "lost";
    line("{\"link\":" + std::to_string(link_) + ",\"n\":" + std::to_string(frames_) + "," +
         decoded.substr(1, decoded.size() - 2) +
         (whole ? ",\"bytes\":\"" + bytes + "\"}" : ",\"tooLong\":true}"));
}

void RecordingWriter::endLink() {
    if (!file_ || !inLink_) return;
    inLink_ = false;
    line("{\"link\":" + std::to_string(link_) +
         ",\"end\":\"link ended\",\"frames\":" + std::to_string(frames_) + "}");
}

// ---- reading ----

namespace {

// Just enough JSON for the recording's own lines.
struct Json {
    enum Type { Null, Bool, Number, String, Array, Object } type = Null;
    double number = 0.0;
    std::string text;
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    const Json* get(const char* key) const {
        for (const auto& m : members)
            if (m.first == key) return &m.second;
        return nullptr;
    }
};

class JsonParser {
  public:
    explicit JsonParser(const std::string& text) : p_(text.c_str()), end_(p_ + text.size()) {}
    bool document(Json* out) {
        if (!value(out, 0)) return false;
        space();
        return p_ == end_;
    }

  private:
    void space() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\r'))
            ++p_;
    }
    bool literal(const char* word) {
        const size_t n = std::strlen(word);
        if (size_t(end_ - p_) < n || std::strncmp(p_, word, n) != 0) return false;
        p_ += n;
        return true;
    }
    bool string(std::string* out) {
        if (p_ >= end_ || *p_ != '"') return false;
        for (++p_; p_ < end_; ++p_) {
            if (*p_ == '"') {
                ++p_;
                return true;
            }
            if (*p_ != '\\') {
                *out += *p_;
                continue;
            }
            if (++p_ >= end_) return false;
            switch (*p_) {
            case 'u': {
                if (end_ - p_ < 5) return false;
                char* stop = nullptr;
                const std::string digits(p_ + 1, 4);
                const long code = std::strtol(digits.c_str(), &stop, 16);
                if (*stop || code > 0xff) return false; // only bytes are ever escaped
                *out += char(code);
                p_ += 4;
                break;
            }
            case 'n':
                *out += '\n';
                break;
            case 't':
                *out += '\t';
                break;
            case '"':
            case '\\':
            case '/':
                *out += *p_;
                break;
            default:
                return false;
            }
        }
        return false;
    }
    // out null: checked, not kept.
    bool value(Json* out, int depth) {
        Json scratch;
        if (!out) out = &scratch;
        const bool keep = out != &scratch;
        space();
        if (p_ >= end_ || depth > 8) return false;
        if (*p_ == '{') {
            out->type = Json::Object;
            ++p_;
            space();
            if (p_ < end_ && *p_ == '}') return ++p_, true;
            for (;;) {
                std::pair<std::string, Json> m;
                space();
                if (!string(&m.first)) return false;
                space();
                // The decoded fields are for people; the bytes say it all.
                const bool wanted = keep && m.first != "fields";
                if (p_ >= end_ || *p_++ != ':' || !value(wanted ? &m.second : nullptr, depth + 1))
                    return false;
                if (wanted) out->members.push_back(std::move(m));
                space();
                if (p_ < end_ && *p_ == ',') {
                    ++p_;
                    continue;
                }
                return p_ < end_ && *p_++ == '}';
            }
        }
        if (*p_ == '[') {
            out->type = Json::Array;
            ++p_;
            space();
            if (p_ < end_ && *p_ == ']') return ++p_, true;
            for (;;) {
                if (keep) out->items.emplace_back();
                if (!value(keep ? &out->items.back() : nullptr, depth + 1)) return false;
                space();
                if (p_ < end_ && *p_ == ',') {
                    ++p_;
                    continue;
                }
                return p_ < end_ && *p_++ == ']';
            }
        }
        if (*p_ == '"') {
            out->type = Json::String;
            return string(&out->text);
        }
        if (literal("null")) return true;
        if (literal("true") || literal("false")) {
            out->type = Json::Bool;
            out->number = p_[-1] == 'e' && p_[-2] == 'u';
            return true;
        }
        char rest[64];
        const size_t n = size_t(std::min<ptrdiff_t>(end_ - p_, ptrdiff_t(sizeof rest) - 1));
        std::memcpy(rest, p_, n);
        rest[n] = '\0';
        char* stop = nullptr;
        out->number = std::strtod(rest, &stop);
        if (stop == rest) return false;
        out->type = Json::Number;
        p_ += stop - rest;
        return true;
    }
    const char* p_;
    const char* end_;
};

bool hexBytes(const std::string& text, std::vector<unsigned char>* out) {
    if (text.size() % 2) return false;
    out->resize(text.size() / 2);
    for (size_t i = 0; i < out->size(); ++i) {
        int v = 0;
        for (int k = 0; k < 2; ++k) {
            const char c = text[2 * i + size_t(k)];
            const int d = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
            if (d < 0) return false;
            v = v * 16 + d;
        }
        (*out)[i] = static_cast<unsigned char>(v);
    }
    return true;
}

bool isInteger(const Json* v, double from, double to) {
    return v && v->type == Json::Number && v->number == std::floor(v->number) &&
           v->number >= from && v->number <= to;
}

} // namespace

bool loadRecording(const std::string& path, Recording* recording, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": no such file, or it cannot be read";
        return false;
    }
    *recording = Recording();
    int number = 0;
    auto fail = [&](const std::string& why) {
        *error = path + " line " + std::to_string(number) + ": " + why;
        return false;
    };
    bool open = false; // a link has begun and not ended
    size_t frames = 0;
    std::string text;
    while (std::getline(in, text)) {
        ++number;
        if (in.eof()) // the writer ends every line: this one was cut short
            return fail("the line is cut short: the recording ends inside it (it was cut "
                        "short while it was written)");
        if (!text.empty() && text.back() == '\r') text.pop_back();
        Json line;
        if (!JsonParser(text).document(&line) || line.type != Json::Object)
            return fail("not a JSON object");
        if (number == 1) {
            const Json* format = line.get("format");
            const Json* version = line.get("version");
            if (!format || format->text != kRecordingFormat || !isInteger(version, 0, 1e9))
                return fail("not a recording of the link (no \"format\":\"" +
                            std::string(kRecordingFormat) + "\" header with a version)");
            if (int(version->number) != kRecordingVersion)
                return fail("a recording of format version " +
                            std::to_string(int(version->number)) + "; this program reads version " +
                            std::to_string(kRecordingVersion));
            const Json* catalogue = line.get("catalogue");
            if (!catalogue || catalogue->text != catalogueVersion())
                return fail("recorded with catalogue " +
                            (catalogue ? catalogue->text : std::string("(none)")) +
                            ", not this program's " + catalogueVersion());
            const Json* pipeline = line.get("pipeline");
            if (isInteger(pipeline, 0, 1)) recording->pipeline = int(pipeline->number);
            if (const Json* mode = line.get("mode")) recording->mode = mode->text;
            continue;
        }
        const Json* link = line.get("link");
        if (!isInteger(link, 1, 1e9)) return fail("no link number");
        const size_t expectedLink = recording->links.size() + (open ? 0 : 1);
        if (size_t(link->number) != expectedLink)
            return fail("link " + std::to_string(int(link->number)) + " where link " +
                        std::to_string(expectedLink) + " belongs");
        if (!open) {
            recording->links.emplace_back();
            open = true;
            frames = 0;
        }
        RecordedLink& current = recording->links.back();
        if (line.get("end")) {
            const Json* count = line.get("frames");
            if (!isInteger(count, 0, 1e12) || size_t(count->number) != frames)
                return fail("the link's end counts other frames than the " +
                            std::to_string(frames) + " recorded");
            open = false;
            continue;
        }
        const Json* n = line.get("n");
        if (!isInteger(n, 1, 1e12) || size_t(n->number) != frames + 1)
            return fail("frame " + std::to_string(frames + 1) + " of link " +
                        std::to_string(recording->links.size()) + " is missing");
        ++frames;
        RecordedFrame f;
        f.line = number;
        const Json* direction = line.get("direction");
        const Json* kind = line.get("kind");
        const Json* time = line.get("time");
        const Json* bytes = line.get("bytes");
        if (!direction || (direction->text != "block>solver" && direction->text != "solver>block"))
            return fail("no direction");
        f.direction = direction->text == "block>solver" ? Direction::ToSolver : Direction::ToBlock;
        if (!kind || kind->type != Json::String) return fail("no kind");
        f.kind = kind->text;
        if (time && time->type == Json::Number) f.time = time->number;
        if (line.get("tooLong")) return fail("a frame too long to have been recorded");
        if (!bytes || bytes->type != Json::String || !hexBytes(bytes->text, &f.bytes))
            return fail("no frame bytes in hex");
        // A frame that travelled whole must hold exactly what its header says.
        if (f.kind != "lost") {
            if (f.bytes.size() < 8) return fail("a frame of fewer than 8 bytes");
            const uint32_t length = getBig32(f.bytes.data() + 4);
            if (f.bytes.size() - 8 != length)
                return fail("the frame holds " + std::to_string(f.bytes.size() - 8) +
                            " body bytes, its header says " + std::to_string(length));
        }
        current.frames.push_back(std::move(f));
    }
    if (number == 0) {
        *error = path + " is empty";
        return false;
    }
    if (open) {
        *error = path + " is truncated: link " + std::to_string(recording->links.size()) +
                 " stops after " + std::to_string(frames) +
                 " frames without the line that ends it (the recording was cut short)";
        return false;
    }
    return true;
}

} // namespace zvtrace
