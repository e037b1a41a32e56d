// The fixed catalogue of remote functions shared with the solver: id, name
// and signature. Both sides must agree on every byte of it.
#pragma once

#include <cstdint>

enum {
    FID_EMPTY = 0,
    FID_ZVFLU = 1,
    FID_ZVIMAN = 2,
    FID_ZVISETMODE = 3,
    FID_BCDZVI = 4,
    FID_BCDZVP = 5,
    FID_BCTRANSFER = 6,
    FID_TIMEINTEGRATIONAUX = 7,
    FID_GETCFDZONES = 8,
    FID_GETCFDSPECIES = 9,
    FID_ZVIWRP = 10,
    FID_SLOPEN = 11,
    FID_SLZVIMAN = 12,
    FID_DATEXIST = 13,
    FID_ZVUPDATE = 14,
    FID_SLCZVPWR = 15,
    FID_SLCLOSE = 16,
    FID_CHECKBACK = 17,
    FID_ZVNUMSPEC = 18,
    FID_INVALID = 19,
    FUNCTION_COUNT = 20
};

// The body of the block's first frame; the solver compares every byte.
#define LINK_HANDSHAKE_TEXT "ZVI|LINK|VER:1"
#define LINK_HANDSHAKE_LENGTH 15 // the text and its NUL
static_assert(sizeof LINK_HANDSHAKE_TEXT == LINK_HANDSHAKE_LENGTH, "the length counts the NUL");

// Ids 1 to 18 give their row; 0 and 19 or more give the INVALID row.
const char* functionName(uint16_t id);
const char* functionSignature(uint16_t id);
