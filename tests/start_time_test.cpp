// Reading -t moments: every form, zones, fractions, and what is refused.
#include "start_time.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <random>
#include <string>

namespace {

constexpr std::int64_t kSecond = 1000000000;
constexpr std::int64_t kNewYear2026 = 1767225600;  // 2026-01-01T00:00:00Z

std::int64_t parsed(const char* text) {
    std::int64_t nanos = 0;
    EXPECT_TRUE(parseStartTime(text, &nanos)) << text;
    return nanos;
}

bool refused(const char* text) {
    std::int64_t nanos = 0;
    return !parseStartTime(text, &nanos);
}

// Sets TZ for one test and puts the old setting back afterwards.
class LocalZone : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("TZ");
        hadZone_ = old != nullptr;
        oldZone_ = hadZone_ ? old : "";
    }
    void TearDown() override {
        if (hadZone_) {
            setenv("TZ", oldZone_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    static void use(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }

private:
    bool hadZone_ = false;
    std::string oldZone_;
};

TEST(StartTime, UnixTimeWithFractions) {
    EXPECT_EQ(parsed("@1767225600"), kNewYear2026 * kSecond);
    EXPECT_EQ(parsed("@1767225600.5"), kNewYear2026 * kSecond + 500000000);
    EXPECT_EQ(parsed("@1767225600.000000001"), kNewYear2026 * kSecond + 1);
    EXPECT_EQ(parsed("@1767225600.123456789"), kNewYear2026 * kSecond + 123456789);
    // Past nanoseconds the digits are dropped, never rounded up.
    EXPECT_EQ(parsed("@1767225600.9999999999"), kNewYear2026 * kSecond + 999999999);
    EXPECT_EQ(parsed("@1767225600,25"), kNewYear2026 * kSecond + 250000000);
    EXPECT_EQ(parsed("@0001767225600"), kNewYear2026 * kSecond);
    EXPECT_EQ(parsed("@0"), 0);
}

TEST(StartTime, DateAndTimeWithZones) {
    EXPECT_EQ(parsed("2026-01-01T00:00:00Z"), kNewYear2026 * kSecond);
    EXPECT_EQ(parsed("2026-01-01T00:00:00+00:00"), kNewYear2026 * kSecond);
    EXPECT_EQ(parsed("2026-01-01T01:00:00+01:00"), kNewYear2026 * kSecond);
    EXPECT_EQ(parsed("2025-12-31T18:30:00-05:30"), kNewYear2026 * kSecond);
    EXPECT_EQ(parsed("2026-01-01T00:00:00.5Z"), kNewYear2026 * kSecond + 500000000);
    // As `date -Ins` prints it, with a comma.
    EXPECT_EQ(parsed("2026-12-08T12:28:49,123456789+00:00"), 1796732929 * kSecond + 123456789);
    EXPECT_EQ(parsed("2028-02-29T12:00:00Z"), 1835438400 * kSecond);
    EXPECT_EQ(parsed("1969-12-31T23:59:59Z"), -kSecond);
}

TEST(StartTime, CalendarAgreesWithTheCLibrary) {
    // Random dates from 1970 to 2037 (what a 32-bit time_t holds), against
    // the C library's own UTC conversion.
    std::mt19937 random(12);
    std::uniform_int_distribution<std::int64_t> second(0, 2145916799);
    for (int i = 0; i < 2000; ++i) {
        const auto at = static_cast<std::time_t>(second(random));
        std::tm utc{};
        gmtime_r(&at, &utc);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
        EXPECT_EQ(parsed(text), static_cast<std::int64_t>(at) * kSecond) << text;
    }
}

TEST_F(LocalZone, LocalTimeFollowsTheZoneAndItsSummerTime) {
    use("CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(parsed("2026-01-01T01:00:00"), kNewYear2026 * kSecond);
    EXPECT_EQ(parsed("2026-07-01T12:00:00.25"), parsed("2026-07-01T10:00:00.25Z"));
    // The hour the clocks skip does not exist; the hour they repeat is
    // taken the first time, in summer time.
    EXPECT_TRUE(refused("2026-03-29T02:30:00"));
    EXPECT_EQ(parsed("2026-10-25T02:30:00"), parsed("2026-10-25T00:30:00Z"));
    // A zone given in the text wins over the local one.
    EXPECT_EQ(parsed("2026-01-01T00:00:00Z"), kNewYear2026 * kSecond);

    use("UTC0");
    EXPECT_EQ(parsed("2026-01-01T00:00:00"), kNewYear2026 * kSecond);
    use("<-0330>3:30");
    EXPECT_EQ(parsed("2025-12-31T20:30:00"), kNewYear2026 * kSecond);
}

TEST(StartTime, MalformedTextIsRefused) {
    for (const char* text : {"",
                             "@",
                             "@ 1",
                             " @1",
                             "@-1",
                             "@+1",
                             "@1.",
                             "@1.x",
                             "@1x",
                             "@0x10",
                             "@1e9",
                             "1767225600",
                             "now",
                             "2026-01-01",
                             "2026-01-01T00:00",
                             "2026-01-01 00:00:00",
                             "2026-01-01t00:00:00Z",
                             "2026-1-01T00:00:00",
                             "26-01-01T00:00:00",
                             "+2026-01-01T00:00:00",
                             " 2026-01-01T00:00:00",
                             "2026-01-01T00:00:00 ",
                             "2026-01-01T00:00:00.",
                             "2026-01-01T00:00:00z",
                             "2026-01-01T00:00:00+01",
                             "2026-01-01T00:00:00+0100",
                             "2026-01-01T00:00:00+1:00",
                             "2026-01-01T00:00:00Zjunk",
                             "2026-01-01T00:00:00Z+01:00",
                             "2026-01-01T0:00:00Z"}) {
        EXPECT_TRUE(refused(text)) << '"' << text << '"';
    }
}

TEST(StartTime, DatesAndTimesThatDoNotExistAreRefused) {
    for (const char* text :
         {"2026-00-01T00:00:00Z", "2026-13-01T00:00:00Z", "2026-01-00T00:00:00Z",
          "2026-01-32T00:00:00Z", "2026-02-29T00:00:00Z", "2100-02-29T00:00:00Z",
          "2026-04-31T00:00:00Z", "2026-01-01T24:00:00Z", "2026-01-01T00:60:00Z",
          "2026-01-01T00:00:60Z", "2026-01-01T00:00:00+24:00", "2026-01-01T00:00:00+01:60"}) {
        EXPECT_TRUE(refused(text)) << text;
    }
    EXPECT_FALSE(refused("2000-02-29T00:00:00Z"));
    EXPECT_FALSE(refused("2026-12-31T23:59:59+23:59"));
}

TEST(StartTime, MomentsBeyondTheClockAreRefusedAndEarlyOnesHeld) {
    EXPECT_TRUE(refused("@99999999999999999999"));
    EXPECT_TRUE(refused("9999-12-31T23:59:59Z"));  // past 2262, the 64-bit limit
    // After 2038 only where time_t has 64 bits.
    EXPECT_EQ(refused("@2147483648") && refused("2038-01-20T00:00:00Z"), sizeof(std::time_t) < 8);
    // Long before 1970: past either way, held at the earliest moment.
    const std::int64_t early = parsed("0001-01-01T00:00:00Z");
    EXPECT_LT(early, -200LL * 365 * 86400 * kSecond);
    EXPECT_EQ(parsed("1000-01-01T00:00:00Z"), early);
}

}  // namespace
