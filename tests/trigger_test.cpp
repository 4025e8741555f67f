// The board's triggers on this machine, without a GPIO chip: the request a
// line's words make, edges read from a pipe that stands in for the line
// (the kernel hands them over as the same records), and lines on a
// standard input that is a pipe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "board/board.h"
#include "board/gpio_line.h"

namespace {

TEST(LineRequest, WordsBecomeTheRequestTheKernelIsGiven) {
    constexpr std::uint64_t kIn = GPIO_V2_LINE_FLAG_INPUT;
    constexpr std::uint64_t kRising = GPIO_V2_LINE_FLAG_EDGE_RISING;
    constexpr std::uint64_t kFalling = GPIO_V2_LINE_FLAG_EDGE_FALLING;
    struct Case {
        const char* words;
        const char* chip;
        const char* name;
        std::uint32_t offset;
        std::uint64_t flags;
        std::uint32_t debounceUs;
    };
    const Case cases[] = {
        // A button that closes to 3.3 V: rising edges, no bias asked for.
        {"GPIO17", "", "GPIO17", 0, kIn | kRising, 0},
        {"gpiochip0:27,falling,pull-up", "gpiochip0", "", 27,
         kIn | kFalling | GPIO_V2_LINE_FLAG_BIAS_PULL_UP, 0},
        {"GPIO4,both,pull-down,debounce=5", "", "GPIO4", 0,
         kIn | kRising | kFalling | GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN, 5000},
        {"pinctrl-bcm2835:4,no-bias,debounce=60000", "pinctrl-bcm2835", "", 4,
         kIn | kRising | GPIO_V2_LINE_FLAG_BIAS_DISABLED, 60000000},
        // The last of repeated options counts.
        {"GPIO17,falling,rising", "", "GPIO17", 0, kIn | kRising, 0},
    };
    for (const Case& c : cases) {
        LineWanted wanted{};
        ASSERT_TRUE(readLineWords(c.words, &wanted)) << c.words;
        EXPECT_STREQ(wanted.chip, c.chip) << c.words;
        EXPECT_STREQ(wanted.name, c.name) << c.words;
        EXPECT_EQ(wanted.offset, c.offset) << c.words;
        gpio_v2_line_request request{};
        fillLineRequest(wanted, &request);
        EXPECT_EQ(request.num_lines, 1U) << c.words;
        EXPECT_EQ(request.offsets[0], c.offset) << c.words;
        EXPECT_STREQ(request.consumer, "orvplayer");
        EXPECT_EQ(request.config.flags, c.flags) << c.words;
        EXPECT_GT(request.event_buffer_size, 16U);
        if (c.debounceUs == 0) {
            EXPECT_EQ(request.config.num_attrs, 0U) << c.words;
        } else {
            ASSERT_EQ(request.config.num_attrs, 1U) << c.words;
            EXPECT_EQ(request.config.attrs[0].attr.id, GPIO_V2_LINE_ATTR_ID_DEBOUNCE);
            EXPECT_EQ(request.config.attrs[0].attr.debounce_period_us, c.debounceUs);
            EXPECT_EQ(request.config.attrs[0].mask, 1U) << "for the request's one line";
        }
    }
    LineWanted wanted{};
    for (const char* words : {"", "GPIO17,debounce=60001", "chip:", ":4", "chip:4x", "GPIO17,up"}) {
        EXPECT_FALSE(readLineWords(words, &wanted)) << words;
    }
}

// A non-blocking pipe holding edges stamped at `moments`, as a line's
// event descriptor holds them.
int lineWithEdgesAt(const std::vector<std::int64_t>& moments) {
    int ends[2];
    EXPECT_EQ(pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0);
    std::vector<gpio_v2_line_event> events(moments.size());
    for (std::size_t i = 0; i < moments.size(); ++i) {
        events[i].timestamp_ns = static_cast<std::uint64_t>(moments[i]);
        events[i].id = GPIO_V2_LINE_EVENT_RISING_EDGE;
        events[i].seqno = static_cast<std::uint32_t>(i + 1);
    }
    const std::size_t bytes = events.size() * sizeof events[0];
    EXPECT_EQ(write(ends[1], events.data(), bytes), static_cast<ssize_t>(bytes));
    close(ends[1]);
    return ends[0];
}

TEST(LineEdges, OnlyAnEdgeAtOrAfterTheMomentCountsAndAllAreUsedUp) {
    // Edges that came during a pass are stamped before the moment the next
    // wait is given: they never start a pass, however late they are read.
    std::vector<std::int64_t> many(40, 100);  // more than one read takes
    many.push_back(500);
    struct Case {
        std::vector<std::int64_t> edges;
        std::int64_t notBefore;
        std::int64_t first;
    };
    const Case cases[] = {
        {{100, 200, 300}, 150, 200},
        {{100, 200, 300}, 200, 200},
        {{100, 200}, 201, -1},
        {{}, 0, -1},
        {many, 150, 500},
    };
    for (const Case& c : cases) {
        const int line = lineWithEdgesAt(c.edges);
        EXPECT_EQ(readEdges(line, c.notBefore), c.first) << c.edges.size() << " edges";
        char left = 0;
        EXPECT_EQ(read(line, &left, 1), 0) << "every edge read is used up";
        close(line);
    }
}

// Standard input replaced by a pipe for the length of a test.
class InputTriggers : public ::testing::Test {
protected:
    void SetUp() override {
        savedInput_ = dup(STDIN_FILENO);
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        dup2(ends[0], STDIN_FILENO);
        close(ends[0]);
        writer_ = ends[1];
        ASSERT_EQ(triggerOpen("-"), STDIN_FILENO);
    }
    void TearDown() override {
        if (writer_ >= 0) {
            close(writer_);
        }
        dup2(savedInput_, STDIN_FILENO);
        close(savedInput_);
    }
    void send(const std::string& text) const {
        ASSERT_EQ(write(writer_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    static int wait(std::int64_t notBefore, std::int64_t* at) {
        return triggerWait(STDIN_FILENO, -1, notBefore, 50, at);
    }
    int savedInput_ = -1;
    int writer_ = -1;
};

TEST_F(InputTriggers, LineBeforeTheMomentOrDuringAPassIsDroppedNotKept) {
    std::int64_t at = -1;
    // Inside a period's cooldown: read, and not played when it is over.
    send("early\n");
    EXPECT_EQ(wait(clockNanos() + 3600 * 1000000000LL, &at), kTriggerTimedOut);
    EXPECT_EQ(wait(0, &at), kTriggerTimedOut);
    // During a pass.
    send("during\n");
    triggerDiscard(STDIN_FILENO);
    EXPECT_EQ(wait(0, &at), kTriggerTimedOut);
    // Between passes: counted from when it was read.
    send("now\n");
    const std::int64_t before = clockNanos();
    EXPECT_EQ(wait(before, &at), kTriggered);
    EXPECT_GE(at, before);
    EXPECT_LE(at, clockNanos());
    close(writer_);
    writer_ = -1;
    EXPECT_EQ(wait(0, &at), kTriggerEnded);
}

}  // namespace
