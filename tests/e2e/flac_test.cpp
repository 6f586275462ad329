// FLAC copies in, FLAC out: copies encoded with the flac tool, damaged as audio or as files.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "reference_checksums.h"
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
        {{"t.flac", "s.wav", "t.flac", "--align"},
         "copyvote: read s.wav: 48000 Hz, 2 channels, 16 bits, but t.flac holds 44100 Hz, 2 channels, 16 bits\n"},
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

// Bytes flipped inside each frame of `frames` (their starts in `at`): each fails its CRC, and
// libFLAC gives up the frame after it too.
std::string bad_frames(std::string flac, const std::vector<size_t>& at, const std::vector<size_t>& frames) {
    for (size_t f : frames) {
        for (size_t q = at[f] + 40; q < at[f] + 60; q++) flac[q] = static_cast<char>(flac[q] ^ 0x5A);
    }
    return flac;
}

// An ID3v2.4 tag of 300 bytes (its size in four 7-bit bytes; a footer repeats the header).
std::string id3v2(bool footer) {
    const std::string body = "TIT2" + std::string("\0\0\0\x0b\0\0\x03", 7) + "Some title" + std::string(279, '\0');
    const std::string size = {0, 0, static_cast<char>(body.size() >> 7), static_cast<char>(body.size() & 0x7F)};
    const char flags = footer ? 0x10 : 0;
    return "ID3\x04" + std::string(1, '\0') + flags + size + body + (footer ? "3DI\x04" + std::string(1, '\0') + flags + size : "");
}

// A WAV file of `pcm` with a LIST chunk before its data.
std::string wav_with_list(const std::string& pcm) {
    const std::string list = "LIST" + testing_support::le32(20) + "INFOISFT" + testing_support::le32(8) + "a ripper";
    return "RIFF" + testing_support::le32(uint32_t(4 + 24 + list.size() + 8 + pcm.size())) + wav_file("").substr(8, 28) +
           list + "data" + testing_support::le32(uint32_t(pcm.size())) + pcm;
}

// `pcm` with its frames [from, to) silent.
std::string silenced(std::string pcm, size_t from, size_t to) {
    std::fill(pcm.begin() + 4 * from, pcm.begin() + 4 * to, '\0');
    return pcm;
}

// What the copies hold decides the output and the verdict: every lost stretch of every copy is
// kept exactly (FLAC frames, --align's gaps), frames no copy holds fail the run unless a checksum
// verifies it, a WAV copy among FLAC ones is read from its own data chunk, a FLAC stream behind an
// ID3v2 tag is FLAC (also to --disc's pairing), and an audio run's output is as long as most copies.
TEST(Flac, TheOutputIsWhatTheCopiesHold) {
    ScopedTempDir dir;
    const std::string pcm = synth_pcm(FRAMES, 4000, 13);
    write_file(dir.file("t.wav"), wav_file(pcm));
    encode(dir, "t.wav", "t.flac");
    write_file(dir.file("s.wav"), wav_file(pcm.substr(0, 4 * 200000)));
    encode(dir, "s.wav", "short.flac");
    const std::string good = read_file(dir.file("t.flac"));
    const std::vector<size_t> at = frame_starts(good);
    ASSERT_EQ(FRAMES / BLOCKSIZE, at.size());
    const std::vector<std::vector<size_t>> lost = {{2, 12, 22, 32, 42}, {5, 15, 25, 35, 45}, {8, 18, 28, 38, 48}};
    for (size_t k = 0; k < 3; k++) write_file(dir.file(std::string(1, char('a' + k)) + ".flac"), bad_frames(good, at, lost[k]));
    write_file(dir.file("x.flac"), bad_frames(good, at, {20}));
    write_file(dir.file("z.flac"), bad_frames(good, at, {20, 60}));
    write_file(dir.file("list.wav"), wav_with_list(pcm));
    write_file(dir.file("tag.flac"), id3v2(false) + good);
    write_file(dir.file("foot.flac"), id3v2(true) + good);
    write_file(dir.file("cut.wav"), wav_file(pcm).substr(0, 44 + 4 * 100000));
    write_file(dir.file("empty.wav"), "");
    write_file(dir.file("kept.wav"), wav_file(pcm));
    // --align: a copy that sits out six stretches of one block, between which input 0 is damaged.
    std::string holes = pcm, bad = pcm;
    for (size_t k = 0; k < 6; k++) {
        const std::string noise = testing_support::random_bytes(4 * 12000, k + 1);
        holes.replace(4 * (20000 + 46000 * k), noise.size(), noise);
    }
    for (size_t k = 0; k < 8; k++) bad[4 * (225000 + 2000 * k)] ^= 0x11;
    write_file(dir.file("holes.wav"), wav_file(holes));
    write_file(dir.file("bad.wav"), wav_file(bad));
    // A copy read 420 frames late, and another recording.
    write_file(dir.file("late.wav"), wav_file(testing_support::shifted_pcm(pcm, -1680)));
    encode(dir, "late.wav", "late.flac");
    write_file(dir.file("other.wav"), wav_file(synth_pcm(FRAMES, 0, 21)));
    encode(dir, "other.wav", "other.flac");
    const std::string late = bracket("late.flac") + " misplaced: shifted by -1680 bytes (-420 frames); voted aligned\n";
    for (const char* rip : {"r1", "r2", "r3"}) ASSERT_EQ(0, mkdir(dir.file(rip).c_str(), 0755));
    write_file(dir.file("r1/01.flac"), good);
    write_file(dir.file("r2/01.flac"), id3v2(false) + good);
    write_file(dir.file("r3/01.flac"), good);
    for (const char* rip : {"r1/02.flac", "r2/02.flac", "r3/02.flac"}) write_file(dir.file(rip), bad_frames(good, at, {20}));

    const size_t gone = 20 * BLOCKSIZE;  // the first frame every copy of x, x, z lost
    const std::string held_by_none = "8192 frames held by no copy (first at " + at_time(gone) + ")\n";
    const std::string with_gap = silenced(pcm, gone, gone + 2 * BLOCKSIZE);
    char crc[16];
    snprintf(crc, sizeof crc, "crc32:%08x", testing_support::reference_crc32(with_gap));
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int exit_code;
        std::vector<std::string> says;  // lines of its standard output or error
        std::string out;                // the output, a .flac one decoded
        std::string want;
    };
    const Case cases[] = {
        {"five frames lost in each copy", {"a.flac", "b.flac", "c.flac", "-o", "o1.wav"}, 0,
         {loss_line("a.flac", 10 * BLOCKSIZE, 10, 2 * BLOCKSIZE), loss_line("c.flac", 10 * BLOCKSIZE, 10, 8 * BLOCKSIZE)},
         "o1.wav", wav_file(pcm)},
        {"a copy that sits out six stretches, --align", {"bad.wav", "holes.wav", "t.wav", "--align", "-o", "o2.wav"}, 0,
         {bracket("holes.wav") + " not placed from "}, "o2.wav", wav_file(pcm)},
        {"frames every copy lost", {"x.flac", "x.flac", "z.flac", "-o", "o3.wav"}, 1, {bracket("o3.wav") + " " + held_by_none},
         "o3.wav", wav_file(with_gap)},
        {"frames every copy lost, FLAC output", {"x.flac", "z.flac", "x.flac", "-o", "o4.flac"}, 1,
         {bracket("o4.flac") + " " + held_by_none}, "o4.flac", wav_file(with_gap)},
        {"frames every copy lost, a checksum verifies", {"x.flac", "x.flac", "z.flac", "-o", "o5.wav", "--expect", crc}, 0,
         {bracket("o5.wav") + " " + held_by_none, bracket("o5.wav") + " verified: "}, "o5.wav", wav_file(with_gap)},
        {"a WAV copy with a LIST chunk, FLAC output", {"list.wav", "t.flac", "list.wav", "-o", "o6.flac"}, 0, {}, "o6.flac",
         wav_file(pcm)},
        {"a WAV copy with a LIST chunk, WAV output", {"list.wav", "list.wav", "t.flac", "-o", "o7.wav"}, 0, {}, "o7.wav",
         wav_file(pcm)},
        {"FLAC behind ID3v2 tags", {"tag.flac", "foot.flac", "tag.flac", "-o", "o8.wav", "--ar"}, 0, {}, "o8.wav",
         wav_file(pcm)},
        {"direct I/O, FLAC and WAV copies, FLAC output", {"list.wav", "tag.flac", "t.wav", "-b", "-o", "o11.flac"}, 0, {},
         "o11.flac", wav_file(pcm)},
        {"an empty and a truncated copy, --ar, a good output there",
         {"t.wav", "cut.wav", "empty.wav", "t.wav", "-o", "kept.wav", "--ar"}, 0,
         {bracket("cut.wav") + " ends 200000 frames before the others, at 00:02.267\n",
          bracket("empty.wav") + " ends 300000 frames before the others, at 00:00.000\n"},
         "kept.wav", wav_file(pcm)},
        {"a FLAC copy of fewer frames", {"t.flac", "short.flac", "t.flac", "-o", "o9.wav"}, 0,
         {bracket("short.flac") + " ends 100000 frames before the others, at 00:04.535\n"}, "o9.wav", wav_file(pcm)},
        {"a truncated copy outside audio runs", {"t.wav", "cut.wav", "t.wav", "-o", "o10.wav"}, 0, {}, "o10.wav",
         wav_file(pcm).substr(0, 44 + 4 * 100000)},
        {"a misplaced FLAC copy holds what the others lost", {"x.flac", "z.flac", "late.flac", "-o", "o12.wav"}, 0,
         {late}, "o12.wav", wav_file(pcm)},
        {"a misplaced FLAC copy first, FLAC output", {"late.flac", "z.flac", "x.flac", "-o", "o13.flac"}, 0, {late},
         "o13.flac", wav_file(pcm)},
        {"--align over FLAC copies", {"x.flac", "late.flac", "z.flac", "--align", "-o", "o14.wav"}, 0,
         {bracket("late.flac") + " shifted by -1680 bytes (-420 frames)\n"}, "o14.wav", wav_file(pcm)},
        {"another recording sits out", {"a.flac", "other.flac", "b.flac", "c.flac", "-o", "o15.wav"}, 0,
         {bracket("other.flac") + " misplaced and no shift found: it sits out\n"}, "o15.wav", wav_file(pcm)},
        {"--disc, FLAC behind a tag and frames every copy lost", {"--disc", "r1", "r2", "r3", "-o", "d"}, 1,
         {"track 1/2  01.flac: 3 copies, 0 samples disputed, 0 guessed; restored",
          "track 2/2  02.flac: 3 copies, 0 samples disputed, 0 guessed; not verified: " + held_by_none},
         "d/01.flac", wav_file(pcm)},
    };
    for (const Case& c : cases) {
        const RunResult r = run_in(dir, c.args);
        EXPECT_EQ(c.exit_code, r.exit_code) << c.what << "\n" << r.err;
        for (const std::string& line : c.says) EXPECT_NE(std::string::npos, (r.out + r.err).find(line)) << c.what << ": " << line;
        std::string out = c.out;
        if (out.size() > 5 && out.substr(out.size() - 5) == ".flac") {
            ASSERT_EQ(0, run_program({"/usr/bin/flac", "-s", "-f", "-d", "-o", dir.file("d.wav"), dir.file(out)}).exit_code)
                << c.what;
            out = "d.wav";
        }
        EXPECT_TRUE(read_file(dir.file(out)) == c.want) << c.what;
    }
}

}  // namespace
