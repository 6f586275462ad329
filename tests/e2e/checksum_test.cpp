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
using testing_support::wav_file;

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
             " matches\n" + bracket("out.wav") + " repaired: 1 sample in 1 frame changed to match, at 00:00.045\n",
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

uint32_t word_at(const std::string& pcm, uint64_t index) {
    uint32_t w = 0;
    for (int b = 3; b >= 0; b--) w = w << 8 | static_cast<uint8_t>(pcm[4 * (index - 1) + static_cast<size_t>(b)]);
    return w;
}

void put_word(std::string& pcm, uint64_t index, uint32_t w) { pcm.replace(4 * (index - 1), 4, le32(w)); }

std::string sums_line(const std::string& name, const testing_support::reference_sums& s) {
    return bracket(name) + " AccurateRip v1 " + hex32(s.v1) + " v2 " + hex32(s.v2) + ", CRC32 " + hex32(s.crc32) + "\n";
}

// The inverse of an odd number modulo 2^16.
uint16_t odd_inverse(uint32_t odd) {
    uint32_t x = odd;
    for (int k = 0; k < 4; k++) x *= 2 - odd * x;  // Newton: each step doubles the right bits
    return static_cast<uint16_t>(x);
}

testing_support::reference_sums sums_of(const std::string& pcm, uint64_t first = 1, uint64_t last = 9000) {
    return testing_support::reference_track_sums(pcm, first, last);
}

// Three copies of a 9000-frame track: at each frame of `wrong` copies 0 and 1 hold the truth XOR the
// given change (the vote takes it) and copy 2 the truth, or another wrong word; forge() gives copy 2
// a word where the others hold the truth. The vote's output is `voted`.
struct damaged {
    std::string truth, voted;
    std::vector<std::string> copies;
    damaged(const std::vector<std::pair<uint64_t, uint32_t>>& wrong, bool other_is_truth) {
        truth = voted = testing_support::synth_pcm(9000, 100, 7);
        copies.assign(3, truth);
        for (const auto& w : wrong) {
            const uint32_t t = word_at(truth, w.first);
            put_word(voted, w.first, t ^ w.second);
            put_word(copies[0], w.first, t ^ w.second);
            put_word(copies[1], w.first, t ^ w.second);
            put_word(copies[2], w.first, other_is_truth ? t : t ^ (w.second << 1));
        }
    }
    void forge(uint64_t index, uint32_t word) { put_word(copies[2], index, word); }
};

// The repair's rules against chance and craft. A right sample moves AccurateRip v1 only by
// multiples of 2^16, so a copy can hold, at a frame where the vote is right, a right sample whose
// v1 change equals that of the true change elsewhere (here out of every copy's reach): v1 cannot
// settle such changes, alone or as a response file's entry. CRC32 is linear, so a copy can hold a
// word whose one-frame change has the CRC effect of the true two-frame repair: the two matches are
// both refused. 47,000 response values are too many chances. Frames are written back only into a
// file the run wrote from its first byte, not in append mode; two different values of one kind are
// refused before anything is opened.
TEST(Checksums, RepairHoldsAgainstChanceAndCraft) {
    const std::string cv = testing_support::copyvote_path();
    // v1 forged with right samples: frame 3001 voted wrong (right sample 0x0100 off, the truth in no
    // copy), frame 5001's right sample in copy 2 made to move v1 as the truth at 3001 would.
    damaged v1f({{3001, 0x01000000u}}, false);
    {
        const uint16_t r = static_cast<uint16_t>(word_at(v1f.truth, 3001) >> 16);
        const uint16_t need = static_cast<uint16_t>((r - (r ^ 0x0100)) * 3001u * odd_inverse(5001));
        const uint32_t at = word_at(v1f.truth, 5001);
        v1f.forge(5001, (at & 0xFFFF) | static_cast<uint32_t>(static_cast<uint16_t>((at >> 16) + need)) << 16);
    }
    // CRC32 forged: frames 2001 and 4001 voted wrong (copy 2 holds the truth), frame 6001 of copy 2
    // changes the CRC32 as both of them do.
    damaged crcf({{2001, 0x10}, {4001, 0x20}}, true);
    crcf.forge(6001, word_at(crcf.truth, 6001) ^ testing_support::reference_crc_forgery(
                                                     36000, 6000 * 4, sums_of(crcf.voted).crc32 ^ sums_of(crcf.truth).crc32));
    damaged one({{2001, 0x10}}, true);  // repaired with CRC32 alone
    damaged mid({{4001, 0x10}}, true);  // the same among the frames the first track of a disc counts
    const std::string v1_truth = hex32(sums_of(v1f.truth).v1), crc_truth = hex32(sums_of(one.truth).crc32);
    // A response file of one 3-track record whose second entry is the truth's v1; one of 47,000
    // one-track records.
    const std::string head3 = std::string("\x03", 1) + std::string(12, 'i');
    const std::string v1_response = head3 + std::string(9, 'e') + "\x05" + le32(sums_of(v1f.truth).v1) + le32(0) +
                                    std::string(9, 'e');
    // Two 3-track records whose second entries are the truth's v1 and v2: one pressing's pair.
    const std::string pair_response = head3 + std::string(9, 'e') + "\x05" + le32(sums_of(one.truth).v1) + le32(0) +
                                      std::string(9, 'e') + head3 + std::string(9, 'e') + "\x05" +
                                      le32(sums_of(one.truth).v2) + le32(0) + std::string(9, 'e');
    std::string big_response;
    for (uint32_t k = 1; k <= 47000; k++) big_response += std::string("\x01", 1) + std::string(12, 'i') + "\x05" + le32(k * 0x9E3779B1u) + le32(0);
    const std::string o = bracket("out.wav"), s = bracket("-");
    const struct {
        const char* name;
        const damaged& d;
        std::vector<std::string> args;
        std::string shell;  // else run directly with args: sh -c "<shell>" with $CV and $ARGS
        int exit_code;
        std::string output;  // the output file's bytes (a FLAC output's decoded)
        std::string tail;    // the text after the statistics
        std::string out = "out.wav";
    } cases[] = {
        {"v1 alone, right samples", v1f, {"--expect", "arv1:" + v1_truth}, "", 1, wav_file(v1f.voted),
         sums_line("out.wav", sums_of(v1f.voted)) + o + " not verified: arv1 " + v1_truth + " expected, got " +
             hex32(sums_of(v1f.voted).v1) + "\n" + o +
             " not repaired: what is expected cannot settle the changes at 2 doubtful frames (they reach at most 16 "
             "bits of it: a match could be chance)\n"},
        {"v1 in a response file, right samples", v1f, {"--track", "2/3", "--accuraterip", "v1.bin"}, "", 1,
         wav_file(v1f.voted),
         sums_line("out.wav", sums_of(v1f.voted)) + o + " not verified: AccurateRip matches none of 1 entry in 1 record\n" +
             o + " not repaired: no combination of the copies' values at 2 doubtful frames matches (2 tried; 2 frames "
                 "whose changes reach too few bits of a sum to be compared with it)\n"},
        {"CRC32 forged in one frame", crcf, {"--expect", "crc32:" + hex32(sums_of(crcf.truth).crc32)}, "", 1,
         wav_file(crcf.voted),
         sums_line("out.wav", sums_of(crcf.voted)) + o + " not verified: crc32 " + hex32(sums_of(crcf.truth).crc32) +
             " expected, got " + hex32(sums_of(crcf.voted).crc32) + "\n" + o +
             " not repaired: combinations of the copies' values at 1 frame and at 2 frames match alike; neither was "
             "taken\n"},
        {"47,000 response values", mid, {"--track", "1/1", "--accuraterip", "big.bin"}, "", 1, wav_file(mid.voted),
         sums_line("out.wav", sums_of(mid.voted, 2940, 9000 - 2940)) + o +
             " not verified: AccurateRip matches none of 47000 entries in 47000 records\n" + o +
             " not repaired: what is expected cannot settle the changes at 1 doubtful frame (they reach at most 32 bits "
             "of it, against 94000 values: a match could be chance)\n"},
        {"standard output appending", one, {"--expect", "crc32:" + crc_truth}, "exec \"$CV\" $ARGS -o - >>out.wav", 1,
         "OLD!" + wav_file(one.voted),
         sums_line("-", sums_of(one.voted)) + s + " not verified: crc32 " + crc_truth + " expected, got " +
             hex32(sums_of(one.voted).crc32) + "\n" + s +
             " not repaired: not tried, for the output is open for appending (>>), where no frame can be written back "
             "in its place\n"},
        {"standard output at an offset", one, {"--expect", "crc32:" + crc_truth}, "(printf HEAD; exec \"$CV\" $ARGS -o -) >out.wav",
         1, "HEAD" + wav_file(one.voted),
         sums_line("-", sums_of(one.voted)) + s + " not verified: crc32 " + crc_truth + " expected, got " +
             hex32(sums_of(one.voted).crc32) + "\n" + s +
             " not repaired: not tried, for the output starts at byte 4 of its file, not at its beginning\n"},
        {"standard output from its start", one, {"--expect", "crc32:" + crc_truth}, "exec \"$CV\" $ARGS -o - >out.wav", 0,
         wav_file(one.truth),
         sums_line("-", sums_of(one.truth)) + s + " verified: crc32 " + crc_truth + " matches\n" + s +
             " repaired: 1 sample in 1 frame changed to match, at 00:00.045\n"},
        {"one value given twice", one, {"--expect", "crc32:" + crc_truth, "--expect", "CRC32:" + crc_truth}, "", 0,
         wav_file(one.truth),
         sums_line("out.wav", sums_of(one.truth)) + o + " verified: crc32 " + crc_truth + " matches; crc32 " +
             crc_truth + " matches\n" + o + " repaired: 1 sample in 1 frame changed to match, at 00:00.045\n"},
        // A FLAC output is voted into a scratch file, repaired there and then encoded.
        {"a FLAC output", one, {"--track", "2/3", "--accuraterip", "pair.bin", "-o", "out.flac"}, "", 0,
         wav_file(one.truth),
         sums_line("out.flac", sums_of(one.truth)) + bracket("out.flac") +
             " verified: AccurateRip matches (v1, confidence 5)\n" + bracket("out.flac") +
             " repaired: 1 sample in 1 frame changed to match, at 00:00.045\n",
         "out.flac"},
        {"two values of one kind", one, {"--expect", "crc32:" + crc_truth, "--expect", "crc32:0000ABCD"}, "", 255, "",
         "copyvote: read --expect crc32:0000abcd: crc32 is expected as " + crc_truth +
             " too; no output can match both\n"},
    };
    for (const auto& c : cases) {
        ScopedTempDir dir;
        for (size_t i = 0; i < 3; i++) testing_support::write_file(dir.file(std::to_string(i + 1) + ".wav"), wav_file(c.d.copies[i]));
        testing_support::write_file(dir.file("v1.bin"), v1_response);
        testing_support::write_file(dir.file("big.bin"), big_response);
        testing_support::write_file(dir.file("pair.bin"), pair_response);
        if (!c.shell.empty()) testing_support::write_file(dir.file("out.wav"), "OLD!");
        std::vector<std::string> args = {"1.wav", "2.wav", "3.wav"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::string joined;
        for (const std::string& a : args) joined += (joined.empty() ? "" : " ") + a;
        RunOptions options = in_dir(dir.path());
        options.env = {"CV=" + cv, "ARGS=" + joined};
        const RunResult r = c.shell.empty() ? run_copyvote(args, options)
                                            : testing_support::run_program({"/bin/sh", "-c", c.shell}, options);
        EXPECT_EQ(r.exit_code, c.exit_code) << c.name;
        if (c.exit_code == 255) {
            EXPECT_EQ(r.err, c.tail) << c.name;
            EXPECT_FALSE(testing_support::file_exists(dir.file("out.wav"))) << c.name;
            continue;
        }
        if (c.out == "out.flac") {
            const RunResult d = testing_support::run_program({"/usr/bin/flac", "-s", "-d", "-f", "-o", dir.file("d.wav"), dir.file(c.out)});
            ASSERT_EQ(d.exit_code, 0) << c.name << ": " << d.err;
        }
        EXPECT_TRUE(testing_support::read_file(dir.file(c.out == "out.flac" ? "d.wav" : c.out)) == c.output) << c.name;
        const std::string& text = c.shell.empty() ? r.out : r.err;
        const size_t timer = text.find("timer:");
        ASSERT_NE(timer, std::string::npos) << c.name;
        EXPECT_EQ(text.substr(text.find('\n', timer) + 1), c.tail) << c.name;
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
