#include "engine.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace zvsim {

namespace {

bool parseNumber(const std::string& text, double& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0') return false;
    value = v;
    return true;
}

std::string withNewline(std::string text) {
    if (text.empty() || text.back() != '\n') text += '\n';
    return text;
}

} // namespace

std::string usageText() {
    return "Usage: zvsim --size-only --model NAME [options]\n"
           "\n"
           "Updates a diagram holding one Zelvane block, as Simulink does: loads the\n"
           "block's MEX file, makes the sizes call and the sample-time call, and prints\n"
           "what the block printed, then the resolved port widths. Runs in the current\n"
           "folder, where NAME.dat is read.\n"
           "\n"
           "  --size-only              update the diagram only (the one mode so far)\n"
           "  --model NAME             dialog parameter Model: the data file NAME.dat\n"
           "  --product CODE           dialog parameter Product (default ZV)\n"
           "  --duration-source TEXT   dialog parameter Simulation Duration Source\n"
           "                           (default ZELVANE)\n"
           "  --timestep S             dialog parameter Timestep in seconds (default 0.01)\n"
           "  --inputs N               dialog parameter Inputs; -1 takes the harness count\n"
           "                           (default -1)\n"
           "  --outputs N              dialog parameter Outputs; -1 takes the harness count\n"
           "                           (default -1)\n"
           "  --block FILE             the block's MEX file (default: zelvanesl61" +
           std::string(mexSuffix()) +
           "\n"
           "                           in zvsim's own folder)\n"
           "  --help                   this text\n"
           "\n"
           "Values may also be given as --option=VALUE. Inherited widths (-1) resolve to 1,\n"
           "since nothing is connected to the block. Exit status: 0 success, 1 an error\n"
           "reported by the block or the model update, 2 a usage error or a block that\n"
           "cannot be loaded.\n";
}

bool parseOptions(int argc, const char* const* argv, Options& options, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasValue = true;
        }
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            continue;
        }
        if (arg == "--size-only") {
            options.sizeOnly = true;
            continue;
        }
        const bool known = arg == "--model" || arg == "--product" || arg == "--duration-source" ||
                           arg == "--timestep" || arg == "--inputs" || arg == "--outputs" ||
                           arg == "--block";
        if (!known) {
            error = "unknown option '" + arg + "'";
            return false;
        }
        if (!hasValue) {
            if (i + 1 >= argc) {
                error = "option '" + arg + "' needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (arg == "--model")
            options.model = value;
        else if (arg == "--product")
            options.product = value;
        else if (arg == "--duration-source")
            options.durationSource = value;
        else if (arg == "--block")
            options.blockFile = value;
        else {
            double number = 0;
            if (!parseNumber(value, number)) {
                error = "option '" + arg + "' needs a number, not '" + value + "'";
                return false;
            }
            if (arg == "--timestep")
                options.timestep = number;
            else if (arg == "--inputs")
                options.inputs = number;
            else
                options.outputs = number;
        }
    }
    return true;
}

std::vector<zvhost::ArrayPtr> dialogParameters(const Options& options) {
    std::vector<zvhost::ArrayPtr> params;
    params.push_back(zvhost::makeString(options.model));
    params.push_back(zvhost::makeString(options.product));
    params.push_back(zvhost::makeString(options.durationSource));
    params.push_back(zvhost::makeScalar(options.timestep));
    params.push_back(zvhost::makeScalar(options.inputs));
    params.push_back(zvhost::makeScalar(options.outputs));
    return params;
}

std::string mexFileName(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.find('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

bool Engine::load() {
    std::string file = options_.blockFile;
    if (file.empty()) {
        const std::string folder = executableFolder();
        file = (folder.empty() ? std::string(".") : folder) + "/zelvanesl61" + mexSuffix();
    }
    std::string error;
    if (!library_.open(file, error)) {
        zvhost::printToErrorStream("zvsim: " + error + "\n");
        return false;
    }
    entry_ = library_.entry();
    mexName_ = mexFileName(file);
    return true;
}

void Engine::useEntry(zvhost::MexEntry entry, const std::string& mexName) {
    entry_ = entry;
    mexName_ = mexName;
}

void Engine::reportError(const std::string& text) {
    zvhost::printToCommandWindow("Error reported by S-function '" + mexName_ + "' in '" +
                                 blockPath_ + "':\n" + withNewline(text));
}

bool Engine::checkCall(const zvhost::CallResult& result) {
    if (!result.ok) {
        reportError(result.error);
        return false;
    }
    if (block_->errorStatus()) {
        reportError(block_->errorStatus());
        return false;
    }
    return true;
}

bool Engine::updateDiagram() {
    blockPath_ = options_.model + "/Zelvane";
    block_ = std::make_unique<zvhost::Block>(mexName_, blockPath_, dialogParameters(options_));
    if (!checkCall(block_->initializeSizes(entry_))) return false;

    if (block_->expectedParams() != block_->numParams()) {
        std::ostringstream text;
        text << "S-function '" << mexName_ << "' expects " << block_->expectedParams()
             << " dialog parameters, but " << block_->numParams() << " were specified.";
        reportError(text.str());
        return false;
    }

    block_->allocateSampleTimes();
    if (!checkCall(block_->callFlag(entry_, 101))) return false;
    for (int i = 0; i < block_->numSampleTimes(); ++i) {
        const double period = block_->sampleTime(i);
        const double offset = block_->offsetTime(i);
        const bool discrete = std::isfinite(period) && period > 0.0 && std::isfinite(offset) &&
                              offset >= 0.0 && offset < period;
        const bool other = (period == 0.0 || period == INHERITED_SAMPLE_TIME) && offset == 0.0;
        if (!discrete && !other) {
            std::ostringstream text;
            text << "Invalid sample time [" << period << ", " << offset << "].";
            reportError(text.str());
            return false;
        }
    }

    // Nothing is connected: an inherited width resolves to a scalar.
    for (int port = 0; port < block_->numInputPorts(); ++port) {
        const int width = block_->inputWidth(port);
        if (width == DYNAMICALLY_SIZED)
            block_->setInputWidth(port, 1);
        else if (width < 0) {
            reportError("Invalid width " + std::to_string(width) + " of input port " +
                        std::to_string(port + 1) + ".");
            return false;
        }
    }
    for (int port = 0; port < block_->numOutputPorts(); ++port) {
        const int width = block_->outputWidth(port);
        if (width == DYNAMICALLY_SIZED)
            block_->setOutputWidth(port, 1);
        else if (width < 0) {
            reportError("Invalid width " + std::to_string(width) + " of output port " +
                        std::to_string(port + 1) + ".");
            return false;
        }
    }
    block_->allocateWorkAndSignals();
    return true;
}

int zvsimMain(int argc, const char* const* argv) {
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, options, error)) {
        zvhost::printToErrorStream("zvsim: " + error + "\n" + usageText());
        return 2;
    }
    if (options.help) {
        zvhost::printToCommandWindow(usageText());
        return 0;
    }
    if (!options.sizeOnly || options.model.empty()) {
        zvhost::printToErrorStream("zvsim: give --size-only and --model NAME\n" + usageText());
        return 2;
    }
    Engine engine(options);
    if (!engine.load()) return 2;
    if (!engine.updateDiagram()) return 1;
    zvhost::Block* block = engine.block();
    std::ostringstream widths;
    widths << "input port width: " << block->inputWidth(0) << "\n"
           << "output port width: " << block->outputWidth(0) << "\n";
    zvhost::printToCommandWindow(widths.str());
    return 0;
}

} // namespace zvsim
