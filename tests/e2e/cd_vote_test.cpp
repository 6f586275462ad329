// --cd end to end: the glyphs, hit scores and output of a concealed sample in stereo and in mono,
// and the command lines and first inputs that --cd refuses.

#include <gtest/gtest.h>

#include <cerrno>

#include "e2e_util.h"
#include "test_support.h"

using namespace e2e;
using testing_support::file_exists;
using testing_support::ScopedTempDir;

namespace {

using testing_support::le16;
using testing_support::le32;

const unsigned SAMPLES = 64;

std::string header(unsigned channels, unsigned bits) {
    const unsigned align = channels * bits / 8;
    return "RIFF" + le32(36 + SAMPLES * 2) + "WAVEfmt " + le32(16) + le16(1) + le16(channels) + le32(44100) +
           le32(44100 * align) + le16(align) + le16(bits) + "data" + le32(SAMPLES * 2);
}

// Sample k holds 1000 + 3 k^2: its neighbours' mean lies 3 above it one sample away, 12 above two
// samples away.
unsigned value(unsigned k) { return 1000 + 3 * k * k; }

std::string track(unsigned channels, const std::vector<std::pair<unsigned, unsigned>>& changes = {}) {
    std::string data;
    for (unsigned k = 0; k < SAMPLES; k++) {
        unsigned v = value(k);
        for (const auto& c : changes) v = c.first == k ? c.second : v;
        data += le16(v);
    }
    return header(channels, 16) + data;
}

// Copies 1 and 2 hold sample 20 as a drive conceals it in stereo (the mean of samples 18 and 22,
// its channel's neighbours); in mono the same value is a shared misread 9 above its neighbours'
// mean. Copy 3 holds sample 20 right, on the smooth curve, and sample 40 wrong by itself, far
// off it. Either way the pair loses sample 20 to the copy that fits the signal (no hits for
// anyone there) and keeps sample 40.
TEST(CdVote, APairLosesToALoneCopyOnlyWhereTheLoneCopyFitsTheSignal) {
    const unsigned concealed = value(20) + 12;
    const std::pair<unsigned, unsigned> conceal = {20, concealed}, misread = {40, 7};
    for (unsigned channels : {2u, 1u}) {
        RestoreCase r;
        r.inputs = {track(channels, {conceal}), track(channels, {conceal}), track(channels, {misread})};
        r.glyphs = "...<\n~#\n\n...|";
        r.hits = {1, 1, 0};
        r.output = track(channels);
        r.disputed = 4;
        r.extra_args = {"--cd"};
        SCOPED_TRACE(channels);
        expect_restore(r);
    }
}

// Two copies damaged in different bytes of one 16-bit unit of the header (the byte rate): voted
// as bytes, each byte keeps its majority, where a vote of samples would find no two alike.
TEST(CdVote, TheHeaderIsVotedAsBytes) {
    for (unsigned channels : {1u, 2u}) {
        RestoreCase r;
        r.inputs = {track(channels), track(channels), track(channels)};
        r.inputs[0][28] ^= 0x11;
        r.inputs[1][29] ^= 0x22;
        r.glyphs = "...<\n##\n\n...|";
        r.hits = {1, 1, 2};
        r.output = track(channels);
        r.disputed = 2;
        r.extra_args = {"--cd"};
        SCOPED_TRACE(channels);
        expect_restore(r);
    }
}

TEST(CdVote, RefusedBeforeAnythingIsOpened) {
    struct {
        std::vector<std::string> args;
        std::string first;
        std::string error;
    } cases[] = {
        {{"-a", "--cd"}, track(2), "copyvote: vote: -a and --cd are two different sample votes: choose one\n"},
        {{"--cd"}, header(1, 8) + std::string(SAMPLES, 'x'),
         "copyvote: vote --cd 1.wav: it holds 8-bit samples of format 1; --cd votes 16-bit integer samples only\n"},
        {{"--cd"}, header(2, 16).substr(0, 36), "copyvote: vote --cd 1.wav: its data chunk cannot be found\n"},
        {{"--cd"}, header(2, 16).substr(0, 12) + "data" + le32(4) + "abcd" + header(2, 16).substr(12, 24),
         "copyvote: vote --cd 1.wav: its fmt chunk comes after its data chunk\n"},
        {{"--cd"}, header(2, 16).substr(0, 12) + "data" + le32(4) + "abcd",
         "copyvote: vote --cd 1.wav: it has no fmt chunk\n"},
        {{"--cd"}, header(2, 16).replace(32, 2, le16(0)),
         "copyvote: vote --cd 1.wav: its fmt chunk states a frame size (block align) of 0\n"},
        {{"--cd"}, header(2, 16).replace(32, 2, le16(6)),
         "copyvote: vote --cd 1.wav: its frame size (block align) does not fit its channels and sample size\n"},
    };
    for (const auto& c : cases) {
        ScopedTempDir dir;
        write_all(dir, {"2.wav", "3.wav"}, track(2));
        testing_support::write_file(dir.file("1.wav"), c.first);
        std::vector<std::string> args = {"1.wav", "2.wav", "3.wav"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = run_copyvote(args, in_dir(dir.path()));
        EXPECT_EQ(r.exit_code, 255);
        EXPECT_EQ(r.out, CLEAR_SCREEN);
        EXPECT_EQ(r.err, c.error);
        EXPECT_FALSE(file_exists(dir.file("out.wav")));
    }
}

TEST(CdVote, AFirstInputReadFromAStreamIsRefusedBeforeTheOutputIsTouched) {
    ScopedTempDir dir;
    write_all(dir, {"2.wav", "3.wav", "o.wav"}, track(2));
    RunOptions options = in_dir(dir.path());
    options.stdin_data = header(1, 8) + std::string(SAMPLES, 'x');
    const RunResult r = run_copyvote({"-", "2.wav", "3.wav", "--cd", "-o", "o.wav"}, options);
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.err, status_lines("o.wav", {"-", "2.wav", "3.wav"}) +
                         "copyvote: vote --cd -: it holds 8-bit samples of format 1; --cd votes 16-bit integer "
                         "samples only\n");
    EXPECT_EQ(r.out, CLEAR_SCREEN);
    EXPECT_EQ(testing_support::read_file(dir.file("o.wav")), track(2));
}

}  // namespace
