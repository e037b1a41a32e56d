// Internals shared by the framing and the marshalling: the room a message
// is assembled in before it goes out in one write, or taken into after one
// read, and the read that tells how far it got.
#pragma once

#include <cstdint>

#include "xsocket/xsocket.h"

// Every call and return of a co-simulation step fits, with room to spare
// (128 doubles are 1 KiB); a longer message is packed into a heap block of
// its length, and a longer return is read field by field. The memory is on
// the stack of the operation at hand: nothing to allocate, nothing to leak
// when a call is cut short, nothing shared between threads.
const int32_t MESSAGE_STAGE_BYTES = 4096;

// readMessageData that also tells how many bytes arrived before a failure.
int readMessageDataCounted(XSocket* s, void* buffer, int32_t length, int32_t* received);
