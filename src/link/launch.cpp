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
#include "protocol/protocol.h"

LinkState linkState = {nullptr, 0, nullptr, LINK_ACCEPT_TIMEOUT, 0, 0, 0, 0, 0, 0, 0, "TIMEOUT", 0, 0};

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

// A start that failed keeps the link's record, but no connection in it: a
// solver that was reached but not greeted must not get calls, and a socket
// that never connected has nothing to close with the solver. One that was
// greeted is told the link is over: it may only have been slow.
int startFailed(const char* message) {
    logMessage(LOG_ERROR, "%s", message);
    if (linkState.socket) {
        if (linkState.greeted) sayLinkOver(linkState.socket);
        closeXSocket(linkState.socket);
    }
    return 0;
}

void logLimits(void) {
    char timeout[32] = "none", longTimeout[32] = "none";
    if (linkState.replyTimeout > 0)
        snprintf(timeout, sizeof timeout, "%g s", limitSeconds(linkState.replyTimeout));
    if (linkState.longTimeout > 0)
        snprintf(longTimeout, sizeof longTimeout, "%g s", limitSeconds(linkState.longTimeout));
    // Said where a run's messages are read when a limit can end the link.
    const bool limited = linkState.replyTimeout > 0 || linkState.longTimeout > 0;
    logMessage(limited ? LOG_INFO : LOG_DEBUG,
               "time limits: TIMEOUT %s (the connect, the handshake, each call), LONGTIMEOUT %s "
               "(SLZVIMAN, the final advance)",
               timeout, longTimeout);
}

// Seconds left until deadline, at least 1: the listening socket's waits
// take whole seconds.
int32_t secondsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    return left <= 0 ? 0 : static_cast<int32_t>((left + 999) / 1000);
}

// Accepts the launched solver's connection into linkState.socket. The
// listening socket takes connections on every interface, so one from
// another machine is closed and the wait goes on, within the same limit.
int acceptSolver(XSocket* server) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(linkState.acceptTimeout);
    for (;;) {
        if (!acceptXSocket(server, linkState.socket)) return 0;
        if (isXSocketPeerLocal(linkState.socket)) return 1;
        // Closed before a byte is read: only the solver launched here may talk.
        logMessage(LOG_WARN,
                   "refused a connection from %s: it does not come from this machine, where the "
                   "launched solver runs",
                   getXSocketRemoteAddress(linkState.socket));
        closeXSocket(linkState.socket);
        const int32_t left = secondsLeft(deadline);
        if (left == 0) {
            setXSocketError(server, 0, XSOCKET_ETIMEDOUT, "select() timed out.");
            return 0;
        }
        setXSocketTimeout(server, left);
    }
}

} // namespace

int startLink(void) {
    startLinkLog();
    // A link left over from an earlier start (a run that failed) would
    // otherwise be overwritten; its solver is told, as at a run's end.
    if (linkState.socket) endLink();
    LinkSettings settings;
    if (!readLinkSettings(LINK_SETTINGS_FILE, &settings)) applyLinkDefaults(&settings);
    linkState.replyTimeout = settings.timeoutMs;
    linkState.longTimeout = settings.longTimeoutMs;
    linkState.pipeline = settings.pipeline;
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
    if (!startSolverProcess(command)) {
        logMessage(LOG_ERROR, "Error executing command: %s", command);
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
    return sendHandshake();
}

int connectToSolver(uint16_t port, const char* host) {
    startLinkLog();
    if (!startLinkSockets()) return 0;
    linkState.socket = newXSocket();
    if (!linkState.socket) return 0;
    logMessage(LOG_DEBUG, "connecting to %s port %hu", host, port);
    // The limit bounds the connect too: a host that drops the attempt
    // would otherwise hold it for minutes.
    boundLinkExchange(linkState.socket, "TIMEOUT", linkState.replyTimeout);
    const auto started = std::chrono::steady_clock::now();
    if (!connectXSocketToHost(linkState.socket, host, port, nullptr, 0)) {
        logXSocketError(linkState.socket);
        // A refused connect is recorded as a time-out too; only the clock tells.
        if (linkWaitTimedOut(linkState.socket) &&
            std::chrono::steady_clock::now() - started >=
                std::chrono::milliseconds(linkState.replyTimeout))
            logMessage(LOG_ERROR, "no connection to %s port %hu within %g s (TIMEOUT in %s)", host,
                       port, limitSeconds(linkState.replyTimeout), LINK_SETTINGS_FILE);
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
    boundLinkExchange(s, "TIMEOUT", linkState.replyTimeout);
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
                       limitSeconds(linkState.replyTimeout), LINK_SETTINGS_FILE);
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
