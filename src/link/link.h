// The link to the solver: bringing it up (launch or connect, then the
// handshake), the exchange of one remote call with its return, the handling
// of whatever else the solver sends, and the end of the link. One link per
// process, shared by every block instance. All results are 1 or 0.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "xsocket/xsocket.h"

struct FieldPointers;

// Called with 1 when a remote call failed, 0 when the solver closed the link
// or the connection was lost, -1 when no link could be started. It may end
// the host's current call without returning.
typedef void (*LinkErrorCallback)(int32_t code);
// Handles a frame other than the awaited return; its body is still unread.
typedef int (*LinkMessageHandler)(uint32_t byteFlag, int32_t length);

#define LINK_ACCEPT_TIMEOUT 30 // seconds a launched solver has to connect back
#define LINK_COMMAND_SIZE 1024 // command line with its NUL
// A launched solver that the block gives up on is asked to end and has this
// long to save its results before it is killed.
#define LINK_SOLVER_GRACE_MS 5000

// ---- start (launch or connect, handshake) ----
int startLink(void);
int launchSolver(uint16_t port, const char* version);
int connectToSolver(uint16_t port, const char* host);
int sendHandshake(void);
// body: the reply text, NUL-terminated.
int checkHandshakeReply(const char* body);
// 1 when the last start reached a solver that listens (connect mode), 0
// when it launched one.
int linkConnectMode(void);
// Bounds the wait for a launched solver; 30 seconds unless changed.
void setLinkAcceptTimeout(int32_t seconds);
// Why the last start failed, in one line for the user, when the link knows
// more than its log's lines say (a launched solver that ended); else "".
const char* linkStartFailure(void);

// ---- solver process (the platform-specific part) ----
// Writes the solver's command line for an installation root, a version and
// a port; 0 when it would not fit in size bytes (nothing useful is written).
int formatSolverCommand(char* buffer, int size, const char* home, const char* version,
                        uint16_t port);
// Starts the program named by a command line from formatSolverCommand and
// does not wait for it. 1 when the program was started; it is then watched
// until it ends or the block lets go of it.
int startSolverProcess(const char* commandLine);
// Why the last startSolverProcess answered 0, in the system's words; ""
// when the system gave no reason.
const char* solverStartFailure(void);
// 1 once the watched solver has ended; how then says how ("exited with
// status 3", "was ended by signal 9"). 0 while it runs or none is watched.
int launchedSolverEnded(char* how, int size);
// The watched solver's process id; 0 when none is watched.
int launchedSolverId(void);
// Asks the watched solver to end, kills it when it has not ended within
// graceMilliseconds, waits for its end and stops watching it. 0: none was
// running; 1: it ended when asked; 2: it had to be killed.
int stopLaunchedSolver(int graceMilliseconds);
// Stops watching the solver without ending it: one that was told the link
// has ended finishes on its own.
void releaseLaunchedSolver(void);
// Sleeps the calling thread.
void pauseLink(int milliseconds);
// Gives up on the solver the block launched, if it still runs: logged, then
// ended as stopLaunchedSolver does with LINK_SOLVER_GRACE_MS.
void endLaunchedSolver(void);

// ---- exchange and end ----
void setErrorCallback(LinkErrorCallback fn);
// Calls the error callback when one is registered.
void notifyLinkError(int32_t code);
// The link, started on demand. Null when none could be started (the error
// callback has then had -1) or when the solver closed it during the start.
XSocket* getLink(void);
// The link as it stands; never starts one.
XSocket* currentLink(void);
// Sends call id with the argument addresses in signature order and waits
// for its return. Every text/array count of an [o] field must hold the
// capacity of its memory when called.
// id is an int, not a uint16_t: va_start needs a last parameter that is not
// promoted.
int callRemote(XSocket* link, LinkMessageHandler handler, int id, ...);
int vcallRemote(XSocket* link, LinkMessageHandler handler, uint16_t id, va_list args);
// vcallRemote with the argument pointers as the protocol walks them.
int callRemoteFields(XSocket* link, LinkMessageHandler handler, uint16_t id, FieldPointers* fields);
// The second half of a call: waits for the return of call id, already sent.
int vawaitRemoteReturn(XSocket* link, LinkMessageHandler handler, uint16_t id, va_list args);
// The next call is the final advance, during which the solver may run on
// alone to its own duration: LONGTIMEOUT bounds it, not TIMEOUT.
void markFinalAdvance(void);

// ---- a call sent ahead ----
// A call whose arguments are known a step early can travel in the same
// write as the call before it; its return is then taken when it is wanted.
// The solver answers in order, so that return must be taken before any
// other call is sent.
//
// Whether the link was started with PIPELINE=1 in the settings.
int linkPipelined(void);
// The call sent ahead whose return has not been taken; 0 when none.
uint16_t callAheadOutstanding(void);
// Sends call id and, in the same write, aheadFrame (the whole frame of call
// aheadId, from packFunctionMessage), then waits for id's return as
// callRemote does. aheadId's return stays on its way until
// vawaitRemoteReturn takes it.
int vcallRemoteAhead(XSocket* link, LinkMessageHandler handler, uint16_t id, va_list args,
                     uint16_t aheadId, const unsigned char* aheadFrame, int32_t aheadLength);
int processMessage(uint32_t byteFlag, int32_t length);
int refuseIncomingCall(int32_t length);
int onLinkClosedBySolver(void);
void closeLink(void);
// The orderly end: the close frame, and a launched solver left to finish.
int endLink(void);
// The end of a link the block gives up on: the close frame where the link
// still carries it, then a launched solver is ended.
int abandonLink(void);
