// How the tests start a program built for the target: directly, or in a
// cross build through the emulator (ORV_TEST_EMULATOR, words split at '|').
#pragma once

#include <string>
#include <vector>

// The words that run a target program on this machine: none natively, the
// emulator's in a cross build.
inline std::vector<std::string> emulator() {
    std::vector<std::string> words;
    std::string list = ORV_TEST_EMULATOR;
    for (std::size_t start = 0; start < list.size();) {
        std::size_t end = list.find('|', start);
        end = end == std::string::npos ? list.size() : end;
        if (end > start) {
            words.push_back(list.substr(start, end - start));
        }
        start = end + 1;
    }
    return words;
}
