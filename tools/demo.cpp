// Plays a show into a virtual serial device and prints each cue as the
// device receives it, with its arrival time after the first cue.
//
//   orvplayer-demo PLAYER SHOW UPLOAD_DIR DEVICE_LINK
//
// PLAYER must be a build of orvplayer whose upload directory is UPLOAD_DIR
// and whose first serial device is DEVICE_LINK.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "check/escape.h"
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

    VirtualSerial device(argv[4]);
    std::cout << "Playing " << show << " into a virtual serial device:\n"
              << "  orvplayer -b 115200 -f " << name << " -d 0\n\n"
              << "     arrival  cue received by the device\n";
    std::cout.flush();

    // Each cue is shown as its line end arrives, timed by its first byte.
    std::string pending;
    std::int64_t first = -1;
    std::int64_t pendingSince = 0;
    auto printCue = [&]() {
        std::printf("  %8.1f ms  %s\n", static_cast<double>(pendingSince - first) / 1e6,
                    escapeBytes(pending).c_str());
        std::fflush(stdout);
        pending.clear();
    };
    RunOptions options;
    options.onReceived = [&](const Arrival& arrival, std::size_t) {
        first = first < 0 ? arrival.nanos : first;
        for (char c : arrival.bytes) {
            if (pending.empty()) {
                pendingSince = arrival.nanos;
            }
            pending += c;
            if (c == '\n') {
                printCue();
            }
        }
    };
    RunResult run = runAgainst({player, "-b", "115200", "-f", name, "-d", "0"}, &device, options);
    if (!pending.empty()) {
        printCue();
    }
    std::cout << run.out << "\norvplayer ended with status " << run.status << "\n";
    return run.status == 0 ? 0 : 1;
}
