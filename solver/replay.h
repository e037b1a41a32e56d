// The stand-in solver playing a recorded solver: it answers the block with
// the recorded frames, byte for byte, and compares every frame the block
// sends with the one recorded at that point.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "recording.h"
#include "xsocket/xsocket.h"

struct ReplayOptions {
    double tolerance = 0.0;      // relative; 0: numbers must be equal
    bool keepGoing = false;      // --continue: report a differing value and go on
    std::FILE* report = nullptr; // a copy of every line said on standard error
};

// One frame the block is expected to send, and what the solver sent after it.
struct ReplayStep {
    const zvtrace::RecordedFrame* expected = nullptr;
    int call = 0;           // its number among the link's calls, from 1; 0: not a call
    int step = 0;           // SLCZVPWR calls before it, its own included when it is one
    double time = 0.0;      // the sum of the step lengths advanced before this step
    bool sentAhead = false; // recorded while another call still waited for its return
    // In the link's played bytes: the expected frame, then every solver
    // frame recorded up to the next block frame, its answer.
    size_t expectedAt = 0, answerAt = 0, answerSize = 0;
    bool dropAfter = false; // the solver then ended the connection
};

struct ReplayLink {
    std::vector<unsigned char> prelude; // solver frames recorded before the block's first
    bool preludeDrop = false;
    std::vector<ReplayStep> steps;
    // Every step's expected frame and answer, in the order they are played:
    // a call's bytes are read from memory the replay has just read past, not
    // from wherever the recording's reader happened to put them.
    std::vector<unsigned char> played;
    bool pipelined = false; // a call was sent ahead somewhere in it
};

struct ReplayPlan {
    zvtrace::Recording recording;
    std::vector<ReplayLink> links;
    int pipeline = 0; // the PIPELINE setting the block must run with
};

// Reads, checks and prepares every answer of a recording; false with the
// reason in *error.
bool prepareReplay(const std::string& path, ReplayPlan* plan, std::string* error);

// What the replay found, over every link it served.
struct ReplayTally {
    int callsMatched = 0;
    int differences = 0;
    // Largest relative difference seen within the tolerance, by "FUNCTION field".
    std::map<std::string, double> largest;
};

// One line on standard error, and in the report file when there is one
// (reportOnly: there alone, when there is one).
void replaySay(const ReplayOptions& options, const std::string& line, bool reportOnly = false);
// The summary lines, at the end.
void replaySummary(const ReplayOptions& options, const ReplayTally& tally);

// Plays one recorded link on a connected socket. False when the replay found
// a difference that ends it (or the block runs with another PIPELINE
// setting): the line has been said and the close frame sent.
bool replayLink(XSocket* socket, const ReplayLink& link, int linkNumber, const ReplayPlan& plan,
                const ReplayOptions& options, ReplayTally& tally);

// The line for a block whose PIPELINE setting is not the recording's.
std::string pipelineRefusal(int needed);
