// Cues far apart: the player sleeps through most of each wait and polls its
// clock only for the last tenth of a second before a cue. Lateness of cues
// a second apart beside the reference writer, which spins on its clock all
// the way, and the processor time each of them uses.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench.h"

void longGapsScenario(const Options& options) {
    const int rounds = options.quick ? 1 : 3;
    std::vector<std::int64_t> dueMs;
    for (std::int64_t i = 0; i <= 10; ++i) {
        dueMs.push_back(i * 1000);
    }
    const Show show = writeShow("long-gaps.txt", dueMs, 8);
    std::printf("\nlong-gaps: %zu cues 1 s apart, %d rounds (lateness above the run's least)\n",
                dueMs.size(), rounds);
    std::printf("  %-28s %12s %12s %12s\n", "figure", "player", "reference", "difference");
    VirtualSerial device(kDevice);
    RunOptions run;
    run.expectBytes = show.bytes;
    const std::string tracePath = options.out + "/trace.txt";
    std::vector<double> late[2];
    double seconds[2] = {0, 0};
    int early = 0;
    for (int round = 0; round < rounds; ++round) {
        for (int who = 0; who < 2; ++who) {
            const std::vector<std::string> args =
                who == 0 ? std::vector<std::string>{kTracePlayer, "-b", "115200", "-f",
                                                    show.name,    "-d", "0"}
                         : std::vector<std::string>{kWriter, kDevice, kUploadDir + show.name};
            if (who == 0) {
                setenv("ORV_TRACE_FILE", tracePath.c_str(), 1);
            }
            const double before = childrenSeconds();
            const RunResult result = runAgainst(args, &device, run);
            seconds[who] += childrenSeconds() - before;
            unsetenv("ORV_TRACE_FILE");
            // The cues after a gap, above the least of them: how evenly
            // they land, whatever the first cue's own way to the device cost.
            const std::vector<double> lateness = cueLateness(result, dueMs);
            if (!lateness.empty()) {
                const double least = *std::min_element(lateness.begin() + 1, lateness.end());
                for (std::size_t i = 1; i < lateness.size(); ++i) {
                    late[who].push_back(lateness[i] - least);
                }
            }
            if (who == 0) {
                // The player's own writes against their moments.
                const std::vector<std::int64_t> writes = readTrace(tracePath);
                for (std::size_t i = 0; i < writes.size() && i < dueMs.size(); ++i) {
                    const std::int64_t ahead = dueMs[i] * 1000000 - (writes[i] - writes[0]);
                    early += ahead > kEarlyToleranceNanos ? 1 : 0;
                }
            }
        }
    }
    report("long-gaps", "lateness median us", median(late[0]), median(late[1]));
    report("long-gaps", "lateness p95 us", quantile(late[0], 0.95), quantile(late[1], 0.95));
    report("long-gaps", "lateness max us",
           late[0].empty() ? NAN : *std::max_element(late[0].begin(), late[0].end()),
           late[1].empty() ? NAN : *std::max_element(late[1].begin(), late[1].end()));
    report("long-gaps", "early cues (>1 us)", early);
    report("long-gaps", "cpu seconds per 10-s show", seconds[0] / rounds, seconds[1] / rounds);
    std::filesystem::remove(kUploadDir + show.name);
}
