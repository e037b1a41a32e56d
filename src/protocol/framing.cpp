// Frames on the stream, byte order, and the per-message buffer.
#include "protocol/protocol.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "log/zvlog.h"
#include "protocol/bigendian.h"
#include "protocol/stage.h"

namespace {

bool hostIsLittleEndian() {
    const uint16_t probe = 1;
    unsigned char first;
    std::memcpy(&first, &probe, 1);
    return first == 1;
}

void swapElements(void* elements, int32_t count, int size) {
    unsigned char* p = static_cast<unsigned char*>(elements);
    for (int32_t i = 0; i < count; ++i, p += size) {
        for (int a = 0, b = size - 1; a < b; ++a, --b) {
            const unsigned char t = p[a];
            p[a] = p[b];
            p[b] = t;
        }
    }
}

// Puts numbers of the given width into (or out of) wire order in place.
void toWireOrder(void* elements, int elementSize, int32_t count) {
    if (!hostIsLittleEndian()) return;
    if (elementSize == 2 || elementSize == 4 || elementSize == 8) {
        swapElements(elements, count, elementSize);
    }
}

// Every byte that leaves for the peer goes through here. A send that takes
// only part of the block is continued, so a slow reader cannot tear a frame;
// a failed send (-1) keeps the socket's own error, a failed wait (0) is an
// incomplete message. *sent tells how far it got.
int sendBytes(XSocket* s, const void* data, int32_t length, int32_t* sent,
              const char* incompleteText) {
    const char* p = static_cast<const char*>(data);
    *sent = 0;
    while (*sent < length) {
        const int32_t n = writeXSocket(s, p + *sent, length - *sent);
        if (n == -1) return 0;
        if (n <= 0 || n > length - *sent) {
            setXSocketError(s, 1, XERROR_INCOMPLETE_MESSAGE, incompleteText);
            return 0;
        }
        *sent += n;
    }
    return 1;
}

enum ReceiveResult { RECEIVE_FAILED = 0, RECEIVE_COMPLETE = 1, RECEIVE_ENDED = 2 };

// Reads until length bytes are in, however TCP cuts them up. On
// RECEIVE_ENDED the peer closed the stream after *received bytes.
ReceiveResult receiveBytes(XSocket* s, void* buffer, int32_t length, int32_t* received) {
    char* p = static_cast<char*>(buffer);
    *received = 0;
    while (*received < length) {
        int32_t n = length - *received;
        if (!readXSocket(s, p + *received, &n)) return RECEIVE_FAILED;
        if (n <= 0) return RECEIVE_ENDED;
        *received += n;
    }
    return RECEIVE_COMPLETE;
}

} // namespace

void swapBytes16(void* elements, int32_t count) {
    swapElements(elements, count, 2);
}
void swapBytes32(void* elements, int32_t count) {
    swapElements(elements, count, 4);
}
void swapBytes64(void* elements, int32_t count) {
    swapElements(elements, count, 8);
}

int writeMessageHeader(XSocket* s, uint32_t byteFlag, uint32_t length) {
    unsigned char header[8];
    putBig32(header, byteFlag);
    putBig32(header + 4, length);
    int32_t sent = 0;
    if (sendBytes(s, header, 8, &sent, "Error writing message length")) return 1;
    // Name the field that did not get out, as the peer will see it.
    if (sent < 4 && s->libraryError && s->errorCode == XERROR_INCOMPLETE_MESSAGE) {
        setXSocketMessage(s, "Error writing byte flag");
    }
    return 0;
}

int writeMessageData(XSocket* s, const void* data, int32_t length) {
    if (length < 1) return 1;
    int32_t sent = 0;
    return sendBytes(s, data, length, &sent, "Error writing message data");
}

int writeMessageFrame(XSocket* s, const void* frame, int32_t frameLength) {
    int32_t sent = 0;
    if (sendBytes(s, frame, frameLength, &sent, "Error writing message data")) return 1;
    // Name the field that did not get out, as the peer will see it.
    if (sent < 8 && s->libraryError && s->errorCode == XERROR_INCOMPLETE_MESSAGE) {
        setXSocketMessage(s, sent < 4 ? "Error writing byte flag" : "Error writing message length");
    }
    return 0;
}

int readMessageHeader(XSocket* s, uint32_t* byteFlag, int32_t* length) {
    // Both fields in one receive where the stream allows; the header never
    // reaches into the body, so nothing of the next read is taken.
    unsigned char header[8];
    int32_t received = 0;
    const ReceiveResult r = receiveBytes(s, header, 8, &received);
    if (r == RECEIVE_FAILED) return 0;
    if (r == RECEIVE_ENDED) {
        if (received == 0) {
            *byteFlag = FLAG_LOST;
            *length = 0;
            return 1;
        }
        setXSocketError(s, 1, XERROR_INCOMPLETE_MESSAGE,
                        received < 4 ? "Error receiving byte flag"
                                     : "Error receiving message length");
        return 0;
    }
    *byteFlag = getBig32(header);
    *length = static_cast<int32_t>(getBig32(header + 4));
    return 1;
}

int readMessageData(XSocket* s, void* buffer, int32_t length) {
    int32_t received = 0;
    return readMessageDataCounted(s, buffer, length, &received);
}

int skipMessageData(XSocket* s, int32_t length) {
    char scrap[512];
    while (length > 0) {
        int32_t piece = length < int32_t(sizeof scrap) ? length : int32_t(sizeof scrap);
        if (!readMessageData(s, scrap, piece)) return 0;
        length -= piece;
    }
    return 1;
}

int readMessageDataCounted(XSocket* s, void* buffer, int32_t length, int32_t* received) {
    *received = 0;
    if (length < 1) return 1;
    const ReceiveResult r = receiveBytes(s, buffer, length, received);
    if (r == RECEIVE_ENDED) {
        setXSocketError(s, 1, XERROR_INCOMPLETE_MESSAGE, "Error receiving entire message");
    }
    return r == RECEIVE_COMPLETE;
}

void logXSocketError(XSocket* s) {
    const char* name = "n/a";
    const int size = getXSocketErrorText(s, nullptr, 0, &name);
    char* text = static_cast<char*>(std::malloc(size > 0 ? static_cast<size_t>(size) : 1));
    if (text != nullptr) {
        text[0] = '\0';
        getXSocketErrorText(s, text, size, &name);
        // Windows system texts end in a line break; the log adds its own.
        for (size_t n = std::strlen(text); n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r');)
            text[--n] = '\0';
    }
    logMessage(LOG_ERROR, "%s", name);
    logMessage(LOG_ERROR, "    %s", text != nullptr ? text : "");
    std::free(text);
    if (s->errorMessage != nullptr) logMessage(LOG_ERROR, "    %s", s->errorMessage);
}

MessageBuffer* newMessageBuffer(XSocket* s, int32_t limit) {
    MessageBuffer* buffer = static_cast<MessageBuffer*>(std::calloc(1, sizeof(MessageBuffer)));
    if (buffer == nullptr) return nullptr;
    buffer->socket = s;
    buffer->limit = limit;
    return buffer;
}

// The node and its block are one allocation; the block starts right after
// the node, which keeps it aligned for any element type. One byte more than
// asked is allocated and zeroed, so a received text can be printed as is.
void* addMessageChunk(MessageBuffer* buffer, int32_t size) {
    if (size < 0) return nullptr;
    const size_t bytes = sizeof(MessageChunk) + static_cast<size_t>(size) + 1;
    MessageChunk* chunk = static_cast<MessageChunk*>(std::malloc(bytes));
    if (chunk == nullptr) return nullptr;
    chunk->data = chunk + 1;
    chunk->next = nullptr;
    static_cast<char*>(chunk->data)[size] = '\0';
    if (buffer->tail == nullptr) {
        buffer->head = chunk;
    } else {
        buffer->tail->next = chunk;
    }
    buffer->tail = chunk;
    return chunk->data;
}

void freeMessageBuffer(MessageBuffer* buffer) {
    if (buffer == nullptr) return;
    MessageChunk* chunk = buffer->head;
    while (chunk != nullptr) {
        MessageChunk* next = chunk->next;
        std::free(chunk);
        chunk = next;
    }
    std::free(buffer);
}

int transferField(MessageBuffer* buffer, void** slot, int elementSize, int32_t count, int mode) {
    // Counts come from the peer: a negative one, or one whose size does not
    // fit the 32-bit frame, can never be part of a valid message.
    const int64_t bytes = static_cast<int64_t>(elementSize) * count;
    const int64_t total = static_cast<int64_t>(buffer->total) + bytes;
    if (elementSize < 0 || count < 0 || total > INT32_MAX) return 0;
    const int32_t at = buffer->total;
    buffer->total = static_cast<int32_t>(total);

    if (buffer->stage != nullptr && bytes > 0 && *slot == nullptr && !(mode & FIELD_ALLOCATE) &&
        buffer->total <= buffer->limit) {
        if (buffer->socket != nullptr)
            setXSocketError(buffer->socket, 1, XERROR_BAD_ARG, "No memory given for a field");
        return 0;
    }
    if (mode & FIELD_SEND) {
        // Past the limit is the measuring pass: only the sum matters.
        if (buffer->total > buffer->limit) return 1;
        // Messages are packed into memory and sent whole, never field by field.
        if (buffer->stage == nullptr) return bytes == 0;
        // The copy is turned to wire order: the caller's data stays as it is.
        if (bytes > 0) {
            std::memcpy(buffer->stage + at, *slot, static_cast<size_t>(bytes));
            toWireOrder(buffer->stage + at, elementSize, count);
        }
        return 1;
    }

    if (buffer->total > buffer->limit) return 0;
    if (mode & FIELD_ALLOCATE) {
        void* chunk = addMessageChunk(buffer, static_cast<int32_t>(bytes));
        if (chunk == nullptr) {
            setXSocketError(buffer->socket, 1, XERROR_OUTOFMEMORY,
                            "Error allocating memory for a received message");
            return 0;
        }
        *slot = chunk;
    }
    if (buffer->stage != nullptr) {
        // A text may be left where it lies in the stage: source and
        // destination are then the same.
        if (bytes > 0) std::memmove(*slot, buffer->stage + at, static_cast<size_t>(bytes));
    } else if (!readMessageData(buffer->socket, *slot, static_cast<int32_t>(bytes))) {
        buffer->streamFailed = 1;
        return 0;
    } else {
        buffer->taken = buffer->total;
    }
    toWireOrder(*slot, elementSize, count);
    return 1;
}
