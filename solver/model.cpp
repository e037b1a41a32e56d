#include "solver/model.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>

#include "block/datafile.h"

namespace {

bool parseNumber(const std::string& text, double* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    double v = strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(v)) return false;
    *value = v;
    return true;
}

bool parseIndex(const std::string& text, int* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    long v = strtol(text.c_str(), &end, 10);
    if (*end != '\0' || v < 0 || v > 100000) return false;
    *value = static_cast<int>(v);
    return true;
}

std::vector<std::string> splitCommas(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma == std::string::npos ? comma : comma - start));
        if (comma == std::string::npos) return parts;
        start = comma + 1;
    }
}

// One declared lag, before the harness counts are known.
struct LagLine {
    int output; // from 1
    Lag lag;
};

bool parseLag(const std::string& value, LagLine* line) {
    std::vector<std::string> parts = splitCommas(value);
    if (parts.size() != 4) return false;
    int in = 0;
    if (!parseIndex(parts[0], &line->output) || line->output < 1) return false;
    if (!parseIndex(parts[1], &in)) return false;
    line->lag.input = in - 1;
    return parseNumber(parts[2], &line->lag.gain) && parseNumber(parts[3], &line->lag.tau);
}

} // namespace

std::string dataFileName(const std::string& modelName) {
    // Exactly as the block names it: a Model given with its suffix names
    // another file, and the check must say so rather than run a model the
    // block never sized.
    return modelName + ".dat";
}

bool isPlainModelName(const std::string& modelName) {
    // A drive letter's colon would lead out of the folder on Windows.
    return modelName.find_first_of("/\\:") == std::string::npos && modelName != ".." &&
           modelName.find('\0') == std::string::npos;
}

ModelFile readModelFile(const std::string& modelName) {
    ModelFile model;
    if (!isPlainModelName(modelName)) return model;
    std::string fileName = dataFileName(modelName);
    std::ifstream in(fileName);
    if (!in) return model;
    model.found = true;

    std::vector<LagLine> lagLines;
    const std::string prefix = SOLVER_LINE_PREFIX;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.compare(0, prefix.size(), prefix) != 0) continue;
        std::string entry = line.substr(prefix.size());
        size_t eq = entry.find('=');
        std::string key = entry.substr(0, eq);
        std::string value = eq == std::string::npos ? std::string() : entry.substr(eq + 1);
        bool ok = eq != std::string::npos;
        if (key == "PRODUCT") {
            model.product = value;
        } else if (key == "VERSION") {
            model.version = value;
        } else if (key == "DURATION") {
            ok = ok && parseNumber(value, &model.duration);
        } else if (key == "LAG") {
            LagLine lag;
            ok = ok && parseLag(value, &lag);
            if (ok) lagLines.push_back(lag);
        } else {
            ok = false;
        }
        if (!ok) model.problems.push_back(line);
    }

    // The harness is counted exactly as the block counts it when it sizes its ports.
    DataFileScan scan;
    if (scanModelDataFile(modelName.c_str(), &scan)) {
        model.inputCount = scan.inputCount;
        model.outputCount = scan.outputCount;
    }

    // Without a lag line, output j follows input j (wrapping round the inputs).
    model.lags.resize(static_cast<size_t>(model.outputCount));
    for (int j = 0; j < model.outputCount; ++j)
        model.lags[j].input = model.inputCount > 0 ? j % model.inputCount : -1;
    for (const LagLine& l : lagLines) {
        if (l.output > model.outputCount || l.lag.input >= model.inputCount) {
            model.problems.push_back("lag for a port the harness does not have: output " +
                                     std::to_string(l.output) + ", input " +
                                     std::to_string(l.lag.input + 1));
            continue;
        }
        model.lags[l.output - 1] = l.lag;
    }
    return model;
}

int checkModelFile(const ModelFile& model, const std::string& product, const std::string& version) {
    if (!model.found) return FILECHECK_MISSING;
    if (!model.product.empty() && model.product != product) return FILECHECK_WRONG_PRODUCT;
    // A file that names no version is taken as one of this release.
    const std::string fileVersion = model.version.empty() ? SOLVER_DATA_VERSION : model.version;
    if (fileVersion != SOLVER_DATA_VERSION || version != fileVersion)
        return FILECHECK_WRONG_VERSION;
    return FILECHECK_ACCEPTED;
}

void Simulation::start(const ModelFile& model) {
    time = 0.0;
    duration = model.duration;
    lags = model.lags;
    alphas.clear();
    inputs.assign(static_cast<size_t>(model.inputCount), 0.0);
    outputs.assign(lags.size(), 0.0);
}

void Simulation::step(double dt, const double* values, int count) {
    for (size_t i = 0; i < inputs.size(); ++i)
        inputs[i] = (values && static_cast<int>(i) < count) ? values[i] : 0.0;
    if (!(dt > 0.0) || !std::isfinite(dt)) return;
    if (alphas.size() != lags.size() || alphasFor != dt) {
        alphas.resize(lags.size());
        // The exact response over one step to an input held constant during it.
        for (size_t j = 0; j < lags.size(); ++j)
            alphas[j] = lags[j].tau > 0.0 ? 1.0 - std::exp(-dt / lags[j].tau) : 1.0;
        alphasFor = dt;
    }
    for (size_t j = 0; j < lags.size(); ++j) {
        const Lag& lag = lags[j];
        double u = lag.input >= 0 ? inputs[static_cast<size_t>(lag.input)] : 0.0;
        outputs[j] += alphas[j] * (lag.gain * u - outputs[j]);
    }
    time += dt;
}

bool Simulation::reachedDuration(double dt) const {
    if (!(duration >= 0.0)) return false;
    // Time is a sum of steps: allow for its rounding, never for a whole step.
    double tolerance = std::max(1e-9 * std::max(1.0, std::fabs(duration)),
                                dt > 0.0 && std::isfinite(dt) ? 1e-6 * dt : 0.0);
    return time >= duration - tolerance;
}
