// zelvane: a stand-in for the Zelvane solver. It serves the block's link
// either by connecting back to the block that started it (launch mode) or by
// listening for blocks one after another (connect mode).
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "log/zvlog.h"
#include "protocol/protocol.h"
#include "link/settings.h"
#include "solver/faults.h"
#include "solver/replay.h"
#include "solver/session.h"
#include "xsocket/xsocket.h"

namespace {

const char USAGE[] =
    "Usage: zelvane ZVlink -i:PORT [options]   connect to the block at 127.0.0.1:PORT\n"
    "       zelvane --listen PORT [options]    serve blocks on 127.0.0.1:PORT, one link\n"
    "                                          after another (0: any free port, printed\n"
    "                                          as \"listening on port N\"); stops on\n"
    "                                          SIGINT or SIGTERM\n"
    "Options:\n"
    "  --stop-at-eof        also stop at the end of standard input (where no signal\n"
    "                       can be sent, as to a program on Windows without a console)\n"
    "  --fault NAME[=ARG]   commit a fault (repeatable; see below)\n"
    "  --verbose            echo the console to standard output, with the protocol's log\n"
    "  --replay FILE        play the solver recorded in FILE (zvtrace --record): answer\n"
    "                       the block with the recorded frames, byte for byte, and\n"
    "                       stop at the first call that differs from the recorded one\n"
    "                       (one line on standard error, the close frame, exit status 1)\n"
    "  --tolerance REL      numbers within this relative difference count as equal\n"
    "                       (default 0: equal)\n"
    "  --continue           report every difference in a value and keep answering\n"
    "  --help, --version\n"
    "The model is <Model>.dat in the working folder (the folder zelvane was started\n"
    "in, also when it listens); the console goes to screen.zv and the results (time,\n"
    "inputs, outputs) to <Model>.out there. A replay reads no model and writes\n"
    "neither; launched by the block, it replays ZELVANE_REPLAY (with\n"
    "ZELVANE_REPLAY_TOLERANCE and ZELVANE_REPLAY_CONTINUE=1) and copies its lines\n"
    "to replay.txt in the working folder. With --listen it serves the recorded links\n"
    "in turn, then exits. Exit status of a replay: 0 every call matched, 1 a\n"
    "difference, 2 a usage error or a recording it cannot replay.\n\n";

const char VERSION_TEXT[] = "zelvane " ZV_VERSION " (stand-in solver)\n";

// The option a mistyped argument was most likely meant to be, if any.
std::string nearestOption(const std::string& word) {
    static const char* const options[] = {"--listen", "--fault",     "--verbose",
                                          "--help",   "--version",   "--stop-at-eof",
                                          "--replay", "--tolerance", "--continue"};
    std::string best;
    size_t bestDistance = 3; // more edits than this make another word
    for (const char* option : options) {
        const std::string o = option;
        std::vector<size_t> row(o.size() + 1);
        for (size_t j = 0; j <= o.size(); ++j)
            row[j] = j;
        for (size_t i = 1; i <= word.size(); ++i) {
            size_t diagonal = row[0];
            row[0] = i;
            for (size_t j = 1; j <= o.size(); ++j) {
                const size_t up = row[j];
                row[j] = std::min(
                    {row[j] + 1, row[j - 1] + 1, diagonal + (word[i - 1] == o[j - 1] ? 0 : 1)});
                diagonal = up;
            }
        }
        if (row[o.size()] < bestDistance) bestDistance = row[o.size()], best = o;
    }
    return best;
}

extern "C" void onStopSignal(int) {
    solverStopRequested = 1;
}

void installSignalHandlers() {
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
#ifdef SIGPIPE
    // A block that goes away mid-write must end the link, not the solver.
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

bool parsePort(const char* text, uint16_t* port) {
    char* end = nullptr;
    long v = strtol(text, &end, 10);
    if (!*text || *end != '\0' || v < 0 || v > 65535) return false;
    *port = static_cast<uint16_t>(v);
    return true;
}

uint32_t loopbackAddress() {
    uint32_t address;
    const unsigned char bytes[4] = {127, 0, 0, 1};
    memcpy(&address, bytes, 4);
    return address;
}

void reportSocketError(Console& console, const char* what, const XSocket* s) {
    const char* name = nullptr;
    char text[512] = "";
    getXSocketErrorText(s, text, sizeof text, &name);
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r'))
        text[--n] = '\0';
    console.line("%s: %s %s %s", what, name ? name : "", text,
                 s->errorMessage ? s->errorMessage : "");
}

int runLaunched(uint16_t port, const SolverConfig& config, Console& console) {
    for (const Fault& f : config.faults) {
        if (f.kind == FaultKind::NoConnect) {
            console.line("Not connecting back to port %u (fault no-connect).", port);
            sleepUnlessStopped(f.seconds);
            return 0;
        }
    }
    const char* host = "127.0.0.1";
    for (const Fault& f : config.faults)
        if (f.kind == FaultKind::ConnectTo) host = f.text.c_str();
    startXSockets();
    XSocket* s = newXSocket();
    int status = 1;
    if (!s) {
        console.line("Out of memory.");
    } else if (!connectXSocketToHost(s, host, port, nullptr, 0)) {
        reportSocketError(console, "Cannot connect to the block", s);
    } else {
        console.line("Connected to the block at %s port %u.", host, port);
        serveLink(s, config, console);
        status = 0;
    }
    if (s) releaseXSocket(s);
    stopXSockets();
    return status;
}

// A socket listening on 127.0.0.1 at port, its port said on standard output
// for whoever started the solver; null, said on standard error (and on the
// console when one is given), when the port cannot be had.
XSocket* listenOnLoopback(uint16_t port, Console* console) {
    XSocket* listener = newXSocket();
    if (!listener) return nullptr;
    uint32_t loopback = loopbackAddress();
    setXSocketAddress(&listener->localAddress, &loopback, port);
    if (!listenXSocket(listener, 1)) {
        if (console) reportSocketError(*console, "Cannot listen", listener);
        fprintf(stderr, "zelvane: cannot listen on port %u\n", port);
        releaseXSocket(listener);
        return nullptr;
    }
    printf("listening on port %u\n", getXSocketLocalPort(listener));
    fflush(stdout);
    return listener;
}

int runListening(uint16_t port, const SolverConfig& config, Console& console) {
    startXSockets();
    XSocket* listener = listenOnLoopback(port, &console);
    if (!listener) {
        stopXSockets();
        return 1;
    }
    console.line("Listening on port %u.", getXSocketLocalPort(listener));

    int status = 0;
    while (!solverStopRequested) {
        if (!waitReadable(listener)) {
            if (solverStopRequested) break;
            reportSocketError(console, "Wait for a block failed", listener);
            status = 1;
            break;
        }
        XSocket* client = newXSocket();
        if (!client) {
            status = 1;
            break;
        }
        if (acceptXSocket(listener, client)) {
            console.line("Block connected from port %u.", getXSocketRemotePort(client));
            serveLink(client, config, console);
            console.line("Link ended.");
        } else {
            reportSocketError(console, "Accept failed", listener);
        }
        releaseXSocket(client);
    }
    console.line("Stopped.");
    releaseXSocket(listener);
    stopXSockets();
    return status;
}

bool parseTolerance(const char* text, double* tolerance) {
    char* end = nullptr;
    const double v = strtod(text, &end);
    if (!*text || *end != '\0' || !(v >= 0.0) || v > 1e300) return false;
    *tolerance = v;
    return true;
}

// Launched by the block: one link, the recording's first. A recording that
// cannot be replayed is still said to the block at once, with the close
// frame, instead of leaving it to wait for a solver that never comes.
int replayLaunched(uint16_t port, const ReplayPlan* plan, const std::string& refusal,
                   const ReplayOptions& options) {
    startXSockets();
    XSocket* s = newXSocket();
    int status = 2;
    if (!s || !connectXSocketToHost(s, "127.0.0.1", port, nullptr, 0)) {
        replaySay(options, "cannot connect to the block on port " + std::to_string(port));
    } else if (!plan) {
        replaySay(options, refusal);
        writeMessageHeader(s, FLAG_CLOSE, 0);
        status = refusal.rfind("replay refused", 0) == 0 ? 1 : 2;
    } else {
        ReplayTally tally;
        status = replayLink(s, plan->links.front(), 1, *plan, options, tally) ? 0 : 1;
        replaySummary(options, tally);
    }
    if (s) releaseXSocket(s);
    stopXSockets();
    return status;
}

int replayListening(uint16_t port, const ReplayPlan& plan, const ReplayOptions& options) {
    startXSockets();
    XSocket* listener = listenOnLoopback(port, nullptr);
    if (!listener) {
        stopXSockets();
        return 2;
    }
    ReplayTally tally;
    int status = 0;
    for (size_t k = 0; k < plan.links.size() && status == 0; ++k) {
        if (!waitReadable(listener)) {
            replaySay(options, "replay stopped before link " + std::to_string(k + 1));
            status = 1;
            break;
        }
        XSocket* client = newXSocket();
        if (client && acceptXSocket(listener, client))
            status = replayLink(client, plan.links[k], int(k) + 1, plan, options, tally) ? 0 : 1;
        else
            status = 1;
        if (client) releaseXSocket(client);
    }
    replaySummary(options, tally);
    releaseXSocket(listener);
    stopXSockets();
    return status;
}

} // namespace

int main(int argc, char** argv) {
    SolverConfig config;
    bool launch = false, listen = false, verbose = false, stopAtEof = false, faultGiven = false;
    uint16_t port = 0;
    std::string error, replayFile;
    ReplayOptions replay;
    if (const char* env = getenv("ZELVANE_REPLAY")) replayFile = env;
    if (const char* env = getenv("ZELVANE_REPLAY_TOLERANCE")) {
        if (!parseTolerance(env, &replay.tolerance)) {
            fprintf(stderr, "zelvane: ZELVANE_REPLAY_TOLERANCE: not a relative tolerance: %s\n",
                    env);
            return 2;
        }
    }
    if (const char* env = getenv("ZELVANE_REPLAY_CONTINUE"))
        replay.keepGoing = strcmp(env, "1") == 0;

    if (const char* env = getenv("ZELVANE_FAULTS")) {
        if (!parseFaultList(env, &config.faults, &error)) {
            fprintf(stderr, "zelvane: ZELVANE_FAULTS: %s\n", error.c_str());
            return 2;
        }
    }
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            fputs(USAGE, stdout);
            fputs(FAULT_HELP, stdout);
            return 0;
        } else if (strcmp(arg, "--version") == 0) {
            fputs(VERSION_TEXT, stdout);
            return 0;
        } else if ((strcmp(arg, "--listen") == 0 || strcmp(arg, "--fault") == 0 ||
                    strcmp(arg, "--replay") == 0 || strcmp(arg, "--tolerance") == 0) &&
                   i + 1 >= argc) {
            error = std::string(arg) + (arg[2] == 'l'   ? " needs a PORT"
                                        : arg[2] == 'f' ? " needs NAME[=ARG]"
                                        : arg[2] == 'r' ? " needs a FILE"
                                                        : " needs a relative tolerance");
        } else if (strcmp(arg, "--replay") == 0) {
            replayFile = argv[++i];
        } else if (strcmp(arg, "--tolerance") == 0) {
            if (!parseTolerance(argv[++i], &replay.tolerance))
                error = "--tolerance takes a relative tolerance of 0 or more, not " +
                        std::string(argv[i]);
        } else if (strcmp(arg, "--continue") == 0) {
            replay.keepGoing = true;
        } else if (strcmp(arg, "ZVlink") == 0) {
            launch = true;
        } else if (strncmp(arg, "-i:", 3) == 0) {
            if (!parsePort(arg + 3, &port) || port == 0) error = "bad port in " + std::string(arg);
        } else if (strcmp(arg, "--listen") == 0 && i + 1 < argc) {
            listen = true;
            if (!parsePort(argv[++i], &port)) error = "bad port " + std::string(argv[i]);
        } else if (strcmp(arg, "--fault") == 0 && i + 1 < argc) {
            Fault f;
            faultGiven = true;
            if (parseFault(argv[++i], &f, &error)) config.faults.push_back(f);
        } else if (strcmp(arg, "--verbose") == 0) {
            verbose = true;
        } else if (strcmp(arg, "--stop-at-eof") == 0) {
            stopAtEof = true;
        } else {
            const std::string nearest = nearestOption(arg);
            error = "unexpected argument " + std::string(arg) +
                    (nearest.empty() ? "" : "; did you mean " + nearest + "?");
        }
        if (!error.empty()) break;
    }
    if (error.empty() && launch == listen) error = "give either ZVlink -i:PORT or --listen PORT";
    // A replay answers as recorded: a fault would only hide what the recording says.
    if (error.empty() && !replayFile.empty() && faultGiven)
        error = "--fault does not go with --replay";
    if (error.empty() && launch && port == 0) error = "ZVlink needs -i:PORT";
    if (!error.empty()) {
        fprintf(stderr, "zelvane: %s\ntry 'zelvane --help'\n", error.c_str());
        return 2;
    }

    installSignalHandlers();
    if (!replayFile.empty()) {
        // Nothing of a replay needs an orderly end: a stop signal ends it at once.
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        // Its lines say what went wrong; the protocol's log would only add to
        // the host's output in launch mode.
        setLogLevel(verbose ? LOG_DEBUG : LOG_ERROR + 1);
        if (stopAtEof) {
            std::thread([] {
                while (getchar() != EOF) {
                }
                solverStopRequested = 1;
            }).detach();
        }
        // Everything is read and prepared before the block is answered at all.
        FILE* report = launch ? fopen("replay.txt", "w") : nullptr;
        replay.report = report;
        ReplayPlan plan;
        std::string problem;
        bool ready = prepareReplay(replayFile, &plan, &problem);
        if (!ready) problem = "cannot replay " + problem;
        if (ready && launch) {
            // Launched in the block's working folder: its setting is here.
            LinkSettings settings;
            memset(&settings, 0, sizeof settings);
            if (!readLinkSettings(LINK_SETTINGS_FILE, &settings)) applyLinkDefaults(&settings);
            if ((settings.pipeline ? 1 : 0) != plan.pipeline) {
                ready = false;
                problem = pipelineRefusal(plan.pipeline);
            }
        }
        int status;
        if (launch) {
            status = replayLaunched(port, ready ? &plan : nullptr, problem, replay);
        } else if (!ready) {
            replaySay(replay, problem);
            status = 2;
        } else {
            status = replayListening(port, plan, replay);
        }
        if (report) fclose(report);
        return status;
    }
    if (stopAtEof) {
        std::thread([] {
            while (getchar() != EOF) {
            }
            solverStopRequested = 1;
        }).detach();
    }
    // The protocol's own log is for debugging the solver; the console says what happened.
    setLogLevel(verbose ? LOG_DEBUG : LOG_ERROR + 1);
    Console console;
    console.echo = verbose;
    if (!console.open("screen.zv")) fprintf(stderr, "zelvane: cannot write screen.zv\n");
    console.line("Zelvane stand-in solver 6.1");
    for (const Fault& f : config.faults)
        if (f.kind == FaultKind::ExitAtStart) {
            console.line("Exiting with status %d (fault exit).", f.count);
            return f.count;
        }
    int status = launch ? runLaunched(port, config, console) : runListening(port, config, console);
    console.close();
    return status;
}
