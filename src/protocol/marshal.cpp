// Calls and returns packed and unpacked by their catalogue signature.
#include "protocol/protocol.h"

#include <climits>
#include <cstring>

#include "log/zvlog.h"
#include "protocol/bigendian.h"
#include "protocol/stage.h"
#include "protocol/catalogue.h"

namespace {

bool allowedAfter(char c, char before) {
    switch (c) {
    case ')':
    case '[':
        return std::strchr("(CIRD", before) != nullptr;
    case '<':
        return before == ']';
    case 'C':
    case 'D':
    case 'R':
        return before == ']' || before == '<';
    case 'I':
        return before == ']' || before == '<' || before == ')';
    case 'V':
        return before == ')';
    case ']':
        return before == 'i' || before == 'o' || before == 'b';
    case 'i':
    case 'o':
    case 'b':
        return before == '[';
    default:
        return false;
    }
}

struct Walk {
    MessageBuffer* buffer;
    int isCall;
    int sending;
    // A call being unpacked gets its texts and arrays in new chunks.
    int dataMode() const { return sending ? FIELD_SEND : (isCall ? FIELD_ALLOCATE : 0); }
    int valueMode() const { return sending ? FIELD_SEND : 0; }
    // A return lands in memory the caller sized: its counts must not grow.
    bool bounded() const { return !sending && !isCall; }
};

int transferValue(const Walk& w, void* value, int size) {
    return transferField(w.buffer, &value, size, 1, w.valueMode());
}

// The count travels first; when receiving it lands in a local until it is
// known to fit, so a refused count leaves the caller's capacity as it was.
int transferCount(const Walk& w, int32_t* count, int32_t* received) {
    *received = *count;
    return transferValue(w, received, 4);
}

template <typename T> int transferData(const Walk& w, T** data, int elementSize, int64_t count) {
    if (count < 0 || count > INT32_MAX) return 0;
    void* slot = *data;
    const int mode = w.dataMode();
    if (!transferField(w.buffer, &slot, elementSize, static_cast<int32_t>(count), mode)) return 0;
    if (mode & FIELD_ALLOCATE) *data = static_cast<T*>(slot);
    return 1;
}

// C, <I, <R and <D: a count and that many elements.
template <typename T> int transferArray(const Walk& w, int32_t* count, T** data, int elementSize) {
    const int32_t capacity = *count;
    int32_t received = 0;
    if (!transferCount(w, count, &received)) return 0;
    if (w.bounded() && (received < 0 || received > capacity)) return 0;
    *count = received;
    return transferData(w, data, elementSize, received);
}

// <C: rows of characters, each row the same length.
int transferTextBlock(const Walk& w, int32_t* rows, int32_t* rowLength, char** data) {
    const int64_t capacity = (*rows < 0 || *rowLength < 0) ? 0 : int64_t(*rows) * *rowLength;
    int32_t receivedRows = 0;
    int32_t receivedLength = 0;
    if (!transferCount(w, rows, &receivedRows)) return 0;
    if (!transferCount(w, rowLength, &receivedLength)) return 0;
    if (receivedRows < 0 || receivedLength < 0) return 0;
    const int64_t bytes = int64_t(receivedRows) * receivedLength;
    if (w.bounded() && bytes > capacity) return 0;
    *rows = receivedRows;
    *rowLength = receivedLength;
    return transferData(w, data, 1, bytes);
}

// A C or <C output still tells the answering side, in the call, how much
// text the caller can take.
int transferCapacityOnly(const Walk& w, int32_t* count) {
    int32_t received = 0;
    if (!transferCount(w, count, &received)) return 0;
    *count = received;
    return 1;
}

int walkFields(const Walk& w, va_list args) {
    const char* p = w.buffer->signature;
    if (p == nullptr) return 0;
    int travels = 0;
    int array = 0;
    for (; *p != '\0' && *p != ')'; ++p) {
        switch (*p) {
        case 'i':
            travels = w.isCall;
            array = 0;
            break;
        case 'o':
            travels = !w.isCall;
            array = 0;
            break;
        case 'b':
            travels = 1;
            array = 0;
            break;
        case '<':
            array = 1;
            break;
        case 'I':
        case 'R':
        case 'D': {
            const int size = *p == 'D' ? 8 : 4;
            if (!array) {
                void* value = *p == 'I'   ? static_cast<void*>(va_arg(args, int32_t*))
                              : *p == 'R' ? static_cast<void*>(va_arg(args, float*))
                                          : static_cast<void*>(va_arg(args, double*));
                if (travels && !transferValue(w, value, size)) return 0;
                break;
            }
            int32_t* count = va_arg(args, int32_t*);
            int ok = 1;
            if (*p == 'I') {
                int32_t** data = va_arg(args, int32_t**);
                if (travels) ok = transferArray(w, count, data, size);
            } else if (*p == 'R') {
                float** data = va_arg(args, float**);
                if (travels) ok = transferArray(w, count, data, size);
            } else {
                double** data = va_arg(args, double**);
                if (travels) ok = transferArray(w, count, data, size);
            }
            if (!ok) return 0;
            break;
        }
        case 'C': {
            int ok = 1;
            if (!array) {
                int32_t* count = va_arg(args, int32_t*);
                char** data = va_arg(args, char**);
                if (travels) {
                    ok = transferArray(w, count, data, 1);
                } else if (w.isCall) {
                    ok = transferCapacityOnly(w, count);
                }
            } else {
                int32_t* rows = va_arg(args, int32_t*);
                int32_t* rowLength = va_arg(args, int32_t*);
                char** data = va_arg(args, char**);
                if (travels) {
                    ok = transferTextBlock(w, rows, rowLength, data);
                } else if (w.isCall) {
                    ok = transferCapacityOnly(w, rowLength);
                }
            }
            if (!ok) return 0;
            break;
        }
        default:
            break;
        }
    }
    if (w.isCall || *p != ')' || p[1] != 'I') return 1;
    return transferValue(w, va_arg(args, int32_t*), 4);
}

} // namespace

int checkSignature(const char* text) {
    if (text == nullptr || text[0] != '(') return 0;
    int i = 1;
    for (; text[i] != '\0'; ++i) {
        if (!allowedAfter(text[i], text[i - 1])) return i;
    }
    const char last = text[i - 1];
    return (last == 'I' || last == 'V') ? -1 : i - 1;
}

int walkSignature(MessageBuffer* buffer, va_list args, int isCall, int sending) {
    const Walk w = {buffer, isCall, sending};
    return walkFields(w, args);
}

namespace {

int walkCopy(MessageBuffer* buffer, va_list args, int isCall, int sending) {
    va_list fields;
    va_copy(fields, args);
    const int ok = walkSignature(buffer, fields, isCall, sending);
    va_end(fields);
    return ok;
}

// The id and the signature length, 16 bits each.
int readFunctionIdAndLength(MessageBuffer* buffer, uint16_t head[2]) {
    void* slot = head;
    return transferField(buffer, &slot, 2, 2, 0);
}

void logHeadFailure(MessageBuffer* buffer) {
    // A frame too short for its own header leaves no socket error behind;
    // without one the log would show whatever failed last, or nothing.
    if (buffer->total > buffer->limit) {
        setXSocketError(buffer->socket, 1, XERROR_INCOMPLETE_MESSAGE,
                        "Message length is shorter than the function header");
    }
    logXSocketError(buffer->socket);
}

enum HeadResult { HEAD_FAILED, HEAD_REFUSED, HEAD_ACCEPTED };

// The signature, into memory with room for head[1] bytes, or into a new
// chunk when memory is null; then whether id and signature belong together.
// A failed read is logged, a refusal is not.
HeadResult readFunctionSignature(MessageBuffer* buffer, const uint16_t head[2], void* memory) {
    void* signature = memory;
    if (!transferField(buffer, &signature, 1, head[1], memory ? 0 : FIELD_ALLOCATE)) {
        logHeadFailure(buffer);
        return HEAD_FAILED;
    }
    buffer->functionId = head[0];
    buffer->signature = static_cast<const char*>(signature);
    // The text must end inside the bytes that came; only then is it a string.
    const bool terminated = std::memchr(signature, '\0', head[1]) != nullptr;
    if (!terminated || checkSignature(buffer->signature) != -1 ||
        std::strcmp(buffer->signature, functionSignature(head[0])) != 0)
        return HEAD_REFUSED;
    return HEAD_ACCEPTED;
}

// Returns too long for the stage: read and unpacked field by field, then
// whatever the unpacking left of the frame is read and dropped.
int takeReturnByFields(uint16_t id, XSocket* s, int32_t length, va_list args) {
    MessageBuffer* buffer = newMessageBuffer(s, length);
    if (buffer == nullptr) {
        setXSocketError(s, 1, XERROR_OUTOFMEMORY, "Error allocating memory for a received message");
        logXSocketError(s);
        return skipMessageData(s, length) ? RETURN_REFUSED : RETURN_STREAM_LOST;
    }
    uint16_t head[2] = {0, 0};
    int ok = readFunctionIdAndLength(buffer, head);
    if (!ok) logHeadFailure(buffer);
    ok = ok && readFunctionSignature(buffer, head, nullptr) == HEAD_ACCEPTED && head[0] == id &&
         walkCopy(buffer, args, 0, 0);
    const int32_t rest = length - buffer->taken;
    const int lost = buffer->streamFailed;
    freeMessageBuffer(buffer);
    if (lost || !skipMessageData(s, rest)) return RETURN_STREAM_LOST;
    return ok ? RETURN_UNPACKED : RETURN_REFUSED;
}

// Sizes the message: the measuring pass writes nothing, with limit 0 every
// field only adds its size to total. Its body length, or -1.
int64_t measureMessage(MessageBuffer* buffer, va_list args, int isCall) {
    int ok = checkSignature(buffer->signature) == -1 && walkCopy(buffer, args, isCall, 1);
    const size_t signatureBytes = std::strlen(buffer->signature) + 1;
    const int64_t length = 4 + int64_t(signatureBytes) + buffer->total;
    if (!ok || signatureBytes > UINT16_MAX || length > INT32_MAX) {
        logMessage(LOG_DEBUG, "error calculating function header");
        return -1;
    }
    buffer->limit = static_cast<int32_t>(length);
    buffer->total = 0;
    return length;
}

// The id, the signature length and the signature, then the fields.
int transferMessage(MessageBuffer* buffer, va_list args, int isCall) {
    const size_t signatureBytes = std::strlen(buffer->signature) + 1;
    uint16_t head[2] = {buffer->functionId, static_cast<uint16_t>(signatureBytes)};
    void* slot = head;
    void* signature = const_cast<char*>(buffer->signature);
    return transferField(buffer, &slot, 2, 2, FIELD_SEND) &&
           transferField(buffer, &signature, 1, static_cast<int32_t>(signatureBytes), FIELD_SEND) &&
           walkCopy(buffer, args, isCall, 1);
}

// The measured message as one frame in memory of 8 + its length bytes.
int packMeasured(MessageBuffer* buffer, va_list args, int isCall, unsigned char* frame) {
    putBig32(frame, isCall ? FLAG_CALL : FLAG_RETURN);
    putBig32(frame + 4, static_cast<uint32_t>(buffer->limit));
    buffer->stage = frame + 8;
    if (!transferMessage(buffer, args, isCall) || buffer->total != buffer->limit) {
        // The fields changed between the passes, or a data pointer is missing.
        logMessage(LOG_DEBUG, "error calculating function header");
        return 0;
    }
    return 1;
}

} // namespace

int packFunctionMessage(uint16_t id, va_list args, int isCall, unsigned char* frame,
                        int32_t capacity, int32_t* frameLength) {
    MessageBuffer buffer = {};
    buffer.functionId = id;
    buffer.signature = functionSignature(id);
    const int64_t length = measureMessage(&buffer, args, isCall);
    if (length < 0 || 8 + length > capacity || !packMeasured(&buffer, args, isCall, frame))
        return 0;
    *frameLength = static_cast<int32_t>(8 + length);
    return 1;
}

int packFunctionFrame(unsigned char* frame, int32_t capacity, int32_t* frameLength, int isCall,
                      int id, ...) {
    va_list args;
    va_start(args, id);
    const int ok =
        packFunctionMessage(static_cast<uint16_t>(id), args, isCall, frame, capacity, frameLength);
    va_end(args);
    return ok;
}

int sendFunctionMessage(XSocket* s, uint16_t id, va_list args, int isCall) {
    // Sending receives nothing, so the buffer owns no chunks and can live here.
    MessageBuffer buffer = {};
    buffer.socket = s;
    buffer.functionId = id;
    buffer.signature = functionSignature(id);
    const int64_t length = measureMessage(&buffer, args, isCall);
    if (length < 0) return 0;

    int ok = 0;
    if (8 + length <= MESSAGE_STAGE_BYTES) {
        // The whole frame in one write: the peer wakes once per message,
        // and with no delay on the socket one message is one segment.
        unsigned char frame[MESSAGE_STAGE_BYTES];
        if (!packMeasured(&buffer, args, isCall, frame)) return 0;
        ok = writeMessageFrame(s, frame, static_cast<int32_t>(8 + length));
    } else {
        ok = writeMessageHeader(s, isCall ? FLAG_CALL : FLAG_RETURN,
                                static_cast<uint32_t>(length)) &&
             transferMessage(&buffer, args, isCall);
    }
    if (!ok) logXSocketError(s);
    return ok;
}

MessageBuffer* receiveFunctionHeader(XSocket* s, int32_t length) {
    MessageBuffer* buffer = newMessageBuffer(s, length);
    if (buffer == nullptr) {
        setXSocketError(s, 1, XERROR_OUTOFMEMORY, "Error allocating memory for a received message");
        logXSocketError(s);
        return nullptr;
    }
    uint16_t head[2] = {0, 0};
    if (!readFunctionIdAndLength(buffer, head)) {
        logHeadFailure(buffer);
        freeMessageBuffer(buffer);
        return nullptr;
    }
    if (readFunctionSignature(buffer, head, nullptr) != HEAD_ACCEPTED) {
        freeMessageBuffer(buffer);
        return nullptr;
    }
    return buffer;
}

MessageBuffer* receiveFunctionMessage(XSocket* s, int32_t length) {
    MessageBuffer* buffer = newMessageBuffer(s, length);
    unsigned char* body =
        buffer ? static_cast<unsigned char*>(addMessageChunk(buffer, length < 0 ? 0 : length))
               : nullptr;
    if (body == nullptr) {
        setXSocketError(s, 1, XERROR_OUTOFMEMORY, "Error allocating memory for a received message");
        logXSocketError(s);
        freeMessageBuffer(buffer);
        return nullptr;
    }
    if (!readMessageData(s, body, length)) {
        logXSocketError(s);
        freeMessageBuffer(buffer);
        return nullptr;
    }
    buffer->stage = body;
    uint16_t head[2] = {0, 0};
    if (!readFunctionIdAndLength(buffer, head)) {
        logHeadFailure(buffer);
        freeMessageBuffer(buffer);
        return nullptr;
    }
    // The signature stays where it arrived, inside the body.
    if (readFunctionSignature(buffer, head, body + 4) != HEAD_ACCEPTED) {
        freeMessageBuffer(buffer);
        return nullptr;
    }
    return buffer;
}

int receiveFunctionReturn(uint16_t id, XSocket* s, int32_t length, va_list args) {
    const int got = takeFunctionReturn(id, s, length, args);
    if (got == RETURN_STREAM_LOST) logXSocketError(s);
    return got == RETURN_UNPACKED;
}

int takeFunctionReturn(uint16_t id, XSocket* s, int32_t length, va_list args) {
    // A length of 2 GB or more cannot be told from a stream out of step.
    if (length < 0) return RETURN_STREAM_LOST;
    if (length > MESSAGE_STAGE_BYTES) return takeReturnByFields(id, s, length, args);

    // The whole body in one read where the stream allows; nothing here is
    // allocated, so a step's return costs no heap.
    unsigned char body[MESSAGE_STAGE_BYTES];
    if (!readMessageData(s, body, length)) return RETURN_STREAM_LOST;
    MessageBuffer buffer = {};
    buffer.socket = s;
    buffer.limit = length;
    buffer.stage = body;
    uint16_t head[2] = {0, 0};
    if (!readFunctionIdAndLength(&buffer, head)) {
        logHeadFailure(&buffer);
        return RETURN_REFUSED;
    }
    if (readFunctionSignature(&buffer, head, body + 4) != HEAD_ACCEPTED || head[0] != id)
        return RETURN_REFUSED;
    return walkCopy(&buffer, args, 0, 0) ? RETURN_UNPACKED : RETURN_REFUSED;
}

int vunpackFunctionCall(MessageBuffer* buffer, va_list args) {
    va_list fields;
    va_copy(fields, args);
    const int ok = walkSignature(buffer, fields, 1, 0);
    va_end(fields);
    if (!ok) logMessage(LOG_ERROR, "error unpacking function call");
    return ok;
}

int unpackFunctionCall(MessageBuffer* buffer, ...) {
    va_list args;
    va_start(args, buffer);
    const int ok = vunpackFunctionCall(buffer, args);
    va_end(args);
    return ok;
}

int vsendFunctionReturn(MessageBuffer* buffer, va_list args) {
    logMessage(LOG_DEBUG, "sending function return: %hd", static_cast<short>(buffer->functionId));
    return sendFunctionMessage(buffer->socket, buffer->functionId, args, 0);
}

int sendFunctionReturn(MessageBuffer* buffer, ...) {
    va_list args;
    va_start(args, buffer);
    const int ok = vsendFunctionReturn(buffer, args);
    va_end(args);
    return ok;
}
