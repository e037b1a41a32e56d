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
    // Fields are packed into this memory, and unpacked from it when it is
    // set (else from the socket): body byte n is stage[n]. It must hold
    // limit bytes.
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
//
// A list comes from a stub's variadic arguments (list, copied in with
// va_copy) or from an array of pointers (array set). Every walk works on a
// copy of it, so one list serves a measuring pass, a packing pass and more.
struct FieldPointers {
    va_list list;       // used when array is null
    void* const* array; // in signature order
};

int checkSignature(const char* text);
int walkSignature(MessageBuffer* buffer, FieldPointers* fields, int isCall, int sending);
// The length of the whole frame, header included, or -1 when the fields do
// not make a message.
int64_t measureFunctionMessage(uint16_t id, FieldPointers* fields, int isCall);
// The frame of a call or return, header included, packed into frame; 0 when
// it does not fit in capacity bytes.
int packFunctionMessage(uint16_t id, FieldPointers* fields, int isCall, unsigned char* frame,
                        int32_t capacity, int32_t* frameLength);
// packFunctionMessage with the fields as arguments (id is an int: va_start
// needs a last parameter that is not promoted).
int packFunctionFrame(unsigned char* frame, int32_t capacity, int32_t* frameLength, int isCall,
                      int id, ...);
// The frame in a new block of exactly its length, for std::free; null when
// the fields do not make a message or memory runs out.
unsigned char* newFunctionFrame(uint16_t id, FieldPointers* fields, int isCall,
                                int32_t* frameLength);
unsigned char* newFunctionFrameOf(int32_t* frameLength, int isCall, int id, ...);
// Packs the frame, then writes it whole.
int sendFunctionMessage(XSocket* s, uint16_t id, FieldPointers* fields, int isCall);
int sendFunctionMessage(XSocket* s, uint16_t id, va_list args, int isCall);
MessageBuffer* receiveFunctionHeader(XSocket* s, int32_t length);
// Like receiveFunctionHeader, but takes the whole body of length bytes off
// the stream first (in one read where it can), so that the fields are then
// unpacked from memory and nothing of the message is left in the stream,
// whatever the outcome. The body is a chunk of the buffer.
MessageBuffer* receiveFunctionMessage(XSocket* s, int32_t length);
int receiveFunctionReturn(uint16_t id, XSocket* s, int32_t length, FieldPointers* fields);
int receiveFunctionReturn(uint16_t id, XSocket* s, int32_t length, va_list args);
// receiveFunctionReturn that tells a refused return from a broken stream.
// A return that does not unpack (another id or signature, a count beyond the
// caller's capacity, a frame too short for its fields) is read to its end
// and dropped, so the next frame starts where the stream stands. A broken
// stream is left to the caller to log.
enum { RETURN_REFUSED = 0, RETURN_UNPACKED = 1, RETURN_STREAM_LOST = 2 };
int takeFunctionReturn(uint16_t id, XSocket* s, int32_t length, FieldPointers* fields);
// The body of a return (the frame without its header) already in memory,
// checked against id and unpacked: RETURN_UNPACKED or RETURN_REFUSED. A body
// too short for its head is logged with errors, when given.
int unpackFunctionReturn(uint16_t id, const unsigned char* body, int32_t length,
                         FieldPointers* fields, XSocket* errors);
int unpackFunctionCall(MessageBuffer* buffer, ...);
int unpackFunctionCallFields(MessageBuffer* buffer, FieldPointers* fields);
int sendFunctionReturn(MessageBuffer* buffer, ...);

// Storage for every pointer a stub would pass for one signature: pointer k
// points at ints[k], floats[k], doubles[k] or data[k], as its field needs,
// and fields walks them. Each text and array has a heap block of exactly
// room bytes to itself (as many whole elements as fit), its count (the row
// length of a text block, of one row) set to what the block holds; with
// room 0 the data pointers are null, as unpacking a call wants them.
enum { ARGUMENT_POINTERS = 16 };
// One field of the signature: its type ('I', 'R', 'D' or 'C'), its direction
// ('i', 'o' or 'b'), whether it is an array (for 'C': a text block), and
// the index of its first pointer in the list.
struct ArgumentField {
    char type;
    char direction;
    int array;
    int first;
};
struct ArgumentList {
    void* pointers[ARGUMENT_POINTERS];
    int count; // pointers the fields take, the result's not counted
    int32_t ints[ARGUMENT_POINTERS];
    float floats[ARGUMENT_POINTERS];
    double doubles[ARGUMENT_POINTERS];
    void* data[ARGUMENT_POINTERS];
    void* owned[ARGUMENT_POINTERS]; // the blocks data started with, whatever it holds later
    FieldPointers fields;
    ArgumentField field[ARGUMENT_POINTERS]; // the signature's fields, in order
    int fieldCount;
    int result; // the pointer of a return's "I" result, or -1 when it has none
};
// 0 when the signature takes more pointers than the list holds, or memory
// runs out; nothing is then left to free.
int initArgumentList(ArgumentList* list, const char* signature, int32_t room);
void freeArgumentList(ArgumentList* list);
