// zv_bench: steps per second of the block against the stand-in solver,
// next to the loopback floor of the same two round trips, on this machine.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "alloc_hook.h"
#include "runs.h"

using namespace zvbench;

namespace {

struct Options {
    int steps = 20000;
    int warmup = 500;
    int reps = 5;
    std::vector<int> widths = {8, 128};
    bool check = false;
    bool noDelayOff = true;
    std::string mexFile = ZV_BENCH_MEX;
    std::string zvihome = ZV_BENCH_ZVIHOME;
    std::string tracehome = ZV_BENCH_TRACEHOME;
};

const char USAGE[] =
    "usage: zv_bench [--steps N] [--warmup N] [--reps N] [--widths 8,128] [--no-nagle-run]\n"
    "                [--check] [--mex FILE] [--zvihome DIR] [--tracehome DIR]\n"
    "  --check   exit with 1 when a run fails or the block allocates during its steps\n"
    "  --tracehome DIR   the installation whose solver is zvtrace (for the replay rows)\n";

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--check") {
            o.check = true;
        } else if (a == "--no-nagle-run") {
            o.noDelayOff = false;
        } else if (hasValue && (a == "--steps" || a == "--warmup" || a == "--reps")) {
            const int v = std::atoi(argv[++i]);
            if (v < (a == "--warmup" ? 0 : 1)) return false;
            (a == "--steps" ? o.steps : a == "--warmup" ? o.warmup : o.reps) = v;
        } else if (hasValue && a == "--widths") {
            o.widths.clear();
            std::string list = argv[++i];
            for (size_t at = 0; at <= list.size();) {
                const size_t comma = std::min(list.find(',', at), list.size());
                const int w = std::atoi(list.substr(at, comma - at).c_str());
                if (w < 0 || w > 128) return false;
                o.widths.push_back(w);
                at = comma + 1;
            }
        } else if (hasValue && a == "--mex") {
            o.mexFile = argv[++i];
        } else if (hasValue && a == "--zvihome") {
            o.zvihome = argv[++i];
        } else if (hasValue && a == "--tracehome") {
            o.tracehome = argv[++i];
        } else {
            return false;
        }
    }
    return true;
}

struct Summary {
    bool ok = false;
    std::string error;
    double rate = 0, median = 0, p99 = 0; // steps/s, seconds
    double ratio = 0;                     // to the floor: median over the rounds
    double start = 0, firstStep = 0;      // seconds, median over the runs
    long allocations = -1;                // the worst run
    int steps = 0;
};

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0.0;
    const size_t k = std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5));
    std::nth_element(v.begin(), v.begin() + long(k), v.end());
    return v[k];
}

double rateOf(const RunResult& r) {
    double sum = 0;
    for (double s : r.stepSeconds)
        sum += s;
    return sum > 0 ? double(r.stepSeconds.size()) / sum : 0.0;
}

// The run of median rate stands for the configuration.
Summary summarize(const std::vector<RunResult>& runs) {
    Summary s;
    std::vector<const RunResult*> done;
    for (const RunResult& r : runs) {
        if (!r.ok) {
            s.error = r.error;
            return s;
        }
        done.push_back(&r);
    }
    if (done.empty()) return s;
    std::sort(done.begin(), done.end(),
              [](const RunResult* a, const RunResult* b) { return rateOf(*a) < rateOf(*b); });
    const RunResult& mid = *done[done.size() / 2];
    s.ok = true;
    s.rate = rateOf(mid);
    s.median = percentile(mid.stepSeconds, 0.5);
    s.p99 = percentile(mid.stepSeconds, 0.99);
    s.steps = int(mid.stepSeconds.size());
    std::vector<double> starts, firsts;
    for (const RunResult& r : runs) {
        starts.push_back(r.startSeconds);
        firsts.push_back(r.firstStepSeconds);
        s.allocations = std::max(s.allocations, r.allocations);
    }
    s.start = percentile(starts, 0.5);
    s.firstStep = percentile(firsts, 0.5);
    return s;
}

std::string cpuModel() {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown CPU";
}

// Each round runs every configuration once, one after the other: a run's
// rate over the floor's of the same round is least touched by the
// machine's slow spells, which last longer than a round.
void pairWithFloor(Summary& s, const std::vector<RunResult>& runs,
                   const std::vector<RunResult>& floorRuns) {
    std::vector<double> ratios;
    for (size_t i = 0; i < runs.size() && i < floorRuns.size(); ++i)
        if (runs[i].ok && floorRuns[i].ok && rateOf(floorRuns[i]) > 0)
            ratios.push_back(rateOf(runs[i]) / rateOf(floorRuns[i]));
    s.ratio = percentile(ratios, 0.5);
}

void printRow(FILE* out, int width, const char* what, const Summary& s) {
    if (!s.ok) {
        fprintf(out, "%7d  %-26s  failed: %s\n", width, what, s.error.c_str());
        return;
    }
    fprintf(out, "%7d  %-26s %9.0f %10.1f us %9.1f us", width, what, s.rate, s.median * 1e6,
            s.p99 * 1e6);
    if (s.ratio > 0) fprintf(out, " %7.2f", s.ratio);
    if (s.allocations >= 0) fprintf(out, " %11.3g", double(s.allocations) / s.steps);
    fprintf(out, "\n");
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        fputs(USAGE, stderr);
        return 2;
    }
    // The results go to the real standard output; the link log and the
    // block's messages, which share it, go to a file in the run folder.
    FILE* out = fdopen(dup(STDOUT_FILENO), "w");
    char folderTemplate[] = "/tmp/zvbench.XXXXXX";
    const char* folder = mkdtemp(folderTemplate);
    if (!out || !folder) {
        fputs("zv_bench: cannot set up a run folder\n", stderr);
        return 1;
    }
    const std::filesystem::path home = std::filesystem::current_path();
    std::filesystem::current_path(folder);
    fflush(stdout);
    const int log = open("bench.log", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (log >= 0) {
        dup2(log, STDOUT_FILENO);
        close(log);
    }
    setenv("ZVIHOME", o.zvihome.c_str(), 1);
    unsetenv("ZVIDEBUG");
    BlockSetup setup{o.mexFile, o.zvihome, o.tracehome, folder};

    fprintf(out, "Zelvane link benchmark: %d steps per run after %d warm-up steps, %d runs each\n",
            o.steps, o.warmup, o.reps);
    fprintf(out, "machine: %ld cores, %s\n\n", sysconf(_SC_NPROCESSORS_ONLN), cpuModel().c_str());
    fprintf(out, "%7s  %-26s %9s %13s %12s %7s %11s\n", "signals", "run", "steps/s", "median step",
            "p99 step", "ratio", "allocs/step");
    fflush(out);

    bool failed = false, allocated = false;
    std::string ownCost, pipelining, replaying; // "ratio at width, " for each width
    long ownAllocations = 0, pipelinedAllocations = 0, replayAllocations = 0;
    for (int width : o.widths) {
        const StepFrames frames = stepFrames(width, width);
        std::vector<RunResult> floorRuns, plainRuns, blockRuns, cannedRuns, pipelinedRuns,
            replayRuns;
        // The run the replaying solver plays, recorded once for all its rounds.
        const std::string recording = std::string(folder) + "/run.rec";
        const RunResult recorded = recordRun(setup, width, o.warmup, o.steps, recording);
        // Interleaved, so that a slow spell of the machine hits them all alike.
        for (int rep = 0; rep < o.reps; ++rep) {
            floorRuns.push_back(runBaseline(frames, o.warmup, o.steps, true));
            if (o.noDelayOff) plainRuns.push_back(runBaseline(frames, o.warmup, o.steps, false));
            blockRuns.push_back(runBlock(setup, width, o.warmup, o.steps));
            cannedRuns.push_back(runCannedPeer(setup, frames, width, o.warmup, o.steps));
            pipelinedRuns.push_back(runBlock(setup, width, o.warmup, o.steps, "PIPELINE=1\n"));
            replayRuns.push_back(recorded.ok ? runReplay(setup, width, o.warmup, o.steps, recording)
                                             : recorded);
        }
        Summary floor = summarize(floorRuns), plain = summarize(plainRuns),
                block = summarize(blockRuns), canned = summarize(cannedRuns),
                pipelined = summarize(pipelinedRuns), replay = summarize(replayRuns);
        pairWithFloor(floor, floorRuns, floorRuns);
        pairWithFloor(plain, plainRuns, floorRuns);
        pairWithFloor(block, blockRuns, floorRuns);
        pairWithFloor(canned, cannedRuns, floorRuns);
        pairWithFloor(pipelined, pipelinedRuns, floorRuns);
        pairWithFloor(replay, replayRuns, floorRuns);
        printRow(out, width, "loopback floor", floor);
        if (o.noDelayOff) printRow(out, width, "loopback, TCP_NODELAY off", plain);
        printRow(out, width, "block + canned peer", canned);
        printRow(out, width, "block + stand-in solver", block);
        printRow(out, width, "  same, PIPELINE=1", pipelined);
        printRow(out, width, "block + replaying solver", replay);
        if (block.ok)
            fprintf(out, "%7s  solver launch (start callback): %.1f ms; first step: %.0f us\n", "",
                    block.start * 1e3, block.firstStep * 1e6);
        fflush(out);
        if (floor.ok && canned.ok && pipelined.ok) {
            char text[64];
            snprintf(text, sizeof text, "%.2f at %d, ", canned.ratio, width);
            ownCost += text;
            snprintf(text, sizeof text, "%.2f at %d, ", pipelined.ratio, width);
            pipelining += text;
            ownAllocations = std::max(ownAllocations, canned.allocations);
            if (replay.ok) {
                snprintf(text, sizeof text, "%.2f at %d, ", replay.ratio, width);
                replaying += text;
                replayAllocations = std::max(replayAllocations, replay.allocations);
            }
            pipelinedAllocations = std::max(pipelinedAllocations, pipelined.allocations);
        }
        for (const Summary* s : {&floor, &block, &canned, &pipelined, &replay}) {
            failed = failed || !s->ok;
            allocated = allocated || s->allocations > 0;
        }
    }
    if (!ownCost.empty()) {
        // The two figures the step's design is judged by.
        fprintf(out,
                "\nthe block's own cost (canned peer over floor): %s%ld allocations per step "
                "(target 0.95)\n",
                ownCost.c_str(), ownAllocations);
        fprintf(out,
                "one round trip per step (PIPELINE=1, stand-in solver, over floor): %s%ld "
                "allocations per step (target 1.6)\n",
                pipelining.c_str(), pipelinedAllocations);
        fprintf(out,
                "the block against a recording (replaying solver, over floor): %s%ld "
                "allocations per step (target 0.9)\n",
                replaying.c_str(), replayAllocations);
    }
    failed = !benchSizing(out) || failed;
    if (!zvbench::allocationsCounted())
        fprintf(out, "\nallocations not counted: sanitizer build\n");
    fprintf(out, "\nsignals: inputs and outputs each; ratio: steps/s over the loopback floor's "
                 "(two round trips per step)\nin the same round, median over the rounds;\ncanned "
                 "peer: the floor's server answering the block, "
                 "so its ratio is the block's own cost;\nPIPELINE=1: one round trip per step;\n"
                 "replaying solver: zelvane --replay playing a recording of the same run\n");

    std::filesystem::current_path(home);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    fclose(out);
    if (o.check && (failed || allocated)) return 1;
    return 0;
}
