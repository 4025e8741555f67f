// Shows that loop (-r, -p): lateness and drift over a thousand passes, with
// and without a period, beside the reference writer looping the same show;
// a late start joining a loop at its next pass, beside an ordinary -t
// start; memory over many passes.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench.h"

namespace {

namespace fs = std::filesystem;

struct LoopFigures {
    double median = NAN;  // lateness above the least, over all cues
    double p99 = NAN;
    double drift = NAN;  // median lateness, last 100 passes minus first 100
};

LoopFigures figuresOf(const std::vector<double>& lateness, std::size_t cuesPerPass) {
    LoopFigures figures;
    if (lateness.empty()) {
        return figures;
    }
    const double least = *std::min_element(lateness.begin(), lateness.end());
    std::vector<double> above;
    for (double late : lateness) {
        above.push_back(late - least);
    }
    figures.median = median(above);
    figures.p99 = quantile(above, 0.99);
    const auto span = static_cast<std::ptrdiff_t>(std::min(lateness.size(), 100 * cuesPerPass));
    figures.drift = median({lateness.end() - span, lateness.end()}) -
                    median({lateness.begin(), lateness.begin() + span});
    return figures;
}

// One loop of `passes` passes of `show`, by the traced player or by the
// reference writer; with `periodMs` 0, back to back.
void loopScenario(const std::string& name, const Show& show, long passes, std::int64_t periodMs,
                  const Options& options) {
    std::printf("\n%s: %ld passes of %zu cues, %s (one run each)\n", name.c_str(), passes,
                show.dueMs.size(),
                periodMs > 0 ? ("a pass every " + std::to_string(periodMs) + " ms").c_str()
                             : "back to back");
    std::printf("  %-28s %12s %12s %12s\n", "figure", "player", "reference", "difference");
    const std::int64_t passMs = periodMs > 0 ? periodMs : show.dueMs.back();
    std::vector<std::int64_t> dueMs;
    for (long pass = 0; pass < passes; ++pass) {
        for (std::int64_t due : show.dueMs) {
            dueMs.push_back(pass * passMs + due);
        }
    }
    VirtualSerial device(kDevice);
    RunOptions run;
    run.expectBytes = show.bytes * static_cast<std::size_t>(passes);
    const std::string tracePath = options.out + "/trace.txt";
    std::vector<std::string> player = {
        kTracePlayer, "-b", "115200", "-f", show.name, "-d", "0", "-r", std::to_string(passes)};
    std::vector<std::string> reference = {kWriter, "--passes", std::to_string(passes)};
    if (periodMs > 0) {
        player.insert(player.end(), {"-p", std::to_string(periodMs)});
        reference.insert(reference.end(), {"--period", std::to_string(periodMs)});
    }
    reference.insert(reference.end(), {kDevice, kUploadDir + show.name});
    setenv("ORV_TRACE_FILE", tracePath.c_str(), 1);
    const LoopFigures p =
        figuresOf(cueLateness(runAgainst(player, &device, run), dueMs), show.dueMs.size());
    unsetenv("ORV_TRACE_FILE");
    const LoopFigures r =
        figuresOf(cueLateness(runAgainst(reference, &device, run), dueMs), show.dueMs.size());
    report(name, "lateness median us", p.median, r.median);
    report(name, "lateness p99 us", p.p99, r.p99);
    report(name, "last 100 - first 100 passes us", p.drift, r.drift);

    // Early: the player's own writes against the loop's moments, counted
    // from its first write.
    const std::vector<std::int64_t> writes = readTrace(tracePath);
    int early = 0;
    double mostEarly = 0;
    for (std::size_t i = 0; i < writes.size() && i < dueMs.size(); ++i) {
        const std::int64_t ahead = dueMs[i] * 1000000 - (writes[i] - writes[0]);
        mostEarly = std::max(mostEarly, static_cast<double>(ahead) / 1000.0);
        early += ahead > kEarlyToleranceNanos ? 1 : 0;
    }
    report(name, "early cues (>1 us)", early);
    report(name, "most early us", mostEarly);
}

// The first cue's arrival minus its moment on the wall clock, in
// microseconds, for a player started with `args` whose first cue is due at
// `moment`; the player is stopped once the cue has come.
double firstCueLateness(std::vector<std::string> args, std::int64_t moment, VirtualSerial& device) {
    args.insert(args.begin(), kPlayer);
    RunOptions options;
    int pid = -1;
    options.onStarted = [&pid](int started) { pid = started; };
    options.onReceived = [&pid](const Arrival&, std::size_t) { kill(pid, SIGTERM); };
    const RunResult run = runAgainst(args, &device, options);
    if (run.arrivals.empty()) {
        std::printf("  (no cue: status %d, %s)\n", run.status, run.out.c_str());
        return NAN;
    }
    return static_cast<double>(run.arrivals.front().nanos + monotonicToWall() - moment) / 1000.0;
}

// A loop of 2-second passes began 5.3 s ago: the player joins at the pass
// 6 s after its start. Beside it, an ordinary start at a moment 0.7 s
// ahead, the same lead.
void rejoinScenario(const Options& options) {
    const int starts = std::max(1, options.starts / 5);
    std::printf("\nrejoin: first cue's arrival minus its moment, %d starts each (us)\n", starts);
    std::printf("  %-28s %12s %12s %12s\n", "figure", "rejoin", "-t start", "difference");
    const Show show = writeShow("rejoin.txt", {0}, 8);
    VirtualSerial device(kDevice);
    std::vector<double> joined;
    std::vector<double> started;
    for (int round = 0; round < starts; ++round) {
        const std::int64_t began = wallNanos() - 5300 * 1000000LL;
        const double late = firstCueLateness(
            {"-b", "115200", "-f", show.name, "-r", "0", "-p", "2000", "-t", momentText(began)},
            began + 6000 * 1000000LL, device);
        const std::int64_t moment = wallNanos() + 700 * 1000000LL;
        const double plain = firstCueLateness(
            {"-b", "115200", "-f", show.name, "-t", momentText(moment)}, moment, device);
        if (!std::isnan(late) && !std::isnan(plain)) {
            joined.push_back(late);
            started.push_back(plain);
        }
    }
    report("rejoin", "arrival - moment median", median(joined), median(started));
    report("rejoin", "arrival - moment p5", quantile(joined, 0.05), quantile(started, 0.05));
    report("rejoin", "arrival - moment p95", quantile(joined, 0.95), quantile(started, 0.95));
    report("rejoin", "early first cues",
           static_cast<double>(
               std::count_if(joined.begin(), joined.end(), [](double late) { return late < 0; })),
           static_cast<double>(std::count_if(started.begin(), started.end(),
                                             [](double late) { return late < 0; })));
    fs::remove(kUploadDir + show.name);
}

void repeatMemoryScenario(const Options& options) {
    const long many = options.quick ? 10000 : 100000;
    std::printf("\nrepeat-memory: peak resident memory, one pass and %ld passes\n", many);
    const Show show = writeShow("repeat-memory.txt", {0, 0, 0}, 8);
    VirtualSerial device(kDevice);
    std::vector<double> peaks;
    for (const long passes : {1L, many}) {
        RunOptions run;
        run.measureMemory = true;
        run.expectBytes = show.bytes * static_cast<std::size_t>(passes);
        const RunResult result = runAgainst(
            {kPlayer, "-b", "115200", "-f", show.name, "-d", "0", "-r", std::to_string(passes)},
            &device, run);
        peaks.push_back(static_cast<double>(result.maxResidentKiB));
        report("repeat-memory", "peak KiB, -r " + std::to_string(passes),
               static_cast<double>(result.maxResidentKiB));
    }
    report("repeat-memory", "growth KiB", peaks[1] - peaks[0]);
    fs::remove(kUploadDir + show.name);
}

bool wanted(const Options& options, const std::string& name) {
    return options.scenarios.empty() ||
           std::find(options.scenarios.begin(), options.scenarios.end(), name) !=
               options.scenarios.end();
}

}  // namespace

void repeatScenarios(const Options& options) {
    const long passes = options.quick ? 100 : 1000;
    const Show show = writeShow("repeat.txt", {0, 10, 20, 30, 40, 50, 60, 70, 80, 90}, 8);
    if (wanted(options, "repeat")) {
        loopScenario("repeat", show, passes, 100, options);
    }
    if (wanted(options, "back-to-back")) {
        loopScenario("back-to-back", show, passes, 0, options);
    }
    fs::remove(kUploadDir + show.name);
    if (wanted(options, "rejoin")) {
        rejoinScenario(options);
    }
    if (wanted(options, "repeat-memory")) {
        repeatMemoryScenario(options);
    }
}
