// Measures the player's timing, throughput, memory and start-up through a
// pseudo-terminal, side by side with a reference writer, in alternating
// rounds. Prints a table, and writes the figures as CSV and the jitter
// distributions as data for a plot.
//
//   orvbench [--quick] [--rounds N] [--loaded-rounds N] [--starts N]
//            [--start-shows N] [--scenario NAME]... [--out DIR] [--player PATH]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench.h"

namespace {

namespace fs = std::filesystem;

std::map<std::string, std::vector<double>> g_jitter;  // "scenario/program" -> samples

// Keeps both cores busy while it lives: a loaded board.
class Load {
public:
    explicit Load(bool on) {
        for (int i = 0; on && i < 2; ++i) {
            pid_t pid = fork();
            if (pid == 0) {
                for (volatile unsigned long spin = 0;; spin = spin + 1) {
                }
            }
            children_.push_back(pid);
        }
    }
    ~Load() {
        for (pid_t pid : children_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    Load(const Load&) = delete;
    Load& operator=(const Load&) = delete;

private:
    std::vector<pid_t> children_;
};

using Figures = std::map<std::string, double>;

struct TimingRun {
    Figures figures;
    std::vector<double> jitterMicros;
};

// Jitter, drift and (from the player's own write times) early cues.
TimingRun timingFigures(const Show& show, const RunResult& run, const std::string& tracePath) {
    TimingRun result;
    const std::vector<std::int64_t> arrivals = cueArrivals(run);
    if (arrivals.size() != show.dueMs.size() || run.received().size() != show.bytes) {
        std::printf("  (run incomplete: %zu of %zu cues arrived, status %d)\n", arrivals.size(),
                    show.dueMs.size(), run.status);
        result.figures["incomplete"] = 1;
        return result;
    }
    std::vector<double> lateness;
    for (std::size_t i = 0; i < arrivals.size(); ++i) {
        lateness.push_back(static_cast<double>(arrivals[i] - show.dueMs[i] * 1000000) / 1000.0);
    }
    const double least = *std::min_element(lateness.begin(), lateness.end());
    for (double late : lateness) {
        result.jitterMicros.push_back(late - least);
    }
    result.figures["jitter median us"] = median(result.jitterMicros);
    result.figures["jitter p99 us"] = quantile(result.jitterMicros, 0.99);
    result.figures["jitter max us"] = quantile(result.jitterMicros, 1.0);
    const std::size_t tenth = std::max<std::size_t>(1, lateness.size() / 10);
    result.figures["drift us"] =
        median({lateness.end() - static_cast<std::ptrdiff_t>(tenth), lateness.end()}) -
        median({lateness.begin(), lateness.begin() + static_cast<std::ptrdiff_t>(tenth)});

    if (!tracePath.empty()) {
        const std::vector<std::int64_t> writes = readTrace(tracePath);
        // A cue is early when the player wrote it before its moment,
        // counted from its own write of the first cue. Differences below a
        // microsecond are the warmth of the code path (the first write runs
        // cold), not the show clock: one bit at 115200 baud lasts 8.7 us.
        int early = 0;
        double earliestMicros = 0;
        for (std::size_t i = 0; i < writes.size() && i < show.dueMs.size(); ++i) {
            const std::int64_t ahead = show.dueMs[i] * 1000000 - (writes[i] - writes[0]);
            earliestMicros = std::max(earliestMicros, static_cast<double>(ahead) / 1000.0);
            if (ahead > kEarlyToleranceNanos) {
                ++early;
            }
        }
        if (writes.size() != show.dueMs.size()) {
            std::printf("  (trace holds %zu writes for %zu cues)\n", writes.size(),
                        show.dueMs.size());
        }
        result.figures["early cues"] = early;
        result.figures["most early us"] = earliestMicros;
    }
    return result;
}

RunResult play(const std::string& program, const Show& show, VirtualSerial& device,
               const std::string& tracePath = "", bool measureMemory = false) {
    RunOptions options;
    options.expectBytes = show.bytes;
    options.measureMemory = measureMemory;
    if (program == "reference") {
        return runAgainst({kWriter, kDevice, kUploadDir + show.name}, &device, options);
    }
    if (program == "bare") {
        return runAgainst({kWriter, "--bare", kDevice, kUploadDir + show.name}, &device, options);
    }
    if (!tracePath.empty()) {
        setenv("ORV_TRACE_FILE", tracePath.c_str(), 1);
    }
    RunResult run = runAgainst({program == "player-traced" ? kTracePlayer : kPlayer, "-b", "115200",
                                "-f", show.name, "-d", "0"},
                               &device, options);
    unsetenv("ORV_TRACE_FILE");
    return run;
}

Figures medianOver(const std::vector<Figures>& rounds) {
    std::map<std::string, std::vector<double>> byName;
    for (const Figures& round : rounds) {
        for (const auto& [name, value] : round) {
            byName[name].push_back(value);
        }
    }
    Figures medians;
    for (const auto& [name, values] : byName) {
        medians[name] = median(values);
    }
    return medians;
}

void timingScenario(const std::string& name, const Show& show, int rounds, bool loaded,
                    const Options& options) {
    std::printf("\n%s: %zu cues over %.1f s%s, %d rounds (medians)\n", name.c_str(),
                show.dueMs.size(), static_cast<double>(show.dueMs.back()) / 1000.0,
                loaded ? ", both cores kept busy" : "", rounds);
    std::printf("  %-28s %12s %12s %12s\n", "figure", "player", "reference", "difference");
    VirtualSerial device(kDevice);
    const std::string tracePath = options.out + "/trace.txt";
    std::vector<Figures> player;
    std::vector<Figures> reference;
    for (int round = 0; round < rounds; ++round) {
        Load load(loaded);
        for (int turn = 0; turn < 2; ++turn) {  // alternate who goes first
            const bool playerTurn = (round + turn) % 2 == 0;
            if (playerTurn) {
                TimingRun run =
                    timingFigures(show, play("player-traced", show, device, tracePath), tracePath);
                player.push_back(run.figures);
                auto& samples = g_jitter[name + "/player"];
                samples.insert(samples.end(), run.jitterMicros.begin(), run.jitterMicros.end());
            } else {
                TimingRun run = timingFigures(show, play("reference", show, device), "");
                reference.push_back(run.figures);
                auto& samples = g_jitter[name + "/reference"];
                samples.insert(samples.end(), run.jitterMicros.begin(), run.jitterMicros.end());
            }
        }
    }
    Figures p = medianOver(player);
    Figures r = medianOver(reference);
    for (const char* figure : {"jitter median us", "jitter p99 us", "jitter max us", "drift us"}) {
        report(name, figure, p[figure], r[figure]);
    }
    double earlyTotal = 0;
    double mostEarly = 0;
    for (const Figures& round : player) {
        earlyTotal += round.count("early cues") != 0 ? round.at("early cues") : 0;
        mostEarly =
            std::max(mostEarly, round.count("most early us") != 0 ? round.at("most early us") : 0);
    }
    report(name, "early cues (>1 us), all rounds", earlyTotal);
    report(name, "most early us, all rounds", mostEarly);
}

void throughputScenario(const std::string& name, std::size_t cues, std::size_t width, int rounds) {
    std::printf("\n%s: %zu cues of %zu bytes all due at once, %d rounds (medians)\n", name.c_str(),
                cues, width, rounds);
    std::printf("  %-28s %12s %12s %12s\n", "figure", "player", "bare write", "difference");
    const Show show = writeShow(name + ".txt", std::vector<std::int64_t>(cues, 0), width);
    VirtualSerial device(kDevice);
    std::vector<double> player;
    std::vector<double> bare;
    for (int round = 0; round < rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool playerTurn = (round + turn) % 2 == 0;
            RunResult run = play(playerTurn ? "player" : "bare", show, device);
            const std::vector<std::int64_t> arrivals = cueArrivals(run);
            if (arrivals.size() != cues) {
                std::printf("  (run incomplete: %zu of %zu cues)\n", arrivals.size(), cues);
                continue;
            }
            const double seconds =
                static_cast<double>(run.arrivals.back().nanos - run.arrivals.front().nanos) / 1e9;
            (playerTurn ? player : bare).push_back(static_cast<double>(cues) / seconds);
        }
    }
    const double p = median(player);
    const double b = median(bare);
    report(name, "cues per second", p, b);
    report(name, "MB per second", p * static_cast<double>(width) / 1e6,
           b * static_cast<double>(width) / 1e6);
    report(name, "player / bare write", p / b);
    fs::remove(kUploadDir + show.name);
}

void memoryScenario(bool quick) {
    const std::size_t bigLines = quick ? 500000 : 5000000;
    std::printf("\nmemory: peak resident memory of the player\n");
    VirtualSerial device(kDevice);
    std::vector<double> peaks;
    for (std::size_t lines : {std::size_t{1000}, bigLines}) {
        const Show show = writeShow("memory.txt", std::vector<std::int64_t>(lines, 0), 8);
        RunResult run = play("player", show, device, "", true);
        peaks.push_back(static_cast<double>(run.maxResidentKiB));
        report("memory", "peak KiB, " + std::to_string(lines) + " lines",
               static_cast<double>(run.maxResidentKiB));
        fs::remove(kUploadDir + show.name);
    }
    report("memory", "growth KiB", peaks[1] - peaks[0]);
}

void startupScenario(int rounds) {
    std::printf("\nstartup: start to the first cue's arrival with -d 0, %d rounds (median)\n",
                rounds * 2);
    const Show show = writeShow("startup.txt", {0}, 8);
    VirtualSerial device(kDevice);
    std::vector<double> millis;
    for (int round = 0; round < rounds * 2; ++round) {
        RunResult run = play("player", show, device);
        if (!run.arrivals.empty()) {
            millis.push_back(static_cast<double>(run.arrivals.front().nanos - run.startNanos) /
                             1e6);
        }
    }
    // What starting any program costs here: /bin/true from spawn to exit.
    std::vector<double> trueMillis;
    for (int round = 0; round < rounds * 2; ++round) {
        RunResult run = runAgainst({"/bin/true"}, nullptr);
        trueMillis.push_back(static_cast<double>(run.endNanos - run.startNanos) / 1e6);
    }
    report("startup", "first cue after start, ms", median(millis));
    report("startup", "slowest, ms", quantile(millis, 1.0));
    report("startup", "/bin/true start to exit, ms", median(trueMillis));
}

std::vector<std::int64_t> evenlySpaced(std::size_t count, std::int64_t gapMs);

// One start at a moment about a second ahead: each cue's arrival minus
// (the moment + its due time), in microseconds, on the wall clock.
std::vector<double> startedAtMoment(bool player, const Show& show, VirtualSerial& device) {
    const std::int64_t moment = wallNanos() + 1000000000;
    const std::string at = momentText(moment);
    RunOptions options;
    options.expectBytes = show.bytes;
    const RunResult run =
        player
            ? runAgainst({kPlayer, "-b", "115200", "-f", show.name, "-t", at}, &device, options)
            : runAgainst({kWriter, "--at", std::to_string(moment), kDevice, kUploadDir + show.name},
                         &device, options);
    const std::int64_t toWall = monotonicToWall();
    const std::vector<std::int64_t> arrivals = cueArrivals(run);
    std::vector<double> lateness;
    if (arrivals.size() != show.dueMs.size()) {
        std::printf("  (run incomplete: %zu of %zu cues arrived, status %d: %s)\n", arrivals.size(),
                    show.dueMs.size(), run.status, run.out.c_str());
        return lateness;
    }
    for (std::size_t i = 0; i < arrivals.size(); ++i) {
        lateness.push_back(
            static_cast<double>(arrivals[i] + toWall - moment - show.dueMs[i] * 1000000) / 1000.0);
    }
    return lateness;
}

// Starting at a moment on the wall clock (-t), one player at a time,
// alternating with the reference writer spinning on the wall clock; beside
// it, what starting with -d 0 from a script gives.
void startScenario(const Options& options) {
    const int starts = options.starts;
    std::printf("\nstart: first cue's arrival minus the start moment, %d starts each (us)\n",
                starts);
    std::printf("  %-28s %12s %12s %12s\n", "figure", "player", "reference", "difference");
    const Show one = writeShow("start.txt", {0}, 8);
    VirtualSerial device(kDevice);
    std::vector<double> player;
    std::vector<double> reference;
    double early[2] = {0, 0};
    for (int round = 0; round < starts; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool playerTurn = (round + turn) % 2 == 0;
            const std::vector<double> late = startedAtMoment(playerTurn, one, device);
            if (!late.empty()) {
                (playerTurn ? player : reference).push_back(late[0]);
                early[playerTurn ? 0 : 1] += late[0] < 0 ? 1 : 0;
            }
        }
    }
    report("start", "arrival - moment median", median(player), median(reference));
    report("start", "arrival - moment p5", quantile(player, 0.05), quantile(reference, 0.05));
    report("start", "arrival - moment p95", quantile(player, 0.95), quantile(reference, 0.95));
    report("start", "p95 - p5", quantile(player, 0.95) - quantile(player, 0.05),
           quantile(reference, 0.95) - quantile(reference, 0.05));
    report("start", "early first cues", early[0], early[1]);

    // A script starting the player with -d 0: its moment is the start.
    std::vector<double> scripted;
    for (int round = 0; round < starts; ++round) {
        RunOptions runOptions;
        runOptions.expectBytes = one.bytes;
        const RunResult run =
            runAgainst({kPlayer, "-b", "115200", "-f", one.name, "-d", "0"}, &device, runOptions);
        if (!run.arrivals.empty()) {
            scripted.push_back(static_cast<double>(run.arrivals.front().nanos - run.startNanos) /
                               1000.0);
        }
    }
    report("start", "-d 0: arrival - start median", median(scripted));
    report("start", "-d 0: arrival - start p5", quantile(scripted, 0.05));
    report("start", "-d 0: arrival - start p95", quantile(scripted, 0.95));
    report("start", "-d 0: p95 - p5", quantile(scripted, 0.95) - quantile(scripted, 0.05));

    // A whole show from the moment: the last cue's lateness minus the first's.
    const int shows = options.startShows;
    const Show show = writeShow("start-show.txt", evenlySpaced(options.quick ? 1001 : 6001, 10), 8);
    std::printf("\nstart-show: %zu cues over %.0f s from a start moment, %d rounds (medians)\n",
                show.dueMs.size(), static_cast<double>(show.dueMs.back()) / 1000.0, shows);
    std::vector<double> drift[2];
    double earlyCues[2] = {0, 0};
    for (int round = 0; round < shows; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool playerTurn = (round + turn) % 2 == 0;
            const std::vector<double> late = startedAtMoment(playerTurn, show, device);
            if (!late.empty()) {
                drift[playerTurn ? 0 : 1].push_back(late.back() - late.front());
                earlyCues[playerTurn ? 0 : 1] += static_cast<double>(
                    std::count_if(late.begin(), late.end(), [](double l) { return l < 0; }));
            }
        }
    }
    report("start-show", "last - first lateness", median(drift[0]), median(drift[1]));
    report("start-show", "early cues, all rounds", earlyCues[0], earlyCues[1]);
    fs::remove(kUploadDir + one.name);
    fs::remove(kUploadDir + show.name);
}

void writeOutputs(const Options& options) {
    std::ofstream csv(options.out + "/results.csv");
    csv << "scenario,figure,player,reference,difference\n";
    for (const Row& row : g_rows) {
        csv << row.scenario << ',' << row.figure << ',' << row.player << ',';
        if (!std::isnan(row.reference)) {
            csv << row.reference << ',' << row.player - row.reference;
        } else {
            csv << ',';
        }
        csv << '\n';
    }
    // One file per scenario and program: jitter in microseconds and the
    // share of cues at or below it, for a distribution plot.
    for (auto& [key, samples] : g_jitter) {
        std::sort(samples.begin(), samples.end());
        std::string file = key;
        std::replace(file.begin(), file.end(), '/', '-');
        std::ofstream data(options.out + "/jitter-" + file + ".dat");
        for (std::size_t i = 0; i < samples.size(); ++i) {
            data << samples[i] << ' '
                 << static_cast<double>(i + 1) / static_cast<double>(samples.size()) << '\n';
        }
    }
    std::printf("\nfigures: %s/results.csv\n", options.out.c_str());
}

bool wanted(const Options& options, const std::string& name) {
    return options.scenarios.empty() ||
           std::find(options.scenarios.begin(), options.scenarios.end(), name) !=
               options.scenarios.end();
}

std::vector<std::int64_t> evenlySpaced(std::size_t count, std::int64_t gapMs) {
    std::vector<std::int64_t> offsets;
    for (std::size_t i = 0; i < count; ++i) {
        offsets.push_back(1000 + static_cast<std::int64_t>(i) * gapMs);
    }
    return offsets;
}

std::vector<std::int64_t> irregular(std::size_t count) {
    std::mt19937 random(20261208);
    std::uniform_int_distribution<int> gap(0, 50);
    std::vector<std::int64_t> offsets = {1000};
    while (offsets.size() < count) {
        offsets.push_back(offsets.back() + gap(random));
    }
    return offsets;
}

const char kUsage[] =
    "usage: orvbench [--quick] [--rounds N] [--loaded-rounds N] [--starts N] [--start-shows N]\n"
    "                [--scenario NAME]... [--out DIR] [--player PATH]\n"
    "scenarios: 1ms irregular drift 1ms-loaded irregular-loaded drift-loaded burst10 burst200\n"
    "           memory startup start repeat back-to-back rejoin repeat-memory soak long-gaps\n"
    "           shared-core\n";

}  // namespace

int main(int argc, char* argv[]) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--quick") {
            options.quick = true;
            options.rounds = 1;
            options.loadedRounds = 1;
            options.starts = 10;
            options.startShows = 1;
        } else if (word == "--rounds" && i + 1 < argc) {
            options.rounds = std::max(1, std::atoi(argv[++i]));
        } else if (word == "--loaded-rounds" && i + 1 < argc) {
            options.loadedRounds = std::max(1, std::atoi(argv[++i]));
        } else if (word == "--starts" && i + 1 < argc) {
            options.starts = std::max(1, std::atoi(argv[++i]));
        } else if (word == "--start-shows" && i + 1 < argc) {
            options.startShows = std::max(1, std::atoi(argv[++i]));
        } else if (word == "--scenario" && i + 1 < argc) {
            options.scenarios.emplace_back(argv[++i]);
        } else if (word == "--player" && i + 1 < argc) {
            options.player = argv[++i];
        } else if (word == "--out" && i + 1 < argc) {
            options.out = argv[++i];
        } else {
            std::printf("%s", kUsage);
            return 2;
        }
    }
    fs::create_directories(options.out);
    fs::create_directories(kUploadDir);
    const bool quick = options.quick;

    const Show oneMs = writeShow("1ms.txt", evenlySpaced(quick ? 500 : 2000, 1), 8);
    const Show irregularShow = writeShow("irregular.txt", irregular(quick ? 200 : 1000), 8);
    const Show drift = writeShow("drift.txt", evenlySpaced(quick ? 1000 : 6001, 10), 8);
    for (bool loaded : {false, true}) {
        const std::string suffix = loaded ? "-loaded" : "";
        const int rounds = loaded ? options.loadedRounds : options.rounds;
        if (wanted(options, "1ms" + suffix)) {
            timingScenario("1ms" + suffix, oneMs, rounds, loaded, options);
        }
        if (wanted(options, "irregular" + suffix)) {
            timingScenario("irregular" + suffix, irregularShow, rounds, loaded, options);
        }
        if (wanted(options, "drift" + suffix)) {
            timingScenario("drift" + suffix, drift, rounds, loaded, options);
        }
    }
    const std::size_t burst = quick ? 100000 : 1000000;
    if (wanted(options, "burst10")) {
        throughputScenario("burst10", burst, 10, std::min(options.rounds, 3));
    }
    if (wanted(options, "burst200")) {
        throughputScenario("burst200", burst, 200, std::min(options.rounds, 3));
    }
    if (wanted(options, "memory")) {
        memoryScenario(quick);
    }
    if (wanted(options, "startup")) {
        startupScenario(options.rounds);
    }
    if (wanted(options, "start")) {
        startScenario(options);
    }
    repeatScenarios(options);
    if (wanted(options, "soak")) {
        triggerSoakScenario(options);
    }
    if (wanted(options, "long-gaps")) {
        longGapsScenario(options);
    }
    if (wanted(options, "shared-core")) {
        sharedCoreScenario(options);
    }
    writeOutputs(options);
    return 0;
}
