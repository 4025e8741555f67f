// Arbitrary words as the command line, through the real command-line walk
// on a fake board (no real sleeping or waiting for the wall clock, no
// devices). Every run must end with
// status 0 or 1 and print only the player's own messages: nothing after a
// complete playback, otherwise exactly one failure message or the usage
// messages of the missing options, in their order. A show repeated without
// end is stopped, as by a signal, after a few thousand cues: nothing may
// be printed then either.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "command_line.h"
#include "fake_board.h"
#include "playback/show_clock.h"

namespace {

const std::string kUploadDir = ORV_UPLOAD_DIR;
const std::string kUsage = "syntax: orvplayer -b [baud] -f [filename] -d [delay]\n";

[[noreturn]] void violated(const char* what, int status, const std::string& out) {
    std::fprintf(stderr, "%s: status %d, output:\n%s\n", what, status, out.c_str());
    std::abort();
}

bool isUsageMessages(const std::string& out) {
    const std::string messages[] = {"no filename\n" + kUsage, "no baud rate\n\n" + kUsage,
                                    "no delay\n\n" + kUsage};
    std::size_t at = 0;
    for (const std::string& message : messages) {
        if (out.compare(at, message.size(), message) == 0) {
            at += message.size();
        }
    }
    return at > 0 && at == out.size();
}

bool startsWith(const std::string& out, const std::string& head) {
    return out.compare(0, head.size(), head) == 0 && out.back() == '\n';
}

bool isOpenFailure(const std::string& out) {
    return startsWith(out, "could not open file " + kUploadDir) ||
           startsWith(out, "couldn't read file " + kUploadDir) ||
           startsWith(out, "couldn't repeat file " + kUploadDir) ||
           startsWith(out, "couldn't open trigger ") ||
           startsWith(out, "could not open sound file " + kUploadDir) ||
           startsWith(out, "couldn't play sound file " + kUploadDir) ||
           startsWith(out, "couldn't open sound device ");
}

// Runs the walk with standard output caught in memory.
int runCaught(std::vector<char*>& argv, std::string& out) {
    static const int memory = memfd_create("orvplayer-out", 0);
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    ftruncate(memory, 0);
    lseek(memory, 0, SEEK_SET);
    dup2(memory, STDOUT_FILENO);
    int status = 0;
    try {
        status = runCommandLine(static_cast<int>(argv.size()) - 1, argv.data());
    } catch (const fake::EndedBySignal& ended) {
        status = 128 + ended.signal;
    }
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    const off_t length = lseek(memory, 0, SEEK_CUR);
    out.assign(static_cast<std::size_t>(length), '\0');
    pread(memory, out.data(), out.size(), 0);
    return status;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    mkdir("/tmp/orvplayer-fuzz", 0755);
    mkdir(kUploadDir.c_str(), 0755);
    std::ofstream(kUploadDir + "show.txt") << "0:ON\n1f4:OFF\n-3e8:x\nno colon\n7fffffff:end";
    std::ofstream(kUploadDir + "-d") << "10:dash\n";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Words are separated by zero bytes. ".." could leave the upload
    // directory for files that never end, such as /dev/zero.
    const std::string input(reinterpret_cast<const char*>(data), size);
    if (input.find("..") != std::string::npos) {
        return 0;
    }
    std::vector<std::string> words = {"orvplayer"};
    for (std::size_t start = 0; start <= input.size() && words.size() < 64;) {
        std::size_t end = input.find('\0', start);
        end = end == std::string::npos ? input.size() : end;
        words.push_back(input.substr(start, end - start));
        start = end + 1;
    }
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);

    fake::reset();
    fake::step = 1U << 22;
    sp = -1;
    std::string out;
    // Ends an endless show: the stop comes during the 5,000th write.
    fake::stopInWrite = 5000;
    const int status = runCaught(argv, out);
    if (fp != nullptr) {  // left open by a failure, as at process end
        std::fclose(fp);
        fp = nullptr;
    }

    // -h or --help alone: the help, status 0.
    const bool helpAsked = words.size() == 2 && (words[1] == "-h" || words[1] == "--help");
    if (helpAsked) {
        if (status != 0 || !startsWith(out, "orvplayer plays a show")) {
            violated("no help for -h", status, out);
        }
    } else if (status == 0 || status == 128 + 15) {
        if (!out.empty()) {
            violated("output after a complete playback or a stop", status, out);
        }
    } else if (status == 1) {
        if (out != "baud rate invalid\n" && out != "couldn't connect to serial\n" &&
            out != "start time invalid\n" && out != "start time has passed\n" &&
            out != "repeat count invalid\n" && out != "period invalid\n" &&
            out != "trigger invalid\n" && out != "no trigger came: standard input ended\n" &&
            !isOpenFailure(out) && !isUsageMessages(out)) {
            violated("unexpected output", status, out);
        }
    } else {
        violated("status other than 0 and 1", status, out);
    }
    return 0;
}
