#include "g_timer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "test_support.h"

using testing_support::CaptureFd;

namespace {

const long NS_PER_MS = 1000000;
const long NS_PER_S = 1000000000;
const long NS_PER_MIN = 60 * NS_PER_S;
const long NS_PER_H = 60 * NS_PER_MIN;
const long NS_PER_DAY = 24 * NS_PER_H;
const unsigned long KiB = 1024;
const unsigned long MiB = 1024 * KiB;
const unsigned long GiB = 1024 * MiB;
const unsigned long TiB = 1024 * GiB;

// A timer whose calc() has run over an interval of `ns` nanoseconds, starting at an
// arbitrary stamp so that only the difference matters.
G_TIMER timer_over(long ns) {
    G_TIMER t;
    t.start = G_TIME(123456789012L);
    t.end = G_TIME(123456789012L + ns);
    t.calc();
    return t;
}

enum Format { PRINT, PRINT_100, PRINT_ALL };

std::string printed(G_TIMER& t, Format f) {
    CaptureFd out(1);
    if (f == PRINT) t.print();
    if (f == PRINT_100) t.print_100();
    if (f == PRINT_ALL) t.print_all();
    return out.finish();
}

std::string printed(long ns, Format f) {
    G_TIMER t = timer_over(ns);
    return printed(t, f);
}

std::string printed_b(unsigned long bytes) {
    G_TIMER t;
    CaptureFd out(1);
    t.print_b(bytes);
    return out.finish();
}

std::string printed_bps(long ns, unsigned long bytes) {
    G_TIMER t = timer_over(ns);
    CaptureFd out(1);
    t.print_bps(bytes);
    return out.finish();
}

}  // namespace

TEST(GTimeTest, ConstructorsSplitNanoseconds) {
    G_TIME zero;
    EXPECT_EQ(0, zero.ns);
    G_TIME a(1999900000L);
    EXPECT_EQ(1999900000, a.ns);
    EXPECT_EQ(1, a.ts.tv_sec);
    EXPECT_EQ(999900000, a.ts.tv_nsec);
    G_TIME negative(-1500000000L);
    EXPECT_EQ(-1, negative.ts.tv_sec);
    EXPECT_EQ(-500000000, negative.ts.tv_nsec);
    timespec t = {7, 250};
    G_TIME b(t);
    EXPECT_EQ(7000000250, b.ns);
    EXPECT_EQ(7, b.ts.tv_sec);
    EXPECT_EQ(250, b.ts.tv_nsec);
    EXPECT_EQ(1000000000, G_TIME::freq);
}

TEST(GTimeTest, DifferenceKeepsTheSignInBothParts) {
    G_TIME early(1000000000L);
    G_TIME late(1500000000L);
    G_TIME forward = late - early;
    EXPECT_EQ(500000000, forward.ns);
    EXPECT_EQ(0, forward.ts.tv_sec);
    EXPECT_EQ(500000000, forward.ts.tv_nsec);
    G_TIME backward = early - late;
    EXPECT_EQ(-500000000, backward.ns);
    EXPECT_EQ(0, backward.ts.tv_sec);
    EXPECT_EQ(-500000000, backward.ts.tv_nsec);
    G_TIME far = G_TIME(3700000001L) - late;
    EXPECT_EQ(2, far.ts.tv_sec);
    EXPECT_EQ(200000001, far.ts.tv_nsec);
    EXPECT_EQ(1000000000, early.ns);  // neither operand changes
    EXPECT_EQ(1500000000, late.ns);
}

TEST(GTimeTest, UpdateReadsTheRawMonotonicClock) {
    timespec before;
    ASSERT_EQ(0, clock_gettime(CLOCK_MONOTONIC_RAW, &before));
    G_TIME t;
    t.update();
    timespec after;
    ASSERT_EQ(0, clock_gettime(CLOCK_MONOTONIC_RAW, &after));
    int64_t lo = before.tv_sec * 1000000000LL + before.tv_nsec;
    int64_t hi = after.tv_sec * 1000000000LL + after.tv_nsec;
    EXPECT_LE(lo, t.ns);
    EXPECT_GE(hi, t.ns);
    EXPECT_EQ(t.ts.tv_sec * 1000000000LL + t.ts.tv_nsec, t.ns);

    G_TIME tick;
    int64_t ms = tick.get_tick_count();
    EXPECT_EQ(tick.ns / 1000000, ms);  // the stamp was refreshed and truncated to milliseconds
    EXPECT_LE(hi / 1000000, ms);
}

TEST(GTimerTest, ConstructorClearsEverything) {
    G_TIMER t;
    EXPECT_EQ(0, t.start.ns);
    EXPECT_EQ(0, t.end.ns);
    EXPECT_EQ(0, t.elapsed_ns);
    EXPECT_EQ(0, t.elapsed_s);
    EXPECT_EQ(0, t.elapsed_frac_ns);
    EXPECT_EQ(0, t.days + t.hours + t.minutes + t.seconds + t.ms + t.us);
    EXPECT_EQ("   0 us ", printed(t, PRINT));
    EXPECT_EQ("  0.0 s ", printed(t, PRINT_100));
    EXPECT_EQ("[0 d] [ 0 h]:[00 m]:[00 s].[000 ms]", printed(t, PRINT_ALL));
}

TEST(GTimerTest, CalcSplitsTheInterval) {
    long ns = 2 * NS_PER_DAY + 5 * NS_PER_H + 7 * NS_PER_MIN + 9 * NS_PER_S + 345 * NS_PER_MS + 678000 + 901;
    G_TIMER t = timer_over(ns);
    EXPECT_EQ(ns, t.elapsed_ns);
    EXPECT_EQ(ns / NS_PER_S, t.elapsed_s);
    EXPECT_EQ(345678901, t.elapsed_frac_ns);
    EXPECT_EQ(2, t.days);
    EXPECT_EQ(5, t.hours);
    EXPECT_EQ(7, t.minutes);
    EXPECT_EQ(9, t.seconds);
    EXPECT_EQ(345, t.ms);
    EXPECT_EQ(678, t.us);

    t.start = G_TIME(0L);  // calc may be repeated and overwrites every field
    t.end = G_TIME(999L);
    t.calc();
    EXPECT_EQ(999, t.elapsed_ns);
    EXPECT_EQ(0, t.days + t.hours + t.minutes + t.seconds + t.ms + t.us);
}

TEST(GTimerTest, DaysWrapAtEightBits) {
    G_TIMER t = timer_over(257 * NS_PER_DAY + 3 * NS_PER_H);
    EXPECT_EQ(1, t.days);
    // The hours follow from the wrapped day count: (257 - 1) days + 3 h = 6147 h, low 6 bits.
    EXPECT_EQ((256 * 24 + 3) & 63, t.hours);
    EXPECT_EQ(0, t.minutes);
    EXPECT_EQ(0, t.seconds);
}

TEST(GTimerTest, NegativeIntervalKeepsLowBits) {
    G_TIMER t = timer_over(-1500 * NS_PER_MS);
    EXPECT_EQ(-1500 * NS_PER_MS, t.elapsed_ns);
    EXPECT_EQ(-1, t.elapsed_s);
    EXPECT_EQ(-500000000, t.elapsed_frac_ns);
    EXPECT_EQ(1024 - 500, t.ms);
    EXPECT_EQ(0, t.days);
    EXPECT_EQ(0, t.hours);
    EXPECT_EQ(0, t.minutes);
    EXPECT_EQ(64 - 1, t.seconds);
}

TEST(GTimerTest, PrintPicksTheLargestUnit) {
    EXPECT_EQ("   0 us ", printed(999, PRINT));
    EXPECT_EQ("  12 us ", printed(12345, PRINT));
    EXPECT_EQ("   5 007 us ", printed(5007 * 1000, PRINT));
    EXPECT_EQ("  1.500 s ", printed(1500 * NS_PER_MS, PRINT));
    EXPECT_EQ("  1:01.250 mm:ss.ms ", printed(61250 * NS_PER_MS, PRINT));
    EXPECT_EQ("  1:02:03 hh:mm:ss ", printed(NS_PER_H + 2 * NS_PER_MIN + 3 * NS_PER_S, PRINT));
    EXPECT_EQ(" 2/ 5:00:07 ", printed(2 * NS_PER_DAY + 5 * NS_PER_H + 7 * NS_PER_S, PRINT));
    // 256 days wrap the day count to 0, and every later field follows to 0 as well.
    EXPECT_EQ("   0 us ", printed(256 * NS_PER_DAY, PRINT));
}

TEST(GTimerTest, Print100ShowsTenths) {
    EXPECT_EQ("  0.0 s ", printed(5007 * 1000, PRINT_100));
    EXPECT_EQ("  1.5 s ", printed(1500 * NS_PER_MS, PRINT_100));
    EXPECT_EQ("  1.9 s ", printed(1999 * NS_PER_MS, PRINT_100));
    EXPECT_EQ("  1:01.2 mm:ss ", printed(61250 * NS_PER_MS, PRINT_100));
    EXPECT_EQ("  1:02:03 hh:mm:ss ", printed(NS_PER_H + 2 * NS_PER_MIN + 3 * NS_PER_S, PRINT_100));
    EXPECT_EQ(" 2/ 5:00:07 ", printed(2 * NS_PER_DAY + 5 * NS_PER_H + 7 * NS_PER_S, PRINT_100));
}

TEST(GTimerTest, PrintAllShowsEveryUnit) {
    EXPECT_EQ(
        "[2 d] [ 5 h]:[07 m]:[09 s].[045 ms]",
        printed(2 * NS_PER_DAY + 5 * NS_PER_H + 7 * NS_PER_MIN + 9 * NS_PER_S + 45 * NS_PER_MS, PRINT_ALL));
    EXPECT_EQ("[0 d] [23 h]:[59 m]:[59 s].[999 ms]", printed(NS_PER_DAY - 1, PRINT_ALL));
}

TEST(GTimerTest, PrintBytesInPowersOf1024) {
    EXPECT_EQ("[  0 B]", printed_b(0));
    EXPECT_EQ("[1023 B]", printed_b(1023));
    EXPECT_EQ("[  1 KB]", printed_b(1024));
    EXPECT_EQ("[1023 KB]", printed_b(MiB - 1));
    EXPECT_EQ("[  1 MB]", printed_b(MiB + 1023));
    EXPECT_EQ("[  1 GB  512 MB]", printed_b(1610612736UL));
    EXPECT_EQ("[  1 GB    0 MB]", printed_b(GiB + 1));
    EXPECT_EQ("[  1 TB    0 GB    5 MB]", printed_b(TiB + 5 * MiB));
    EXPECT_EQ("[2048 TB 1023 GB 1023 MB]", printed_b(2048 * TiB + TiB - 1));
}

TEST(GTimerTest, PrintRateUsesAUnitFromNineOfItUp) {
    EXPECT_EQ("[  10 MB/s]", printed_bps(NS_PER_S, 10 * MiB));
    EXPECT_EQ("[   9 MB/s]", printed_bps(NS_PER_S, 9 * MiB));
    EXPECT_EQ("[8192 KB/s]", printed_bps(NS_PER_S, 8 * MiB));
    EXPECT_EQ("[   9 KB/s]", printed_bps(NS_PER_S, 9 * KiB));
    EXPECT_EQ("[8192 B/s]", printed_bps(NS_PER_S, 8 * KiB));
    EXPECT_EQ("[   0 B/s]", printed_bps(NS_PER_S, 0));
    EXPECT_EQ("[ 500 B/s]", printed_bps(2 * NS_PER_S, 1000));
}

TEST(GTimerTest, PrintRateCountsWholeMilliseconds) {
    EXPECT_EQ("", printed_bps(999999, MiB));
    EXPECT_EQ("", printed_bps(0, MiB));
    EXPECT_EQ("", printed_bps(-5 * NS_PER_S, MiB));
    // 1.999 ms counts as 1 ms: 1000 bytes make 1000000 B/s, not 500000.
    EXPECT_EQ("[ 976 KB/s]", printed_bps(1999999, 1000));
    EXPECT_EQ("[ 976 KB/s]", printed_bps(NS_PER_MS, 1000));
}
