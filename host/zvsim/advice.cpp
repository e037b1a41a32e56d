#include "advice.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "link/settings.h"
#include "log/zvlog.h"

namespace zvsim {

std::string nearestWord(const std::string& word, const std::vector<std::string>& candidates) {
    std::string best;
    size_t bestDistance = std::string::npos;
    for (const std::string& c : candidates) {
        // Edit distance, one row at a time.
        std::vector<size_t> row(c.size() + 1);
        for (size_t j = 0; j <= c.size(); ++j)
            row[j] = j;
        for (size_t i = 1; i <= word.size(); ++i) {
            size_t diagonal = row[0];
            row[0] = i;
            for (size_t j = 1; j <= c.size(); ++j) {
                const size_t up = row[j];
                row[j] = std::min(
                    {row[j] + 1, row[j - 1] + 1, diagonal + (word[i - 1] == c[j - 1] ? 0 : 1)});
                diagonal = up;
            }
        }
        if (row[c.size()] < bestDistance) {
            bestDistance = row[c.size()];
            best = c;
        }
    }
    // Two slips in a short option name already make it another word.
    const size_t allowed = std::max<size_t>(1, std::min<size_t>(3, word.size() / 4));
    return bestDistance <= allowed ? best : std::string();
}

namespace {

bool exists(const std::string& path) {
    return std::ifstream(path).good();
}

} // namespace

std::string modelNameAdvice(const std::string& model) {
    const std::string suffix = ".dat";
    if (model.size() <= suffix.size() ||
        model.compare(model.size() - suffix.size(), suffix.size(), suffix) != 0 ||
        exists(model + suffix))
        return std::string();
    const std::string base = model.substr(0, model.size() - suffix.size());
    return "--model takes the data file's base name, as the block's Model parameter does: "
           "--model " +
           base + " reads " + model + " (there is no " + model + suffix + ")";
}

namespace {

// The text after marker on the log's last line that holds it, without its
// line end; "" when no line holds it.
std::string lastLogged(const std::string& log, const std::string& marker) {
    const size_t at = log.rfind(marker);
    if (at == std::string::npos) return std::string();
    const size_t from = at + marker.size();
    return log.substr(from, log.find('\n', from) - from);
}

} // namespace

std::string linkAdvice() {
    // The block has already said what it made of the file's lines.
    setLogLevel(LOG_ERROR + 1);
    LinkSettings settings;
    if (!readLinkSettings(LINK_SETTINGS_FILE, &settings)) {
        if (settings.problem[0])
            return std::string("fix ") + LINK_SETTINGS_FILE +
                   " in this folder: remove HOST and PORT to let the block start the solver, or "
                   "give both to reach a solver that listens.";
        applyLinkDefaults(&settings);
    }
    // What the link logged of this start tells which step failed.
    std::ifstream file("zvlinkclient.out");
    const std::string log((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::string reply = lastLogged(log, "error in handshake reply: ");
    const std::string host = settings.host;
    const std::string port = std::to_string(settings.port);
    if (log.find("before it connected back") != std::string::npos ||
        log.find("during the handshake") != std::string::npos)
        return "the solver ended before the link was up: its own output (its console, screen.zv "
               "and the .out file) says why.";
    if (log.find("error in handshake reply: ") != std::string::npos)
        return "a program answered the block's greeting with '" + reply +
               "' instead of OK: is it a Zelvane solver of this version?";
    if (host != LINK_DEFAULT_HOST) {
        if (log.find("refused the connection") != std::string::npos)
            return "nothing listens at " + host + " port " + port + " (" + LINK_SETTINGS_FILE +
                   " in this folder): is a solver listening there? Start one in the folder that "
                   "holds the data file (the stand-in solver, for example: 'zelvane --listen " +
                   port + "').";
        return "the block could not link to a solver at " + host + " port " + port + " (" +
               LINK_SETTINGS_FILE + " in this folder): the lines above say which step failed.";
    }
    const char* home = std::getenv("ZVIHOME");
    if (!home || !*home)
        return "the block could not start the solver: ZVIHOME is not set (it names the "
               "solver's installation).";
    return "the block could not start the solver " + std::string(home) + "/v" +
           linkVersion(&settings) +
           "/Zelvane/bin/zelvane, or it did not connect back: check ZVIHOME and the VERSION of " +
           LINK_SETTINGS_FILE + ".";
}

namespace {

// The product code a data file says it was made with: the stand-in
// solver's "ZVSOLVER:PRODUCT=" line, else the file's own "Product" header
// line; empty when it says neither.
std::string productOf(const std::string& file) {
    std::ifstream in(file);
    const std::string solverKey = "ZVSOLVER:PRODUCT=", headerKey = "Product ";
    std::string header;
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
            line.pop_back();
        if (line.compare(0, solverKey.size(), solverKey) == 0) return line.substr(solverKey.size());
        if (header.empty() && line.compare(0, headerKey.size(), headerKey) == 0) {
            header = line.substr(headerKey.size());
            header.erase(0, header.find_first_not_of(" \t"));
        }
    }
    return header;
}

std::string currentFolder() {
    std::error_code ec;
    const std::filesystem::path here = std::filesystem::current_path(ec);
    return ec ? std::string(".") : here.string();
}

} // namespace

std::string dataFileAdvice(const std::string& blockError, const std::string& model,
                           const std::string& product) {
    const bool missing = blockError.find("data file does not exist") != std::string::npos;
    if (!missing && blockError.find("product code does not match") == std::string::npos)
        return std::string();
    const std::string file = model + ".dat";
    LinkSettings settings;
    setLogLevel(LOG_ERROR + 1);
    const bool connect = readLinkSettings(LINK_SETTINGS_FILE, &settings) &&
                         std::string(settings.host) != LINK_DEFAULT_HOST;
    // In connect mode the solver reads the file in its own folder.
    const std::string where =
        connect ? "the folder the solver at " + std::string(settings.host) + " was started in"
                : currentFolder();
    if (missing)
        return "the solver found no " + file + " in " + where +
               ": the block's Model parameter (--model " + model + ") names " + file + " there" +
               (connect ? "." : "; run zvsim in the folder that holds it.");
    const std::string made = connect ? std::string() : productOf(file);
    if (made.empty())
        return file + " in " + where + " was not made with the product code " + product +
               " (--product, the block's Product parameter): give the code of the Zelvane "
               "product that wrote it.";
    return file + " in " + where + " was made with the product code " + made + ", not " + product +
           ": give --product " + made + " (the block's Product parameter).";
}

} // namespace zvsim
