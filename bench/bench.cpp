#include "bench.h"

#include <sys/resource.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <fstream>

std::vector<Row> g_rows;

Show writeShow(const std::string& name, const std::vector<std::int64_t>& offsets,
               std::size_t width) {
    Show show;
    show.name = name;
    std::ofstream file(kUploadDir + name, std::ios::binary);
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        std::string codes = "c" + std::to_string(i);
        codes.resize(std::max(codes.size(), width - 1), '.');
        codes += '\n';
        char offset[24];
        std::snprintf(offset, sizeof offset, "%llx:", static_cast<unsigned long long>(offsets[i]));
        file << offset << codes;
        show.dueMs.push_back(offsets[i] - offsets.front());
        show.bytes += codes.size();
        show.codes.push_back(std::move(codes));
    }
    return show;
}

std::vector<std::int64_t> cueArrivals(const RunResult& run) {
    std::vector<std::int64_t> arrivals;
    bool atLineStart = true;
    for (const Arrival& arrival : run.arrivals) {
        for (char c : arrival.bytes) {
            if (atLineStart) {
                arrivals.push_back(arrival.nanos);
            }
            atLineStart = c == '\n';
        }
    }
    return arrivals;
}

std::vector<double> cueLateness(const RunResult& run, const std::vector<std::int64_t>& dueMs) {
    const std::vector<std::int64_t> arrivals = cueArrivals(run);
    std::vector<double> lateness;
    if (arrivals.size() != dueMs.size()) {
        std::printf("  (run incomplete: %zu of %zu cues arrived, status %d)\n", arrivals.size(),
                    dueMs.size(), run.status);
        return lateness;
    }
    for (std::size_t i = 0; i < arrivals.size(); ++i) {
        lateness.push_back(static_cast<double>(arrivals[i] - arrivals[0] - dueMs[i] * 1000000) /
                           1000.0);
    }
    return lateness;
}

double quantile(std::vector<double> values, double q) {
    if (values.empty()) {
        return NAN;
    }
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size())));
    return values[std::min(values.size() - 1, at == 0 ? 0 : at - 1)];
}

double childrenSeconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double median(std::vector<double> values) { return quantile(std::move(values), 0.5); }

// The wall reading between the two monotonic readings closest together.
std::int64_t monotonicToWall() {
    std::int64_t bestSpan = INT64_MAX;
    std::int64_t offset = 0;
    for (int i = 0; i < 20; ++i) {
        const std::int64_t before = monotonicNanos();
        const std::int64_t wall = wallNanos();
        const std::int64_t after = monotonicNanos();
        if (after - before < bestSpan) {
            bestSpan = after - before;
            offset = wall - (before + after) / 2;
        }
    }
    return offset;
}

std::string momentText(std::int64_t unixNanos) {
    char at[40];
    std::snprintf(at, sizeof at, "@%lld.%09lld", static_cast<long long>(unixNanos / 1000000000),
                  static_cast<long long>(unixNanos % 1000000000));
    return at;
}

std::vector<std::int64_t> readTrace(const std::string& path) {
    std::ifstream trace(path);
    std::vector<std::int64_t> writes;
    for (long long at = 0; trace >> at;) {
        writes.push_back(at);
    }
    return writes;
}

void report(const std::string& scenario, const std::string& figure, double player,
            double reference) {
    g_rows.push_back({scenario, figure, player, reference});
    if (std::isnan(reference)) {
        std::printf("  %-28s %12.1f\n", figure.c_str(), player);
    } else {
        std::printf("  %-28s %12.1f %12.1f %12.1f\n", figure.c_str(), player, reference,
                    player - reference);
    }
    std::fflush(stdout);
}
