// Wire protocol: big-endian frames on an XSocket, the per-message buffer,
// and the signature-driven packing of calls and returns.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "xsocket/xsocket.h"

enum {
    FLAG_HANDSHAKE = 1,
    FLAG_HANDSHAKE_REPLY = 2,
    FLAG_CALL = 3,
    FLAG_RETURN = 4,
    FLAG_CLOSE = 5,
    FLAG_LOST = 6 // never sent: the peer closed the stream between frames
};

enum { FIELD_SEND = 1, FIELD_ALLOCATE = 2, FIELD_ARRAY = 8 };

struct MessageChunk {
    void* data;
    MessageChunk* next;
};

struct MessageBuffer {
    XSocket* socket; // not owned
    uint16_t functionId;
    const char* signature; // a chunk of this buffer when received, else catalogue text
    int32_t limit;         // body bytes the message may hold
    int32_t total;         // body bytes accounted so far
    MessageChunk* head;    // blocks received, owned, in order of allocation
    MessageChunk* tail;
    // When set, fields are packed into, or unpacked from, this memory instead
    // of the socket: body byte n is stage[n]. It must hold limit bytes.
    unsigned char* stage;
    // Body bytes taken off the socket so far, and whether a read from it
    // failed: together they tell where in the stream the message stopped.
    int32_t taken;
    int streamFailed;
};

// ---- framing ----
void swapBytes16(void* elements, int32_t count);
void swapBytes32(void* elements, int32_t count);
void swapBytes64(void* elements, int32_t count);

int writeMessageHeader(XSocket* s, uint32_t byteFlag, uint32_t length);
int writeMessageData(XSocket* s, const void* data, int32_t length);
int writeMessageArray(XSocket* s, const void* data, int elementSize, int32_t byteCount);
// A length of 2^31 or more arrives as a negative number.
int readMessageHeader(XSocket* s, uint32_t* byteFlag, int32_t* length);
int readMessageData(XSocket* s, void* buffer, int32_t length);
// Reads and drops length bytes of a frame body in bounded pieces, so that a
// body nobody needs never costs its length in memory.
int skipMessageData(XSocket* s, int32_t length);
// Sends a whole frame, header included, with as few writes as the socket
// allows. A short write is named after the field that did not get out.
int writeMessageFrame(XSocket* s, const void* frame, int32_t frameLength);
void logXSocketError(XSocket* s);

MessageBuffer* newMessageBuffer(XSocket* s, int32_t limit);
void* addMessageChunk(MessageBuffer* buffer, int32_t size);
void freeMessageBuffer(MessageBuffer* buffer);
int transferField(MessageBuffer* buffer, void** slot, int elementSize, int32_t count, int mode);

// ---- marshalling ----
// The argument list holds one pointer per scalar, two per text or array
// (count, then the data pointer), three per text block (rows, row length,
// data), and one more for an "I" result.
//
// Receiving a return never writes past the caller's memory: for every text
// or array that arrives, the caller's count (rows x row length for a text
// block) as it stands before the return is read is the capacity of the
// memory its data pointer points to. A return whose count exceeds that
// capacity, or is negative, fails before anything lands in that memory.
int checkSignature(const char* text);
int walkSignature(MessageBuffer* buffer, va_list args, int isCall, int sending);
int sendFunctionMessage(XSocket* s, uint16_t id, va_list args, int isCall);
// The frame sendFunctionMessage would send, header included, written into
// frame instead; 0 when it does not fit in capacity bytes.
int packFunctionMessage(uint16_t id, va_list args, int isCall, unsigned char* frame,
                        int32_t capacity, int32_t* frameLength);
// packFunctionMessage with the fields as arguments (id is an int: va_start
// needs a last parameter that is not promoted).
int packFunctionFrame(unsigned char* frame, int32_t capacity, int32_t* frameLength, int isCall,
                      int id, ...);
MessageBuffer* receiveFunctionHeader(XSocket* s, int32_t length);
// Like receiveFunctionHeader, but takes the whole body of length bytes off
// the stream first (in one read where it can), so that the fields are then
// unpacked from memory and nothing of the message is left in the stream,
// whatever the outcome. The body is a chunk of the buffer.
MessageBuffer* receiveFunctionMessage(XSocket* s, int32_t length);
int receiveFunctionReturn(uint16_t id, XSocket* s, int32_t length, va_list args);
// receiveFunctionReturn that tells a refused return from a broken stream.
// A return that does not unpack (another id or signature, a count beyond the
// caller's capacity, a frame too short for its fields) is read to its end
// and dropped, so the next frame starts where the stream stands. A broken
// stream is left to the caller to log.
enum { RETURN_REFUSED = 0, RETURN_UNPACKED = 1, RETURN_STREAM_LOST = 2 };
int takeFunctionReturn(uint16_t id, XSocket* s, int32_t length, va_list args);
int unpackFunctionCall(MessageBuffer* buffer, ...);
int vunpackFunctionCall(MessageBuffer* buffer, va_list args);
int sendFunctionReturn(MessageBuffer* buffer, ...);
int vsendFunctionReturn(MessageBuffer* buffer, va_list args);
