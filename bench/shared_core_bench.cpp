// A show that shares its core: a cue every 20 ms, as a servo stream or a
// light chase has. How much of a core the player takes, and how late its
// cues come when it is pinned to one core with a busy process beside it,
// against a reference that spins until each cue, one that sleeps until
// 100 us before it, and cyclictest's wake-ups on that core under the same
// load: the floor for a program at that priority.
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench.h"

namespace {

// The core the programs measured share with the busy process; the
// benchmark itself, and the thread that timestamps the bytes, keep to the
// other one.
constexpr std::size_t kSharedCore = 1;
constexpr std::size_t kOwnCore = 0;

void pinTo(pid_t pid, std::size_t core) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    sched_setaffinity(pid, sizeof set, &set);
}

// A busy loop on the shared core, at the same priority as anything else
// there, for as long as it lives; tells what share of the core it got.
class Neighbour {
public:
    explicit Neighbour(bool on) {
        if (!on) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            pinTo(0, kSharedCore);
            for (volatile unsigned long spin = 0;; spin = spin + 1) {
            }
        }
        started_ = std::chrono::steady_clock::now();
    }
    ~Neighbour() { stop(); }
    Neighbour(const Neighbour&) = delete;
    Neighbour& operator=(const Neighbour&) = delete;

    // Ends it; the share of the core it had, or -1 when there was none.
    double stop() {
        if (pid_ <= 0) {
            return -1;
        }
        const double seconds = cpuSeconds();
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return seconds / wall;
    }

private:
    double cpuSeconds() const {
        std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string field;
        double ticks = 0;
        for (int i = 3; fields >> field && i <= 15; ++i) {
            if (i >= 14) {  // utime, stime
                ticks += std::stod(field);
            }
        }
        return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
    }

    pid_t pid_ = -1;
    std::chrono::steady_clock::time_point started_;
};

struct Outcome {
    std::vector<double> late;  // microseconds above the run's least
    int early = -1;            // cues written before their moment (traced player only)
    double cpuShare = 0;       // of one core, over the show
    double neighbourShare = -1;
    bool complete = false;
};

Outcome runShow(const std::vector<std::string>& program, const Show& show,
                const std::vector<std::string>& launcher, bool shared, const std::string& trace) {
    if (!trace.empty()) {
        setenv("ORV_TRACE_FILE", trace.c_str(), 1);
    }
    VirtualSerial device(kDevice);
    RunOptions options;
    options.expectBytes = show.bytes;
    options.launcher = launcher;
    Neighbour neighbour(shared);
    const double before = childrenSeconds();
    const RunResult result = runAgainst(program, &device, options);
    Outcome outcome;
    // Read before the neighbour is waited for, whose time would count too.
    outcome.cpuShare =
        (childrenSeconds() - before) / (static_cast<double>(show.dueMs.back()) / 1000);
    outcome.neighbourShare = neighbour.stop();
    if (!trace.empty()) {
        unsetenv("ORV_TRACE_FILE");
        const std::vector<std::int64_t> writes = readTrace(trace);
        outcome.early = 0;
        for (std::size_t i = 0; i < writes.size() && i < show.dueMs.size(); ++i) {
            const std::int64_t ahead = show.dueMs[i] * 1000000 - (writes[i] - writes[0]);
            outcome.early += ahead > kEarlyToleranceNanos ? 1 : 0;
        }
    }
    const std::vector<double> lateness = cueLateness(result, show.dueMs);
    if (!lateness.empty()) {
        const double least = *std::min_element(lateness.begin(), lateness.end());
        for (double late : lateness) {
            outcome.late.push_back(late - least);
        }
        outcome.complete = true;
    }
    return outcome;
}

// cyclictest's wake-up latencies on the shared core, with the busy process
// beside it: its median, 99th percentile and maximum, in microseconds.
std::vector<double> cyclictestFigures(const Options& options, int cues, bool realtime) {
    const std::string histogram = options.out + "/cyclictest-histogram.txt";
    Neighbour neighbour(true);
    const std::string command = "cyclictest -q -m -t 1 -a " + std::to_string(kSharedCore) +
                                " -i 20000 -l " + std::to_string(cues) +
                                (realtime ? " --policy=fifo -p 10" : " --policy=other -p 0") +
                                " -h 20000 --histfile=" + histogram + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
        return {};
    }
    std::vector<std::pair<double, double>> buckets;  // microseconds, count
    std::ifstream in(histogram);
    std::string line;
    double total = 0;
    double most = 0;
    while (std::getline(in, line)) {
        if (line.rfind("# Max Latencies:", 0) == 0) {
            most = std::stod(line.substr(16));
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream words(line);
        double micros = 0;
        double count = 0;
        if (words >> micros >> count && count > 0) {
            buckets.emplace_back(micros, count);
            total += count;
        }
    }
    auto quantileOf = [&](double q) {
        double seen = 0;
        for (const auto& [micros, count] : buckets) {
            seen += count;
            if (seen >= q * total) {
                return micros;
            }
        }
        return most;
    };
    return {quantileOf(0.5), quantileOf(0.99), most};
}

}  // namespace

void sharedCoreScenario(const Options& options) {
    const int seconds = options.quick ? 10 : 30;
    std::vector<std::int64_t> dueMs;
    for (std::int64_t at = 0; at <= seconds * 1000; at += 20) {
        dueMs.push_back(at);
    }
    // The player may be another build of it (--player), with its own
    // upload directory beside it; the device is named for it.
    const std::string player = options.player.empty() ? kTracePlayer : options.player;
    const std::string uploadDir =
        options.player.empty()
            ? kUploadDir
            : std::filesystem::path(player).parent_path().string() + "/sandbox/upload/";
    std::filesystem::create_directories(uploadDir);
    Show show = writeShow("shared-core.txt", dueMs, 8);
    if (uploadDir != kUploadDir) {
        std::filesystem::copy_file(kUploadDir + show.name, uploadDir + show.name,
                                   std::filesystem::copy_options::overwrite_existing);
    }

    const bool root = geteuid() == 0;
    struct Program {
        const char* name;
        std::vector<std::string> words;
    };
    const std::vector<Program> programs = {
        {"player", {player, "-b", "115200", "-s", kDevice, "-f", show.name, "-d", "0"}},
        {"sleeping reference", {kWriter, "--sleep", kDevice, kUploadDir + show.name}},
        {"spinning reference", {kWriter, kDevice, kUploadDir + show.name}},
    };
    struct Setting {
        const char* name;
        std::vector<std::string> launcher;
        bool shared;
    };
    const std::string core = std::to_string(kSharedCore);
    std::vector<Setting> settings = {
        {"alone", {"taskset", "-c", core}, false},
        {"shared core", {"taskset", "-c", core}, true},
    };
    if (root) {
        settings.push_back(
            {"shared core, fifo 10", {"chrt", "-f", "10", "taskset", "-c", core}, true});
    }
    // Each row's figures from every round, its medians printed at the end.
    struct Figures {
        std::string name;
        bool shared = false;
        std::vector<double> median, p99, most, cpu, neighbour, early;
    };
    std::vector<Figures> rows;
    auto rowOf = [&rows](const std::string& name) -> Figures& {
        for (Figures& row : rows) {
            if (row.name == name) {
                return row;
            }
        }
        rows.emplace_back();
        rows.back().name = name;
        return rows.back();
    };
    const int rounds = options.quick ? 1 : options.rounds;
    pinTo(0, kOwnCore);
    std::printf(
        "\nshared-core: %zu cues 20 ms apart (%d s), pinned to core %zu, %d rounds "
        "(medians)%s\n",
        dueMs.size(), seconds, kSharedCore, rounds, root ? "" : " (not root: no real-time rows)");
    for (int round = 0; round < rounds; ++round) {
        for (const Setting& setting : settings) {
            for (const Program& program : programs) {
                if (setting.launcher.size() > 3 &&
                    std::string(program.name) == "spinning reference") {
                    continue;  // a real-time spinner would take the core for the whole show
                }
                const bool traced = program.words[0] == kTracePlayer;
                const Outcome outcome =
                    runShow(program.words, show, setting.launcher, setting.shared,
                            traced ? options.out + "/trace.txt" : "");
                Figures& row = rowOf(std::string(program.name) + ", " + setting.name);
                row.shared = setting.shared;
                if (!outcome.complete) {
                    std::printf("  %s: incomplete\n", row.name.c_str());
                    continue;
                }
                row.median.push_back(median(outcome.late));
                row.p99.push_back(quantile(outcome.late, 0.99));
                row.most.push_back(*std::max_element(outcome.late.begin(), outcome.late.end()));
                row.cpu.push_back(outcome.cpuShare * 100);
                row.neighbour.push_back(outcome.neighbourShare * 100);
                if (outcome.early >= 0) {
                    row.early.push_back(outcome.early);
                }
            }
        }
        for (bool realtime : {false, true}) {
            if (realtime && !root) {
                continue;
            }
            const std::vector<double> wakes =
                cyclictestFigures(options, static_cast<int>(dueMs.size()), realtime);
            Figures& row =
                rowOf(realtime ? "cyclictest, shared core, fifo 10" : "cyclictest, shared core");
            if (wakes.empty()) {
                std::printf("  %s: not run (apt-get install rt-tests)\n", row.name.c_str());
                continue;
            }
            row.median.push_back(wakes[0]);
            row.p99.push_back(wakes[1]);
            row.most.push_back(wakes[2]);
        }
    }
    std::printf("  %-40s %8s %8s %8s %7s %9s %6s\n", "program, setting", "median", "p99", "max",
                "cpu %", "beside %", "early");
    for (const Figures& row : rows) {
        if (row.median.empty()) {
            continue;
        }
        std::printf("  %-40s %8.1f %8.1f %8.1f", row.name.c_str(), median(row.median),
                    median(row.p99), median(row.most));
        const std::pair<const char*, const std::vector<double>*> more[] = {
            {"late median us", &row.median},
            {"late p99 us", &row.p99},
            {"late max us", &row.most},
            {"cpu % of a core", &row.cpu},
            {"neighbour's share %", &row.neighbour}};
        if (!row.cpu.empty()) {
            std::printf(" %7.1f", median(row.cpu));
        }
        if (row.shared) {
            std::printf(" %9.1f", median(row.neighbour));
        }
        if (!row.early.empty()) {
            double early = 0;
            for (double count : row.early) {
                early += count;
            }
            std::printf(" %6.0f", early);
            g_rows.push_back({"shared-core", row.name + ": early cues, all rounds", early, NAN});
        }
        std::printf("\n");
        for (const auto& [figure, values] : more) {
            if (!values->empty() && (row.shared || values != &row.neighbour)) {
                g_rows.push_back({"shared-core", row.name + ": " + figure, median(*values), NAN});
            }
        }
    }
    cpu_set_t all;
    CPU_ZERO(&all);
    for (std::size_t cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        CPU_SET(cpu, &all);
    }
    sched_setaffinity(0, sizeof all, &all);
    std::filesystem::remove(kUploadDir + show.name);
}
