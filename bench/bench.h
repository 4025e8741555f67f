// What the benchmark's scenarios share: the programs it drives, the shows
// it writes, the figures it reads off a run, and its table of results.
#pragma once

#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "virtual_serial.h"

inline const std::string kPlayer = ORV_BENCH_PLAYER;
inline const std::string kTracePlayer = ORV_BENCH_TRACE_PLAYER;
inline const std::string kWriter = ORV_BENCH_WRITER;
inline const std::string kUploadDir = ORV_BENCH_UPLOAD_DIR;
inline const std::string kDevice = ORV_BENCH_DEVICE;

// A cue written less than this before its moment is not counted early.
constexpr std::int64_t kEarlyToleranceNanos = 1000;

struct Options {
    int rounds = 5;
    int loadedRounds = 2;
    bool quick = false;
    int starts = 100;    // starts at a moment, per program
    int startShows = 3;  // whole shows from a moment, per program
    std::vector<std::string> scenarios;
    std::string out = "bench-results";
    std::string player;  // another build's player, for the shared-core scenario
};

// A show written to the upload directory, with each cue's due moment.
struct Show {
    std::string name;
    std::vector<std::int64_t> dueMs;
    std::vector<std::string> codes;
    std::size_t bytes = 0;
};

// Writes cues with these offsets (ms), each `width` bytes with its line end.
Show writeShow(const std::string& name, const std::vector<std::int64_t>& offsets,
               std::size_t width);

// When the first byte of each cue (each line) arrived.
std::vector<std::int64_t> cueArrivals(const RunResult& run);

// Each cue's arrival minus its due moment, counted from the first cue's
// arrival, in microseconds; empty (after saying so) when the run did not
// deliver them all.
std::vector<double> cueLateness(const RunResult& run, const std::vector<std::int64_t>& dueMs);

double quantile(std::vector<double> values, double q);

// Processor time, user and system, in seconds, that the children this
// process has waited for used so far.
double childrenSeconds();
double median(std::vector<double> values);

// What to add to a monotonic reading to get the wall clock.
std::int64_t monotonicToWall();

// A moment as -t takes it: "@SECONDS.NANOS".
std::string momentText(std::int64_t unixNanos);

// The write times (monotonic nanoseconds) a traced player recorded.
std::vector<std::int64_t> readTrace(const std::string& path);

// One row of the results table: printed now, written to the CSV at the end.
struct Row {
    std::string scenario;
    std::string figure;
    double player;
    double reference;
};
extern std::vector<Row> g_rows;
void report(const std::string& scenario, const std::string& figure, double player,
            double reference = NAN);

// The scenarios kept in files of their own.
void repeatScenarios(const Options& options);
void triggerSoakScenario(const Options& options);
void longGapsScenario(const Options& options);
void sharedCoreScenario(const Options& options);
