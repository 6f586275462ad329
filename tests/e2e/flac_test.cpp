// FLAC copies in, FLAC out: copies encoded with the flac tool, damaged as audio or as files.

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e_util.h"
#include "test_support.h"

using namespace e2e;
using testing_support::read_file;
using testing_support::ScopedTempDir;
using testing_support::synth_pcm;
using testing_support::wav_file;
using testing_support::run_program;
using testing_support::write_file;

namespace {

const size_t FRAMES = 300000;  // 6.8 s of stereo: 74 FLAC frames of 4096 samples, one short block
const size_t BLOCKSIZE = 4096;

RunResult run_in(const ScopedTempDir& dir, const std::vector<std::string>& args) {
    return run_copyvote(args, in_dir(dir.path()));
}

// Encodes `wav` (a file in `dir`) as `flac_name` at level 5, with two tags.
void encode(const ScopedTempDir& dir, const std::string& wav, const std::string& flac_name) {
    const RunResult r = run_program({"/usr/bin/flac", "-s", "-f", "-5", "-T", "TITLE=Test tone", "-T", "ARTIST=Nobody",
                                     "-o", dir.file(flac_name), dir.file(wav)});
    ASSERT_EQ(0, r.exit_code) << "the flac tool is installed by scripts/install-deps.sh: " << r.err;
}

uint8_t crc8(const std::string& b, size_t from, size_t n) {
    uint8_t crc = 0;
    for (size_t q = from; q < from + n; q++) {
        crc ^= static_cast<uint8_t>(b[q]);
        for (int k = 0; k < 8; k++) crc = static_cast<uint8_t>(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

// Byte offsets of the frames of a fixed-blocksize stream as the level-5 encoder writes it (the
// frame number in one to three UTF-8 bytes, block size and rate taken from the header codes the
// encoder uses for 4096 samples at 44.1 kHz), each checked by its header's CRC-8. The last,
// shorter frame states its size in extra header bytes and is not found.
std::vector<size_t> frame_starts(const std::string& f) {
    std::vector<size_t> starts;
    for (size_t q = 0; q + 8 < f.size(); q++) {
        if (static_cast<uint8_t>(f[q]) != 0xFF || static_cast<uint8_t>(f[q + 1]) != 0xF8) continue;
        const uint8_t lead = static_cast<uint8_t>(f[q + 4]);
        const size_t number_bytes = lead < 0x80 ? 1 : lead >= 0xE0 ? 3 : 2;
        const size_t header = 4 + number_bytes;
        if (crc8(f, q, header) == static_cast<uint8_t>(f[q + header])) starts.push_back(q);
    }
    return starts;
}

std::string at_time(size_t sample) {
    const size_t ms = sample * 1000 / 44100;
    char text[32];
    snprintf(text, sizeof text, "%02zu:%02zu.%03zu", ms / 60000, ms / 1000 % 60, ms % 1000);
    return text;
}

std::string loss_line(const std::string& name, size_t samples, size_t frames, size_t first) {
    return bracket(name) + " " + std::to_string(samples) + " samples lost in " + std::to_string(frames) +
           (frames == 1 ? " frame" : " frames") + " (first at " + at_time(first) + ")\n";
}

// Bursts of wrong bytes in the audio, at places that differ with `seed`.
std::string damaged(std::string pcm, size_t seed) {
    for (size_t at = 997 * seed; at + 8 < pcm.size(); at += 7919 + 13 * seed) pcm[at] = static_cast<char>(~pcm[at]);
    return pcm;
}

// Three copies of one track, each damaged as a file in another way: bytes flipped inside frame
// 5, frame 12 cut out, the file cut at frame 30. Each copy reports its loss where it is (libFLAC
// also gives up the frame at which it finds its way again: two frames each), and the vote
// restores the track exactly, whichever input lost what.
TEST(Flac, DamagedFilesLoseOnlyTheirFramesAndAreVotedOut) {
    ScopedTempDir dir;
    const std::string pcm = synth_pcm(FRAMES, 4000, 3);
    write_file(dir.file("t.wav"), wav_file(pcm));
    encode(dir, "t.wav", "t.flac");
    const std::string good = read_file(dir.file("t.flac"));
    const std::vector<size_t> at = frame_starts(good);
    ASSERT_EQ(FRAMES / BLOCKSIZE, at.size());  // the shorter last frame's header is longer: not listed
    std::string flipped = good, cut = good;
    for (size_t q = at[5] + 40; q < at[5] + 60; q++) flipped[q] = static_cast<char>(flipped[q] ^ 0x5A);
    cut.erase(at[12], at[13] - at[12]);
    write_file(dir.file("a.flac"), flipped);
    write_file(dir.file("b.flac"), cut);
    write_file(dir.file("c.flac"), good.substr(0, at[30]));
    const size_t tail = FRAMES - 30 * BLOCKSIZE;
    const std::string losses[] = {loss_line("a.flac", 2 * BLOCKSIZE, 2, 5 * BLOCKSIZE),
                                  loss_line("b.flac", 2 * BLOCKSIZE, 2, 12 * BLOCKSIZE),
                                  loss_line("c.flac", tail, (tail + BLOCKSIZE - 1) / BLOCKSIZE, 30 * BLOCKSIZE)};
    const std::vector<std::vector<int>> orders = {{0, 1, 2}, {2, 0, 1}, {1, 2, 0}};
    for (const std::vector<int>& order : orders) {
        std::vector<std::string> names;
        std::string lines;
        for (int k : order) {
            names.push_back(std::string(1, static_cast<char>('a' + k)) + ".flac");
            lines += losses[k];
        }
        std::vector<std::string> args = names;
        args.insert(args.end(), {"-o", "out.wav"});
        const RunResult r = run_in(dir, args);
        EXPECT_EQ(0, r.exit_code);
        EXPECT_EQ(status_lines("out.wav", names) + "processing:\n...|...|\n", r.err);
        EXPECT_TRUE(ends_with_statistics(r.out, CLEAR_SCREEN + lines + report(names, {0, 0, 0}), 0));
        EXPECT_TRUE(read_file(dir.file("out.wav")) == wav_file(pcm)) << names[0];
    }
}

// Copies damaged as audio restore to the same audio as FLAC as they do as WAV, by every vote, and
// a FLAC output holds that audio, passes the flac tool's test and carries input 0's tags.
TEST(Flac, RestoresAsTheSameCopiesAsWav) {
    ScopedTempDir dir;
    const std::string pcm = synth_pcm(FRAMES, 0, 5);
    std::vector<std::string> wavs, flacs;
    for (size_t i = 0; i < 4; i++) {
        wavs.push_back(std::to_string(i) + ".wav");
        flacs.push_back(std::to_string(i) + ".flac");
        write_file(dir.file(wavs.back()), wav_file(damaged(pcm, i + 1)));
        encode(dir, wavs.back(), flacs.back());
    }
    const std::vector<std::vector<std::string>> modes = {{}, {"-a"}, {"--cd"}};
    for (const std::vector<std::string>& mode : modes) {
        const std::string what = mode.empty() ? "bytes" : mode[0];
        std::vector<std::string> a = wavs, b = flacs, c = flacs;
        a.insert(a.end(), {"-o", "w.wav"});
        b.insert(b.end(), {"-o", "f.wav"});
        c.insert(c.end(), {"-o", "f.flac", "-md5"});
        for (std::vector<std::string>* args : {&a, &b, &c}) args->insert(args->end(), mode.begin(), mode.end());
        const RunResult rw = run_in(dir, a), rf = run_in(dir, b), rc = run_in(dir, c);
        EXPECT_EQ(0, rw.exit_code) << what;
        EXPECT_EQ(0, rf.exit_code) << what;
        EXPECT_EQ(0, rc.exit_code) << what;
        const std::string voted = read_file(dir.file("w.wav"));
        EXPECT_TRUE(voted == read_file(dir.file("f.wav"))) << what;
        EXPECT_NE(std::string::npos, rw.out.find("bytes")) << what;
        std::string scores = rw.out.substr(0, rw.out.find("CPU"));
        for (size_t i = 0; i < wavs.size(); i++) scores.replace(scores.find(bracket(wavs[i])), 26, bracket(flacs[i]));
        EXPECT_EQ(scores, rf.out.substr(0, rf.out.find("CPU"))) << what;
        EXPECT_EQ(0, run_program({"/usr/bin/flac", "-s", "-t", dir.file("f.flac")}).exit_code) << what;
        EXPECT_EQ(0, run_program({"/usr/bin/flac", "-s", "-f", "-d", "-o", dir.file("d.wav"), dir.file("f.flac")}).exit_code);
        EXPECT_TRUE(read_file(dir.file("d.wav")) == voted) << what;
        const RunResult tags = run_program({"/usr/bin/metaflac", "--export-tags-to=-", dir.file("f.flac")});
        EXPECT_EQ("TITLE=Test tone\nARTIST=Nobody\n", tags.out) << what;
        // The output's digest is that of its audio, which metaflac keeps as the MD5 signature.
        const RunResult md5 = run_program({"/usr/bin/metaflac", "--show-md5sum", dir.file("f.flac")});
        const size_t out_line = rc.out.find(bracket("f.flac") + "\n");
        ASSERT_NE(std::string::npos, out_line) << rc.out;
        EXPECT_EQ(md5.out.substr(0, 32), rc.out.substr(out_line - 33, 32)) << what;
    }
}

// What cannot be voted is refused before anything is created, with one line naming the copy.
TEST(Flac, RefusedCopiesCreateNothing) {
    ScopedTempDir dir;
    const std::string pcm = synth_pcm(20000, 0, 9);
    write_file(dir.file("t.wav"), wav_file(pcm));
    encode(dir, "t.wav", "t.flac");
    const std::string good = read_file(dir.file("t.flac"));
    std::string slow = wav_file(pcm);
    slow[24] = static_cast<char>(0x80), slow[25] = static_cast<char>(0xBB);  // 48000 Hz
    write_file(dir.file("s.wav"), slow);
    write_file(dir.file("junk.flac"), "fLaC" + std::string(300, 'x'));
    write_file(dir.file("noinfo.flac"), "fLaC" + good.substr(4 + 4 + 34));  // STREAMINFO left out
    struct Case {
        std::vector<std::string> args;
        std::string line;
    };
    const Case cases[] = {
        {{"junk.flac", "t.flac", "t.flac"}, "copyvote: read junk.flac: not a FLAC stream after its signature\n"},
        {{"t.flac", "noinfo.flac", "t.flac"}, "copyvote: read noinfo.flac: its FLAC stream has no STREAMINFO block\n"},
        {{"t.flac", "t.flac", "s.wav"},
         "copyvote: read s.wav: 48000 Hz, 2 channels, 16 bits, but t.flac holds 44100 Hz, 2 channels, 16 bits\n"},
        {{"t.flac", "t.wav", "t.flac", "--align"},
         "copyvote: align t.flac: --align reads copies by position and cannot read a FLAC copy; decode it to WAV "
         "first\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-o", "out.flac"});
        const RunResult r = run_in(dir, args);
        EXPECT_EQ(255, r.exit_code) << c.line;
        EXPECT_EQ(c.line, r.err);
        EXPECT_EQ(CLEAR_SCREEN, r.out) << c.line;
        EXPECT_FALSE(testing_support::file_exists(dir.file("out.flac"))) << c.line;
    }
}

// A FLAC output that cannot be written, or a copy whose frames contradict its STREAMINFO: one
// error line, exit 255, and an existing output stays as it was.
TEST(Flac, FailuresKeepTheOutput) {
    ScopedTempDir dir;
    const std::string pcm = synth_pcm(FRAMES, 0, 11);
    write_file(dir.file("t.wav"), wav_file(pcm));
    encode(dir, "t.wav", "t.flac");
    std::string lying = read_file(dir.file("t.flac"));
    // STREAMINFO's 36-bit total (bytes 21 to 25 of the file) says 10 frames only.
    const uint64_t total = 10 * BLOCKSIZE;
    lying[21] = static_cast<char>((static_cast<uint8_t>(lying[21]) & 0xF0) | (total >> 32));
    for (int k = 0; k < 4; k++) lying[22 + k] = static_cast<char>(total >> (24 - 8 * k));
    write_file(dir.file("lying.flac"), lying);
    ASSERT_EQ(0, symlink("/dev/full", dir.file("full.flac").c_str()));
    write_file(dir.file("kept.flac"), "previous output");
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> inputs;
        std::string tail;  // standard error after the status lines
    };
    const Case cases[] = {
        {{"t.flac", "t.flac", "lying.flac", "-o", "kept.flac"},
         {"t.flac", "t.flac", "lying.flac"},
         "processing:\n..copyvote: decode lying.flac: the frame at sample 40960 (44100 Hz, 2 channels, 16 bits, 4096 samples) "
         "contradicts its STREAMINFO (44100 Hz, 2 channels, 16 bits, 40960 samples)\n|\n"
         "copyvote: write kept.flac: the run failed; the previous kept.flac was kept\n"},
        // The encoder writes the stream's head as it starts, before the loop.
        {{"t.flac", "t.flac", "t.flac", "-o", "full.flac"},
         {"t.flac", "t.flac", "t.flac"},
         "copyvote: write full.flac: No space left on device\n"},
    };
    for (const Case& c : cases) {
        const RunResult r = run_in(dir, c.args);
        EXPECT_EQ(255, r.exit_code) << c.tail;
        EXPECT_EQ(status_lines(c.args.back(), c.inputs) + c.tail, r.err);
    }
    EXPECT_EQ("previous output", read_file(dir.file("kept.flac")));
}

}  // namespace
