#include "engine.h"

#include "advice.h"
#include "interrupt.h"

#include "block/runstate.h"
#include "simio/csvout.h"
#include "simio/svgplot.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace zvsim {

namespace {

std::string withNewline(std::string text) {
    if (text.empty() || text.back() != '\n') text += '\n';
    return text;
}

std::string seconds(double t) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", t);
    return text;
}

// Undoes the run's hooks into the host however the run ends.
struct RunHooks {
    explicit RunHooks(zvhost::EvalHandler handler) {
        zvhost::setEvalHandler(std::move(handler));
        armInterrupt();
    }
    ~RunHooks() {
        disarmInterrupt();
        zvhost::setEvalHandler({});
    }
    RunHooks(const RunHooks&) = delete;
    RunHooks& operator=(const RunHooks&) = delete;
};

// After SIGTERM, how long the run may take to end in order before a call
// that still waits is given up: a responsive solver ends it in far less.
const long long TERM_GRACE_MS = 500;
// After the first Ctrl-C, how long a call may wait before zvsim says so.
const long long CTRL_C_NOTICE_MS = 2000;
// How long the block's exit function may take to end the link when the
// run is given up (its close frame goes out at once, or not at all).
const int EXIT_FUNCTION_MS = 300;

// The plot's name of each element: the one given, else the column of a
// CSV signal, else the default.
std::vector<std::string> signalNames(const std::vector<std::string>& given, int count,
                                     const char* prefix) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        const std::string name = size_t(i) < given.size() ? given[size_t(i)] : std::string();
        names.push_back(prefix + std::to_string(i + 1) + (name.empty() ? "" : " " + name));
    }
    return names;
}

} // namespace

unsigned long long lastSampleHit(double stopTime, double timestep) {
    const double most = 9.0e18; // below the largest count, exactly representable
    if (!(timestep > 0.0) || !(stopTime >= 0.0)) return 0;
    if (std::isinf(stopTime)) return static_cast<unsigned long long>(most);
    const double hits = stopTime / timestep;
    // 12.0 / 0.1 may come out a hair either side of 120.
    const double last = std::floor(hits * (1.0 + 1e-9));
    return last >= most ? static_cast<unsigned long long>(most)
                        : static_cast<unsigned long long>(last);
}

int exitStatus(const RunReport& report) {
    switch (report.end) {
    case RunEnd::StopTime:
    case RunEnd::StoppedByBlock:
        return report.outputsFailed ? 1 : 0;
    case RunEnd::Interrupted:
        return 128 + (report.signal ? report.signal : SIGINT);
    case RunEnd::Unusable:
        return 2;
    default:
        return 1;
    }
}

std::string summaryLine(const RunReport& report, double stopTime) {
    std::string line = "zvsim: ";
    const std::string at = "t = " + seconds(report.time) + " s";
    const std::string hits =
        " (" + std::to_string(report.steps) + " sample hit" + (report.steps == 1 ? "" : "s") + ")";
    switch (report.end) {
    case RunEnd::Unusable:
        line += "nothing was run.";
        break;
    case RunEnd::NotRun:
        line += "the model update failed; nothing was run.";
        break;
    case RunEnd::StopTime:
        line += "the run reached its stop time, t = " + seconds(stopTime) + " s" + hits + ".";
        break;
    case RunEnd::StoppedByBlock:
        line += "the block stopped the run after the sample hit at " + at + hits + ".";
        break;
    case RunEnd::Interrupted:
        line += std::string("the run was interrupted with ") +
                (report.interruptedBy       ? report.interruptedBy
                 : report.signal == SIGTERM ? "SIGTERM"
                                            : "Ctrl-C") +
                " at " + at + hits + ".";
        break;
    case RunEnd::Refused:
        line += "the block refused to start the run.";
        break;
    case RunEnd::Error:
        line += "the run ended with an error at " + at + hits + ".";
        break;
    case RunEnd::Aborted:
        line += "the run was aborted by the block at " + at + "; terminate was not called.";
        break;
    }
    if (report.outputsFailed) line += " Output files are incomplete.";
    return line + "\n";
}

// The files and the progress line a run writes to, for the step loop.
struct Engine::Recorders {
    simio::CsvWriter csv;
    std::unique_ptr<simio::RunPlot> plot;
    unsigned long long samples = 0; // sample hits recorded
};

Engine::Engine(Options options) : options_(std::move(options)) {}

Engine::~Engine() = default;

bool Engine::load() {
    std::string file = options_.blockFile;
    if (file.empty()) {
        // A build keeps the block beside zvsim; an unpacked release keeps
        // zvsim in tools/, one folder below the block.
        std::string folder = executableFolder();
        if (folder.empty()) folder = ".";
#ifdef _WIN32
        const std::string sep = "\\";
#else
        const std::string sep = "/";
#endif
        file = folder + sep + "zelvanesl61" + mexSuffix();
        const std::string above = folder + sep + ".." + sep + "zelvanesl61" + mexSuffix();
        if (!std::ifstream(file).good() && std::ifstream(above).good()) file = above;
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

void Engine::clearProgress() {
    if (progress_) progress_->clear();
}

void Engine::reportError(const std::string& text) {
    clearProgress();
    if (text.find("Error initializing socket") != std::string::npos) linkFailed_ = true;
    if (blockError_.empty()) blockError_ = text;
    zvhost::printToCommandWindow("Error reported by S-function '" + mexName_ + "' in '" +
                                 blockPath_ + "':\n" + withNewline(text));
}

bool Engine::callOk(const zvhost::CallResult& result, RunEnd onError, RunReport& report) {
    if (!result.ok) {
        reportError(result.error);
        report.end = RunEnd::Aborted;
        return false;
    }
    if (const char* status = block_->errorStatus()) {
        reportError(status);
        // Simulink shows an error once; terminate may set one of its own.
        block_->clearErrorStatus();
        report.end = onError;
        return false;
    }
    return true;
}

zvhost::CallResult Engine::callBlock(int flag) {
    // What a Ctrl-C in the middle of the call is told the run waits for.
    setInterruptWait(flag == 102   ? "the block's start (mdlInitializeConditions)"
                     : flag == 104 ? "the block's mdlOutputs"
                     : flag == 105 ? "the block's mdlUpdate"
                                   : "the block's mdlTerminate");
    // The run may be given up only while the block is inside a call.
    if (runHold_) runHold_->unlock();
    zvhost::CallResult result = block_->callFlag(entry_, flag);
    if (runHold_) runHold_->lock();
    setInterruptWait(nullptr);
    return result;
}

int Engine::evaluate(const std::string& command) {
    if (command == ZV_STOP_COMMAND) {
        // Simulink finishes the step in progress, then terminates.
        stopAsked_ = true;
        return 0;
    }
    clearProgress();
    zvhost::printToErrorStream("zvsim: the block asked to evaluate \"" + command +
                               "\"; zvsim evaluates only the block's stop command.\n");
    return 1;
}

bool Engine::updateDiagram() {
    blockPath_ = options_.model + "/Zelvane";
    block_ = std::make_unique<zvhost::Block>(mexName_, blockPath_, dialogParameters(options_));
    RunReport ignored;
    if (!callOk(block_->initializeSizes(entry_), RunEnd::NotRun, ignored)) return false;

    if (block_->expectedParams() != block_->numParams()) {
        std::ostringstream text;
        text << "S-function '" << mexName_ << "' expects " << block_->expectedParams()
             << " dialog parameters, but " << block_->numParams() << " were specified.";
        reportError(text.str());
        return false;
    }

    block_->allocateSampleTimes();
    if (!callOk(block_->callFlag(entry_, 101), RunEnd::NotRun, ignored)) return false;
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

    // Inherited widths come from what drives the ports: the input from the
    // signals named on the command line, the output from the input.
    const int driven = std::max(1, options_.signals.highestElement());
    for (int port = 0; port < block_->numInputPorts(); ++port) {
        const int width = block_->inputWidth(port);
        if (width == DYNAMICALLY_SIZED)
            block_->setInputWidth(port, port == 0 ? driven : 1);
        else if (width < 0) {
            reportError("Invalid width " + std::to_string(width) + " of input port " +
                        std::to_string(port + 1) + ".");
            return false;
        }
    }
    const int inherited = block_->numInputPorts() > 0 ? block_->inputWidth(0) : 1;
    for (int port = 0; port < block_->numOutputPorts(); ++port) {
        const int width = block_->outputWidth(port);
        if (width == DYNAMICALLY_SIZED)
            block_->setOutputWidth(port, inherited);
        else if (width < 0) {
            reportError("Invalid width " + std::to_string(width) + " of output port " +
                        std::to_string(port + 1) + ".");
            return false;
        }
    }
    block_->allocateWorkAndSignals();
    return true;
}

RunReport Engine::simulate() {
    RunReport report;
    stopAsked_ = false;
    linkFailed_ = false;
    blockError_.clear();
    if (!updateDiagram()) return report;

    const int nIn = block_->numInputPorts() > 0 ? block_->inputWidth(0) : 0;
    const int nOut = block_->numOutputPorts() > 0 ? block_->outputWidth(0) : 0;
    const double timestep = block_->numSampleTimes() > 0 ? block_->sampleTime(0) : 0.0;
    std::string error;
    if (!(timestep > 0.0)) {
        error = "zvsim runs blocks with a discrete sample time only";
    } else if (!options_.signals.check(nIn, error)) {
        error = "--input: " + error;
    }
    Recorders out;
    if (error.empty() && !options_.csvFile.empty()) {
        std::vector<std::string> columns = options_.inputNames;
        columns.resize(size_t(nIn));
        columns.insert(columns.end(), options_.outputNames.begin(), options_.outputNames.end());
        out.csv.open(options_.csvFile, nIn, nOut, error, columns);
    }
    if (!error.empty()) {
        zvhost::printToErrorStream("zvsim: " + error + "\n");
        report.end = RunEnd::Unusable;
        return report;
    }
    if (!options_.plotFile.empty()) {
        out.plot = std::make_unique<simio::RunPlot>(nIn, nOut);
        std::vector<std::string> inputNames = options_.inputNames;
        inputNames.resize(std::max<size_t>(inputNames.size(), size_t(nIn)));
        for (int i = 0; i < nIn; ++i)
            if (inputNames[size_t(i)].empty())
                inputNames[size_t(i)] = options_.signals.nameOf(i + 1);
        out.plot->setNames(signalNames(inputNames, nIn, "u"),
                           signalNames(options_.outputNames, nOut, "y"));
    }

    {
        RunHooks hooks([this](const std::string& command) { return evaluate(command); });
        progress_ = std::make_unique<simio::ProgressLine>(stderr);
        block_->setStopTime(options_.stopTime);
        block_->setTime(block_->offsetTime(0));
        report.time = block_->time();
        runWatched(report, out);
        progress_.reset();
    }
    writeOutputs(report, out);
    return report;
}

void Engine::runWatched(RunReport& report, Recorders& out) {
    std::atomic<bool> done{false};
    std::thread run = startShieldedThread([&] {
        std::unique_lock<std::mutex> hold(runLock_);
        runHold_ = &hold;
        if (callOk(callBlock(102), RunEnd::Refused, report)) runSteps(report, out);
        progress_->finish();
        if (report.end != RunEnd::Aborted) terminate(report);
        runHold_ = nullptr;
        done = true;
    });
    setInterruptWatched(true);
    bool noticed = false;
    while (!done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const long long age = interruptAgeMs();
        if (abandonSignal() || (interruptSignal() == SIGTERM && age >= TERM_GRACE_MS)) {
            std::unique_lock<std::mutex> lock(runLock_);
            if (done) break;
            // Never given back: the run's thread stays in its call until exit.
            lock.release();
            giveUp(report, out);
        }
        const char* what = interruptWait();
        if (!noticed && interruptSignal() == SIGINT && age >= CTRL_C_NOTICE_MS && what) {
            noticed = true;
            const std::string name = interruptName(true);
            zvhost::printToErrorStream("\nzvsim: " + name + ": the run ends once " + what +
                                       " returns; it waits for the solver. A second " + name +
                                       " abandons the run.\n");
        }
    }
    setInterruptWatched(false);
    run.join();
}

void Engine::giveUp(RunReport& report, Recorders& out) {
    const bool second = abandonSignal() != 0;
    const char* name = interruptName(!second);
    const std::string again = second && std::string(name) == interruptName(true) ? " again" : "";
    const char* what = interruptWait();
    clearProgress();
    zvhost::printToErrorStream(
        "\nzvsim: " + std::string(name) + again + ": abandoning the run" +
        (what ? std::string(" while ") + what + " waits for the solver" : "") + ".\n");
    report.end = RunEnd::Interrupted;
    report.signal = second ? abandonSignal() : interruptSignal();
    report.interruptedBy = name;
    writeOutputs(report, out);

    zvhost::printToCommandWindow(summaryLine(report, options_.stopTime));
    std::fflush(stdout);
    std::fflush(stderr);

    // The block's exit function ends a link left up (its close frame tells
    // the solver, and a solver the block launched is ended); bounded, as it
    // shares the link with the waiting call. That call is stopped for good
    // first: it would wake on the link the exit function frees.
    if (!parkShieldedThread()) {
        std::fprintf(stderr, "zvsim: the run's thread could not be stopped; the link is left "
                             "to the end of the process.\n");
        std::fflush(nullptr);
        std::_Exit(exitStatus(report));
    }
    static std::atomic<bool> linkEnded{false};
    const zvhost::MexEntry entry = entry_;
    std::thread([entry] {
        zvhost::unloadMex(entry);
        linkEnded = true;
    }).detach();
    for (int waited = 0; waited < EXIT_FUNCTION_MS && !linkEnded; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!linkEnded) {
        std::fprintf(stderr, "zvsim: the block did not end its link within %d ms.\n",
                     EXIT_FUNCTION_MS);
    }
    std::fflush(nullptr); // the link log's last lines too
    std::_Exit(exitStatus(report));
}

void Engine::writeOutputs(RunReport& report, Recorders& out) {
    const double timestep = block_->numSampleTimes() > 0 ? block_->sampleTime(0) : 0.0;
    std::string error;
    // A run that never reached a sample hit leaves no empty files behind.
    const bool recorded = out.samples > 0;
    if (out.csv.isOpen() && !out.csv.close(error) && recorded) {
        zvhost::printToErrorStream("zvsim: " + error + "\n");
        report.outputsFailed = true;
    }
    if (!recorded && (!options_.csvFile.empty() || out.plot)) {
        if (!options_.csvFile.empty()) std::remove(options_.csvFile.c_str());
        const std::string both = !options_.csvFile.empty() && out.plot ? " and " : "";
        clearProgress();
        zvhost::printToErrorStream("zvsim: no sample hit was run, so " + options_.csvFile + both +
                                   (out.plot ? options_.plotFile : "") + " " +
                                   (both.empty() ? "was" : "were") + " not written.\n");
    }
    if (out.plot && recorded) {
        const std::string title =
            options_.model + ": Zelvane co-simulation, Timestep " + seconds(timestep) + " s";
        if (!out.plot->write(options_.plotFile, title, error)) {
            zvhost::printToErrorStream("zvsim: " + error + "\n");
            report.outputsFailed = true;
        }
    }
}

void Engine::runSteps(RunReport& report, Recorders& out) {
    const double period = block_->sampleTime(0);
    const double offset = block_->offsetTime(0);
    const double stopTime = options_.stopTime;
    const unsigned long long last =
        stopTime < offset ? 0 : lastSampleHit(stopTime - offset, period);
    const int nIn = block_->numInputPorts() > 0 ? block_->inputWidth(0) : 0;
    const int nOut = block_->numOutputPorts() > 0 ? block_->outputWidth(0) : 0;
    std::vector<double> none;
    std::vector<double>& u = nIn > 0 ? block_->inputSignal(0) : none;
    std::vector<double>& y = nOut > 0 ? block_->outputSignal(0) : none;

    for (unsigned long long k = 0;; ++k) {
        // A stop asked for during a step takes effect when the step is over.
        if (stopAsked_) {
            report.end = RunEnd::StoppedByBlock;
            return;
        }
        if (k > last || stopTime < offset) {
            report.end = RunEnd::StopTime;
            return;
        }
        if (interruptRequested()) {
            report.end = RunEnd::Interrupted;
            report.signal = interruptSignal();
            report.interruptedBy = interruptName(true);
            return;
        }
        const double t = std::min(offset + sampleHit(k, period), stopTime);
        block_->setTime(t);
        report.time = t;
        options_.signals.sample(t, u.data(), nIn);
        if (!callOk(callBlock(104), RunEnd::Error, report)) return;
        ++out.samples;
        if (out.csv.isOpen()) out.csv.write(t, u.data(), y.data());
        if (out.plot) out.plot->add(t, u.data(), y.data());
        if (!callOk(callBlock(105), RunEnd::Error, report)) return;
        ++report.steps;
        progress_->update(t, stopTime, report.steps);
    }
}

void Engine::terminate(RunReport& report) {
    // A run that reached its stop time ends there, wherever its last hit was.
    if (report.end == RunEnd::StopTime) {
        report.time = options_.stopTime;
        block_->setTime(options_.stopTime);
    }
    RunReport ended;
    if (!callOk(callBlock(107), RunEnd::Error, ended)) {
        const bool failedAlready = report.end == RunEnd::Refused || report.end == RunEnd::Error;
        if (ended.end == RunEnd::Aborted || !failedAlready) report.end = ended.end;
    }
}

int zvsimMain(int argc, const char* const* argv) {
    Options options;
    std::string error;
    auto usageError = [](const std::string& problem) {
        zvhost::printToErrorStream("zvsim: " + problem + "\ntry 'zvsim --help'\n");
        return 2;
    };
    if (!parseOptions(argc, argv, options, error)) return usageError(error);
    if (options.help) {
        zvhost::printToCommandWindow(usageText());
        return 0;
    }
    if (options.version) {
        zvhost::printToCommandWindow(std::string("zvsim ") + kVersion + "\n");
        return 0;
    }
    if (options.model.empty()) return usageError("give --model NAME (the data file NAME.dat)");
    const std::string modelAdvice = modelNameAdvice(options.model);
    if (!modelAdvice.empty()) return usageError(modelAdvice);
    Engine engine(options);
    if (!engine.load()) return 2;
    if (options.sizeOnly) {
        if (!engine.updateDiagram()) return 1;
        zvhost::Block* block = engine.block();
        std::ostringstream widths;
        widths << "input port width: " << block->inputWidth(0) << "\n"
               << "output port width: " << block->outputWidth(0) << "\n";
        zvhost::printToCommandWindow(widths.str());
        return 0;
    }

    // The progress line shares the terminal with the block's text.
    zvhost::setCommandWindow([&engine](const std::string& text) {
        engine.clearProgress();
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    });
    const RunReport report = engine.simulate();
    if (engine.linkFailed()) zvhost::printToCommandWindow("zvsim: " + linkAdvice() + "\n");
    const std::string fileAdvice =
        dataFileAdvice(engine.blockError(), options.model, options.product);
    if (!fileAdvice.empty()) zvhost::printToCommandWindow("zvsim: " + fileAdvice + "\n");
    zvhost::printToCommandWindow(summaryLine(report, options.stopTime));
    zvhost::setCommandWindow({});
    return exitStatus(report);
}

} // namespace zvsim
