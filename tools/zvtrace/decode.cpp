#include "decode.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "protocol/bigendian.h"
#include "protocol/protocol.h"
#include "protocol/catalogue.h"

namespace zvtrace {

namespace {

bool travels(char direction, bool isCall) {
    return direction == 'b' || (direction == 'i') == isCall;
}

void decodeFunction(Event& e, const unsigned char* body, int32_t length) {
    const bool isCall = e.flag == FLAG_CALL;
    if (length < 4) {
        e.problem = "a body of " + std::to_string(length) + " bytes holds no function head";
        return;
    }
    XSocket* scratch = newXSocket(); // the marshalling records its failures in it
    MessageBuffer* buffer = newMessageBuffer(scratch, length);
    if (!scratch || !buffer) {
        releaseXSocket(scratch);
        freeMessageBuffer(buffer);
        e.problem = "out of memory";
        return;
    }
    buffer->stage = const_cast<unsigned char*>(body);
    uint16_t head[2] = {0, 0};
    void* slot = head;
    transferField(buffer, &slot, 2, 2, 0);
    e.function = true;
    e.id = head[0];
    e.name = functionName(head[0]);
    const char* catalogue = functionSignature(head[0]);
    const unsigned char* text = body + 4;
    const void* nul = head[1] <= length - 4 ? std::memchr(text, '\0', head[1]) : nullptr;
    if (head[1] > length - 4) {
        e.problem = "a signature of " + std::to_string(head[1]) + " bytes passes the end of the " +
                    std::to_string(length) + "-byte body";
    } else if (!nul) {
        e.signature.assign(reinterpret_cast<const char*>(text), head[1]);
        e.problem = "the signature has no terminating NUL";
    } else {
        e.signature = reinterpret_cast<const char*>(text);
        const int bad = checkSignature(e.signature.c_str());
        if (head[0] == FID_EMPTY || head[0] >= FID_INVALID)
            e.problem = "id " + std::to_string(head[0]) + " is not in the catalogue";
        else if (bad != -1)
            e.problem = "the signature breaks its grammar at character " + std::to_string(bad);
        else if (e.signature != catalogue)
            e.problem = "the signature is not the catalogue's " + std::string(catalogue);
    }
    if (!e.problem.empty()) {
        freeMessageBuffer(buffer);
        releaseXSocket(scratch);
        return;
    }
    buffer->total = 4 + head[1];
    buffer->signature = catalogue;

    // A return is unpacked into memory the caller provides; give every text
    // and array room for the whole body, so only the body's end bounds it.
    ArgumentList args;
    if (!initArgumentList(&args, catalogue, isCall ? 0 : length)) {
        e.problem = "out of memory";
    } else if (!walkSignature(buffer, &args.fields, isCall ? 1 : 0, 0)) {
        e.problem = "the fields do not fit the body: a count is negative or passes its end";
    } else if (buffer->total < length) {
        e.problem = std::to_string(length - buffer->total) + " bytes follow the last field";
    }
    if (e.problem.empty()) {
        for (int i = 0; i < args.fieldCount; ++i) {
            const int slot = args.field[i].first;
            Field f;
            f.type = args.field[i].type;
            f.direction = args.field[i].direction;
            f.array = args.field[i].array != 0;
            if (!travels(f.direction, isCall)) {
                if (!(isCall && f.type == 'C')) continue;
                f.capacityOnly = true;
                f.count = args.ints[slot + (f.array ? 1 : 0)];
                e.fields.push_back(f);
                continue;
            }
            if (!f.array && f.type != 'C') {
                f.numbers.push_back(f.type == 'I'   ? args.ints[slot]
                                    : f.type == 'R' ? args.floats[slot]
                                                    : args.doubles[slot]);
            } else if (f.type == 'C' && f.array) {
                f.count = args.ints[slot];
                f.rowLength = args.ints[slot + 1];
                const char* data = static_cast<const char*>(args.data[slot + 2]);
                for (int32_t r = 0; r < f.count && data; ++r)
                    f.texts.emplace_back(data + int64_t(r) * f.rowLength, size_t(f.rowLength));
            } else {
                f.count = args.ints[slot];
                const void* data = args.data[slot + 1];
                if (f.type == 'C' && data) {
                    f.texts.emplace_back(static_cast<const char*>(data), size_t(f.count));
                } else {
                    for (int32_t k = 0; k < f.count && data; ++k) {
                        if (f.type == 'I')
                            f.numbers.push_back(static_cast<const int32_t*>(data)[k]);
                        else if (f.type == 'R')
                            f.numbers.push_back(static_cast<const float*>(data)[k]);
                        else
                            f.numbers.push_back(static_cast<const double*>(data)[k]);
                    }
                }
            }
            e.fields.push_back(f);
        }
        if (!isCall && args.result >= 0) {
            e.hasResult = true;
            e.result = args.ints[args.result];
        }
    }
    freeArgumentList(&args);
    freeMessageBuffer(buffer);
    releaseXSocket(scratch);
}

} // namespace

Event decodeFrame(Direction direction, uint32_t flag, const unsigned char* body, int32_t length) {
    Event e;
    e.direction = direction;
    e.flag = flag;
    e.length = length;
    switch (flag) {
    case FLAG_HANDSHAKE:
    case FLAG_HANDSHAKE_REPLY: {
        e.kind = "handshake";
        const void* nul = length > 0 ? std::memchr(body, '\0', size_t(length)) : nullptr;
        const size_t n = nul ? size_t(static_cast<const unsigned char*>(nul) - body)
                             : size_t(std::max(length, 0));
        e.text.assign(reinterpret_cast<const char*>(body), n);
        const bool fromBlock = flag == FLAG_HANDSHAKE;
        if (fromBlock != (direction == Direction::ToSolver))
            e.problem = std::string("a handshake ") + (fromBlock ? "" : "reply ") + "from the " +
                        (fromBlock ? "solver" : "block");
        break;
    }
    case FLAG_CALL:
    case FLAG_RETURN:
        e.kind = flag == FLAG_CALL ? "call" : "return";
        decodeFunction(e, body, length);
        break;
    case FLAG_CLOSE:
        e.kind = "close";
        if (length != 0) e.problem = "a close frame with a body";
        break;
    default:
        e.kind = "unknown";
        e.problem = flag == FLAG_LOST ? "byte flag 6 is never sent"
                                      : "byte flag " + std::to_string(flag) + " is not a message";
    }
    return e;
}

// ---- cutting the stream into frames ----

FrameParser::FrameParser(Direction direction) : direction_(direction) {}

FrameParser::~FrameParser() = default;

void FrameParser::feed(const unsigned char* data, size_t size, double time,
                       std::vector<Event>& out) {
    while (size > 0) {
        if (headerHave_ < 8) {
            const size_t n = std::min(size, 8 - headerHave_);
            std::memcpy(header_ + headerHave_, data, n);
            headerHave_ += n;
            data += n;
            size -= n;
            if (headerHave_ < 8) return;
            flag_ = getBig32(header_);
            length_ = static_cast<int32_t>(getBig32(header_ + 4));
            bodyHave_ = 0;
            keep_ = length_ >= 0 && length_ <= kDecodeLimit;
            body_.clear();
            rawHead_.assign(header_, header_ + 8);
            if (length_ <= 0) complete(time, out);
            continue;
        }
        const size_t n = size_t(std::min<int64_t>(int64_t(size), length_ - bodyHave_));
        if (keep_)
            body_.insert(body_.end(), data, data + n);
        else if (rawHead_.size() < kRawLimit)
            rawHead_.insert(rawHead_.end(), data, data + std::min(n, kRawLimit - rawHead_.size()));
        bodyHave_ += int64_t(n);
        data += n;
        size -= n;
        if (bodyHave_ == length_) complete(time, out);
    }
}

void FrameParser::complete(double time, std::vector<Event>& out) {
    Event e;
    if (length_ < 0) {
        // No body length can be trusted after this; the peer will fail on it too.
        e.direction = direction_;
        e.flag = flag_;
        e.length = length_;
        e.kind = "unknown";
        e.problem = "a negative body length";
    } else if (keep_) {
        e = decodeFrame(direction_, flag_, body_.data(), static_cast<int32_t>(length_));
    } else {
        e.direction = direction_;
        e.flag = flag_;
        e.length = length_;
        e.kind = flag_ == FLAG_CALL ? "call" : flag_ == FLAG_RETURN ? "return" : "unknown";
        e.problem = "a body too long to decode";
    }
    e.time = time;
    if (keep_) {
        e.raw.assign(header_, header_ + 8);
        e.raw.insert(e.raw.end(), body_.begin(),
                     body_.begin() + std::min(body_.size(), kRawLimit - 8));
    } else {
        e.raw = rawHead_;
    }
    e.rawCut = e.raw.size() < size_t(8 + std::max<int64_t>(length_, 0));
    if (keep_) {
        e.bytes.assign(header_, header_ + 8);
        e.bytes.insert(e.bytes.end(), body_.begin(), body_.end());
    } else if (length_ <= 0) {
        e.bytes.assign(header_, header_ + 8);
    }
    out.push_back(std::move(e));
    headerHave_ = 0;
    body_.clear();
    if (length_ < 0) {
        // Nothing after it can be framed: keep what follows out of the parser.
        headerHave_ = 8;
        length_ = INT64_MAX;
        bodyHave_ = 0;
        keep_ = false;
        rawHead_.assign(kRawLimit, 0);
    }
}

Event FrameParser::end(double time, const std::string& why) const {
    Event e;
    e.time = time;
    e.direction = direction_;
    e.kind = "lost";
    e.flag = FLAG_LOST;
    e.text = why;
    if (headerHave_ > 0 && headerHave_ < 8) {
        e.problem = "the stream ended after " + std::to_string(headerHave_) + " bytes of a header";
        e.raw.assign(header_, header_ + headerHave_);
        e.bytes = e.raw;
    } else if (headerHave_ == 8 && length_ != INT64_MAX) {
        e.problem = "the stream ended inside a frame with byte flag " + std::to_string(flag_) +
                    ": " + std::to_string(bodyHave_) + " of " + std::to_string(length_) +
                    " body bytes came";
        e.raw = keep_ ? std::vector<unsigned char>(header_, header_ + 8) : rawHead_;
        if (keep_) {
            e.raw.insert(e.raw.end(), body_.begin(),
                         body_.begin() + std::min(body_.size(), kRawLimit - 8));
            e.bytes.assign(header_, header_ + 8);
            e.bytes.insert(e.bytes.end(), body_.begin(), body_.end());
        }
    }
    return e;
}

// ---- presentation ----

namespace {

std::string number(double v, char type) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    char buffer[64];
    std::to_chars_result r = type == 'R' ? std::to_chars(buffer, buffer + sizeof buffer, float(v))
                                         : std::to_chars(buffer, buffer + sizeof buffer, v);
    return std::string(buffer, r.ptr);
}

} // namespace

std::string quoted(const std::string& text, bool json) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c >= 0x20 && c < 0x7f) {
            out += char(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, json ? "\\u%04x" : "\\x%02x", c);
            out += hex;
        }
    }
    return out + "\"";
}

namespace {

std::string hex(const std::vector<unsigned char>& bytes, const char* separator) {
    std::string out;
    char two[3];
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i) out += separator;
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        out += two;
    }
    return out;
}

std::string fieldText(const Field& f) {
    std::string out{f.direction, ':'};
    if (f.array) out += '<';
    out += f.type;
    if (f.capacityOnly) return out + "(room " + std::to_string(f.count) + ")";
    if (f.type == 'C' && f.array) {
        out += "[" + std::to_string(f.count) + "x" + std::to_string(f.rowLength) + "]={";
        for (size_t r = 0; r < f.texts.size(); ++r)
            out += (r ? "," : "") + quoted(f.texts[r], false);
        return out + "}";
    }
    if (f.type == 'C') return out + "=" + quoted(f.texts.empty() ? "" : f.texts[0], false);
    if (!f.array) return out + "=" + number(f.numbers.empty() ? 0 : f.numbers[0], f.type);
    out += "[" + std::to_string(f.count) + "]={";
    for (size_t k = 0; k < f.numbers.size(); ++k)
        out += (k ? "," : "") + number(f.numbers[k], f.type);
    return out + "}";
}

std::string fieldJson(const Field& f) {
    std::string out = "{\"direction\":\"" + std::string(1, f.direction) + "\",\"type\":\"" +
                      (f.array ? "<" : "") + std::string(1, f.type) + "\"";
    auto value = [&f](double v) {
        const std::string n = number(v, f.type);
        return std::isfinite(v) ? n : "\"" + n + "\"";
    };
    if (f.capacityOnly) return out + ",\"room\":" + std::to_string(f.count) + "}";
    if (f.type == 'C' && f.array) {
        out += ",\"rows\":" + std::to_string(f.count) +
               ",\"rowLength\":" + std::to_string(f.rowLength) + ",\"values\":[";
        for (size_t r = 0; r < f.texts.size(); ++r)
            out += (r ? "," : "") + quoted(f.texts[r], true);
        return out + "]}";
    }
    if (f.type == 'C')
        return out + ",\"value\":" + quoted(f.texts.empty() ? "" : f.texts[0], true) + "}";
    if (!f.array) return out + ",\"value\":" + value(f.numbers.empty() ? 0 : f.numbers[0]) + "}";
    out += ",\"count\":" + std::to_string(f.count) + ",\"values\":[";
    for (size_t k = 0; k < f.numbers.size(); ++k)
        out += (k ? "," : "") + value(f.numbers[k]);
    return out + "]}";
}

} // namespace

std::string directionName(Direction direction) {
    return direction == Direction::ToSolver ? "block>solver" : "solver>block";
}

std::string formatLine(const Event& e, bool raw) {
    char head[64];
    std::snprintf(head, sizeof head, "%12.6f %s %-9s", e.time, directionName(e.direction).c_str(),
                  e.kind.c_str());
    std::string line = head;
    if (e.function) {
        line += " " + e.name + "#" + std::to_string(e.id);
        for (const Field& f : e.fields)
            line += " " + fieldText(f);
        if (e.hasResult) line += " -> " + std::to_string(e.result);
    } else if (e.kind == "handshake") {
        line += " " + quoted(e.text, false);
    } else if (e.kind == "lost") {
        line += " (" + e.text + ")";
    } else if (e.kind == "unknown") {
        line += " flag=" + std::to_string(e.flag) + " length=" + std::to_string(e.length);
    }
    if (!e.problem.empty()) line += " MALFORMED: " + e.problem;
    if (raw && !e.raw.empty()) line += " | " + hex(e.raw, " ") + (e.rawCut ? " ..." : "");
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

std::string formatJson(const Event& e, bool raw) {
    char time[32];
    std::snprintf(time, sizeof time, "%.6f", e.time);
    std::string out = std::string("{\"time\":") + time + ",\"direction\":\"" +
                      directionName(e.direction) + "\",\"kind\":\"" + e.kind +
                      "\",\"flag\":" + std::to_string(e.flag) +
                      ",\"length\":" + std::to_string(e.length);
    if (e.function) {
        out += ",\"id\":" + std::to_string(e.id) + ",\"name\":" + quoted(e.name, true) +
               ",\"signature\":" + quoted(e.signature, true) + ",\"fields\":[";
        for (size_t k = 0; k < e.fields.size(); ++k)
            out += (k ? "," : "") + fieldJson(e.fields[k]);
        out += "]";
        if (e.hasResult) out += ",\"result\":" + std::to_string(e.result);
    }
    if (e.kind == "handshake" || e.kind == "lost") out += ",\"text\":" + quoted(e.text, true);
    if (!e.problem.empty()) out += ",\"malformed\":" + quoted(e.problem, true);
    if (raw) out += ",\"raw\":\"" + hex(e.raw, "") + "\"" + (e.rawCut ? ",\"rawCut\":true" : "");
    return out + "}";
}

} // namespace zvtrace
