// zvsim's engine: what Simulink does with the block. For now the model
// update (sizing and sample times); a run loop builds on the same Engine.
#pragma once

#include "dynlib.h"
#include "zvhost.h"

#include <memory>
#include <string>
#include <vector>

namespace zvsim {

struct Options {
    bool help = false;
    bool sizeOnly = false;
    std::string blockFile; // empty: zelvanesl61<suffix> next to zvsim
    std::string model;
    std::string product = "ZV";
    std::string durationSource = "ZELVANE";
    double timestep = 0.01;
    double inputs = -1;
    double outputs = -1;
};

// Parses the command line (argv[0] is the program). False with a message
// for an unknown option, a missing or malformed value.
bool parseOptions(int argc, const char* const* argv, Options& options, std::string& error);
std::string usageText();

// The six dialog parameters of the block, from the options.
std::vector<zvhost::ArrayPtr> dialogParameters(const Options& options);

// The MEX file's name without folder and suffix: the S-function name.
std::string mexFileName(const std::string& path);

class Engine {
  public:
    explicit Engine(Options options) : options_(std::move(options)) {}

    // Loads the block's MEX file; reports on the error stream.
    bool load();
    // Uses an entry point already at hand (tests), under the given name.
    void useEntry(zvhost::MexEntry entry, const std::string& mexName);

    // Simulink's model update: the sizes call, the parameter-count check,
    // the sample-time call, resolution of inherited widths (nothing drives
    // the ports, so -1 becomes 1) and the checks of widths and sample
    // times. Errors go to the command window; false when any occurred.
    bool updateDiagram();

    zvhost::Block* block() { return block_.get(); }
    const std::string& blockPath() const { return blockPath_; }

  private:
    // Prints the error as Simulink shows it.
    void reportError(const std::string& text);
    bool checkCall(const zvhost::CallResult& result);

    Options options_;
    MexLibrary library_;
    zvhost::MexEntry entry_ = nullptr;
    std::string mexName_;
    std::string blockPath_;
    std::unique_ptr<zvhost::Block> block_;
};

// zvsim's main: exit code 0 on success, 1 when the block reported an error,
// 2 for a usage error or a block that cannot be loaded.
int zvsimMain(int argc, const char* const* argv);

} // namespace zvsim
