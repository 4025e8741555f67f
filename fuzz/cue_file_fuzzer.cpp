// Arbitrary bytes as a cue file, through the real reader and show clock on a
// fake board. Every write must be, byte for byte, text that stands right
// after a colon in the file, 1 to 253 bytes long, with no zero byte, and the
// writes must come in file order. The show checker, reading the same bytes,
// must show exactly those cues.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "check/show_check.h"
#include "fake_board.h"
#include "playback/cue_reader.h"

namespace {

[[noreturn]] void violated(const char* what, const std::string& codes) {
    std::fprintf(stderr, "%s: write of %zu bytes\n", what, codes.size());
    std::abort();
}

// Finds `codes` at or after `from`, right after a colon; npos when absent.
std::size_t findAfterColon(const std::string& file, const std::string& codes, std::size_t from) {
    for (std::size_t at = file.find(codes, from); at != std::string::npos;
         at = file.find(codes, at + 1)) {
        if (at > 0 && file[at - 1] == ':') {
            return at;
        }
    }
    return std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    fake::reset();
    fake::step = 1U << 22;  // any due time is reached within a few hundred readings
    std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
    if (file == nullptr) {
        return 0;
    }
    playFile(file);
    std::fclose(file);

    const std::string input(reinterpret_cast<const char*>(data), size);
    std::size_t cursor = 0;
    for (const fake::Write& write : fake::writes) {
        const std::string& codes = write.codes;
        if (codes.empty() || codes.size() > 253) {
            violated("length out of 1..253", codes);
        }
        if (codes.find('\0') != std::string::npos) {
            violated("zero byte written", codes);
        }
        const std::size_t at = findAfterColon(input, codes, cursor);
        if (at == std::string::npos) {
            violated("not after a colon, or out of file order", codes);
        }
        cursor = at + codes.size();
    }

    std::FILE* again = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
    const ShowCheck check = checkShow(again, 9600);
    std::fclose(again);
    if (check.cues.size() != fake::writes.size()) {
        violated("checker and player disagree on the number of cues", "");
    }
    for (std::size_t i = 0; i < check.cues.size(); ++i) {
        if (check.cues[i].codes != fake::writes[i].codes) {
            violated("checker and player disagree on a cue", check.cues[i].codes);
        }
    }
    return 0;
}
