#include "solver/faults.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "protocol/catalogue.h"

const char* const FAULT_HELP =
    "Faults (--fault NAME[=ARG], repeatable, or ZELVANE_FAULTS=\"NAME[=ARG],NAME...\"):\n"
    "  close-after=N        answer N calls, then end the link with a close frame\n"
    "                       (sent when call N+1 arrives, after reading it)\n"
    "  drop[=WHEN]          read the call, then drop the connection without answering\n"
    "  cut[=WHEN]           send the frame header and half the body of the return,\n"
    "                       then drop the connection\n"
    "  no-connect[=SECS]    launch mode: never connect back; exit after SECS (60)\n"
    "  refuse-handshake[=TEXT]  answer the handshake with TEXT (\"NO\") and end the link\n"
    "  bad-flag[=WHEN]      answer the call with a frame of byte flag 7 and no body\n"
    "  call-back[=WHEN]     answer the call with a call of its own (ZVNUMSPEC, no fields)\n"
    "                       and no return\n"
    "  call-first[=WHEN]    send a call of its own (ZVNUMSPEC, no fields), then the return\n"
    "  wrong-id[=WHEN]      answer the call with the return of CHECKBACK\n"
    "                       (of SLOPEN when the call is CHECKBACK)\n"
    "  too-many-outputs[=N] ZVUPDATE returns N values (129): the outputs, then zeros\n"
    "  byte-by-byte         write every frame one byte at a time\n"
    "  stall=SECS[@WHEN]    wait SECS seconds before answering (every call without @WHEN)\n"
    "  stall-handshake=SECS wait SECS seconds before answering the handshake\n"
    "  exit=N               end at once with exit status N (1 to 255), before any link\n"
    "  connect-to=HOST      launch mode: connect back to HOST (a name or address of this\n"
    "                       machine, e.g. 127.0.1.1) instead of 127.0.0.1\n"
    "WHEN picks one call of each link: N (the N-th call), NAME (the first call of a\n"
    "function, e.g. ZVUPDATE) or NAME:K (its K-th call). Without WHEN: the first call.\n";

namespace {

bool parseInt(const std::string& text, int minimum, int* value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long v = strtol(text.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE || v < minimum || v > 1000000000L) return false;
    *value = static_cast<int>(v);
    return true;
}

bool parseSeconds(const std::string& text, double* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    double v = strtod(text.c_str(), &end);
    // A day is far more than any test waits; it also keeps the sleeps finite.
    if (*end != '\0' || !std::isfinite(v) || v < 0.0 || v > 86400.0) return false;
    *value = v;
    return true;
}

uint16_t functionIdByName(const std::string& name) {
    for (uint16_t id = 1; id < FID_INVALID; ++id)
        if (name == functionName(id)) return id;
    return 0;
}

bool parseTarget(const std::string& text, CallTarget* target) {
    *target = CallTarget();
    if (text.empty()) return true;
    if (isdigit(static_cast<unsigned char>(text[0]))) return parseInt(text, 1, &target->ordinal);
    size_t colon = text.find(':');
    target->functionId = functionIdByName(text.substr(0, colon));
    if (target->functionId == 0) return false;
    if (colon == std::string::npos) return true;
    return parseInt(text.substr(colon + 1), 1, &target->ordinal);
}

struct FaultName {
    const char* name;
    FaultKind kind;
};

const FaultName FAULT_NAMES[] = {
    {"close-after", FaultKind::CloseAfter},
    {"drop", FaultKind::Drop},
    {"cut", FaultKind::Cut},
    {"no-connect", FaultKind::NoConnect},
    {"refuse-handshake", FaultKind::RefuseHandshake},
    {"bad-flag", FaultKind::BadFlag},
    {"call-back", FaultKind::CallBack},
    {"call-first", FaultKind::CallFirst},
    {"wrong-id", FaultKind::WrongId},
    {"too-many-outputs", FaultKind::TooManyOutputs},
    {"byte-by-byte", FaultKind::ByteByByte},
    {"stall", FaultKind::Stall},
    {"stall-handshake", FaultKind::StallHandshake},
    {"exit", FaultKind::ExitAtStart},
    {"connect-to", FaultKind::ConnectTo},
};

} // namespace

bool parseFault(const std::string& item, Fault* fault, std::string* error) {
    size_t eq = item.find('=');
    std::string name = item.substr(0, eq);
    bool hasArg = eq != std::string::npos;
    std::string arg = hasArg ? item.substr(eq + 1) : std::string();

    const FaultName* found = nullptr;
    for (const FaultName& f : FAULT_NAMES)
        if (name == f.name) found = &f;
    if (!found) {
        *error = "unknown fault '" + name + "'";
        return false;
    }
    Fault f;
    f.kind = found->kind;
    bool ok = true;
    switch (f.kind) {
    case FaultKind::CloseAfter:
        ok = parseInt(hasArg ? arg : "0", 0, &f.count);
        break;
    case FaultKind::Drop:
    case FaultKind::Cut:
    case FaultKind::BadFlag:
    case FaultKind::CallBack:
    case FaultKind::CallFirst:
    case FaultKind::WrongId:
        ok = parseTarget(arg, &f.target);
        break;
    case FaultKind::NoConnect:
        f.seconds = 60.0;
        ok = !hasArg || parseSeconds(arg, &f.seconds);
        break;
    case FaultKind::RefuseHandshake:
        f.text = hasArg ? arg : "NO";
        break;
    case FaultKind::ConnectTo:
        f.text = arg;
        ok = !arg.empty();
        break;
    case FaultKind::TooManyOutputs:
        f.count = 129;
        ok = !hasArg || parseInt(arg, 0, &f.count);
        // More than this would not fit the solver's own frame limit.
        ok = ok && f.count <= 100000;
        break;
    case FaultKind::ByteByByte:
        ok = !hasArg;
        break;
    case FaultKind::ExitAtStart:
        ok = parseInt(arg, 1, &f.count) && f.count <= 255;
        break;
    case FaultKind::StallHandshake:
        ok = parseSeconds(arg, &f.seconds);
        break;
    case FaultKind::Stall: {
        size_t at = arg.find('@');
        ok = parseSeconds(arg.substr(0, at), &f.seconds);
        if (at == std::string::npos)
            f.target.everyCall = true;
        else
            ok = ok && parseTarget(arg.substr(at + 1), &f.target) && at + 1 < arg.size();
        break;
    }
    }
    if (!ok) {
        *error = "bad argument in fault '" + item + "'";
        return false;
    }
    *fault = f;
    return true;
}

bool parseFaultList(const std::string& list, std::vector<Fault>* faults, std::string* error) {
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        std::string item =
            list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!item.empty()) {
            Fault f;
            if (!parseFault(item, &f, error)) return false;
            faults->push_back(f);
        }
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return true;
}

bool targetMatches(const CallTarget& target, uint16_t functionId, int ordinal,
                   int ordinalOfFunction) {
    if (target.everyCall) return true;
    if (target.functionId == 0) return target.ordinal == ordinal;
    return target.functionId == functionId && target.ordinal == ordinalOfFunction;
}
