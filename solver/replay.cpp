#include "solver/replay.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "decode.h"
#include "protocol/bigendian.h"
#include "protocol/protocol.h"
#include "protocol/catalogue.h"
#include "solver/platform.h"
#include "solver/session.h"

namespace {

// The function id of a call or return frame; 0 for anything else.
uint16_t functionOf(const std::vector<unsigned char>& frame) {
    if (frame.size() < 12) return 0;
    const uint32_t flag = getBig32(frame.data());
    if (flag != FLAG_CALL && flag != FLAG_RETURN) return 0;
    return uint16_t(frame[8] << 8 | frame[9]);
}

// The step length an advance call carries: its first field, after the signature.
double stepLengthOf(const std::vector<unsigned char>& frame) {
    const size_t at = 12 + size_t(frame[10] << 8 | frame[11]);
    if (frame.size() < at + 8) return 0.0;
    uint64_t bits = 0;
    for (size_t k = 0; k < 8; ++k)
        bits = bits << 8 | frame[at + k];
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}

std::string number(double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    char text[64];
    return std::string(text, std::to_chars(text, text + sizeof text, v).ptr);
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
            out += char(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out + "\"";
}

// The names the block's calls give their fields, in the order they travel.
std::string fieldName(uint16_t id, size_t index, const zvtrace::Field& f) {
    static const std::map<uint16_t, std::vector<const char*>> names = {
        {FID_DATEXIST, {"model", "product", "version"}},
        {FID_SLZVIMAN, {"product", "model"}},
        {FID_SLCZVPWR, {"DeltaSim", "inputs", "doneSim", "adv"}},
        {FID_SLCLOSE, {"code"}},
        {FID_ZVISETMODE, {"mode"}},
    };
    const auto row = names.find(id);
    if (row != names.end() && index < row->second.size()) return row->second[index];
    return "field " + std::to_string(index + 1) + " (" + f.direction + ":" + (f.array ? "<" : "") +
           f.type + ")";
}

std::string describe(const zvtrace::Event& e) {
    if (e.kind == "call" || e.kind == "return")
        return "a " + e.kind + " of " +
               (e.function ? e.name : std::string("an unreadable function"));
    if (e.kind == "handshake") return "the handshake " + quoted(e.text);
    if (e.kind == "close") return "the close frame";
    return "a frame with byte flag " + std::to_string(e.flag);
}

zvtrace::Event decoded(const std::vector<unsigned char>& frame) {
    return zvtrace::decodeFrame(zvtrace::Direction::ToSolver, getBig32(frame.data()),
                                frame.data() + 8, int32_t(frame.size() - 8));
}

struct Difference {
    std::string field, recorded, sent;
    bool structural = false; // the replay cannot go on answering after it
};

// Compares a frame the block sent with the recorded one that differs from
// it; every difference beyond the tolerance, and the largest within it.
std::vector<Difference> compare(const std::vector<unsigned char>& recordedBytes,
                                const std::vector<unsigned char>& sentBytes, double tolerance,
                                std::map<std::string, double>& largest) {
    const zvtrace::Event r = decoded(recordedBytes), s = decoded(sentBytes);
    std::vector<Difference> out;
    auto structural = [&](const std::string& field, const std::string& a, const std::string& b) {
        out.push_back({field, a, b, true});
        return out;
    };
    if (r.kind != s.kind || (r.function && r.id != s.id))
        return structural("frame", describe(r), describe(s));
    if (!s.problem.empty()) return structural("frame", "well formed", "MALFORMED: " + s.problem);
    if (r.kind == "handshake" && r.text != s.text)
        return structural("text", quoted(r.text), quoted(s.text));
    if (!r.function) {
        return structural("bytes", std::to_string(recordedBytes.size()) + " bytes",
                          std::to_string(sentBytes.size()) + " bytes");
    }
    if (r.fields.size() != s.fields.size())
        return structural("fields", std::to_string(r.fields.size()),
                          std::to_string(s.fields.size()));
    for (size_t k = 0; k < r.fields.size(); ++k) {
        const zvtrace::Field &a = r.fields[k], &b = s.fields[k];
        const std::string name = fieldName(r.id, k, a);
        if (a.capacityOnly || a.type == 'C') {
            if (a.count != b.count || a.texts != b.texts || a.rowLength != b.rowLength) {
                if (a.capacityOnly)
                    out.push_back(
                        {name + " (room)", std::to_string(a.count), std::to_string(b.count)});
                else if (a.texts.size() == 1 && b.texts.size() == 1)
                    out.push_back({name, quoted(a.texts[0]), quoted(b.texts[0])});
                else
                    out.push_back({name, std::to_string(a.count) + " rows",
                                   std::to_string(b.count) + " rows"});
            }
            continue;
        }
        if (a.numbers.size() != b.numbers.size()) {
            out.push_back({name + " (count)", std::to_string(a.numbers.size()),
                           std::to_string(b.numbers.size()), true});
            continue;
        }
        for (size_t i = 0; i < a.numbers.size(); ++i) {
            const double x = a.numbers[i], y = b.numbers[i];
            if (x == y || (std::isnan(x) && std::isnan(y))) continue;
            const double scale = std::max(std::fabs(x), std::fabs(y));
            const double relative = std::isfinite(scale) ? std::fabs(x - y) / scale : INFINITY;
            const std::string element = a.array ? name + "[" + std::to_string(i) + "]" : name;
            if (relative <= tolerance) {
                double& worst = largest[r.name + " " + name];
                worst = std::max(worst, relative);
            } else {
                out.push_back({element, number(x), number(y)});
            }
        }
    }
    return out;
}

const unsigned char CLOSE_FRAME[8] = {0, 0, 0, FLAG_CLOSE, 0, 0, 0, 0};

bool sendBytes(XSocket* s, const std::vector<unsigned char>& bytes) {
    return bytes.empty() ||
           writeMessageData(s, bytes.data(), static_cast<int32_t>(bytes.size())) != 0;
}

// Where a call stands in the run, for the line that reports it.
std::string place(const ReplayStep& step) {
    const std::string& kind = step.expected->kind;
    const std::string where = step.call > 0         ? "call " + std::to_string(step.call)
                              : kind == "handshake" ? "the handshake"
                              : kind == "close"     ? "the close frame"
                              : kind == "lost"      ? "the end of the link"
                                                    : "an unknown frame";
    const uint16_t id = functionOf(step.expected->bytes);
    const bool inStep = id == FID_ZVUPDATE || id == FID_SLCZVPWR;
    if (step.step == 0 && !inStep) return where + ", at the start";
    char time[48];
    std::snprintf(time, sizeof time, " (t = %.9g)", step.time);
    return where + (inStep ? ", step " : ", after step ") + std::to_string(step.step) + time;
}

bool frameBuffered(const XSocket* s) {
    return s->readAheadEnd > s->readAheadStart;
}

} // namespace

void replaySay(const ReplayOptions& options, const std::string& line, bool reportOnly) {
    if (!reportOnly || !options.report) {
        std::fprintf(stderr, "zelvane: %s\n", line.c_str());
        std::fflush(stderr);
    }
    if (options.report) {
        std::fprintf(options.report, "%s\n", line.c_str());
        std::fflush(options.report);
    }
}

void replaySummary(const ReplayOptions& options, const ReplayTally& tally) {
    // A clean replay in the block's folder keeps out of the host's output.
    const bool quiet = tally.differences == 0;
    replaySay(options,
              "replay summary: " + std::to_string(tally.callsMatched) + " calls matched, " +
                  std::to_string(tally.differences) +
                  (tally.differences == 1 ? " difference" : " differences"),
              quiet);
    for (const auto& worst : tally.largest)
        replaySay(options,
                  "replay summary: " + worst.first +
                      ": largest relative difference within the tolerance " + number(worst.second),
                  quiet);
}

std::string pipelineRefusal(int needed) {
    return needed ? "replay refused: the recording was made with PIPELINE=1, and the block runs "
                    "without it: put PIPELINE=1 in the block's zvlink.prm"
                  : "replay refused: the recording was made without PIPELINE=1, and the block "
                    "runs with it: take PIPELINE=1 out of the block's zvlink.prm";
}

bool prepareReplay(const std::string& path, ReplayPlan* plan, std::string* error) {
    if (!zvtrace::loadRecording(path, &plan->recording, error)) return false;
    if (plan->recording.links.empty()) {
        *error = path + " holds no link";
        return false;
    }
    bool anyAhead = false;
    for (zvtrace::RecordedLink& recorded : plan->recording.links) {
        ReplayLink link;
        int calls = 0, steps = 0, waiting = 0;
        double nextTime = 0.0;
        bool dropped = false;
        size_t total = 0;
        for (const zvtrace::RecordedFrame& f : recorded.frames)
            total += f.bytes.size();
        // Reserved whole before a byte is written, so that the system can
        // back it with large pages: a long run's answers then cost no
        // address translation misses while they are played.
        link.played.reserve(total);
        adviseLargePages(link.played.data(), link.played.capacity());
        for (zvtrace::RecordedFrame& f : recorded.frames) {
            if (dropped) break; // what came after the solver's end never reached it
            const bool fromBlock = f.direction == zvtrace::Direction::ToSolver;
            const uint32_t flag = f.bytes.size() >= 8 ? getBig32(f.bytes.data()) : 0;
            if (!fromBlock) {
                if (link.steps.empty()) {
                    link.prelude.insert(link.prelude.end(), f.bytes.begin(), f.bytes.end());
                } else {
                    link.played.insert(link.played.end(), f.bytes.begin(), f.bytes.end());
                    link.steps.back().answerSize += f.bytes.size();
                }
                std::vector<unsigned char>().swap(f.bytes); // only the answer is needed now
                if (f.kind == "lost") {
                    (link.steps.empty() ? link.preludeDrop : link.steps.back().dropAfter) = true;
                    dropped = true;
                }
                if (flag == FLAG_RETURN && waiting > 0) --waiting;
                continue;
            }
            ReplayStep step;
            step.expected = &f;
            step.time = nextTime;
            step.expectedAt = link.played.size();
            link.played.insert(link.played.end(), f.bytes.begin(), f.bytes.end());
            step.answerAt = link.played.size();
            if (f.kind == "call") {
                step.call = ++calls;
                step.sentAhead = waiting > 0;
                ++waiting;
                if (functionOf(f.bytes) == FID_SLCZVPWR) {
                    nextTime += stepLengthOf(f.bytes);
                    ++steps;
                }
            }
            step.step = steps + (functionOf(f.bytes) == FID_ZVUPDATE ? 1 : 0);
            link.pipelined = link.pipelined || step.sentAhead;
            link.steps.push_back(std::move(step));
        }
        anyAhead = anyAhead || link.pipelined;
        plan->links.push_back(std::move(link));
    }
    plan->pipeline = plan->recording.pipeline >= 0 ? plan->recording.pipeline : anyAhead ? 1 : 0;
    return true;
}

bool replayLink(XSocket* s, const ReplayLink& link, int linkNumber, const ReplayPlan& plan,
                const ReplayOptions& options, ReplayTally& tally) {
    setXSocketNoDelay(s, 1);
    const std::string prefix =
        plan.links.size() > 1 ? "link " + std::to_string(linkNumber) + ", " : "";
    auto fail = [&](const std::string& line, bool sendClose) {
        replaySay(options, line);
        ++tally.differences;
        if (sendClose && !writeMessageData(s, CLOSE_FRAME, 8)) logXSocketError(s);
        return false;
    };
    if (!sendBytes(s, link.prelude) || link.preludeDrop) return true;
    std::vector<unsigned char> sent;
    sent.reserve(65536);
    bool blockSendsAhead = false;
    for (size_t k = 0; k < link.steps.size(); ++k) {
        const ReplayStep& step = link.steps[k];
        const zvtrace::RecordedFrame& expected = *step.expected;
        const bool expectLoss = expected.kind == "lost";
        const int differencesBefore = tally.differences;
        if (step.sentAhead) {
            if (frameBuffered(s)) {
                blockSendsAhead = true;
            } else {
                // Sent in the same write as the call before it: it is here at
                // once, or the block does not send calls ahead.
                setXSocketTimeout(s, 3);
                const bool arrived = waitXSocket(s, 1) != 0;
                setXSocketTimeout(s, 0);
                if (!arrived) {
                    if (!blockSendsAhead) return fail(pipelineRefusal(1), true);
                    return fail("difference at " + prefix + place(step) + ", " +
                                    functionName(functionOf(expected.bytes)) +
                                    ", field frame: recorded sent ahead with the call before it, "
                                    "sent nothing within 3 s",
                                true);
                }
            }
        }
        // Straight into the receive: a wait before it would cost a system
        // call per frame, and a stop signal ends a replay outright.
        uint32_t flag = 0;
        int32_t length = 0;
        bool lost = !readMessageHeader(s, &flag, &length) || flag == FLAG_LOST;
        if (!lost && (length < 0 || length > SOLVER_MAX_MESSAGE))
            return fail("difference at " + prefix + place(step) + ": the block sent a frame of " +
                            std::to_string(length) + " bytes, more than any call takes",
                        true);
        if (!lost) {
            sent.resize(8 + size_t(length));
            putBig32(sent.data(), uint32_t(flag));
            putBig32(sent.data() + 4, uint32_t(length));
            lost = length > 0 && !readMessageData(s, sent.data() + 8, length);
        }
        if (lost || expectLoss) {
            if (lost && expectLoss) return true; // the block ended the link as recorded
            const std::string name =
                expected.kind == "call" ? functionName(functionOf(expected.bytes)) : expected.kind;
            if (lost)
                return fail("difference at " + prefix + place(step) + ", " + name +
                                ", field frame: recorded " + describe(decoded(expected.bytes)) +
                                ", sent nothing: the block closed the connection",
                            false);
            return fail("difference at " + prefix + place(step) +
                            ", field frame: recorded the "
                            "block closing the connection, sent " +
                            describe(decoded(sent)),
                        true);
        }
        const unsigned char* const played = link.played.data();
        const bool same = sent.size() == expected.bytes.size() &&
                          std::memcmp(sent.data(), played + step.expectedAt, sent.size()) == 0;
        if (!same) {
            const std::vector<Difference> found =
                compare(expected.bytes, sent, options.tolerance, tally.largest);
            for (const Difference& d : found) {
                const std::string line =
                    "difference at " + prefix + place(step) + ", " +
                    (expected.kind == "call" ? functionName(functionOf(expected.bytes))
                                             : expected.kind) +
                    ", field " + d.field + ": recorded " + d.recorded + ", sent " + d.sent;
                if (d.structural || !options.keepGoing) return fail(line, true);
                replaySay(options, line);
                ++tally.differences;
            }
        }
        if (step.call > 0 && (same || tally.differences == differencesBefore)) ++tally.callsMatched;
        // A block that sends a call ahead where the recording has none runs
        // with PIPELINE=1: the calls would be answered out of their order.
        if (!link.pipelined && step.answerSize > 0 && frameBuffered(s))
            return fail(pipelineRefusal(0), true);
        if (step.answerSize > 0 &&
            !writeMessageData(s, played + step.answerAt, int32_t(step.answerSize))) {
            logXSocketError(s);
            return true; // the block has gone: the recording's own ending shows next
        }
        if (step.dropAfter) return true;
    }
    // The recording ends here; a block that goes on is a difference.
    if (!frameBuffered(s) && !waitReadable(s)) return true;
    uint32_t flag = 0;
    int32_t length = 0;
    if (!readMessageHeader(s, &flag, &length) || flag == FLAG_LOST) return true;
    std::string what = "a frame with byte flag " + std::to_string(flag);
    if (flag == FLAG_CALL && length >= 4) {
        unsigned char head[2];
        if (readMessageData(s, head, 2))
            what = std::string("a call of ") + functionName(uint16_t(head[0] << 8 | head[1]));
    }
    return fail("difference at " + prefix + "the end of the recording: the block sent " + what +
                    " after the last recorded frame",
                true);
}
