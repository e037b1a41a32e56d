// Bringing the link up: settings, launch of or connection to the solver, and
// the handshake that must succeed before any call travels.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/link.h"
#include "link/link_state.h"
#include "link/settings.h"
#include "log/zvlog.h"
#include "protocol/catalogue.h"
#include "protocol/protocol.h"

LinkState linkState = {nullptr, 0, nullptr, LINK_ACCEPT_TIMEOUT, {}, 0, 0, 0, 0, 0, 0};

int linkConnectMode(void) {
    return linkState.connectMode;
}

void setLinkAcceptTimeout(int32_t seconds) {
    linkState.acceptTimeout = seconds;
}

int startLinkSockets(void) {
    if (linkState.socketsStarted) return 1;
    if (!startXSockets()) return 0;
    linkState.socketsStarted = 1;
    return 1;
}

namespace {

// The program of the last launch, for the messages about it.
char solverProgram[LINK_COMMAND_SIZE] = "";
char startFailure[1200] = "";

// A start that failed keeps the link's record, but no connection in it: a
// solver that was reached but not greeted must not get calls, and a socket
// that never connected has nothing to close with the solver. One that was
// greeted is told the link is over: it may only have been slow. A solver
// the block launched is not left running behind it.
int startFailed(const char* message) {
    logMessage(LOG_ERROR, "%s", message);
    if (linkState.socket) {
        if (linkState.greeted) sayLinkOver(linkState.socket);
        closeXSocket(linkState.socket);
    }
    endLaunchedSolver();
    return 0;
}

void logLimits(void) {
    char timeout[32] = "none", longTimeout[32] = "none";
    if (linkState.settings.timeoutMs > 0)
        snprintf(timeout, sizeof timeout, "%g s", limitSeconds(linkState.settings.timeoutMs));
    if (linkState.settings.longTimeoutMs > 0)
        snprintf(longTimeout, sizeof longTimeout, "%g s",
                 limitSeconds(linkState.settings.longTimeoutMs));
    // Said where a run's messages are read when a limit can end the link.
    const bool limited = linkState.settings.timeoutMs > 0 || linkState.settings.longTimeoutMs > 0;
    logMessage(limited ? LOG_INFO : LOG_DEBUG,
               "time limits: TIMEOUT %s (the connect, the handshake, each call), LONGTIMEOUT %s "
               "(SLZVIMAN, the final advance)",
               timeout, longTimeout);
}

// A launched solver that ended before the link was up: said once, in the
// log and for the block to show, with where to look next.
bool reportEndedSolver(const char* when) {
    char how[96];
    if (!launchedSolverEnded(how, sizeof how)) return false;
    // A long path is cut rather than the sentence that says what to do.
    snprintf(startFailure, sizeof startFailure,
             "The solver %.900s %.90s %.40s: its own output (console, screen.zv) says why.",
             solverProgram, how, when);
    logMessage(LOG_ERROR, "%s", startFailure);
    return true;
}

// The program part of a command line: everything before its fixed arguments.
void keepSolverProgram(const char* command) {
    snprintf(solverProgram, sizeof solverProgram, "%s", command);
    char* arguments = strstr(solverProgram, " ZVlink -i:");
    if (arguments) *arguments = '\0';
    // A path quoted for the command line is shown as the path it is.
    const size_t n = strlen(solverProgram);
    if (n >= 2 && solverProgram[0] == '"' && solverProgram[n - 1] == '"') {
        memmove(solverProgram, solverProgram + 1, n - 2);
        solverProgram[n - 2] = '\0';
    }
}

// Accepts the launched solver's connection into linkState.socket. The
// listening socket takes connections on every interface, so one from
// another machine is closed and the wait goes on, within the same limit.
// The wait is taken a second at a time so that a solver that ends before it
// connects back ends the wait too.
int acceptSolver(XSocket* server) {
    // TIMEOUT, where it is shorter, bounds the wait for the solver too.
    int64_t limitMs = int64_t(linkState.acceptTimeout) * 1000;
    if (linkState.settings.timeoutMs > 0 && linkState.settings.timeoutMs < limitMs)
        limitMs = linkState.settings.timeoutMs;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        const int64_t left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 deadline - std::chrono::steady_clock::now())
                                 .count();
        if (left <= 0) {
            setXSocketError(server, 0, XSOCKET_ETIMEDOUT, "select() timed out.");
            return 0;
        }
        // A second at most per wait, to look at the solver in between.
        setXSocketDeadline(server, static_cast<int32_t>(left < 1000 ? left : 1000));
        if (!acceptXSocket(server, linkState.socket)) {
            const bool waitedOut = !server->libraryError && server->errorCode == XSOCKET_ETIMEDOUT;
            if (!waitedOut) return 0;
            if (reportEndedSolver("before it connected back")) return 0;
            continue;
        }
        if (isXSocketPeerLocal(linkState.socket)) return 1;
        // Closed before a byte is read: only the solver launched here may talk.
        logMessage(LOG_WARN,
                   "refused a connection from %s: it does not come from this machine, where the "
                   "launched solver runs",
                   getXSocketRemoteAddress(linkState.socket));
        closeXSocket(linkState.socket);
    }
}

} // namespace

const char* linkStartFailure(void) {
    return startFailure;
}

void endLaunchedSolver(void) {
    const int id = launchedSolverId();
    if (!id) return;
    char how[96];
    // Whether the solver has ended by now is a race with its own exit:
    // only what the user must know is said at the default level.
    if (launchedSolverEnded(how, sizeof how)) {
        const bool normal = strcmp(how, "exited with status 0") == 0;
        logMessage(normal ? LOG_DEBUG : LOG_INFO, "the solver the block launched %s", how);
        releaseLaunchedSolver();
        return;
    }
    logMessage(LOG_DEBUG, "ending the solver the block launched (process %d)", id);
    if (stopLaunchedSolver(LINK_SOLVER_GRACE_MS) == 2)
        logMessage(LOG_WARN, "the solver did not end within %d s of being asked; killed it",
                   LINK_SOLVER_GRACE_MS / 1000);
}

int startLink(void) {
    startLinkLog();
    startFailure[0] = '\0';
    // A link left over from an earlier start (a run that failed) would
    // otherwise be overwritten; its solver is told, and one the block
    // launched is not left running.
    if (linkState.socket) abandonLink();
    LinkSettings settings;
    if (!readLinkSettings(LINK_SETTINGS_FILE, &settings)) {
        if (settings.problem[0]) {
            snprintf(startFailure, sizeof startFailure, "%s", settings.problem);
            logMessage(LOG_ERROR, "%s", settings.problem);
            return 0;
        }
        applyLinkDefaults(&settings);
    }
    linkState.settings = settings;
    linkState.greeted = 0;
    linkState.nextCallLong = 0;
    logLimits();
    linkState.connectMode = strcmp(settings.host, LINK_DEFAULT_HOST) != 0;
    if (!linkState.connectMode) {
        if (launchSolver(settings.port, linkVersion(&settings))) return 1;
        return startFailed("unable to start server");
    }
    if (connectToSolver(settings.port, settings.host)) return 1;
    return startFailed("error trying to initialize connection");
}

int launchSolver(uint16_t port, const char* version) {
    const char* home = getenv("ZVIHOME");
    startLinkLog();
    if (!home) {
        logMessage(LOG_ERROR, "%s environment variable not set.", "ZVIHOME");
        logMessage(LOG_ERROR, "Please set the %s environment variable and restart.", "ZVIHOME");
        return 0;
    }
    if (!version || !*version) version = LINK_DEFAULT_VERSION;
    if (!startLinkSockets()) return 0;

    XSocket* server = newXSocket();
    if (!server) return 0;
    // Every interface: a solver may connect back by the machine's name.
    // Only connections from this machine are kept (acceptSolver).
    const uint32_t any = htonl(INADDR_ANY);
    setXSocketTimeout(server, linkState.acceptTimeout);
    setXSocketAddress(&server->localAddress, &any, port);
    if (!listenXSocket(server, 1)) {
        logXSocketError(server);
        releaseXSocket(server);
        return 0;
    }

    char command[LINK_COMMAND_SIZE];
    if (!formatSolverCommand(command, sizeof command, home, version, getXSocketLocalPort(server))) {
        logMessage(LOG_ERROR, "Command string is too long.");
        logMessage(LOG_ERROR, "Most likely cause is a long path.");
        releaseXSocket(server);
        return 0;
    }
    keepSolverProgram(command);
    logMessage(LOG_INFO, "launch mode: starting the solver %s", solverProgram);
    if (!startSolverProcess(command)) {
        logMessage(LOG_ERROR, "Error executing command: %s", command);
        if (solverStartFailure()[0]) logMessage(LOG_ERROR, "    %s", solverStartFailure());
        releaseXSocket(server);
        return 0;
    }

    linkState.socket = newXSocket();
    if (!linkState.socket || !acceptSolver(server)) {
        logXSocketError(server);
        releaseXSocket(server);
        return 0;
    }
    releaseXSocket(server);
    setXSocketNoDelay(linkState.socket, 1); // one small frame per step: no batching delay
    logMessage(LOG_DEBUG, "successfully connected! sending handshake");
    if (sendHandshake()) return 1;
    // A solver that ended while it was being greeted: its end lags the
    // connection's by a moment.
    for (int i = 0; i < 25 && launchedSolverId() && !reportEndedSolver("during the handshake"); ++i)
        pauseLink(20);
    return 0;
}

int connectToSolver(uint16_t port, const char* host) {
    startLinkLog();
    if (!startLinkSockets()) return 0;
    linkState.socket = newXSocket();
    if (!linkState.socket) return 0;
    logMessage(LOG_INFO, "connect mode: connecting to %s port %hu", host, port);
    // The limit bounds the connect too: a host that drops the attempt
    // would otherwise hold it for minutes.
    boundLinkExchange(linkState.socket, 0);
    if (!connectXSocketToHost(linkState.socket, host, port, nullptr, 0)) {
        XSocket* s = linkState.socket;
        logXSocketError(s);
        if (!s->libraryError && s->errorCode == XSOCKET_ECONNREFUSED)
            logMessage(LOG_ERROR, "%s port %hu refused the connection: no solver listens there",
                       host, port);
        else if (linkWaitTimedOut(s))
            logMessage(LOG_ERROR, "no connection to %s port %hu within %g s (TIMEOUT in %s)", host,
                       port, limitSeconds(linkState.settings.timeoutMs), LINK_SETTINGS_FILE);
        else if (!s->libraryError && s->errorCode == XSOCKET_ETIMEDOUT)
            logMessage(LOG_ERROR, "no connection to %s port %hu: the attempt timed out", host,
                       port);
        return 0;
    }
    setXSocketNoDelay(linkState.socket, 1);
    logMessage(LOG_DEBUG, "successfully connected! sending handshake");
    return sendHandshake();
}

int sendHandshake(void) {
    static const char text[LINK_HANDSHAKE_LENGTH] = LINK_HANDSHAKE_TEXT;
    XSocket* s = linkState.socket;
    if (!s) return 0;
    boundLinkExchange(s, 0);
    if (!writeMessageHeader(s, FLAG_HANDSHAKE, LINK_HANDSHAKE_LENGTH) ||
        !writeMessageData(s, text, LINK_HANDSHAKE_LENGTH)) {
        logXSocketError(s);
        return 0;
    }
    linkState.greeted = 1;
    logMessage(LOG_DEBUG, "sent handshake!  waiting for reply...");
    uint32_t flag = 0;
    int32_t length = 0;
    if (!readMessageHeader(s, &flag, &length)) {
        logXSocketError(s);
        if (linkWaitTimedOut(s))
            logMessage(LOG_ERROR, "no handshake reply within %g s (TIMEOUT in %s)",
                       limitSeconds(linkState.settings.timeoutMs), LINK_SETTINGS_FILE);
        return 0;
    }
    logMessage(LOG_DEBUG, "received reply...");
    return processMessage(flag, length);
}

int checkHandshakeReply(const char* body) {
    if (body && strcmp(body, "OK") == 0) return 1;
    logMessage(LOG_ERROR, "error in handshake reply: %s", body ? body : "");
    return 0;
}
