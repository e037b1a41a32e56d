// Calls and returns packed and unpacked by their catalogue signature.
#include "protocol/protocol.h"

#include <climits>
#include <cstdlib>
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

// The argument pointers of one walk, taken in signature order from a copy
// of the caller's list or from its array.
struct Cursor {
    va_list list;
    void* const* array;
    int at;

    template <typename T> T* next() {
        if (array == nullptr) return va_arg(list, T*);
        return static_cast<T*>(array[at++]);
    }
};

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

int walkFields(const Walk& w, Cursor& args) {
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
                void* value = *p == 'I'   ? static_cast<void*>(args.next<int32_t>())
                              : *p == 'R' ? static_cast<void*>(args.next<float>())
                                          : static_cast<void*>(args.next<double>());
                if (travels && !transferValue(w, value, size)) return 0;
                break;
            }
            int32_t* count = args.next<int32_t>();
            int ok = 1;
            if (*p == 'I') {
                int32_t** data = args.next<int32_t*>();
                if (travels) ok = transferArray(w, count, data, size);
            } else if (*p == 'R') {
                float** data = args.next<float*>();
                if (travels) ok = transferArray(w, count, data, size);
            } else {
                double** data = args.next<double*>();
                if (travels) ok = transferArray(w, count, data, size);
            }
            if (!ok) return 0;
            break;
        }
        case 'C': {
            int ok = 1;
            if (!array) {
                int32_t* count = args.next<int32_t>();
                char** data = args.next<char*>();
                if (travels) {
                    ok = transferArray(w, count, data, 1);
                } else if (w.isCall) {
                    ok = transferCapacityOnly(w, count);
                }
            } else {
                int32_t* rows = args.next<int32_t>();
                int32_t* rowLength = args.next<int32_t>();
                char** data = args.next<char*>();
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
    return transferValue(w, args.next<int32_t>(), 4);
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

int walkSignature(MessageBuffer* buffer, FieldPointers* fields, int isCall, int sending) {
    // Each walk takes its own copy, so the same list serves a measuring
    // pass, a packing pass and a retry.
    Cursor args;
    args.array = fields->array;
    args.at = 0;
    if (args.array == nullptr) va_copy(args.list, fields->list);
    const Walk w = {buffer, isCall, sending};
    const int ok = walkFields(w, args);
    if (args.array == nullptr) va_end(args.list);
    return ok;
}

namespace {

// The id and the signature length, 16 bits each.
int readFunctionIdAndLength(MessageBuffer* buffer, uint16_t head[2]) {
    void* slot = head;
    return transferField(buffer, &slot, 2, 2, 0);
}

void logHeadFailure(MessageBuffer* buffer) {
    if (buffer->socket == nullptr) return;
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
// whatever the unpacking left of the frame is read and dropped. Only the
// fields the caller has room for are ever held, whatever length the peer
// claims.
int takeReturnByFields(uint16_t id, XSocket* s, int32_t length, FieldPointers* fields) {
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
         walkSignature(buffer, fields, 0, 0);
    const int32_t rest = length - buffer->taken;
    const int lost = buffer->streamFailed;
    freeMessageBuffer(buffer);
    if (lost || !skipMessageData(s, rest)) return RETURN_STREAM_LOST;
    return ok ? RETURN_UNPACKED : RETURN_REFUSED;
}

// The id, the signature length and the signature, then the fields.
int transferMessage(MessageBuffer* buffer, FieldPointers* fields, int isCall) {
    const size_t signatureBytes = std::strlen(buffer->signature) + 1;
    uint16_t head[2] = {buffer->functionId, static_cast<uint16_t>(signatureBytes)};
    void* slot = head;
    void* signature = const_cast<char*>(buffer->signature);
    return transferField(buffer, &slot, 2, 2, FIELD_SEND) &&
           transferField(buffer, &signature, 1, static_cast<int32_t>(signatureBytes), FIELD_SEND) &&
           walkSignature(buffer, fields, isCall, 1);
}

} // namespace

int64_t measureFunctionMessage(uint16_t id, FieldPointers* fields, int isCall) {
    // With limit 0 every field only adds its size to total.
    MessageBuffer buffer = {};
    buffer.functionId = id;
    buffer.signature = functionSignature(id);
    const int ok =
        checkSignature(buffer.signature) == -1 && walkSignature(&buffer, fields, isCall, 1);
    const size_t signatureBytes = std::strlen(buffer.signature) + 1;
    const int64_t length = 4 + int64_t(signatureBytes) + buffer.total;
    if (!ok || signatureBytes > UINT16_MAX || length > INT32_MAX - 8) {
        logMessage(LOG_DEBUG, "error calculating function header");
        return -1;
    }
    return 8 + length;
}

namespace {

// The frame of the length measured, into memory that holds it.
int packMeasured(uint16_t id, FieldPointers* fields, int isCall, unsigned char* frame,
                 int64_t measured) {
    MessageBuffer buffer = {};
    buffer.functionId = id;
    buffer.signature = functionSignature(id);
    buffer.limit = static_cast<int32_t>(measured - 8);
    buffer.stage = frame + 8;
    putBig32(frame, isCall ? FLAG_CALL : FLAG_RETURN);
    putBig32(frame + 4, static_cast<uint32_t>(buffer.limit));
    if (!transferMessage(&buffer, fields, isCall) || buffer.total != buffer.limit) {
        // The fields changed between the passes, or a data pointer is missing.
        logMessage(LOG_DEBUG, "error calculating function header");
        return 0;
    }
    return 1;
}

} // namespace

int packFunctionMessage(uint16_t id, FieldPointers* fields, int isCall, unsigned char* frame,
                        int32_t capacity, int32_t* frameLength) {
    const int64_t measured = measureFunctionMessage(id, fields, isCall);
    if (measured < 0 || measured > capacity || !packMeasured(id, fields, isCall, frame, measured))
        return 0;
    *frameLength = static_cast<int32_t>(measured);
    return 1;
}

int packFunctionFrame(unsigned char* frame, int32_t capacity, int32_t* frameLength, int isCall,
                      int id, ...) {
    FieldPointers fields = {};
    va_list args;
    va_start(args, id);
    va_copy(fields.list, args);
    const int ok = packFunctionMessage(static_cast<uint16_t>(id), &fields, isCall, frame, capacity,
                                       frameLength);
    va_end(fields.list);
    va_end(args);
    return ok;
}

unsigned char* newFunctionFrame(uint16_t id, FieldPointers* fields, int isCall,
                                int32_t* frameLength) {
    const int64_t measured = measureFunctionMessage(id, fields, isCall);
    if (measured < 0) return nullptr;
    unsigned char* frame = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(measured)));
    if (frame != nullptr && !packMeasured(id, fields, isCall, frame, measured)) {
        std::free(frame);
        return nullptr;
    }
    *frameLength = static_cast<int32_t>(measured);
    return frame;
}

unsigned char* newFunctionFrameOf(int32_t* frameLength, int isCall, int id, ...) {
    FieldPointers fields = {};
    va_list args;
    va_start(args, id);
    va_copy(fields.list, args);
    unsigned char* frame =
        newFunctionFrame(static_cast<uint16_t>(id), &fields, isCall, frameLength);
    va_end(fields.list);
    va_end(args);
    return frame;
}

int sendFunctionMessage(XSocket* s, uint16_t id, FieldPointers* fields, int isCall) {
    // A step's messages fit the stack frame: nothing is allocated for them.
    // The whole frame goes in one write, so the peer wakes once per message
    // and, with no delay on the socket, one message is one segment.
    unsigned char stage[MESSAGE_STAGE_BYTES];
    const int64_t measured = measureFunctionMessage(id, fields, isCall);
    if (measured < 0) return 0;
    unsigned char* frame = stage;
    if (measured > MESSAGE_STAGE_BYTES) {
        frame = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(measured)));
        if (frame == nullptr) {
            setXSocketError(s, 1, XERROR_OUTOFMEMORY, "Error allocating memory for a message");
            logXSocketError(s);
            return 0;
        }
    }
    int ok = packMeasured(id, fields, isCall, frame, measured);
    if (ok) {
        ok = writeMessageFrame(s, frame, static_cast<int32_t>(measured));
        if (!ok) logXSocketError(s);
    }
    if (frame != stage) std::free(frame);
    return ok;
}

int sendFunctionMessage(XSocket* s, uint16_t id, va_list args, int isCall) {
    FieldPointers fields = {};
    va_copy(fields.list, args);
    const int ok = sendFunctionMessage(s, id, &fields, isCall);
    va_end(fields.list);
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

int unpackFunctionReturn(uint16_t id, const unsigned char* body, int32_t length,
                         FieldPointers* fields, XSocket* errors) {
    // Unpacking only reads the body: the stage is never written through.
    MessageBuffer buffer = {};
    buffer.socket = errors;
    buffer.limit = length < 0 ? 0 : length;
    buffer.stage = const_cast<unsigned char*>(body);
    uint16_t head[2] = {0, 0};
    if (!readFunctionIdAndLength(&buffer, head)) {
        logHeadFailure(&buffer);
        return RETURN_REFUSED;
    }
    if (readFunctionSignature(&buffer, head, buffer.stage + 4) != HEAD_ACCEPTED || head[0] != id)
        return RETURN_REFUSED;
    return walkSignature(&buffer, fields, 0, 0) ? RETURN_UNPACKED : RETURN_REFUSED;
}

int receiveFunctionReturn(uint16_t id, XSocket* s, int32_t length, FieldPointers* fields) {
    const int got = takeFunctionReturn(id, s, length, fields);
    if (got == RETURN_STREAM_LOST) logXSocketError(s);
    return got == RETURN_UNPACKED;
}

int receiveFunctionReturn(uint16_t id, XSocket* s, int32_t length, va_list args) {
    FieldPointers fields = {};
    va_copy(fields.list, args);
    const int ok = receiveFunctionReturn(id, s, length, &fields);
    va_end(fields.list);
    return ok;
}

int takeFunctionReturn(uint16_t id, XSocket* s, int32_t length, FieldPointers* fields) {
    // A length of 2 GB or more cannot be told from a stream out of step.
    if (length < 0) return RETURN_STREAM_LOST;
    if (length > MESSAGE_STAGE_BYTES) return takeReturnByFields(id, s, length, fields);

    // The whole body in one read where the stream allows; nothing here is
    // allocated, so a step's return costs no heap.
    unsigned char body[MESSAGE_STAGE_BYTES];
    if (!readMessageData(s, body, length)) return RETURN_STREAM_LOST;
    return unpackFunctionReturn(id, body, length, fields, s);
}

int unpackFunctionCallFields(MessageBuffer* buffer, FieldPointers* fields) {
    const int ok = walkSignature(buffer, fields, 1, 0);
    if (!ok) logMessage(LOG_ERROR, "error unpacking function call");
    return ok;
}

int unpackFunctionCall(MessageBuffer* buffer, ...) {
    FieldPointers fields = {};
    va_list args;
    va_start(args, buffer);
    va_copy(fields.list, args);
    const int ok = unpackFunctionCallFields(buffer, &fields);
    va_end(fields.list);
    va_end(args);
    return ok;
}

int sendFunctionReturn(MessageBuffer* buffer, ...) {
    logMessage(LOG_DEBUG, "sending function return: %hd", static_cast<short>(buffer->functionId));
    FieldPointers fields = {};
    va_list args;
    va_start(args, buffer);
    va_copy(fields.list, args);
    const int ok = sendFunctionMessage(buffer->socket, buffer->functionId, &fields, 0);
    va_end(fields.list);
    va_end(args);
    return ok;
}

// ---- argument lists laid out from a signature ----

int initArgumentList(ArgumentList* list, const char* signature, int32_t room) {
    *list = ArgumentList{};
    list->fields.array = list->pointers;
    if (signature == nullptr || room < 0) return 0;
    list->result = -1;
    int n = 0;
    int array = 0;
    char direction = 'i';
    const char* c = signature;
    for (; *c != '\0' && *c != ')'; ++c) {
        if (*c == '[') array = 0;
        if (*c == '<') array = 1;
        if (c > signature && c[-1] == '[') direction = *c;
        if (std::strchr("IRDC", *c) == nullptr) continue;
        // The longest field takes three pointers, and one more may follow.
        if (n > ARGUMENT_POINTERS - 4) {
            freeArgumentList(list);
            return 0;
        }
        list->field[list->fieldCount++] = {*c, direction, array, n};
        if (!array && *c != 'C') {
            list->pointers[n] = *c == 'I'   ? static_cast<void*>(&list->ints[n])
                                : *c == 'R' ? static_cast<void*>(&list->floats[n])
                                            : static_cast<void*>(&list->doubles[n]);
            ++n;
            continue;
        }
        const int size = *c == 'D' ? 8 : *c == 'C' ? 1 : 4;
        if (array && *c == 'C') { // rows, row length, then the characters
            list->ints[n] = room > 0 ? 1 : 0;
            list->pointers[n] = &list->ints[n];
            ++n;
        }
        list->ints[n] = room / size;
        list->pointers[n] = &list->ints[n];
        const size_t bytes = size_t(list->ints[n]) * size_t(size);
        ++n;
        if (bytes > 0) {
            list->data[n] = list->owned[n] = std::malloc(bytes);
            if (list->data[n] == nullptr) {
                freeArgumentList(list);
                return 0;
            }
        }
        list->pointers[n] = &list->data[n];
        ++n;
    }
    if (*c == ')' && c[1] == 'I') {
        list->pointers[n] = &list->ints[n];
        list->result = n;
    }
    list->count = n;
    return 1;
}

void freeArgumentList(ArgumentList* list) {
    for (void*& block : list->owned) {
        std::free(block);
        block = nullptr;
    }
}
