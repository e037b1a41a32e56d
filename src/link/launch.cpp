// Bringing the link up: settings, launch of or connection to the solver, and
// the handshake that must succeed before any call travels.
#include <cstdlib>
#include <cstring>

#include "link/link.h"
#include "link/link_state.h"
#include "link/settings.h"
#include "log/zvlog.h"
#include "protocol/protocol.h"

LinkState linkState = {nullptr, 0, nullptr, LINK_ACCEPT_TIMEOUT};

void setLinkAcceptTimeout(int32_t seconds) {
    linkState.acceptTimeout = seconds;
}

int startLinkSockets(void) {
    if (linkState.socketsStarted) return 1;
    if (!startXSockets()) return 0;
    linkState.socketsStarted = 1;
    return 1;
}

int startLink(void) {
    startLinkLog();
    // A link left over from an earlier start would otherwise be overwritten
    // and its socket never closed.
    if (linkState.socket) closeLink();
    LinkSettings settings;
    if (!readLinkSettings(LINK_SETTINGS_FILE, &settings)) applyLinkDefaults(&settings);
    if (strcmp(settings.host, LINK_DEFAULT_HOST) == 0) {
        if (launchSolver(settings.port, linkVersion(&settings))) return 1;
        logMessage(LOG_ERROR, "unable to start server");
        return 0;
    }
    if (connectToSolver(settings.port, settings.host)) return 1;
    logMessage(LOG_ERROR, "error trying to initialize connection");
    return 0;
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
    // The solver runs on this machine, so nobody else gets a chance to
    // answer in its place.
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    setXSocketTimeout(server, linkState.acceptTimeout);
    setXSocketAddress(&server->localAddress, &loopback, port);
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
    if (!linkState.socket || !acceptXSocket(server, linkState.socket)) {
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
    if (!connectXSocketToHost(linkState.socket, host, port, nullptr, 0)) {
        logXSocketError(linkState.socket);
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
    if (!writeMessageHeader(s, FLAG_HANDSHAKE, LINK_HANDSHAKE_LENGTH) ||
        !writeMessageData(s, text, LINK_HANDSHAKE_LENGTH)) {
        logXSocketError(s);
        return 0;
    }
    logMessage(LOG_DEBUG, "sent handshake!  waiting for reply...");
    uint32_t flag = 0;
    int32_t length = 0;
    if (!readMessageHeader(s, &flag, &length)) {
        logXSocketError(s);
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
