#include "cue_reader.h"

#include <cstring>

#include "parse_int32.h"
#include "show_clock.h"

char buf[kPieceChars + 1];

namespace {

// Only the first 8 characters of a piece hold its offset.
constexpr std::size_t kOffsetChars = 8;

}  // namespace

void playFile(std::FILE* file) {
    std::int32_t offset = 0;
    const char* codes = nullptr;
    // The next line is read only after the previous cue was written, so
    // the file is read as fast as the show plays.
    while (nextCue(file, &offset, &codes)) {
        queue(offset, codes);
    }
}

bool nextCue(std::FILE* file, std::int32_t* offset, const char** codes) {
    char line[kPieceChars + 1];
    while (readPiece(file, line)) {
        if (parseCue(line, offset, codes)) {
            return true;
        }
    }
    return false;
}

bool readPiece(std::FILE* file, char* line) {
    return std::fgets(line, kPieceChars + 1, file) != nullptr;
}

bool parseCue(const char* line, std::int32_t* offset, const char** codes) {
    *offset = getOffset(line);
    if (*offset == kNoOffset) {
        return false;
    }
    *codes = getCodes(line);
    return (*codes)[0] != '\0';
}

std::int32_t getOffset(const char* line) {
    if (std::strchr(line, ':') == nullptr) {
        return kNoOffset;
    }
    char field[kOffsetChars + 1];
    std::strncpy(field, line, kOffsetChars);
    field[kOffsetChars] = '\0';
    return parseInt32(field, 16);
}

char* getCodes(const char* line) {
    const char* colon = std::strchr(line, ':');
    const char* codes = colon != nullptr ? colon + 1 : line;
    // Copies only the codes and their terminator: strncpy would also fill
    // the rest of the buffer with zeros for every cue.
    const std::size_t length = strnlen(codes, sizeof buf - 1);
    std::memcpy(buf, codes, length);
    buf[length] = '\0';
    return buf;
}
