// Plays a show into a virtual serial device and prints each cue as the
// device receives it, with its moment and its arrival time in the show.
//
//   orvplayer-demo PLAYER SHOW UPLOAD_DIR DEVICE_LINK
//
// PLAYER must be a build of orvplayer whose upload directory is UPLOAD_DIR
// and whose first serial device is DEVICE_LINK.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "check/escape.h"
#include "check/show_check.h"
#include "virtual_serial.h"

namespace {

std::string baseName(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 5) {
        std::cout << "usage: orvplayer-demo PLAYER SHOW UPLOAD_DIR DEVICE_LINK\n";
        return 2;
    }
    const std::string player = argv[1];
    const std::string show = argv[2];
    const std::string uploadDir = argv[3];
    const std::string name = baseName(show);

    std::ifstream in(show, std::ios::binary);
    std::ofstream copy(uploadDir + "/" + name, std::ios::binary);
    copy << in.rdbuf();
    copy.close();
    if (!in || !copy) {
        std::cout << "cannot copy " << show << " into " << uploadDir << "\n";
        return 2;
    }

    // The show as the player plays it: each cue's bytes and its moment.
    std::FILE* file = std::fopen(show.c_str(), "r");
    if (file == nullptr) {
        std::cout << "cannot read " << show << "\n";
        return 2;
    }
    const ShowCheck cues = checkShow(file, 0);
    std::fclose(file);

    VirtualSerial device(argv[4]);
    std::cout << "Playing " << show << " into a virtual serial device:\n"
              << "  orvplayer -b 115200 -f " << name << " -d 0\n\n"
              << "      moment     arrival  cue received by the device\n";
    std::cout.flush();

    // Each cue is shown once all its bytes arrived, timed by its first
    // byte. This reader may see a byte late, never early, and the player
    // never writes a cue before its moment; so the show began no later
    // than the earliest (first byte's arrival - its cue's moment) seen so
    // far. Counting from there, a time may only show a cue late.
    std::size_t cue = 0;
    std::string pending;
    std::int64_t firstByteAt = 0;
    std::int64_t showBegan = INT64_MAX;
    auto printCue = [&]() {
        const std::int64_t moment = cue < cues.cues.size() ? cues.cues[cue].moment : 0;
        showBegan = std::min(showBegan, firstByteAt - moment * 1000000);
        std::printf("  %7lld ms  %7.1f ms  %s\n", static_cast<long long>(moment),
                    static_cast<double>(firstByteAt - showBegan) / 1e6,
                    escapeBytes(pending).c_str());
        std::fflush(stdout);
        pending.clear();
        ++cue;
    };
    RunOptions options;
    options.onReceived = [&](const Arrival& arrival, std::size_t) {
        for (char c : arrival.bytes) {
            if (pending.empty()) {
                firstByteAt = arrival.nanos;
            }
            pending += c;
            if (cue < cues.cues.size() && pending.size() == cues.cues[cue].codes.size()) {
                printCue();
            }
        }
    };
    RunResult run = runAgainst({player, "-b", "115200", "-f", name, "-d", "0"}, &device, options);
    if (!pending.empty()) {
        printCue();
    }
    std::cout << "\nTimes in ms after the show began, its start taken as late as the arrivals "
                 "allow: no cue can look early.\n"
              << run.out << "\norvplayer ended with status " << run.status << "\n";
    return run.status == 0 ? 0 : 1;
}
