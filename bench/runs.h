// The two things measured: the loopback floor and the block against the
// stand-in solver. Each run gives the time of every measured step.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <cstdio>

namespace zvbench {

// Sizing time per KiB of the data file at 64 KiB and 1 MiB, printed to out;
// false when a sizing did not find its harness.
bool benchSizing(FILE* out);

struct RunResult {
    bool ok = false;
    std::string error;
    std::vector<double> stepSeconds; // one per measured step
    double startSeconds = 0.0;       // the block: start callback, launch included
    double firstStepSeconds = 0.0;   // the block: end of start to end of the first step
    long allocations = -1;           // the block: during measured steps; -1 when not counted
};

// Frames of exactly the sizes the block and the solver exchange for the
// given widths: the ZVUPDATE call and return, the SLCZVPWR call and return.
struct StepFrames {
    std::vector<unsigned char> updateCall, updateReturn, advanceCall, advanceReturn;
    // By function id: the returns of the calls of a run's start and end.
    std::map<uint16_t, std::vector<unsigned char>> otherReturns;
};
StepFrames stepFrames(int inputs, int outputs);

// Two processes doing the step's two round trips over loopback TCP, one
// write per message and one read loop per message.
RunResult runBaseline(const StepFrames& frames, int warmup, int steps, bool noDelay);

struct BlockSetup {
    std::string mexFile;   // zelvanesl61.mexa64
    std::string zvihome;   // the stand-in solver's installation
    std::string tracehome; // the installation whose solver is zvtrace
    std::string folder;    // working folder for the data file and the solver's files
};

// The block's callbacks in the order Simulink calls them, through the host
// API, against the solver it launches, or the one zvlinkPrm (the text of
// zvlink.prm; empty: no file) sends it to.
RunResult runBlock(const BlockSetup& setup, int width, int warmup, int steps,
                   const std::string& zvlinkPrm = "");

// The block against the floor's own server side, which answers its frames
// with returns prepared in advance: what is left is the block's own cost.
RunResult runCannedPeer(const BlockSetup& setup, const StepFrames& frames, int width, int warmup,
                        int steps);

// The block against the stand-in solver through zvtrace, which records the
// run into the file recording.
RunResult recordRun(const BlockSetup& setup, int width, int warmup, int steps,
                    const std::string& recording);
// The block against the stand-in solver replaying that recording.
RunResult runReplay(const BlockSetup& setup, int width, int warmup, int steps,
                    const std::string& recording);

} // namespace zvbench
