// Faults the stand-in solver can be told to commit, so that tests can drive
// the block's link through every way a real solver can let it down.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class FaultKind {
    CloseAfter,      // answer N calls, then end the link with a close frame
    Drop,            // read the call, then drop the connection without answering
    Cut,             // send part of the return, then drop the connection
    NoConnect,       // launch mode: never connect back
    RefuseHandshake, // answer the handshake with another text than "OK"
    BadFlag,         // answer the call with a frame of an unknown byte flag
    CallBack,        // answer the call with a call of the solver's own
    WrongId,         // answer the call with another function's return
    TooManyOutputs,  // ZVUPDATE returns more values than any block can take
    ByteByByte,      // write every frame one byte at a time
    Stall,           // wait before answering
    StallHandshake,  // wait before answering the handshake
    ExitAtStart,     // end at once with a status, as a solver without its licence does
    ConnectTo        // launch mode: connect back to another address of this machine
};

// Which call of a link a fault applies to. Calls are counted from 1 on each
// link, all functions together or per function.
struct CallTarget {
    bool everyCall = false;
    uint16_t functionId = 0; // 0: count every call
    int ordinal = 1;         // the ordinal-th call (of that function)
};

struct Fault {
    FaultKind kind;
    int count = 0;        // CloseAfter: calls answered; TooManyOutputs: values; ExitAtStart: status
    double seconds = 0.0; // NoConnect, Stall, StallHandshake
    std::string text;     // RefuseHandshake: the reply; ConnectTo: the host
    CallTarget target;
};

// Parses one "name[=arg]" item; on failure returns false and says why in *error.
bool parseFault(const std::string& item, Fault* fault, std::string* error);
// Parses a comma-separated list of items, as the environment variable carries them.
bool parseFaultList(const std::string& list, std::vector<Fault>* faults, std::string* error);
// Does a target select this call? ordinal counts all calls, ordinalOfFunction
// only those of the call's function.
bool targetMatches(const CallTarget& target, uint16_t functionId, int ordinal,
                   int ordinalOfFunction);

// The text of `zelvane --help` that lists the faults.
extern const char* const FAULT_HELP;
