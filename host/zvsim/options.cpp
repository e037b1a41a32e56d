// zvsim's command line.
#include "advice.h"
#include "engine.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

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

// simio's signal syntax, without its option names: zvsim's --inputs is the
// block's dialog parameter.
std::string signalSyntax() {
    const std::string text = simio::inputUsage();
    const size_t from = text.find("SIGNAL is one of:");
    const size_t to = text.find("Examples:");
    if (from == std::string::npos || to == std::string::npos || to < from) return std::string();
    return text.substr(from, to - from);
}

const std::vector<std::string> kValueOptions = {
    "--model",   "--product", "--duration-source", "--timestep",    "--inputs",
    "--outputs", "--block",   "--stop-time",       "--input",       "--signals",
    "--csv",     "--plot",    "--input-names",     "--output-names"};
const std::vector<std::string> kFlagOptions = {"--help", "--version", "--size-only"};

} // namespace

const char* const kVersion = ZV_VERSION;

std::string usageText() {
    return "Usage: zvsim --model NAME [options]         run a simulation\n"
           "       zvsim --size-only --model NAME [options]   update the diagram only\n"
           "\n"
           "Runs a Simulink diagram that holds one Zelvane block, as Simulink does: loads\n"
           "the block's MEX file, sizes it, starts the run, calls the block's outputs and\n"
           "update at every sample hit t = 0, Ts, 2Ts, ... up to the stop time, and ends\n"
           "with terminate. Runs in the current folder, where NAME.dat and the optional\n"
           "zvlink.prm are read and where the solver is started (ZVIHOME names its\n"
           "installation). What the block prints goes to standard output.\n"
           "\n"
           "The block's dialog parameters:\n"
           "  --model NAME             Model: the data file NAME.dat\n"
           "  --product CODE           Product (default ZV)\n"
           "  --duration-source TEXT   Simulation Duration Source (default ZELVANE: the\n"
           "                           solver's duration ends the run; anything else:\n"
           "                           the stop time does)\n"
           "  --timestep S             Timestep Ts in seconds (default 0.01)\n"
           "  --inputs N               Inputs; -1 takes the harness count (default -1)\n"
           "  --outputs N              Outputs; -1 takes the harness count (default -1)\n"
           "The run:\n"
           "  --stop-time T            Simulink's stop time in seconds, or inf\n"
           "                           (default 10)\n"
           "  --input K=SIGNAL         signal for input element K (from 1); repeatable\n"
           "  --input '*=SIGNAL'       signal for every element without one of its own\n"
           "  --signals 'S1;S2;...'    signals for elements 1, 2, ... at once; an empty\n"
           "                           item leaves its element alone\n"
           "  --csv FILE               write time, inputs and outputs at every sample hit\n"
           "  --plot FILE.svg          draw inputs and outputs over time\n"
           "  --input-names 'A;B;...'  names of the input elements: the CSV file's\n"
           "                           column names (default u1, u2, ...) and the\n"
           "                           plot's legend (default: a CSV input's column\n"
           "                           name after u1, u2, ...)\n"
           "  --output-names 'A;B;...' names of the output elements, the same way\n"
           "                           (default y1, y2, ...)\n"
           "Other:\n"
           "  --size-only              update the diagram, print the port widths, stop\n"
           "  --block FILE             the block's MEX file (default: zelvanesl61" +
           std::string(mexSuffix()) +
           "\n"
           "                           in zvsim's own folder, else in the folder above\n"
           "                           it, as an unpacked release lays them out)\n"
           "  --help                   this text\n"
           "  --version                zvsim's version\n"
           "\n" +
           signalSyntax() +
           "Elements without a signal are 0. An input port of width -1 (a block whose data\n"
           "file has no harness) takes as many elements as the signals name, at least 1;\n"
           "an output port of width -1 takes the input port's width.\n"
           "\n"
           "Values may also be given as --option=VALUE. On a terminal a progress line\n"
           "shows on standard error. Ctrl-C (or Ctrl-Break) stops the run after the step\n"
           "in progress and terminates the block (the solver is told that Simulink ended\n"
           "early); a step that still waits for the solver 2 s later is named. SIGTERM (on\n"
           "Windows: closing the console) stops it the same way, but gives up a step that\n"
           "still waits half a second later. A second request abandons the run at once.\n"
           "A run given up or abandoned still writes the CSV file and the plot of the\n"
           "steps so far, and the block ends its link with the solver (close frame).\n"
           "\n"
           "Environment:\n"
           "  ZVIHOME       the solver's installation: in launch mode the block starts\n"
           "                $ZVIHOME/v<VERSION>/Zelvane/bin/zelvane\n"
           "  ZVIDEBUG      when set, the link log shows the link's progress (DEBUG)\n"
           "  ZVIVERBOSE    when set, every call's arguments too (TRACE)\n"
           "zvlink.prm, optional, in the working folder (KEY=VALUE lines):\n"
           "  HOST          localhost (the default): the block starts the solver itself\n"
           "                (launch mode); any other name or address: the block connects\n"
           "                to a solver listening there (connect mode)\n"
           "  PORT          connect mode: the solver's port; launch mode: the port the\n"
           "                block listens on (default 0, any free port)\n"
           "  VERSION       the installed version to launch (default 6.1.0)\n"
           "  TIMEOUT       seconds to wait for the connect (connect mode), the\n"
           "                handshake reply and each call's return; 0 or absent: no limit\n"
           "  PIPELINE      1: one round trip per step (the next step's output request\n"
           "                travels with the advance); 0 or absent: two\n"
           "Logs: the link log (INFO and above, unless ZVIDEBUG or ZVIVERBOSE asks for\n"
           "more) goes to standard output and to zvlinkclient.out in the working folder.\n"
           "The solver writes its console to screen.zv and its results to NAME.out in\n"
           "its own working folder: this folder in launch mode, the folder it was\n"
           "started in in connect mode.\n"
           "\n"
           "Exit status: 0 the run ended normally (at the stop time, or stopped by the\n"
           "block when the solver completed first); 1 the block reported an error, the\n"
           "run was refused or aborted, or an output file could not be written; 2 a\n"
           "usage error or a block that cannot be loaded; 130 stopped with Ctrl-C, 143\n"
           "with SIGTERM. The last line says how the run ended.\n"
           "\n"
           "Example:\n"
           "  zvsim --model tank --product ZVDEMO --duration-source SIMULINK \\\n"
           "        --timestep 0.1 --stop-time 12 --input 1=step:1 --input 2=step:4,0,50 \\\n"
           "        --csv tank.csv --plot tank.svg\n";
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
        if (arg == "--version") {
            options.version = true;
            continue;
        }
        if (arg == "--size-only") {
            options.sizeOnly = true;
            continue;
        }
        if (std::find(kValueOptions.begin(), kValueOptions.end(), arg) == kValueOptions.end()) {
            std::vector<std::string> all = kValueOptions;
            all.insert(all.end(), kFlagOptions.begin(), kFlagOptions.end());
            const std::string nearest = nearestWord(arg, all);
            error = (arg.rfind("-", 0) == 0 ? "unknown option '" : "unexpected argument '") + arg +
                    "'" + (nearest.empty() ? "" : "; did you mean " + nearest + "?");
            return false;
        }
        if (!hasValue) {
            if (i + 1 >= argc) {
                error = "option '" + arg + "' needs a value";
                return false;
            }
            value = argv[++i];
        }
        std::string signalError;
        if (arg == "--model") {
            options.model = value;
        } else if (arg == "--product") {
            options.product = value;
        } else if (arg == "--duration-source") {
            options.durationSource = value;
        } else if (arg == "--block") {
            options.blockFile = value;
        } else if (arg == "--csv") {
            options.csvFile = value;
        } else if (arg == "--plot") {
            const std::string svg = ".svg";
            std::string ending =
                value.size() >= svg.size() ? value.substr(value.size() - svg.size()) : "";
            std::transform(ending.begin(), ending.end(), ending.begin(),
                           [](unsigned char c) { return char(std::tolower(c)); });
            if (ending != svg) {
                error =
                    "--plot writes SVG only: give a file name ending in .svg, not '" + value + "'";
                return false;
            }
            options.plotFile = value;
        } else if (arg == "--input-names" || arg == "--output-names") {
            std::vector<std::string>& names =
                arg == "--input-names" ? options.inputNames : options.outputNames;
            names.clear();
            for (size_t from = 0;;) {
                const size_t semicolon = value.find(';', from);
                names.push_back(value.substr(from, semicolon - from));
                if (semicolon == std::string::npos) break;
                from = semicolon + 1;
            }
        } else if (arg == "--input") {
            if (!options.signals.addInput(value, signalError)) {
                error = "--input " + value + ": " + signalError;
                return false;
            }
        } else if (arg == "--signals") {
            if (!options.signals.addList(value, signalError)) {
                error = "--signals " + value + ": " + signalError;
                return false;
            }
        } else {
            double number = 0;
            if (!parseNumber(value, number)) {
                error = "option '" + arg + "' needs a number, not '" + value + "'";
                return false;
            }
            if (arg == "--timestep") {
                options.timestep = number;
            } else if (arg == "--inputs") {
                options.inputs = number;
            } else if (arg == "--outputs") {
                options.outputs = number;
            } else {
                if (std::isnan(number) || number < 0.0) {
                    error = "the stop time must be 0 or more, or inf, not '" + value + "'";
                    return false;
                }
                options.stopTime = number;
            }
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

} // namespace zvsim
