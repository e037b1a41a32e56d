#include "solver/session.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <map>
#include <thread>

#include "protocol/bigendian.h"
#include "protocol/protocol.h"
#include "protocol/catalogue.h"
#include "log/zvlog.h"
#include "solver/model.h"
#include "solver/results.h"

volatile std::sig_atomic_t solverStopRequested = 0;

// ---- console ----

bool Console::open(const char* path) {
    close();
    file = fopen(path, "w");
    return file != nullptr;
}

void Console::close() {
    if (file) fclose(file);
    file = nullptr;
}

void Console::line(const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (file) {
        va_list copy;
        va_copy(copy, args);
        vfprintf(file, format, copy);
        va_end(copy);
        fputc('\n', file);
        fflush(file);
    }
    if (echo) {
        vfprintf(stdout, format, args);
        fputc('\n', stdout);
        fflush(stdout);
    }
    va_end(args);
}

// ---- waits ----

void sleepUnlessStopped(double seconds) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(seconds));
    while (!solverStopRequested) {
        Clock::duration left = end - Clock::now();
        if (left <= Clock::duration::zero()) return;
        std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::milliseconds(50)));
    }
}

bool waitReadable(XSocket* socket) {
    // Waiting in one-second slices keeps a stop request from going unseen for long.
    setXSocketTimeout(socket, 1);
    bool ready = false;
    while (!solverStopRequested) {
        if (waitXSocket(socket, 1)) {
            ready = true;
            break;
        }
        bool timedOut = !socket->libraryError && (socket->errorCode == XSOCKET_ETIMEDOUT ||
                                                  socket->errorCode == XSOCKET_EINTR);
        if (!timedOut) break;
    }
    setXSocketTimeout(socket, 0);
    return ready;
}

namespace {

const char HANDSHAKE_TEXT[] = LINK_HANDSHAKE_TEXT;
const long SOLVER_MAX_RUN_ON_STEPS = 1000000;

using Frame = std::vector<unsigned char>;

// A frame with a body of bytes as they are.
Frame plainFrame(uint32_t flag, const void* body, uint32_t length) {
    Frame frame(8 + size_t(length));
    putBig32(frame.data(), flag);
    putBig32(frame.data() + 4, length);
    if (length) memcpy(frame.data() + 8, body, length);
    return frame;
}

// A call or return packed by the protocol's own code; empty when the fields
// do not make a message.
template <typename... Fields> Frame messageFrame(uint16_t id, int isCall, Fields... fields) {
    int32_t length = 0;
    unsigned char* packed = newFunctionFrameOf(&length, isCall, id, fields...);
    Frame frame(packed, packed ? packed + length : packed);
    free(packed);
    return frame;
}

std::string textOf(const char* data, int32_t count) {
    if (!data || count <= 0) return std::string();
    return std::string(data, static_cast<size_t>(count));
}

enum class SendMode { Whole, Cut };

class Link {
  public:
    Link(XSocket* socket, const SolverConfig& config, Console& console)
        : socket_(socket), config_(config), console_(console) {
        for (const Fault& f : config.faults)
            if (f.kind == FaultKind::ByteByByte) byteByByte_ = true;
    }
    ~Link() { closeResults(); }

    bool serve();

  private:
    bool handshake();
    bool nextFrame(uint32_t* flag, int32_t* length);
    bool drain(int32_t bytes);
    bool handleCall(int32_t length);
    bool answer(MessageBuffer* call, bool cut);
    bool sendFrame(const Frame& frame, SendMode mode = SendMode::Whole);
    template <typename... Fields> bool sendReturn(MessageBuffer* call, bool cut, Fields... fields);
    template <typename... Fields> bool answerWith(MessageBuffer* call, bool cut, Fields... fields);
    bool frameBuffered() const;
    bool flushHeld();
    void writePendingRow();
    void closeLinkFromHere(const char* why);
    const Fault* faultFor(FaultKind kind, uint16_t id) const;

    void startModel(const std::string& name, const std::string& product);
    void advance(double dt, const double* values, int32_t count, int32_t* doneSim);
    void writeResults();
    void closeResults();

    XSocket* socket_;
    const SolverConfig& config_;
    Console& console_;
    bool byteByByte_ = false;
    bool closedByBlock_ = false;

    int calls_ = 0;
    int answered_ = 0;
    std::map<uint16_t, int> callsOf_;

    std::string modelName_;
    Simulation sim_;
    bool running_ = false;
    ResultsFile results_;
    bool rowPending_ = false; // the row of the last advance is still to be written
    // Returns packed while the next call was already in: they go out
    // together, so that a block that sends two calls at once wakes once.
    std::vector<unsigned char> held_ = std::vector<unsigned char>(16384);
    int32_t heldLength_ = 0;
};

// Whether a whole frame has arrived that the solver has not read yet.
bool Link::frameBuffered() const {
    const int32_t held = socket_->readAheadEnd - socket_->readAheadStart;
    if (held < 8) return false;
    const unsigned char* p =
        reinterpret_cast<const unsigned char*>(socket_->readAhead + socket_->readAheadStart);
    return int64_t(held) - 8 >= int64_t(getBig32(p + 4));
}

bool Link::flushHeld() {
    bool ok = true;
    if (heldLength_ > 0) {
        ok = writeMessageData(socket_, held_.data(), heldLength_) != 0;
        if (!ok) logXSocketError(socket_);
        heldLength_ = 0;
    }
    return ok;
}

// Written once the return is on its way: the block need not wait for it.
void Link::writePendingRow() {
    if (rowPending_) writeResults();
    rowPending_ = false;
}

// The return of call with these fields, held back when the next call is
// already in (or joining returns held back before it) and no fault asks for
// frames as they come.
template <typename... Fields>
bool Link::answerWith(MessageBuffer* call, bool cut, Fields... fields) {
    if (!cut && config_.faults.empty() && (heldLength_ > 0 || frameBuffered())) {
        const int32_t room = static_cast<int32_t>(held_.size()) - heldLength_;
        int32_t length = 0;
        if (packFunctionFrame(held_.data() + heldLength_, room, &length, 0, call->functionId,
                              fields...)) {
            heldLength_ += length;
            return true;
        }
        // Too long to hold: it goes out on its own, after those held.
    }
    return sendReturn(call, cut, fields...);
}

template <typename... Fields>
bool Link::sendReturn(MessageBuffer* call, bool cut, Fields... fields) {
    logMessage(LOG_DEBUG, "sending function return: %hd", static_cast<short>(call->functionId));
    return sendFrame(messageFrame(call->functionId, 0, fields...),
                     cut ? SendMode::Cut : SendMode::Whole);
}

bool Link::serve() {
    // A return must not wait for the acknowledgement of the frame before it.
    setXSocketNoDelay(socket_, 1);
    if (!handshake()) return false;
    console_.line("Link established.");

    for (;;) {
        uint32_t flag = 0;
        int32_t length = 0;
        if (!nextFrame(&flag, &length)) break;
        if (flag == FLAG_CALL) {
            if (!handleCall(length)) break;
        } else if (flag == FLAG_CLOSE) {
            drain(length);
            console_.line("Link closed by the block.");
            closedByBlock_ = true;
            break;
        } else if (flag == FLAG_LOST) {
            console_.line("The block closed the connection.");
            break;
        } else if (flag == FLAG_HANDSHAKE) {
            // A repeated handshake is answered like the first one.
            if (!drain(length) || !sendFrame(plainFrame(FLAG_HANDSHAKE_REPLY, "OK", 3))) break;
        } else {
            console_.line("Ignored a message with byte flag %u.", flag);
            if (!drain(length)) break;
        }
    }
    flushHeld();
    if (running_) console_.line("Simulation ended at time %g.", sim_.time);
    return closedByBlock_;
}

bool Link::nextFrame(uint32_t* flag, int32_t* length) {
    if (!frameBuffered()) {
        flushHeld(); // a failed write shows in the wait or the read
        writePendingRow();
    }
    if (!waitReadable(socket_)) {
        if (solverStopRequested)
            console_.line("Stopped by a signal.");
        else
            console_.line("Lost the connection to the block.");
        return false;
    }
    if (!readMessageHeader(socket_, flag, length)) {
        logXSocketError(socket_);
        console_.line("Could not read a message header from the block.");
        return false;
    }
    if (*length < 0 || *length > SOLVER_MAX_MESSAGE) {
        console_.line("Message of %d bytes refused; ending the link.", *length);
        return false;
    }
    return true;
}

bool Link::drain(int32_t bytes) {
    if (skipMessageData(socket_, bytes)) return true;
    logXSocketError(socket_);
    return false;
}

bool Link::handshake() {
    uint32_t flag = 0;
    int32_t length = 0;
    if (!nextFrame(&flag, &length)) return false;
    std::vector<char> body(static_cast<size_t>(length) + 1, '\0');
    bool read = flag != FLAG_LOST && readMessageData(socket_, body.data(), length);
    if (flag != FLAG_HANDSHAKE || !read) {
        console_.line("Expected a handshake, got byte flag %u; ending the link.", flag);
        return false;
    }
    bool valid = length == static_cast<int32_t>(sizeof HANDSHAKE_TEXT) &&
                 memcmp(body.data(), HANDSHAKE_TEXT, sizeof HANDSHAKE_TEXT) == 0;
    std::string reply = "OK";
    for (const Fault& f : config_.faults) {
        if (f.kind == FaultKind::RefuseHandshake) reply = f.text;
        if (f.kind == FaultKind::StallHandshake) sleepUnlessStopped(f.seconds);
    }
    if (solverStopRequested) return false;
    if (!valid) reply = "UNKNOWN HANDSHAKE";
    // The reply carries its terminating zero, which the block's check allows for.
    bool sent = sendFrame(
        plainFrame(FLAG_HANDSHAKE_REPLY, reply.c_str(), static_cast<uint32_t>(reply.size() + 1)));
    if (reply != "OK") {
        console_.line("Handshake refused with \"%s\".", reply.c_str());
        return false;
    }
    return sent;
}

const Fault* Link::faultFor(FaultKind kind, uint16_t id) const {
    for (const Fault& f : config_.faults)
        if (f.kind == kind && targetMatches(f.target, id, calls_, callsOf_.at(id))) return &f;
    return nullptr;
}

void Link::closeLinkFromHere(const char* why) {
    console_.line("%s", why);
    sendFrame(plainFrame(FLAG_CLOSE, nullptr, 0));
}

bool Link::handleCall(int32_t length) {
    // The whole call comes off the stream first, in one read where it can:
    // nothing of it is left to tell apart from the next message, whatever
    // becomes of it.
    MessageBuffer* call = receiveFunctionMessage(socket_, length);
    if (!call) {
        closeLinkFromHere("Received a call the catalogue does not know; ending the link.");
        return false;
    }
    uint16_t id = call->functionId;
    ++calls_;
    ++callsOf_[id];

    for (const Fault& f : config_.faults) {
        if (f.kind == FaultKind::CloseAfter && answered_ >= f.count) {
            freeMessageBuffer(call);
            closeLinkFromHere("Closing the link (fault close-after).");
            return false;
        }
    }
    for (const Fault& f : config_.faults)
        if (f.kind == FaultKind::Stall && targetMatches(f.target, id, calls_, callsOf_[id]))
            sleepUnlessStopped(f.seconds);
    if (solverStopRequested) {
        freeMessageBuffer(call);
        return false;
    }

    const Fault* drop = faultFor(FaultKind::Drop, id);
    const Fault* badFlag = faultFor(FaultKind::BadFlag, id);
    const Fault* callBack = faultFor(FaultKind::CallBack, id);
    const Fault* wrongId = faultFor(FaultKind::WrongId, id);
    if (drop || badFlag || callBack || wrongId) {
        freeMessageBuffer(call);
        if (drop) {
            console_.line("Dropping the connection during %s (fault drop).", functionName(id));
            return false;
        }
        if (badFlag) {
            console_.line("Answering %s with byte flag 7 (fault bad-flag).", functionName(id));
            return sendFrame(plainFrame(7, nullptr, 0));
        }
        if (callBack) {
            console_.line("Answering %s with a call of ZVNUMSPEC (fault call-back).",
                          functionName(id));
            int32_t unused = 0;
            return sendFrame(messageFrame(FID_ZVNUMSPEC, 1, &unused));
        }
        uint16_t other = id == FID_CHECKBACK ? FID_SLOPEN : FID_CHECKBACK;
        console_.line("Answering %s with the return of %s (fault wrong-id).", functionName(id),
                      functionName(other));
        return sendFrame(messageFrame(other, 0));
    }

    if (faultFor(FaultKind::CallFirst, id)) {
        console_.line("Sending a call of ZVNUMSPEC before the return of %s (fault call-first).",
                      functionName(id));
        int32_t unused = 0;
        if (!sendFrame(messageFrame(FID_ZVNUMSPEC, 1, &unused))) {
            freeMessageBuffer(call);
            return false;
        }
    }
    bool cut = faultFor(FaultKind::Cut, id) != nullptr;
    bool ok = answer(call, cut);
    freeMessageBuffer(call);
    if (!ok && !cut) {
        closeLinkFromHere("Could not serve the call; ending the link.");
        return false;
    }
    if (cut) {
        console_.line("Dropped the connection in the middle of the return of %s (fault cut).",
                      functionName(id));
        return false;
    }
    if (ok) ++answered_;
    return ok;
}

// Every frame is made whole in memory first, so that a fault can send it
// cut short or one byte at a time.
bool Link::sendFrame(const Frame& frame, SendMode mode) {
    if (!flushHeld()) return false; // frames leave in the order they were made
    if (frame.empty()) return false;
    if (!byteByByte_ && mode == SendMode::Whole) {
        if (writeMessageFrame(socket_, frame.data(), static_cast<int32_t>(frame.size())))
            return true;
        logXSocketError(socket_);
        return false;
    }
    size_t count = mode == SendMode::Cut ? 8 + (frame.size() - 8) / 2 : frame.size();
    if (!byteByByte_)
        return writeMessageData(socket_, frame.data(), static_cast<int32_t>(count)) != 0;
    for (size_t i = 0; i < count; ++i) {
        if (!writeMessageData(socket_, &frame[i], 1)) {
            logXSocketError(socket_);
            return false;
        }
        // Each byte gets its own segment and, most likely, its own receive.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool Link::answer(MessageBuffer* call, bool cut) {
    const uint16_t id = call->functionId;
    switch (id) {
    case FID_DATEXIST: {
        int32_t nameLength = 0, productLength = 0, versionLength = 0, result = 0;
        char *name = nullptr, *product = nullptr, *version = nullptr;
        if (!unpackFunctionCall(call, &nameLength, &name, &result, &productLength, &product,
                                &versionLength, &version))
            return false;
        std::string model = textOf(name, nameLength);
        ModelFile file = readModelFile(model);
        result =
            checkModelFile(file, textOf(product, productLength), textOf(version, versionLength));
        console_.line("DATEXIST %s, product %s, version %s: %d", dataFileName(model).c_str(),
                      textOf(product, productLength).c_str(),
                      textOf(version, versionLength).c_str(), result);
        return sendReturn(call, cut, &nameLength, &name, &result, &productLength, &product,
                          &versionLength, &version);
    }
    case FID_SLZVIMAN: {
        // The block sends the product first, then the model's file name.
        int32_t nameLength = 0, productLength = 0;
        char *name = nullptr, *product = nullptr;
        double duration = -1.0;
        if (!unpackFunctionCall(call, &productLength, &product, &nameLength, &name, &duration))
            return false;
        startModel(textOf(name, nameLength), textOf(product, productLength));
        duration = sim_.duration >= 0.0 ? sim_.duration : -1.0;
        return sendReturn(call, cut, &productLength, &product, &nameLength, &name, &duration);
    }
    case FID_ZVUPDATE: {
        int32_t count = 0;
        double* values = nullptr;
        if (!unpackFunctionCall(call, &count, &values)) return false;
        // No block takes more than 128 outputs.
        std::vector<double> out(sim_.outputs.begin(),
                                sim_.outputs.begin() + std::min<size_t>(sim_.outputs.size(), 128));
        for (const Fault& f : config_.faults)
            if (f.kind == FaultKind::TooManyOutputs) out.resize(static_cast<size_t>(f.count), 0.0);
        count = static_cast<int32_t>(out.size());
        values = out.data();
        return answerWith(call, cut, &count, &values);
    }
    case FID_SLCZVPWR: {
        double dt = 0.0;
        int32_t count = 0, doneSim = 0, adv = 0;
        double* inputs = nullptr;
        if (!unpackFunctionCall(call, &dt, &count, &inputs, &doneSim, &adv)) return false;
        writePendingRow(); // the rows stay in the order of the advances
        advance(dt, inputs, count, &doneSim);
        // adv only has to come back changed; let it wrap instead of overflowing.
        adv = static_cast<int32_t>(static_cast<uint32_t>(adv) + 1u);
        const bool sent = answerWith(call, cut, &dt, &count, &inputs, &doneSim, &adv);
        if (heldLength_ == 0) writePendingRow(); // the return went out: the row follows it
        return sent;
    }
    case FID_SLOPEN:
    case FID_CHECKBACK:
    case FID_ZVIMAN:
    case FID_ZVIWRP:
        if (!unpackFunctionCall(call)) return false;
        console_.line("%s", functionName(id));
        return sendReturn(call, cut);
    case FID_SLCLOSE:
    case FID_ZVISETMODE: {
        int32_t value = 0;
        if (!unpackFunctionCall(call, &value)) return false;
        console_.line("%s %d", functionName(id), value);
        if (id == FID_SLCLOSE) closeResults();
        return sendReturn(call, cut, &value);
    }
    case FID_ZVNUMSPEC: {
        int32_t result = 0;
        if (!unpackFunctionCall(call, &result)) return false;
        return sendReturn(call, cut, &result);
    }
    default:
        break;
    }
    // The rest of the catalogue belongs to other couplings than this block's.
    console_.line("%s is not served by this solver.", functionName(id));
    return false;
}

void Link::startModel(const std::string& name, const std::string& product) {
    closeResults();
    if (!isPlainModelName(name)) {
        // Its results file would land outside the working folder.
        console_.line("Model name \"%s\" refused: it names a file outside the working folder.",
                      name.c_str());
        sim_.start(ModelFile());
        running_ = false;
        return;
    }
    modelName_ = name;
    ModelFile file = readModelFile(name);
    for (const std::string& problem : file.problems)
        console_.line("%s: line not used: %s", dataFileName(name).c_str(), problem.c_str());
    sim_.start(file);
    running_ = true;
    if (!file.found)
        console_.line("Model data file %s not found; running an empty model.",
                      dataFileName(name).c_str());
    console_.line("Model %s (product %s) started: %d inputs, %d outputs, duration %g.",
                  name.c_str(), product.c_str(), file.inputCount, file.outputCount, sim_.duration);

    std::string base = dataFileName(name);
    std::string resultsName = base.substr(0, base.size() - 4) + ".out";
    if (!results_.open(resultsName, sim_.inputs.size(), sim_.outputs.size())) {
        console_.line("Cannot write %s.", resultsName.c_str());
        return;
    }
    writeResults();
}

void Link::writeResults() {
    results_.add(sim_.time, sim_.inputs, sim_.outputs);
}

void Link::closeResults() {
    writePendingRow();
    results_.close();
}

void Link::advance(double dt, const double* values, int32_t count, int32_t* doneSim) {
    if (*doneSim == 1 || *doneSim == 2) {
        // Simulink has finished: go on alone, inputs held at zero, to the duration.
        console_.line("Simulink has finished (doneSim %d) at time %g; running on alone.", *doneSim,
                      sim_.time);
        bool usable = dt > 0.0 && std::isfinite(dt);
        if (usable && sim_.duration >= 0.0) {
            // Bounded, so that a tiny step against a long duration cannot hang the link.
            for (long n = 0;
                 n < SOLVER_MAX_RUN_ON_STEPS && !sim_.reachedDuration(dt) && !solverStopRequested;
                 ++n) {
                sim_.step(dt, nullptr, 0);
                writeResults();
            }
        }
        console_.line("Simulation completed at time %g.", sim_.time);
        results_.flush();
        if (sim_.reachedDuration(dt)) *doneSim = -2;
        return;
    }
    if (*doneSim == -1 && sim_.reachedDuration(dt)) {
        *doneSim = -2;
        return;
    }
    sim_.step(dt, values, count);
    if (*doneSim == -1 && sim_.reachedDuration(dt)) {
        writeResults();
        console_.line("Simulation completed at time %g.", sim_.time);
        results_.flush();
        *doneSim = -2;
    } else {
        // Written once the return is on its way: the block need not wait for it.
        rowPending_ = true;
    }
}

} // namespace

bool serveLink(XSocket* socket, const SolverConfig& config, Console& console) {
    Link link(socket, config, console);
    return link.serve();
}
