// zvtrace: sits between the block and the solver and writes one line per
// frame that passes, in each direction, decoded by the catalogue.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "link/link.h"
#include "link/settings.h"
#include "log/zvlog.h"
#include "relay.h"
#include "xsocket/xsocket.h"

namespace {

const char VERSION[] = "zvtrace " ZV_VERSION "\n";

const char USAGE[] =
    "Usage: zvtrace --listen PORT --to HOST:PORT [options]\n"
    "       zvtrace ZVlink -i:PORT      (started by the block in place of the solver)\n"
    "\n"
    "Sits between the block and the solver and passes every byte on unchanged,\n"
    "writing one line per frame: time (s), direction, kind (handshake, call,\n"
    "return, close, lost, unknown), the function and its fields decoded by the\n"
    "catalogue's signature (i: in the call, o: in the return, b: both; <: array),\n"
    "and \"-> N\" for an integer result. A frame that does not decode is marked\n"
    "MALFORMED with the reason, and passed on all the same.\n"
    "\n"
    "Connect mode: the block connects to zvtrace, zvtrace to the solver.\n"
    "  --listen PORT     port on 127.0.0.1 for the block (0: any free port; the\n"
    "                    first line printed is \"listening on port N\")\n"
    "  --to HOST:PORT    where the solver listens\n"
    "  --once            trace one link, then exit (default: one link after\n"
    "                    another until Ctrl-C)\n"
    "Output:\n"
    "  --raw             add each frame's bytes in hex (at most 4096 per frame)\n"
    "  --jsonl FILE      also write each frame as one JSON object per line\n"
    "  --output FILE     the text lines to FILE instead of standard output\n"
    "  --record FILE     also record every frame whole, for zelvane --replay (JSON\n"
    "                    lines, flushed per frame; see the README)\n"
    "  --version, --help\n"
    "\n"
    "Launch mode: the block starts $ZVIHOME/v<version>/Zelvane/bin/zelvane. Make\n"
    "that program zvtrace (a copy or a link in a folder tree of its own, with\n"
    "ZVIHOME pointing there), and name the real solver in ZVTRACE_SOLVER. zvtrace\n"
    "then starts the solver itself and traces into ZVTRACE_OUTPUT (default\n"
    "zvtrace.txt in the working folder, \"-\" for standard output); ZVTRACE_JSONL\n"
    "names a JSON lines file, ZVTRACE_RAW=1 adds the bytes, ZVTRACE_RECORD names\n"
    "a recording (as --record; the PIPELINE setting comes from zvlink.prm there).\n"
    "\n"
    "Exit status: 0 done, 1 a link could not be set up, 2 a usage error.\n";

extern "C" void onStop(int) {
    zvtrace::traceStopRequested = 1;
}

struct Options {
    bool launch = false;
    int listenPort = -1;
    std::string host;
    int port = -1;
    bool once = false, raw = false;
    std::string jsonl, output, record;
};

bool parsePort(const std::string& text, int* port) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < 0 || v > 65535) return false;
    *port = static_cast<int>(v);
    return true;
}

int usageError(const std::string& problem) {
    std::fprintf(stderr, "zvtrace: %s\ntry 'zvtrace --help'\n", problem.c_str());
    return 2;
}

std::FILE* openOutput(const std::string& path, const char* what) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) std::fprintf(stderr, "zvtrace: cannot write the %s file %s\n", what, path.c_str());
    return f;
}

uint32_t loopback() {
    uint32_t address;
    const unsigned char bytes[4] = {127, 0, 0, 1};
    std::memcpy(&address, bytes, 4);
    return address;
}

// Waits for a connection in slices, so that Ctrl-C is seen; null when none came.
XSocket* acceptOne(XSocket* listener, int32_t seconds) {
    setXSocketTimeout(listener, 1);
    for (int32_t waited = 0; !zvtrace::traceStopRequested && waited < seconds; ++waited) {
        if (!waitXSocket(listener, 1)) continue;
        XSocket* client = newXSocket();
        if (client && acceptXSocket(listener, client)) return client;
        releaseXSocket(client);
        return nullptr;
    }
    return nullptr;
}

int serveConnectMode(const Options& o, zvtrace::TraceOutput& out) {
    XSocket* listener = newXSocket();
    const uint32_t address = loopback();
    setXSocketAddress(&listener->localAddress, &address, static_cast<uint16_t>(o.listenPort));
    if (!listenXSocket(listener, 1)) {
        std::fprintf(stderr, "zvtrace: cannot listen on port %d: %s\n", o.listenPort,
                     zvtrace::socketErrorText(listener).c_str());
        releaseXSocket(listener);
        return 1;
    }
    std::printf("listening on port %u\n", getXSocketLocalPort(listener));
    std::fflush(stdout);
    int status = 0;
    while (!zvtrace::traceStopRequested) {
        XSocket* block = acceptOne(listener, 1 << 30);
        if (!block) continue;
        out.note("block connected from port " + std::to_string(getXSocketRemotePort(block)) +
                 "; connecting to the solver at " + o.host + ":" + std::to_string(o.port));
        XSocket* solver = newXSocket();
        if (!connectXSocketToHost(solver, o.host.c_str(), static_cast<uint16_t>(o.port), nullptr,
                                  0)) {
            // The block sees its connection end, as it would without the trace.
            out.note("cannot reach the solver at " + o.host + ":" + std::to_string(o.port) + ": " +
                     zvtrace::socketErrorText(solver));
            releaseXSocket(solver);
            releaseXSocket(block);
            status = 1;
        } else {
            zvtrace::relayLink(block, solver, out);
            out.note("link ended");
        }
        if (o.once) break;
    }
    releaseXSocket(listener);
    return status;
}

int serveLaunchMode(const Options& o, zvtrace::TraceOutput& out) {
    // The block is waiting: reach it first, so that whatever fails later
    // ends its link at once instead of after its accept time-out.
    XSocket* block = newXSocket();
    if (!connectXSocketToHost(block, "127.0.0.1", static_cast<uint16_t>(o.port), nullptr, 0)) {
        out.note("cannot reach the block on port " + std::to_string(o.port) + ": " +
                 zvtrace::socketErrorText(block));
        releaseXSocket(block);
        return 1;
    }
    const char* solverProgram = std::getenv("ZVTRACE_SOLVER");
    if (!solverProgram || !*solverProgram) {
        std::fprintf(stderr, "zvtrace: started as the solver, but ZVTRACE_SOLVER does not name "
                             "the real one\n");
        out.note("ZVTRACE_SOLVER is not set; no solver to start");
        releaseXSocket(block);
        return 1;
    }
    XSocket* listener = newXSocket();
    const uint32_t address = loopback();
    setXSocketAddress(&listener->localAddress, &address, 0);
    char command[LINK_COMMAND_SIZE];
    const std::string program = solverProgram;
#ifdef _WIN32
    const std::string quote = program.find(' ') != std::string::npos ? "\"" : "";
#else
    const std::string quote; // the POSIX launcher takes the whole text before the arguments
#endif
    bool ok = listenXSocket(listener, 1);
    const int n = std::snprintf(command, sizeof command, "%s%s%s ZVlink -i:%u", quote.c_str(),
                                program.c_str(), quote.c_str(), getXSocketLocalPort(listener));
    if (!ok) {
        out.note("cannot listen for the solver: " + zvtrace::socketErrorText(listener));
    } else if (n < 0 || n >= static_cast<int>(sizeof command) || !startSolverProcess(command)) {
        out.note(std::string("cannot start the solver: ") + command);
        ok = false;
    } else {
        out.note(std::string("started ") + command + "; the block is on port " +
                 std::to_string(o.port));
    }
    XSocket* solver = ok ? acceptOne(listener, LINK_ACCEPT_TIMEOUT) : nullptr;
    releaseXSocket(listener);
    if (!solver) {
        if (ok) out.note("the solver did not connect back");
        releaseXSocket(block);
        return 1;
    }
    zvtrace::relayLink(block, solver, out);
    out.note("link ended");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasNext = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(USAGE, stdout);
            return 0;
        } else if (arg == "--version") {
            std::fputs(VERSION, stdout);
            return 0;
        } else if (arg == "ZVlink") {
            o.launch = true;
        } else if (arg.rfind("-i:", 0) == 0) {
            if (!parsePort(arg.substr(3), &o.port) || o.port == 0)
                return usageError("bad port in " + arg);
        } else if (arg == "--listen" || arg == "--to" || arg == "--jsonl" || arg == "--output" ||
                   arg == "--record") {
            if (!hasNext) return usageError(arg + " needs a value");
            const std::string value = argv[++i];
            if (arg == "--listen") {
                if (!parsePort(value, &o.listenPort))
                    return usageError("--listen takes a port from 0 to 65535, not " + value);
            } else if (arg == "--to") {
                const size_t colon = value.rfind(':');
                if (colon == std::string::npos || colon == 0 ||
                    !parsePort(value.substr(colon + 1), &o.port) || o.port == 0)
                    return usageError("--to takes HOST:PORT, not " + value);
                o.host = value.substr(0, colon);
            } else {
                (arg == "--jsonl" ? o.jsonl : arg == "--record" ? o.record : o.output) = value;
            }
        } else if (arg == "--once") {
            o.once = true;
        } else if (arg == "--raw") {
            o.raw = true;
        } else {
            return usageError("unknown argument " + arg);
        }
    }
    if (o.launch) {
        if (o.port <= 0) return usageError("ZVlink needs -i:PORT");
        const char* output = std::getenv("ZVTRACE_OUTPUT");
        const char* jsonl = std::getenv("ZVTRACE_JSONL");
        const char* raw = std::getenv("ZVTRACE_RAW");
        o.output = output && *output ? output : "zvtrace.txt";
        if (o.output == "-") o.output.clear();
        if (jsonl) o.jsonl = jsonl;
        if (const char* record = std::getenv("ZVTRACE_RECORD")) o.record = record;
        o.raw = raw && std::strcmp(raw, "1") == 0;
    } else if (o.listenPort < 0 || o.host.empty()) {
        return usageError("give --listen PORT and --to HOST:PORT");
    }

    std::FILE* text = stdout;
    if (!o.output.empty() && !(text = openOutput(o.output, "trace"))) return 2;
    std::FILE* jsonl = nullptr;
    if (!o.jsonl.empty() && !(jsonl = openOutput(o.jsonl, "JSON lines"))) return 2;

    std::FILE* recordFile = nullptr;
    if (!o.record.empty() && !(recordFile = openOutput(o.record, "recording"))) return 2;
    zvtrace::RecordingSetup setup;
    if (o.launch) {
        const char* solver = std::getenv("ZVTRACE_SOLVER");
        setup.mode = "launch";
        setup.solver = solver ? solver : "";
        // Launched in the block's working folder: its settings are here.
        LinkSettings settings;
        std::memset(&settings, 0, sizeof settings);
        setLogLevel(LOG_ERROR + 1); // the block warns of a bad line itself
        if (!readLinkSettings(LINK_SETTINGS_FILE, &settings)) applyLinkDefaults(&settings);
        setup.pipeline = settings.pipeline ? 1 : 0;
    } else {
        setup.mode = "connect";
        setup.solver = o.host + ":" + std::to_string(o.port);
    }
    zvtrace::RecordingWriter record(recordFile, setup);

    std::signal(SIGINT, onStop);
    std::signal(SIGTERM, onStop);
    startXSockets();
    zvtrace::traceClock();
    zvtrace::TraceOutput out(text, jsonl, o.raw, recordFile ? &record : nullptr);
    const int status = o.launch ? serveLaunchMode(o, out) : serveConnectMode(o, out);
    stopXSockets();
    if (text != stdout) std::fclose(text);
    if (jsonl) std::fclose(jsonl);
    if (recordFile) std::fclose(recordFile);
    return status;
}
