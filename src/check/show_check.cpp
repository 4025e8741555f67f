#include "show_check.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "escape.h"
#include "playback/cue_reader.h"
#include "playback/show_clock.h"

namespace {

constexpr std::size_t kOffsetChars = 8;

// The number of bytes the last readPiece stored, zero bytes included. The
// buffer was filled with line feeds before the read, and fgets writes no
// terminator but its own, so the last zero byte in the buffer is it.
std::size_t pieceLength(const char* line) {
    for (std::size_t at = kPieceChars + 1; at-- > 0;) {
        if (line[at] == '\0') {
            return at;
        }
    }
    return 0;
}

bool isBlank(const char* text) {
    for (; *text != '\0'; ++text) {
        if (std::isspace(static_cast<unsigned char>(*text)) == 0) {
            return false;
        }
    }
    return true;
}

// What a Windows editor may write at the start of a UTF-8 file.
const char kByteOrderMark[] = "\xEF\xBB\xBF";

// Whether an offset field (all before the colon) is a number as the player
// reads it, and nothing else: optional blanks, a sign, 0x and hex digits.
bool isWholeNumber(const std::string& field) {
    std::size_t at = 0;
    while (at < field.size() && std::isspace(static_cast<unsigned char>(field[at])) != 0) {
        ++at;
    }
    if (at < field.size() && (field[at] == '+' || field[at] == '-')) {
        ++at;
    }
    if (field.compare(at, 2, "0x") == 0 || field.compare(at, 2, "0X") == 0) {
        at += 2;
    }
    while (at < field.size() && std::isxdigit(static_cast<unsigned char>(field[at])) != 0) {
        ++at;
    }
    return at == field.size();
}

bool moreToRead(std::FILE* file) {
    const int next = std::fgetc(file);
    if (next == EOF) {
        return false;
    }
    std::ungetc(next, file);
    return true;
}

class Checker {
public:
    Checker(std::FILE* file, int baud, std::int64_t periodMs, bool endless, std::int64_t soundMs)
        : file_(file), baud_(baud), periodMs_(periodMs), endless_(endless), soundMs_(soundMs) {}

    ShowCheck run() {
        ShowOffset = -1;  // every file is a show of its own
        char line[kPieceChars + 1];
        std::memset(line, '\n', sizeof line);
        while (readPiece(file_, line)) {
            const std::size_t length = pieceLength(line);
            const bool endsLine = length > 0 && line[length - 1] == '\n';
            const bool continues = !endsLine && length == kPieceChars && moreToRead(file_);
            where_ = "line " + std::to_string(lineNo_);
            if (piece_ > 0 || continues) {
                where_ += ", piece " + std::to_string(piece_ + 1) + " (from column " +
                          std::to_string(column_) + ")";
            }
            if (piece_ == 0 && continues) {
                warn(
                    "longer than 253 characters with its line end: it is read in pieces of "
                    "254 characters, each as a line of its own");
            }
            checkPiece(line, length);
            column_ += length;
            if (continues) {
                ++piece_;
            } else {
                ++lineNo_;
                piece_ = 0;
                column_ = 1;
            }
            std::memset(line, '\n', sizeof line);
        }
        check_.readError = std::ferror(file_) != 0;
        checkLineTime();
        checkLength();
        std::stable_sort(check_.notes.begin(), check_.notes.end(),
                         [](const CheckNote& a, const CheckNote& b) { return a.line < b.line; });
        return check_;
    }

private:
    void warn(const std::string& text) { warnAt(lineNo_, where_ + ": " + text); }

    void warnAt(int line, const std::string& text) {
        check_.notes.push_back({line, true, 0, text});
        ++check_.warnings;
    }

    void checkPiece(const char* line, std::size_t length) {
        const std::size_t textLength = std::strlen(line);
        if (textLength < length) {
            warn("zero byte at column " + std::to_string(column_ + textLength) + ": the " +
                 std::to_string(length - textLength - 1) + " bytes after it are not sent");
        }
        std::int32_t offset = 0;
        const char* codes = nullptr;
        if (parseCue(line, &offset, &codes)) {
            addCue(line, offset, codes);
        } else if (std::strchr(line, ':') == nullptr) {
            if (piece_ > 0 || !isBlank(line)) {
                warn("no colon: passed over");
                ++check_.passedOver;
            }
        } else if (getOffset(line) == kNoOffset) {
            warn("offset reads as -1000 (-3e8), which marks a line without a cue: passed over");
            ++check_.passedOver;
        } else {
            warn("nothing after the colon: passed over");
            ++check_.passedOver;
        }
    }

    void addCue(const char* line, std::int32_t offset, const char* codes) {
        const std::string field(line, static_cast<std::size_t>(std::strchr(line, ':') - line));
        const std::int64_t due = dueOf(offset);
        const bool first = check_.cues.empty();
        if (!first && due < latest_) {
            warn("due at " + clockTime(due) + ", before an earlier cue at " + clockTime(latest_) +
                 ": it is played at once");
        }
        latest_ = first ? due : std::max(latest_, due);
        if (periodMs_ > 0 && latest_ >= periodMs_) {
            warn("played at " + clockTime(latest_) + ", not before the period of " +
                 clockTime(periodMs_) +
                 ": in the next pass's time, whose cues due by then are played late");
        }
        if (soundMs_ >= 0 && latest_ > soundMs_) {
            warn("played at " + clockTime(latest_) + ", after the sound ends at " +
                 clockTime(soundMs_));
        }
        check_.cues.push_back({lineNo_, field, offset, latest_, codes});
        check_.notes.push_back({lineNo_, false, check_.cues.size() - 1, ""});
        check_.bytes += std::strlen(codes);
        check_.duration = latest_;
        checkOffsetField(line, field);
        const std::size_t codesLength = std::strlen(codes);
        if (codesLength >= 2 && std::strcmp(codes + codesLength - 2, "\r\n") == 0) {
            warn("codes end in a carriage return and line feed: both are sent to the device");
        }
    }

    void checkOffsetField(const char* line, const std::string& field) {
        char first8[kOffsetChars + 1];
        std::snprintf(first8, sizeof first8, "%.8s", line);
        char* end = nullptr;
        const long long value = std::strtoll(first8, &end, 16);
        if (value > INT32_MAX || value < INT32_MIN) {
            warn("offset " + escapeBytes(first8) +
                 " is beyond the 32-bit limit: it is read as 7fffffff (2147483647 ms)");
        }
        if (field.size() > kOffsetChars && end == first8 + kOffsetChars &&
            std::isxdigit(static_cast<unsigned char>(field[kOffsetChars])) != 0) {
            warn("offset field " + escapeBytes(field) + " has digits after the eighth character: " +
                 "only " + escapeBytes(first8) + " is read");
        }
        // The number stops where its first other character stands, so "1O0"
        // (a letter O) plays at 1 ms and "500ms" at 0x500 ms.
        const std::string readAs = "it is read as " + std::to_string(getOffset(line)) + " ms";
        if (lineNo_ == 1 && piece_ == 0 && field.compare(0, 3, kByteOrderMark) == 0) {
            warn("byte-order mark at the start of the file: " + readAs +
                 "; save the file without it (UTF-8 without BOM)");
        } else if (!isWholeNumber(field)) {
            warn("offset field " + escapeBytes(field) +
                 " holds more than a hexadecimal number: " + readAs);
        }
    }

    // Cues due at one moment are written back to back; all their bytes
    // must leave before the next moment.
    void checkLineTime() {
        if (baud_ <= 0) {
            return;
        }
        const auto& cues = check_.cues;
        for (std::size_t first = 0; first < cues.size();) {
            std::size_t next = first;
            std::uint64_t bytes = 0;
            while (next < cues.size() && cues[next].moment == cues[first].moment) {
                bytes += cues[next].codes.size();
                ++next;
            }
            if (next < cues.size()) {
                const double needMs = static_cast<double>(bytes) * 10 * 1000 / baud_;
                const std::int64_t gap = cues[next].moment - cues[first].moment;
                if (needMs > static_cast<double>(gap)) {
                    char text[200];
                    std::snprintf(text, sizeof text,
                                  "line %d: %llu bytes due at %s need %.1f ms at %d baud, but "
                                  "the next cue (line %d) is due %lld ms later",
                                  cues[first].line, static_cast<unsigned long long>(bytes),
                                  clockTime(cues[first].moment).c_str(), needMs, baud_,
                                  cues[next].line, static_cast<long long>(gap));
                    warnAt(cues[first].line, text);
                }
            }
            first = next;
        }
    }

    // A show without a cue plays nothing. Without a period, a loop's next
    // pass starts at its last cue's moment: a show whose cues all fall at
    // one moment would loop without pause, and the player refuses it.
    void checkLength() {
        if (check_.readError) {
            return;
        }
        if (periodMs_ > 0 && soundMs_ > periodMs_) {
            warnAt(0, "the sound lasts " + clockTime(soundMs_) + ", longer than the period of " +
                          clockTime(periodMs_) + ": each pass cuts it off where the next begins");
        }
        if (check_.cues.empty()) {
            warnAt(lineNo_, "no cue in the file: the show plays nothing");
            return;
        }
        std::int64_t longest = 0;
        for (const CheckedCue& cue : check_.cues) {
            longest = std::max(longest, cue.moment);
        }
        if (endless_ && periodMs_ <= 0 && longest <= 0) {
            const int line = check_.cues.back().line;
            warnAt(line, "line " + std::to_string(line) +
                             ": every cue falls at one moment, so a pass takes no time: orvplayer "
                             "refuses to repeat it without end (-r 0) unless a period (-p) or a "
                             "trigger (-w) is given");
        }
    }

    std::FILE* file_;
    int baud_;
    std::int64_t periodMs_;
    bool endless_;
    std::int64_t soundMs_;
    ShowCheck check_;
    int lineNo_ = 1;
    int piece_ = 0;
    std::size_t column_ = 1;
    std::string where_;
    std::int64_t latest_ = 0;
};

}  // namespace

ShowCheck checkShow(std::FILE* file, int baud, std::int64_t periodMs, bool endless,
                    std::int64_t soundMs) {
    return Checker(file, baud, periodMs, endless, soundMs).run();
}

std::string clockTime(std::int64_t ms) {
    if (ms < 0) {
        return "-" + clockTime(-ms);
    }
    char text[40];
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld.%03lld",
                  static_cast<long long>(ms / 3600000), static_cast<long long>(ms / 60000 % 60),
                  static_cast<long long>(ms / 1000 % 60), static_cast<long long>(ms % 1000));
    return text;
}
