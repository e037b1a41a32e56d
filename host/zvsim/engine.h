// zvsim's engine: what Simulink does with a diagram holding one Zelvane
// block. The model update (sizes call, sample times, port widths) and the
// run (start, outputs and update at every sample hit, terminate).
#pragma once

#include "dynlib.h"
#include "zvhost.h"

#include "simio/progress.h"
#include "simio/signals.h"

#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zvsim {

struct Options {
    bool help = false;
    bool version = false;
    bool sizeOnly = false;
    std::string blockFile; // empty: zelvanesl61<suffix> next to zvsim
    // The block's dialog parameters.
    std::string model;
    std::string product = "ZV";
    std::string durationSource = "ZELVANE";
    double timestep = 0.01;
    double inputs = -1;
    double outputs = -1;
    // The run.
    double stopTime = 10.0;  // may be infinite
    simio::InputSet signals; // --input and --signals, in command-line order
    std::string csvFile;
    std::string plotFile;
    // Names of the elements in the CSV file and the plot; missing ones get
    // a CSV input's column name, or u1.., y1...
    std::vector<std::string> inputNames;
    std::vector<std::string> outputNames;
};

// Parses the command line (argv[0] is the program). False with a message
// for an unknown option, a missing or malformed value.
bool parseOptions(int argc, const char* const* argv, Options& options, std::string& error);
std::string usageText();
extern const char* const kVersion;

// The six dialog parameters of the block, from the options.
std::vector<zvhost::ArrayPtr> dialogParameters(const Options& options);

// The MEX file's name without folder and suffix: the S-function name.
std::string mexFileName(const std::string& path);

// The time of sample hit k: computed, not accumulated, so that a long run
// does not drift.
inline double sampleHit(unsigned long long k, double timestep) {
    return static_cast<double>(k) * timestep;
}
// The number of the last hit at or before the stop time (a hit a rounding
// error past it counts); the largest count for an infinite stop time.
unsigned long long lastSampleHit(double stopTime, double timestep);

// How a run ended, as a Simulink host sees it.
enum class RunEnd {
    Unusable,       // bad input signals for the port, or an output file that cannot be made
    NotRun,         // the model update failed
    StopTime,       // Simulink reached its stop time
    StoppedByBlock, // the block asked for the stop (the solver completed first)
    Interrupted,    // the user pressed Ctrl-C (or SIGTERM came)
    Refused,        // the start method set an error status
    Error,          // a step or terminate set an error status
    Aborted         // mexErrMsgTxt ended a callback; terminate was not called
};

struct RunReport {
    RunEnd end = RunEnd::NotRun;
    double time = 0.0;                   // Simulink's time when the run ended
    unsigned long long steps = 0;        // sample hits whose update ran
    bool outputsFailed = false;          // the CSV or SVG file could not be written
    int signal = 0;                      // Interrupted: SIGINT (Ctrl-C) or SIGTERM
    const char* interruptedBy = nullptr; // Interrupted: "Ctrl-Break"...; null: from signal
};

// The exit status for a report: 0 for a normal end, 128 + the signal for an
// interruption (130 for Ctrl-C), 2 when
// the run could not be set up, 1 otherwise.
int exitStatus(const RunReport& report);
// The last line zvsim prints: how the run ended.
std::string summaryLine(const RunReport& report, double stopTime);

class Engine {
  public:
    explicit Engine(Options options);
    ~Engine();

    // Loads the block's MEX file; reports on the error stream.
    bool load();
    // Uses an entry point already at hand (tests), under the given name.
    void useEntry(zvhost::MexEntry entry, const std::string& mexName);

    // Simulink's model update: the sizes call, the parameter-count check,
    // the sample-time call, resolution of inherited widths and the checks
    // of widths and sample times. Errors go to the command window; false
    // when any occurred.
    bool updateDiagram();

    // A whole run: the model update, the input signals checked against the
    // input width, the output files opened, then start, the sample hits and
    // terminate. May be called again for a second run in the same process.
    // Usage problems (signals, files) go to the error stream.
    RunReport simulate();

    // Erases the progress line, so that other text starts on a clean line.
    void clearProgress();

    zvhost::Block* block() { return block_.get(); }
    // Whether the block reported that it could not start its link.
    bool linkFailed() const { return linkFailed_; }
    // The first error text the block reported, empty when none.
    const std::string& blockError() const { return blockError_; }
    const std::string& blockPath() const { return blockPath_; }

  private:
    // Prints the error as Simulink shows it.
    void reportError(const std::string& text);
    // Reads the outcome of a callback: Aborted or Error in end, false, when
    // it failed.
    bool callOk(const zvhost::CallResult& result, RunEnd onError, RunReport& report);
    int evaluate(const std::string& command);
    // A callback call of the block with the given flag.
    zvhost::CallResult callBlock(int flag);
    struct Recorders;
    void runSteps(RunReport& report, Recorders& out);
    void terminate(RunReport& report);
    // Start, sample hits and terminate, on a thread of their own, while
    // this one watches for interrupt requests.
    void runWatched(RunReport& report, Recorders& out);
    // A request gave the run up while a call of the block waits: writes
    // what the run recorded, has the block end its link and exits.
    [[noreturn]] void giveUp(RunReport& report, Recorders& out);
    // The CSV file and the plot of a run that is over.
    void writeOutputs(RunReport& report, Recorders& out);

    Options options_;
    MexLibrary library_;
    zvhost::MexEntry entry_ = nullptr;
    std::string mexName_;
    std::string blockPath_;
    std::unique_ptr<zvhost::Block> block_;
    std::unique_ptr<simio::ProgressLine> progress_;
    bool stopAsked_ = false;
    bool linkFailed_ = false;
    std::string blockError_;
    // Held by the run's thread whenever it is not inside a call of the
    // block; whoever gives the run up takes it and never lets it go.
    std::mutex runLock_;
    std::unique_lock<std::mutex>* runHold_ = nullptr;
};

// zvsim's main: see usageText() for the exit codes.
int zvsimMain(int argc, const char* const* argv);

} // namespace zvsim
