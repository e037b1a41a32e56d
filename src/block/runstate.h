// The block's process-wide run state: one set per loaded library, shared by
// every instance of the block. The start method resets it for every run.
#pragma once

// How the current (or last) run goes or went.
enum {
    RUN_NORMAL = 0,           // nothing has gone wrong so far
    RUN_REFUSED = 1,          // the start method refused the run with an F*** text
    RUN_LINK_FAILED = 2,      // no link, or the solver side failed
    RUN_SOLVER_COMPLETED = -1 // the solver finished first and the block stopped Simulink
};

// Which side's clock ends the run.
enum {
    DURATION_SIMULINK = 1, // Simulink's stop time
    DURATION_SOLVER = 2    // the solver's Simulation Duration
};

#define ZV_MAX_SIGNALS 128 // per direction; also the size of the exchange buffers
#define ZV_PRODUCT_NAME "ZELVANE"
#define ZV_DATA_FILE_VERSION "6.1"

extern int runStatus;
extern int durationMode;
extern double lastSimTime;

// Distinct harness ports found by the last sizing.
extern int harnessInputCount;
extern int harnessOutputCount;

// The text Simulink's stop is asked with, through mexEvalString. Inline, so
// that a host can recognise it without linking the block.
inline constexpr char ZV_STOP_COMMAND[] =
    "zvmdl=gcs;zvindx=[findstr(zvmdl,'/') length(zvmdl)+1];zvmdl=zvmdl(1:zvindx(1)-1);"
    "set_param(zvmdl,'SimulationCommand','Stop'); clear zvindx zvmdl";

// The error status of a run that the fatal-error stop ended after it had
// started, so that Simulink reports the run as failed rather than stopped.
#define ZV_LINK_FAILED_STATUS "F*** An error has occurred in the ZELVANE application."

// The link's error callback: reports a failure on the solver's side and
// stops Simulink. During the start of a run it ends the MATLAB call; later
// it sets ZV_LINK_FAILED_STATUS on the block whose call failed.
void fatalErrorStop(int code);
