// The restored track's checksums and the verdict against what was expected, end to end: the lines
// after the statistics, the exit status (0 verified, 1 complete but not verified, 255 refused).

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "reference_checksums.h"
#include "test_support.h"

using namespace e2e;
using testing_support::ScopedTempDir;

namespace {

using testing_support::le32;

std::string hex32(uint32_t v) {
    char text[9];
    snprintf(text, sizeof text, "%08x", v);
    return text;
}

TEST(Checksums, TheLinesAfterTheStatisticsAndTheExitStatus) {
    const std::string pcm = testing_support::synth_pcm(9000, 100, 7);
    const testing_support::reference_sums mid = testing_support::reference_track_sums(pcm, 1, 9000);
    const testing_support::reference_sums last = testing_support::reference_track_sums(pcm, 1, 9000 - 2940);
    const std::string sums_line = "AccurateRip v1 " + hex32(mid.v1) + " v2 " + hex32(mid.v2) + ", CRC32 " +
                                  hex32(mid.crc32) + "\n";
    // A response file of two pressings of a three-track disc; the second lists the last track's v2.
    const std::string head = std::string("\x03", 1) + std::string(12, 'i');
    const std::string response = head + std::string(27, 'e') + head + std::string(18, 'e') + "\x09" +
                                 le32(last.v2) + le32(0);
    const std::string bad_crc = hex32(mid.crc32 ^ 1);
    const std::string not_repaired =
        bracket("out.wav") + " not repaired: no combination of the copies' values at 2 doubtful frames matches (3 tried)\n";
    const struct {
        std::vector<std::string> args;
        int exit_code;
        std::string tail;  // standard output after the statistics
        bool no_majority = false;  // the copies hold three values at one sample: the vote guesses
    } cases[] = {
        {{"--ar"}, 0, bracket("out.wav") + " " + sums_line},
        {{"--expect", "crc32:" + hex32(mid.crc32), "--expect", "ARV1:" + hex32(mid.v1)},
         0,
         bracket("out.wav") + " " + sums_line + bracket("out.wav") + " verified: crc32 " + hex32(mid.crc32) +
             " matches; arv1 " + hex32(mid.v1) + " matches\n"},
        {{"--expect", "crc32:" + bad_crc},
         1,
         bracket("out.wav") + " " + sums_line + bracket("out.wav") + " not verified: crc32 " + bad_crc +
             " expected, got " + hex32(mid.crc32) + "\n" + not_repaired},
        {{"--expect", "crc32:" + hex32(mid.crc32)},
         0,
         bracket("out.wav") + " " + sums_line + bracket("out.wav") + " verified: crc32 " + hex32(mid.crc32) +
             " matches\n" + bracket("out.wav") + " repaired: 1 samples in 1 frames changed to match, at 00:00.045\n",
         true},
        {{"--track", "3/3", "--accuraterip", "r.bin"},
         0,
         bracket("out.wav") + " AccurateRip v1 " + hex32(last.v1) + " v2 " + hex32(last.v2) + ", CRC32 " +
             hex32(last.crc32) + "\n" + bracket("out.wav") + " verified: AccurateRip matches (v2, confidence 9)\n"},
        {{"--track", "2/3", "--accuraterip", "r.bin"}, 1, ""},
    };
    for (const auto& c : cases) {
        ScopedTempDir dir;
        std::vector<std::string> copies(3, testing_support::wav_file(pcm));
        copies[0][500] ^= 1;
        copies[2][9000] ^= 4;
        if (c.no_majority) copies[0][8001] ^= 0x10, copies[1][8001] ^= 0x20;  // copy 2 holds the truth
        for (size_t i = 0; i < 3; i++) testing_support::write_file(dir.file(std::to_string(i + 1) + ".wav"), copies[i]);
        testing_support::write_file(dir.file("r.bin"), response);
        std::vector<std::string> args = {"1.wav", "2.wav", "3.wav"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = run_copyvote(args, in_dir(dir.path()));
        EXPECT_EQ(r.exit_code, c.exit_code) << c.args.back();
        EXPECT_EQ(testing_support::read_file(dir.file("out.wav")), testing_support::wav_file(pcm));
        const size_t timer = r.out.find("timer:");
        ASSERT_NE(timer, std::string::npos);
        const std::string tail = r.out.substr(r.out.find('\n', timer) + 1);
        const std::string none = " not verified: AccurateRip matches none of 2 entries in 2 records\n" + not_repaired;
        EXPECT_EQ(c.tail.empty() ? tail.substr(tail.find('\n') + 1) : tail, c.tail.empty() ? bracket("out.wav") + none : c.tail)
            << c.args.back();
    }
}

TEST(Checksums, MalformedValuesAreRefusedBeforeAnythingIsOpened) {
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--track", "0/3", "--ar"}, "copyvote: read --track 0/3: give the track as N/M, N from 1 to M\n"},
        {{"--track", "4/3"}, "copyvote: read --track 4/3: give the track as N/M, N from 1 to M\n"},
        {{"--expect", "crc32:123"},
         "copyvote: read --expect crc32:123: give KIND:HEX, KIND one of arv1 arv2 crc32 md2 md4 md5 sha1 sha256 "
         "sha384 sha512, HEX of the value's length (at most 16 values)\n"},
        {{"--expect"}, "copyvote: read --expect: the switch needs a value\n"},
        {{"--accuraterip", "r.bin"}, "copyvote: read r.bin: --accuraterip needs --track N/M to know which entry is this track\n"},
        {{"--track", "1/2", "--accuraterip", "r.bin"}, "copyvote: read r.bin: the file ends inside a record\n"},
        {{"--track", "1/2", "--accuraterip", "none.bin"}, "copyvote: read none.bin: No such file or directory\n"},
    };
    for (const auto& c : cases) {
        ScopedTempDir dir;
        write_all(dir, {"1.wav", "2.wav", "3.wav"}, "abcd");
        testing_support::write_file(dir.file("r.bin"), std::string(20, '\x02'));
        std::vector<std::string> args = {"1.wav", "2.wav", "3.wav"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = run_copyvote(args, in_dir(dir.path()));
        EXPECT_EQ(r.exit_code, 255) << c.args.back();
        EXPECT_EQ(r.out, CLEAR_SCREEN) << c.args.back();
        EXPECT_EQ(r.err, c.err) << c.args.back();
        EXPECT_FALSE(testing_support::file_exists(dir.file("out.wav")));
    }
}

}  // namespace
