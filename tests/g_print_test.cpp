#include "g_print.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "test_support.h"

using testing_support::CaptureFd;

namespace {

struct Output {
    std::string out;
    std::string err;
    int result;
};

// Runs `f` with both descriptors captured, so that a test sees which stream got what.
template <typename F>
Output capture(F f) {
    Output o;
    CaptureFd err(2);
    CaptureFd out(1);
    o.result = f();
    o.out = out.finish();
    o.err = err.finish();
    return o;
}

std::string time_text(unsigned long ms) {
    return capture([&] { return print_time(ms); }).out;
}

std::string short_time_text(unsigned long ms) {
    return capture([&] { return print_time_short(ms); }).out;
}

const unsigned long HOUR = 3600000;

}  // namespace

TEST(GPrintTest, InlineErrorLineGoesToStandardOutput) {
    Output o = capture([] { return print_format_inline(ENOENT, L"open(missing.wav)"); });
    EXPECT_EQ(ENOENT, o.result);
    EXPECT_EQ("open(missing.wav)\n   ^ERROR: 2, No such file or directory\n\n", o.out);
    EXPECT_EQ("", o.err);
}

TEST(GPrintTest, StderrErrorLineGoesToStandardError) {
    Output o =
        capture([] { return print_format_stderr(ENOMEM, L"!! _aligned_malloc() failed to allocate RAM!"); });
    EXPECT_EQ(ENOMEM, o.result);
    EXPECT_EQ("", o.out);
    EXPECT_EQ("!! _aligned_malloc() failed to allocate RAM!\n   ^ERROR: 12, Cannot allocate memory\n\n",
              o.err);
}

TEST(GPrintTest, NullContextPrintsOnlyTheErrorLine) {
    Output in = capture([] { return print_format_inline(EIO, nullptr); });
    EXPECT_EQ(EIO, in.result);
    EXPECT_EQ("   ^ERROR: 5, Input/output error\n\n", in.out);
    EXPECT_EQ("", in.err);
    Output err = capture([] { return print_format_stderr(EACCES, nullptr); });
    EXPECT_EQ(EACCES, err.result);
    EXPECT_EQ("", err.out);
    EXPECT_EQ("   ^ERROR: 13, Permission denied\n\n", err.err);
}

TEST(GPrintTest, CodeZeroIsPrintedWithItsText) {
    Output o = capture([] { return print_format_inline(0, L"h_out.write()"); });
    EXPECT_EQ(0, o.result);
    EXPECT_EQ("h_out.write()\n   ^ERROR: 0, Success\n\n", o.out);
}

TEST(GPrintTest, CodesArePrintedAsUnsignedDecimals) {
    // A libgcrypt error value: error source 1 in bits 24 and up, error code 5 below.
    const int gcrypt_error = (1 << 24) | 5;
    Output o = capture([&] { return print_format_inline(gcrypt_error, L"gcry_md_open(&ctx[i], alg_id, 0"); });
    EXPECT_EQ(gcrypt_error, o.result);
    EXPECT_EQ("gcry_md_open(&ctx[i], alg_id, 0\n   ^ERROR: 16777221, Unknown error 16777221\n\n", o.out);

    Output negative = capture([] { return print_format_stderr(-1, nullptr); });
    EXPECT_EQ(-1, negative.result);
    EXPECT_EQ("   ^ERROR: 4294967295, Unknown error -1\n\n", negative.err);
}

TEST(GPrintTest, ContextBytesComeOutUnchanged) {
    // U+00E4 is how a Latin-1 byte 0xE4 of a file name arrives in a wide context.
    Output o = capture([] { return print_format_inline(ENOENT, L"open(Tr\u00E4ck 01.wav)"); });
    EXPECT_EQ(std::string("open(Tr") + '\xE4' + "ck 01.wav)\n   ^ERROR: 2, No such file or directory\n\n",
              o.out);
}

TEST(GPrintTest, MessageHasNoLineBreak) {
    Output o = capture([] { return print_format_message(ENOENT, L"open: "); });
    EXPECT_EQ(ENOENT, o.result);
    EXPECT_EQ("2 open: No such file or directory", o.out);
    EXPECT_EQ("", o.err);
}

TEST(GPrintTest, PrintTimePicksSecondsMinutesOrHours) {
    EXPECT_EQ(" 0.000 s ", time_text(0));
    EXPECT_EQ(" 1.005 s ", time_text(1005));
    EXPECT_EQ("59.999 s ", time_text(59999));
    EXPECT_EQ(" 1:00.000 [mm:ss.ms]", time_text(60000));
    EXPECT_EQ("59:59.999 [mm:ss.ms]", time_text(3599999));
    EXPECT_EQ(" 1:00:00.000 [hh:mm:ss.ms]", time_text(HOUR));
    EXPECT_EQ("27:46:40.123 [hh:mm:ss.ms]", time_text(100000123));
    EXPECT_EQ("65535:59:59.999 [hh:mm:ss.ms]", time_text(65536 * HOUR - 1));
}

TEST(GPrintTest, PrintTimeKeepsHoursInSixteenBits) {
    // 65536 hours wrap to 0: the remainder within the hour decides the form.
    EXPECT_EQ(" 0.000 s ", time_text(65536 * HOUR));
    EXPECT_EQ(" 1.234 s ", time_text(65536 * HOUR + 1234));
    EXPECT_EQ(" 1:01.234 [mm:ss.ms]", time_text(65536 * HOUR + 61234));
    EXPECT_EQ(" 1:00:00.007 [hh:mm:ss.ms]", time_text(65537 * HOUR + 7));
    EXPECT_EQ(" 1.2 ", short_time_text(65536 * HOUR + 1234));
}

TEST(GPrintTest, PrintTimeShortShowsTenths) {
    EXPECT_EQ(" 0.9 ", short_time_text(999));
    EXPECT_EQ(" 0.0 ", short_time_text(0));
    EXPECT_EQ("59.9 ", short_time_text(59999));
    EXPECT_EQ(" 1:01.2 ", short_time_text(61234));
    EXPECT_EQ(" 1:00:00.0 ", short_time_text(HOUR));
    EXPECT_EQ(" 2:03:04.5 ", short_time_text(2 * HOUR + 3 * 60000 + 4567));
}

TEST(GPrintTest, RedirectSendsDescriptorOneToStandardError) {
    int saved = dup(1);
    ASSERT_GE(saved, 0);
    CaptureFd err(2);
    int result = redirect_stdout_to_stderr();
    ssize_t written = write(1, "moved", 5);
    dup2(saved, 1);
    close(saved);
    EXPECT_EQ("moved", err.finish());
    EXPECT_EQ(1, result);
    EXPECT_EQ(5, written);
}
