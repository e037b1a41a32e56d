// Link settings: where the solver is and which installed version to start,
// from the optional "zvlink.prm" in the working folder.
#pragma once

#include <cstdint>

struct LinkSettings {
    char host[64];    // "localhost" selects launch mode; anything else connect mode
    uint16_t port;    // launch: port to listen on (0: system's choice); connect: peer port
    char version[10]; // installation path version; empty means "6.1.0"
    // Milliseconds the connect, the handshake and each call (its send and
    // its whole return) may take; 0: no limit. TIMEOUT, in decimal seconds.
    int32_t timeoutMs;
    // The same for the calls in which the solver works alone for long:
    // SLZVIMAN (it loads its model) and the final advance (it runs on to
    // its own duration). LONGTIMEOUT; 0: no limit.
    int32_t longTimeoutMs;
    // 1: each step's advance sends the next step's output request with it,
    // so that a step costs one round trip instead of two.
    int32_t pipeline;
    // Set when the file names the solver's place (HOST, PORT, or a key that
    // looks like one of them) without giving a usable pair: such a file was
    // meant for connect mode, so the link must not start in launch mode
    // behind the user's back. Empty when the file is usable or absent.
    char problem[192];
};

#define LINK_SETTINGS_FILE "zvlink.prm"
#define LINK_DEFAULT_HOST "localhost"
#define LINK_DEFAULT_VERSION "6.1.0"

// 1 when the whole file was read and gave a host and a non-zero port, else 0.
// settings->problem says when the file cannot be used at all.
int readLinkSettings(const char* path, LinkSettings* settings);
// What the link start uses when readLinkSettings answered 0: launch mode on a
// port of the system's choosing; VERSION, TIMEOUT, LONGTIMEOUT and PIPELINE lines that were
// read are kept.
void applyLinkDefaults(LinkSettings* settings);
// The version to launch: the settings' own, or the default when empty.
const char* linkVersion(const LinkSettings* settings);
