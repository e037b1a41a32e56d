// zvdoctor: checks an installation of the zelvanesl61 block before a first
// run. Run in the model's folder, it checks the MEX file, reads zvlink.prm
// with the block's own settings code, and reaches the solver the settings
// select with the block's own link code: one line per check, with a fix for
// each that fails. Exit status 0 only when every check passed.
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "doctor.h"
#include "link/link.h"
#include "link/settings.h"
#include "log/zvlog.h"
#include "remote/stubs.h"

namespace {

const char USAGE[] =
    "usage: zvdoctor [--mex FILE] [--model NAME [--product CODE]] [--wait SECONDS]\n"
    "\n"
    "Checks an installation of the zelvanesl61 block; run it in the model's folder,\n"
    "where MATLAB (or zvsim) runs. One line per check, each failure with its fix;\n"
    "exit status 0 only when every check passed.\n"
    "\n"
    "  the MEX file   --mex FILE, else zelvanesl61 beside zvdoctor or one folder up\n"
    "                 (an unpacked release): it loads with\n"
    "                 every symbol bound (the loader's own text when not), exports\n"
    "                 mexFunction, the libraries it names are found and, on Linux,\n"
    "                 the GLIBC and GLIBCXX versions it needs are here\n"
    "  zvlink.prm     every line read as the block reads it, and the mode it selects\n"
    "  launch mode    ZVIHOME set, the solver of the VERSION there and executable,\n"
    "                 then a real start: launch, handshake, the data file check\n"
    "                 (DATEXIST) for --model, and an orderly close (SLCLOSE,\n"
    "                 CHECKBACK, close frame), each with the time it took. The\n"
    "                 solver runs in this folder and writes its files (screen.zv) here.\n"
    "  connect mode   HOST resolves, something answers at PORT, and it answers the\n"
    "                 handshake as a solver does; then as in launch mode\n"
    "\n"
    "  --model NAME     the data file NAME.dat the solver must find\n"
    "  --product CODE   the product code the block is given, checked with the file\n"
    "  --wait SECONDS   how long a launched solver has to connect back (30)\n";

int failures = 0;
int acceptWait = LINK_ACCEPT_TIMEOUT; // seconds

void pass(const std::string& what) {
    std::printf("[ ok ] %s\n", what.c_str());
}

void fail(const std::string& what, const std::vector<std::string>& details,
          const std::string& fix) {
    ++failures;
    std::printf("[FAIL] %s\n", what.c_str());
    for (const std::string& d : details)
        std::printf("       | %s\n", d.c_str());
    std::printf("       fix: %s\n", fix.c_str());
}

std::string format(const char* fmt, ...) ZV_PRINTF_LIKE(1, 2);
std::string format(const char* fmt, ...) {
    char text[2048];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// ---- what the block's code says while it works ----

struct Seen {
    int level;
    std::string text;
    double at;
};
std::vector<Seen> seen;

void observe(int level, const char* text) {
    seen.push_back({level, text, now()});
}

// Warnings and errors logged since mark.
std::vector<std::string> problemsSince(size_t mark) {
    std::vector<std::string> lines;
    for (size_t i = mark; i < seen.size(); ++i)
        if (seen[i].level >= LOG_WARN) lines.push_back(seen[i].text);
    return lines;
}

// When a line holding text was logged since mark; 0 when none was.
double loggedAt(size_t mark, const char* text) {
    for (size_t i = mark; i < seen.size(); ++i)
        if (seen[i].text.find(text) != std::string::npos) return seen[i].at;
    return 0.0;
}

int linkErrors = 0;
void onLinkError(int32_t) {
    ++linkErrors;
}

bool linkUp() {
    XSocket* link = currentLink();
    return link && link->handle != XSOCKET_INVALID_HANDLE;
}

// ---- the MEX file ----

std::string fileName(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

void checkMex(const std::string& path) {
    using namespace zvdoctor;
    std::error_code ec;
    const std::string name = fileName(path);
    if (!std::filesystem::is_regular_file(path, ec)) {
        fail("MEX file " + path + " not found", {},
             "build the block (the zelvanesl61 target), or name the file with --mex FILE");
        return;
    }
    const MexImage image = readMexImage(path);
    if (!image.readable) {
        fail("MEX file " + path + ": " + image.error, {},
             std::string("rebuild it for this platform; MATLAB here needs a 64-bit ") +
                 mexSuffix() + " file");
        return;
    }
    pass("MEX file " + path);

    std::vector<std::string> missing;
    const std::string folder = std::filesystem::path(path).parent_path().string();
    for (const std::string& lib : image.needed)
        if (!libraryFound(lib, folder)) missing.push_back(lib);
    std::string names;
    for (const std::string& lib : image.needed)
        names += (names.empty() ? "" : ", ") + lib;
    if (missing.empty()) {
        pass(name + " needs " + (names.empty() ? std::string("no library") : names) +
             ": all found");
    } else {
        std::vector<std::string> lines;
        for (const std::string& lib : missing)
            lines.push_back(lib + ": not found");
#ifdef _WIN32
        const char* where = "PATH";
#else
        const char* where = "LD_LIBRARY_PATH";
#endif
        fail(name + " needs libraries this machine does not find", lines,
             std::string("install them, or put their folder on ") + where +
                 " (libmx and libmex come with MATLAB: run the block from MATLAB, or from "
                 "zvsim, which brings its own)");
    }

    std::string runtime;
    const std::string glibc = glibcAvailable();
    const std::string glibcxx = glibcxxAvailable(&runtime);
    if (!glibc.empty()) {
        const std::string needs =
            image.glibc.empty() ? "no versioned GLIBC" : "GLIBC " + image.glibc;
        if (!image.glibc.empty() && compareVersions(image.glibc, glibc) > 0)
            fail(name + " needs " + needs + ", this machine has GLIBC " + glibc, {},
                 "build the block on a system no newer than the oldest that runs it");
        else
            pass(name + " needs " + needs + "; this machine has " + glibc);
        if (image.glibcxx.empty())
            pass(name + " needs no GLIBCXX (the C++ runtime is linked in)");
        else if (glibcxx.empty() || compareVersions(image.glibcxx, glibcxx) > 0)
            fail(name + " needs GLIBCXX " + image.glibcxx + ", this machine has " +
                     (glibcxx.empty() ? std::string("none") : glibcxx + " (" + runtime + ")"),
                 {},
                 "link the C++ runtime into the block (-static-libstdc++), or build it with "
                 "the compiler of the oldest system that runs it; MATLAB may also load its own, "
                 "older runtime first");
        else
            pass(name + " needs GLIBCXX " + image.glibcxx + "; this machine has " + glibcxx);
    }

    std::string error;
    bool exported = false;
    if (!loadMex(path, &error, &exported)) {
        fail(name + " does not load", {error},
             missing.empty() ? "the loader's text above names what is wrong"
                             : "the libraries above must be found first");
        return;
    }
    if (!exported)
        fail(name + " loads but does not export mexFunction", {},
             "not a MEX file: rebuild it with mexFunction exported");
    else
        pass(name + " loads with every symbol bound and exports mexFunction");
}

// ---- zvlink.prm ----

bool checkSettings(LinkSettings* settings) {
    FILE* file = std::fopen(LINK_SETTINGS_FILE, "r");
    if (!file) {
        readLinkSettings(LINK_SETTINGS_FILE, settings);
        applyLinkDefaults(settings);
        pass("no zvlink.prm here: launch mode, on a port of the system's choosing");
        return true;
    }
    int lines = 0;
    char line[256];
    while (std::fgets(line, sizeof line, file))
        if (std::strchr(line, '\n') || std::feof(file)) ++lines;
    std::fclose(file);

    const size_t mark = seen.size();
    const bool usable = readLinkSettings(LINK_SETTINGS_FILE, settings);
    std::vector<std::string> problems = problemsSince(mark);
    // Half a connect-mode pair falls back to launch mode.
    if (!usable && settings->host[0] != '\0')
        problems.push_back(format("HOST=%s without a usable PORT (a number from 1 to 65535): "
                                  "the block launches a solver of its own instead",
                                  settings->host));
    else if (!usable && settings->port != 0)
        problems.push_back(format("PORT=%u without HOST: the block launches a solver of its "
                                  "own instead",
                                  settings->port));
    if (!usable) applyLinkDefaults(settings);
    const bool launch = std::strcmp(settings->host, LINK_DEFAULT_HOST) == 0;
    const std::string mode =
        launch ? format("launch mode, version %s", linkVersion(settings))
               : format("connect mode, to %s port %u", settings->host, settings->port);
    const std::string what =
        format("zvlink.prm: %d line%s read; %s", lines, lines == 1 ? "" : "s", mode.c_str());
    if (problems.empty()) {
        pass(what);
        return true;
    }
    fail(what, problems,
         "correct or remove the lines named; the keys are HOST and PORT (connect mode), "
         "VERSION, TIMEOUT and PIPELINE");
    return false;
}

// ---- the solver ----

// The solver's program path, as the block builds it for a launch.
std::string solverProgram(const char* home, const char* version) {
    char command[LINK_COMMAND_SIZE];
    if (!formatSolverCommand(command, sizeof command, home, version, 1)) return std::string();
    std::string program = command;
    program.erase(program.rfind(" ZVlink -i:"));
    if (program.size() >= 2 && program.front() == '"' && program.back() == '"')
        program = program.substr(1, program.size() - 2);
    return program + zvdoctor::programSuffix();
}

std::string installedVersions(const char* home) {
    std::string list;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(home, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() > 1 && name[0] == 'v' && it->is_directory(ec))
            list += (list.empty() ? "" : ", ") + name.substr(1);
    }
    return list.empty() ? "none" : list;
}

bool checkInstallation(const LinkSettings& settings) {
    const char* home = std::getenv("ZVIHOME");
    if (!home || !*home) {
        fail("ZVIHOME is not set", {},
             "set ZVIHOME to the solver's installation root, the folder that holds "
             "v6.1.0/Zelvane/bin");
        return false;
    }
    pass(format("ZVIHOME=%s", home));
    const char* version = linkVersion(&settings);
    const std::string program = solverProgram(home, version);
    std::error_code ec;
    if (program.empty()) {
        fail("the solver's command line is longer than the block allows", {},
             "install the solver under a shorter path");
        return false;
    }
    if (!std::filesystem::exists(program, ec)) {
        fail(format("no solver for version %s: %s", version, program.c_str()), {},
             format("install version %s under ZVIHOME, or name an installed version with "
                    "VERSION= in zvlink.prm (installed: %s)",
                    version, installedVersions(home).c_str()));
        return false;
    }
    if (!zvdoctor::isExecutable(program)) {
        fail("the solver is not executable: " + program, {},
             "make it executable (chmod +x), or reinstall the solver");
        return false;
    }
    pass(format("solver for version %s: %s", version, program.c_str()));
    return true;
}

std::string seconds(double from, double to) {
    return format("(%.2f s)", to - from);
}

// Start, data file check and close, with the block's own code.
void checkLink(const LinkSettings& settings, bool launch, const char* model, const char* product) {
    const size_t mark = seen.size();
    const double started = now();
    const bool up = startLink() != 0;
    const double connected = loggedAt(mark, "successfully connected!");
    const double done = now();
    const std::vector<std::string> problems = problemsSince(mark);
    if (launch && !connected) {
        fail(format("launch: the solver did not connect back within %d s", acceptWait), problems,
             "run the solver by hand in this folder to see its own messages (for example " +
                 solverProgram(std::getenv("ZVIHOME"), linkVersion(&settings)) +
                 " ZVlink -i:1), and read its screen.zv; a licence or installation fault "
                 "stops a solver at once");
        endLink();
        return;
    }
    if (!launch && !connected) {
        const XSocket* s = currentLink();
        if (s && s->libraryError && s->errorCode == XERROR_INVALID_HOST) {
            fail(format("host %s does not resolve", settings.host), problems,
                 "correct HOST in zvlink.prm: a name this machine resolves, or an IPv4 address");
        } else {
            pass(format("host %s resolves", settings.host));
            fail(format("nothing answers at %s port %u", settings.host, settings.port), problems,
                 "start the solver listening there first, in the model's folder (the stand-in "
                 "solver, for one: zelvane --listen PORT), or correct PORT in zvlink.prm");
        }
        endLink();
        return;
    }
    if (launch)
        pass("launch: the solver started and connected back " + seconds(started, connected));
    else
        pass(format("host %s resolves and port %u answers ", settings.host, settings.port) +
             seconds(started, connected));
    if (!up || !linkUp()) {
        fail("handshake: the solver's reply was not the one expected", problems,
             launch ? "the program installed as the solver is not a Zelvane 6.1 solver, or "
                      "refused the link: read its screen.zv"
                    : "what listens there is not a Zelvane 6.1 solver, or it refused the link");
        endLink();
        return;
    }
    pass("handshake " + seconds(connected, done));

    if (model) {
        const size_t before = seen.size();
        const double t0 = now();
        const int errors = linkErrors;
        const int32_t found = zvFileCheck(model, product ? product : "", "6.1");
        const std::string file = std::string(model) + ".dat";
        const std::string took = " " + seconds(t0, now());
        if (linkErrors != errors) {
            fail("DATEXIST " + file + ": the call failed", problemsSince(before),
                 "read the solver's screen.zv for why it did not answer");
        } else if (found == 0) {
            fail("DATEXIST: the solver does not find " + file + took, {},
                 launch ? "put " + file + " in this folder: the solver runs here"
                        : "a solver that listens reads the data file from its own working "
                          "folder: start it in the folder that holds " +
                              file);
        } else if (found == -2) {
            fail("DATEXIST: " + file + " was not made by a Zelvane 6.1 product" + took, {},
                 "save the model from Zelvane 6.1");
        } else if (found == -1 && product) {
            fail(
                format("DATEXIST: %s was made for another product than %s", file.c_str(), product) +
                    took,
                {}, "give the block the product code the file was made with");
        } else {
            pass("DATEXIST: the solver finds " + file +
                 (product ? std::string() : std::string(" (product not checked: --product)")) +
                 took);
        }
    }

    const size_t before = seen.size();
    const double t0 = now();
    const int errors = linkErrors;
    if (linkUp()) slClose(0);
    if (linkUp()) zvCheckBack();
    const bool closed = linkErrors == errors && linkUp();
    endLink();
    if (closed)
        pass("close: SLCLOSE, CHECKBACK and the close frame " + seconds(t0, now()));
    else
        fail("close: the solver did not answer SLCLOSE and CHECKBACK", problemsSince(before),
             "read the solver's screen.zv for why it ended the link");
}

} // namespace

int main(int argc, char** argv) {
    std::string mex;
    const char* model = nullptr;
    const char* product = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(USAGE, stdout);
            return 0;
        } else if (arg == "--version") {
            std::puts("zvdoctor " ZV_VERSION);
            return 0;
        } else if (arg == "--mex" && hasValue) {
            mex = argv[++i];
        } else if (arg == "--model" && hasValue) {
            model = argv[++i];
        } else if (arg == "--product" && hasValue) {
            product = argv[++i];
        } else if (arg == "--wait" && hasValue) {
            char* end = nullptr;
            const long v = std::strtol(argv[++i], &end, 10);
            if (*end || v < 1 || v > 3600) {
                std::fprintf(stderr, "zvdoctor: --wait takes whole seconds, 1 to 3600\n");
                return 2;
            }
            acceptWait = static_cast<int>(v);
        } else {
            std::fprintf(stderr, "zvdoctor: unexpected argument %s\ntry 'zvdoctor --help'\n",
                         arg.c_str());
            return 2;
        }
    }
    if (mex.empty()) {
        // A build keeps the block beside zvdoctor; an unpacked release keeps
        // zvdoctor in tools/, one folder below the block.
        // The loader takes the platform's own separators only.
#ifdef _WIN32
        const std::string sep = "\\";
#else
        const std::string sep = "/";
#endif
        const std::string folder = zvdoctor::executableFolder();
        const std::string name = std::string("zelvanesl61") + zvdoctor::mexSuffix();
        mex = folder + sep + name;
        const std::string above = folder + sep + ".." + sep + name;
        if (!std::ifstream(mex).good() && std::ifstream(above).good()) mex = above;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    // The block's code logs into the checks' details, not onto the screen,
    // and leaves the block's own zvlinkclient.out as the last run left it.
    setLogObserver(observe);
    setLogLevel(LOG_ERROR + 1);
    openLog(zvdoctor::nullDevice());
    setErrorCallback(onLinkError);
    setLinkAcceptTimeout(acceptWait);

    checkMex(mex);
    LinkSettings settings;
    checkSettings(&settings);
    const bool launch = std::strcmp(settings.host, LINK_DEFAULT_HOST) == 0;
    if (!launch || checkInstallation(settings)) checkLink(settings, launch, model, product);
    setLogObserver(nullptr);

    if (failures == 0)
        std::printf("all checks passed\n");
    else
        std::printf("%d check%s failed\n", failures, failures == 1 ? "" : "s");
    return failures == 0 ? 0 : 1;
}
