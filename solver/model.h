// The stand-in solver's model: the block's data file, read the way the block
// reads it for the harness, plus the solver's own lines, and the dynamics
// that turn harness inputs into harness outputs.
#pragma once

#include <string>
#include <vector>

// The solver's own lines all start with this prefix and hold no space, so
// the block's scan (which keys on spaces and on its section headers) never
// takes them for harness, connection or sub-assembly lines.
#define SOLVER_LINE_PREFIX "ZVSOLVER:"

// One harness output: a first-order lag of one harness input.
struct Lag {
    int input = 0; // harness input index, from 0; -1: none (the lag sees 0.0)
    double gain = 1.0;
    double tau = 1.0; // time constant; 0 or less follows gain * input at once
};

struct ModelFile {
    bool found = false;                // the data file could be opened
    std::string product;               // empty: the file names no product
    std::string version;               // empty: the file names no version
    double duration = -1.0;            // negative: the file gives none
    int inputCount = 0;                // harness inputs (block inputs that are used)
    int outputCount = 0;               // harness outputs
    std::vector<Lag> lags;             // one per harness output
    std::vector<std::string> problems; // lines the solver could not use
};

// "<name>.dat" for a model name, whatever the name ends in.
std::string dataFileName(const std::string& modelName);
// Whether a model name names a file in the working folder: the name comes
// from the link, and the results file is named after it.
bool isPlainModelName(const std::string& modelName);
// Reads the solver's lines of the data file and the harness counts. A name
// that is not plain is never opened: the model is not found.
ModelFile readModelFile(const std::string& modelName);

// Answers of the data file check, as the block reads them.
enum {
    FILECHECK_MISSING = 0,
    FILECHECK_WRONG_PRODUCT = -1,
    FILECHECK_WRONG_VERSION = -2,
    FILECHECK_ACCEPTED = 1
};
#define SOLVER_DATA_VERSION "6.1"
int checkModelFile(const ModelFile& model, const std::string& product, const std::string& version);

// The running simulation of one model.
struct Simulation {
    double time = 0.0;
    std::vector<double> inputs;  // the harness inputs of the last step
    std::vector<double> outputs; // current harness outputs
    std::vector<Lag> lags;
    double duration = -1.0;
    // Each lag's step factor for the step length last used: the step hardly
    // ever changes, and recomputing an exponential per lag and step is not free.
    std::vector<double> alphas;
    double alphasFor = 0.0;

    void start(const ModelFile& model);
    // Advances by dt with the given block inputs: values beyond the harness
    // are not used, harness inputs without a value get 0.0. A dt that is not
    // a positive number leaves the state as it is.
    void step(double dt, const double* values, int count);
    // Has the simulation reached its duration? Always false when it has none.
    bool reachedDuration(double dt) const;
};
