// orvplayer-check as a command: output, --quiet and exit status.
#include <gtest/gtest.h>

#include <string>

#include "emulator.h"
#include "virtual_serial.h"

namespace {

const std::string kChecker = ORV_TEST_CHECKER;
const std::string kExamples = ORV_TEST_EXAMPLES;

RunResult checkWith(std::vector<std::string> args) {
    args.insert(args.begin(), kChecker);
    RunOptions options;
    options.launcher = emulator();
    RunResult result = runAgainst(args, nullptr, options);
    EXPECT_EQ(result.err, "");
    return result;
}

TEST(CheckCommand, CleanShowEndsWithStatusZero) {
    RunResult result = checkWith({kExamples + "hello.txt"});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.out.find("       2  1f4                 500  0:00:00.500    SPOT 1 ON\\n\n"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("summary: 9 cues, 0 lines passed over, duration 0:00:03.500, 100 "
                              "bytes, 0 warnings\n"),
              std::string::npos)
        << result.out;
}

TEST(CheckCommand, WarningsEndWithStatusOneAndQuietShowsOnlyThem) {
    RunResult result = checkWith({"--quiet", "--baud", "9600", kExamples + "mistakes.txt"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out.find("  line"), std::string::npos) << "no cue rows with --quiet";
    EXPECT_NE(result.out.find("warning: line 3: no colon: passed over\n"), std::string::npos);
    EXPECT_NE(result.out.find(" ms on the line at 9600 baud, 5 warnings\n"), std::string::npos)
        << result.out;
}

TEST(CheckCommand, UnreadableFilesAndBadUsageEndWithStatusTwo) {
    RunResult missing = checkWith({kExamples + "hello.txt", "/nonexistent/show.txt"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.out.find("orvplayer-check: cannot read /nonexistent/show.txt: "),
              std::string::npos);
    EXPECT_EQ(checkWith({kExamples}).status, 2);  // a directory
    EXPECT_EQ(checkWith({}).status, 2);
    EXPECT_EQ(checkWith({"--baud", "fast", kExamples + "hello.txt"}).status, 2);
}

}  // namespace
