// --align: copies ripped with different read offsets, voted aligned.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "e2e_util.h"
#include "test_support.h"

using namespace e2e;
using testing_support::read_file;
using testing_support::ScopedTempDir;
using testing_support::shifted_pcm;
using testing_support::synth_pcm;
using testing_support::wav_file;

namespace {

using testing_support::le32;

const size_t FRAMES = 150000;
const size_t EDGE = 12000;  // the largest shift below, in bytes

// Bursts of wrong bytes, at places that differ with `seed`.
std::string damaged(std::string pcm, size_t seed) {
    for (size_t at = 997 * seed; at + 8 < pcm.size(); at += 7919 + 13 * seed)
        pcm[at] = static_cast<char>(~pcm[at]);
    return pcm;
}

std::string shift_line(const std::string& name, long bytes, long frames, const char* unit) {
    char text[96];
    snprintf(text, sizeof text, " shifted by %+ld bytes (%+ld %s)\n", bytes, frames, unit);
    return bracket(name) + text;
}

std::vector<std::string> digests(const std::string& out, size_t n) {
    std::vector<std::string> d;
    for (size_t at = CLEAR_SCREEN.size(); d.size() < n; at = out.find('\n', at) + 1)
        d.push_back(out.substr(at, 32));
    return d;
}

// Damaged copies, four of them shifted, and one of another track: the aligned vote of the shifted
// copies is the vote of the same copies unshifted, except within the shift at both ends. Each
// input's digest is that of its whole file.
TEST(Align, ShiftedCopiesVoteAsTheUnshiftedOnes) {
    ScopedTempDir dir;
    const std::string pcm = synth_pcm(FRAMES, 8000, 1);
    const std::vector<long> shifts = {0, 4, -1200, 12000, -11996, 0};
    std::vector<std::string> plain, moved;
    for (size_t i = 0; i < shifts.size(); i++) {
        const std::string copy = i + 1 < shifts.size() ? damaged(pcm, i + 1) : synth_pcm(FRAMES, 0, 7);
        plain.push_back("p" + std::to_string(i) + ".wav");
        moved.push_back("s" + std::to_string(i) + ".wav");
        testing_support::write_file(dir.file(plain.back()), wav_file(copy));
        testing_support::write_file(dir.file(moved.back()), wav_file(shifted_pcm(copy, shifts[i])));
    }
    std::vector<std::string> args = plain;
    args.insert(args.end(), {"-o", "plain.out"});
    ASSERT_EQ(run_copyvote(args, in_dir(dir.path())).exit_code, 0);
    args = moved;
    args.insert(args.end(), {"-o", "moved.out", "--align", "-b", "-md5"});
    const RunResult aligned = run_copyvote(args, in_dir(dir.path()));
    args.resize(moved.size());
    args.insert(args.end(), {"-o", "whole.out", "-md5"});
    const RunResult unaligned = run_copyvote(args, in_dir(dir.path()));

    EXPECT_EQ(aligned.exit_code, 0);
    std::string head = status_line("moved.out");
    for (const std::string& name : moved) head += status_line(name);
    for (size_t i = 1; i + 1 < shifts.size(); i++)
        head += shift_line(moved[i], shifts[i], shifts[i] / 4, "frames");
    head += bracket(moved.back()) + " no convincing shift within 4096 frames either way; it sits out the vote\n\nprocessing:\n";
    EXPECT_EQ(aligned.err.substr(0, head.size()), head);
    EXPECT_EQ(digests(aligned.out, moved.size()), digests(unaligned.out, moved.size()));

    const std::string want = read_file(dir.file("plain.out")), got = read_file(dir.file("moved.out"));
    ASSERT_EQ(got.size(), want.size());
    const size_t data = 44;
    EXPECT_EQ(got.substr(0, data), want.substr(0, data));
    EXPECT_TRUE(got.substr(data + EDGE, got.size() - data - 2 * EDGE) ==
                want.substr(data + EDGE, want.size() - data - 2 * EDGE));
}

// Data that is not WAV is shifted by whole 16-bit samples; undamaged copies give input 0 back.
TEST(Align, RawCopiesAreShiftedBySamples) {
    ScopedTempDir dir;
    const std::string pcm = synth_pcm(FRAMES, 0, 3);
    write_all(dir, {"0.raw"}, pcm);
    write_all(dir, {"1.raw"}, shifted_pcm(pcm, 2));
    write_all(dir, {"2.raw"}, shifted_pcm(pcm, -6002));
    const RunResult r = run_copyvote({"0.raw", "1.raw", "2.raw", "--align"}, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 0);
    const std::string head = status_lines("out.wav", {"0.raw", "1.raw", "2.raw"});
    const std::string want = head.substr(0, head.size() - 1) + shift_line("1.raw", 2, 1, "samples") +
                             shift_line("2.raw", -6002, -3001, "samples") + "\nprocessing:\n";
    EXPECT_EQ(r.err.substr(0, want.size()), want);
    EXPECT_TRUE(read_file(dir.file("out.wav")) == pcm);
}

// Inputs that cannot be read by position are refused before anything is written.
TEST(Align, InputsNotReadableByPositionAreRefused) {
    const struct {
        const char* copy;  // the second input
        const char* reason;
    } cases[] = {
        {"-", "a pipe, terminal or standard input cannot be aligned (it cannot be read by position)"},
        {"dir", "a directory cannot be aligned"},
    };
    for (const auto& c : cases) {
        ScopedTempDir dir;
        write_all(dir, {"1.wav", "2.wav"}, "abcdefgh");
        mkdir(dir.file("dir").c_str(), 0755);
        RunOptions options = in_dir(dir.path());
        options.stdin_data = "abcdefgh";
        const RunResult r = run_copyvote({"1.wav", c.copy, "2.wav", "--align"}, options);
        EXPECT_EQ(r.exit_code, 255) << c.copy;
        EXPECT_EQ(r.out, CLEAR_SCREEN) << c.copy;
        EXPECT_EQ(r.err, std::string("copyvote: read ") + c.copy + ": " + c.reason + "\n");
        EXPECT_FALSE(testing_support::file_exists(dir.file("out.wav"))) << c.copy;
    }
}

// ---- What each copy holds: only its audio votes, and only where it has some ----

std::string chunk(const char* tag, const std::string& body) { return tag + le32(uint32_t(body.size())) + body; }

// A WAV file of `pcm` whose data chunk states `data_size`, with chunks before and after it.
std::string wav_with(const std::string& pcm, uint32_t data_size, const std::string& before = "",
                     const std::string& after = "") {
    const std::string w = wav_file(pcm);
    return w.substr(0, 36) + before + "data" + le32(data_size) + pcm + after;
}

// Whole samples of `pcm` changed (XOR `x`) at each data offset of `at`.
std::string hit(std::string pcm, const std::vector<size_t>& at, char x) {
    for (size_t p : at) pcm[p] = static_cast<char>(pcm[p] ^ x), pcm[p + 1] = static_cast<char>(pcm[p + 1] ^ x);
    return pcm;
}

struct FaultCase {
    const char* what;
    std::vector<std::string> inputs;
    std::vector<std::string> extra;  // switches besides --align
    long shift;                      // bytes, of every copy but input 0's
    std::string votes;               // the glyphs of the one disputed block
    std::vector<unsigned long long> hits;
    unsigned long long disputed;
    std::string output;
    std::string ends = "";  // the lines of copies that end before the others
};

// Three copies in which input 0 is damaged at eight samples (five, with a truncated copy, for
// the tie that input 0's wrong bytes must not win): the output is input 0's file with the audio
// repaired.
std::vector<FaultCase> fault_cases(const std::string& pcm) {
    std::vector<size_t> at;
    for (size_t k = 0; k < 8; k++) at.push_back(pcm.size() / 2 + 1000 + 4000 * k);
    const std::string bad = hit(pcm, at, 0x11), other = hit(pcm, at, 0x22);
    const uint32_t size = uint32_t(pcm.size());
    const std::string list = chunk("LIST", "INFOISFT" + le32(12) + "a test rip\0\0"), trailer = chunk("id3 ", "tags");
    const std::string art = chunk("LIST", testing_support::random_bytes(70000, 9));
    const std::string cut = wav_file(pcm).substr(0, 44 + pcm.size() / 2);
    const std::string bytes16(16, '#'), samples8(8, '#');
    const std::string ends = bracket("4.wav") + " ends 50000 frames before the others, at 00:01.133\n";
    return {
        {"data size 0", {wav_with(bad, 0), wav_with(pcm, 0), wav_with(pcm, 0)}, {}, 0, bytes16, {0, 16, 16}, 16,
         wav_with(pcm, 0)},
        {"data size 0xFFFFFFFF", {wav_with(bad, ~0u), wav_with(pcm, ~0u), wav_with(pcm, ~0u)}, {}, 0, bytes16,
         {0, 16, 16}, 16, wav_with(pcm, ~0u)},
        {"other chunks in the copies' headers, a chunk after input 0's data",
         {wav_with(bad, size, "", trailer), wav_with(pcm, size, list), wav_with(pcm, size, list + list)}, {}, 0,
         bytes16, {0, 16, 16}, 16, wav_with(pcm, size, "", trailer)},
        {"a data chunk behind 70000 bytes of tags, copies shifted",
         {wav_with(bad, size, art), wav_with(shifted_pcm(pcm, 400), size, art),
          wav_with(shifted_pcm(pcm, 400), size, art)},
         {}, 400, bytes16, {0, 16, 16}, 16, wav_with(pcm, size, art)},
        {"a truncated fifth copy", {wav_file(bad), wav_file(pcm), wav_file(pcm), wav_file(other), cut}, {}, 0,
         bytes16, {0, 16, 16, 0, 0}, 16, wav_file(pcm), ends},
        {"a truncated fifth copy, --cd", {wav_file(bad), wav_file(pcm), wav_file(pcm), wav_file(other), cut},
         {"--cd"}, 0, samples8, {0, 8, 8, 0, 0}, 16, wav_file(pcm), ends},
    };
}

TEST(Align, CopiesVoteOnlyTheAudioTheyHold) {
    const std::string pcm = synth_pcm(100000, 0, 5);
    for (const FaultCase& c : fault_cases(pcm)) {
        ScopedTempDir dir;
        std::vector<std::string> names;
        for (size_t i = 0; i < c.inputs.size(); i++) {
            names.push_back(std::to_string(i) + ".wav");
            testing_support::write_file(dir.file(names.back()), c.inputs[i]);
        }
        std::vector<std::string> args = names;
        args.push_back("--align");
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const RunResult r = run_copyvote(args, in_dir(dir.path()));
        EXPECT_EQ(r.exit_code, 0) << c.what;
        std::string err = status_lines("out.wav", names);
        err.pop_back();
        for (size_t i = 1; c.shift != 0 && i < names.size(); i++) err += shift_line(names[i], c.shift, c.shift / 4, "frames");
        const std::string n = dots(names.size());
        err += "\nprocessing:\n" + n + "<\n" + c.votes + "\n\n" + n + "|\n";
        EXPECT_EQ(r.err, err) << c.what;
        EXPECT_TRUE(ends_with_statistics(r.out, CLEAR_SCREEN + c.ends + report(names, c.hits), c.disputed)) << c.what;
        EXPECT_TRUE(read_file(dir.file("out.wav")) == c.output) << c.what;
    }
}

}  // namespace

namespace {

size_t wrong_bytes(const std::string& a, const std::string& b) {
    size_t n = a.size() > b.size() ? a.size() - b.size() : b.size() - a.size();
    for (size_t k = 0; k < a.size() && k < b.size(); k++) n += a[k] != b[k];
    return n;
}

// A copy whose offset changes part way (frames dropped early, repeated later) is placed right on
// each side of each change, found to the frame; the vote of all five is then no worse than that
// of the other four alone, by bytes and with --cd, and the map lists the changes.
TEST(Align, ACopyWhoseOffsetChangesIsPlacedOnEachSide) {
    const size_t frames = 8 * 44100;
    const std::string pcm = synth_pcm(frames, 2000, 5);
    std::string moving = damaged(pcm, 9);
    const size_t drop = frames / 10 * 4, repeat = frames * 6 / 10 * 4;  // at 00:00.800 and 00:04.800
    moving = moving.substr(0, drop) + moving.substr(drop + 20);                 // 5 frames dropped
    moving = moving.substr(0, repeat) + moving.substr(repeat - 12, 12) + moving.substr(repeat);  // 3 repeated
    moving.resize(pcm.size(), '\0');
    ScopedTempDir dir;
    const std::vector<std::string> names = {"1.wav", "2.wav", "3.wav", "4.wav", "5.wav"};
    for (size_t i = 0; i < 4; i++) testing_support::write_file(dir.file(names[i]), wav_file(damaged(pcm, i + 1)));
    testing_support::write_file(dir.file(names[4]), wav_file(moving));
    for (const std::vector<std::string>& vote : {std::vector<std::string>{}, std::vector<std::string>{"--cd"}}) {
        std::vector<std::string> four(names.begin(), names.begin() + 4);
        four.insert(four.end(), {"-o", "four.wav"});
        four.insert(four.end(), vote.begin(), vote.end());
        ASSERT_EQ(run_copyvote(four, in_dir(dir.path())).exit_code, 0);
        std::vector<std::string> all = names;
        all.insert(all.end(), {"--align", "--map", "m.tsv"});
        all.insert(all.end(), vote.begin(), vote.end());
        const RunResult r = run_copyvote(all, in_dir(dir.path()));
        ASSERT_EQ(r.exit_code, 0);
        const std::string lines = bracket("5.wav") + " shifted by +0 bytes (+0 frames) from 00:00.000\n" +
                                  bracket("5.wav") + " shifted by -20 bytes (-5 frames) from 00:00.800\n" +
                                  bracket("5.wav") + " shifted by -8 bytes (-2 frames) from 00:04.800\n";
        EXPECT_NE(r.err.find(lines), std::string::npos) << r.err;
        const std::string original = wav_file(pcm);
        const size_t alone = wrong_bytes(read_file(dir.file("four.wav")), original);
        EXPECT_LE(wrong_bytes(read_file(dir.file("out.wav")), original), alone + alone / 10) << vote.size();
        // Each change begins at the first frame the new shift holds and the old one does not.
        EXPECT_NE(read_file(dir.file("m.tsv")).find("# shift\t4\t44\t0\n# shift\t4\t" + std::to_string(44 + drop + 20) +
                                                    "\t-20\n# shift\t4\t" + std::to_string(44 + repeat + 20) + "\t-8\n"),
                  std::string::npos);
    }
}

}  // namespace

namespace {

// Audio runs without --align probe every copy against the others first: a misplaced copy is
// searched, said, voted aligned and noted in the map and the record; another recording sits out;
// a run that is no audio run is voted as it always was. Copies a and b are damaged at different
// samples, so that they alone leave wrong bytes (ties) that the misplaced copy m settles once it
// is voted aligned.
TEST(Align, AudioRunsProbeEveryCopy) {
    const std::string pcm = synth_pcm(FRAMES, 2000, 4);
    std::vector<size_t> at_a, at_b;
    for (size_t k = 0; k < 8; k++) at_a.push_back(40000 + 60000 * k), at_b.push_back(70000 + 60000 * k);
    ScopedTempDir dir;
    testing_support::write_file(dir.file("a.wav"), wav_file(hit(pcm, at_a, 0x11)));
    testing_support::write_file(dir.file("b.wav"), wav_file(hit(pcm, at_b, 0x22)));
    testing_support::write_file(dir.file("c.wav"), wav_file(hit(pcm, {55000}, 0x33)));
    testing_support::write_file(dir.file("m.wav"), wav_file(shifted_pcm(pcm, -1680)));
    testing_support::write_file(dir.file("o.wav"), wav_file(synth_pcm(FRAMES, 0, 7)));
    const std::string found = bracket("m.wav") + " misplaced: shifted by -1680 bytes (-420 frames); voted aligned\n";
    const struct {
        const char* what;
        std::vector<std::string> args;
        std::string says;  // the line on standard error before the blank one, or "" for none
        bool original;     // the output is the original
    } cases[] = {
        {"a misplaced copy, --cd", {"a.wav", "b.wav", "m.wav", "--cd", "--map", "m.tsv", "--report", "r.json"}, found, true},
        {"the first copy misplaced, --ar", {"m.wav", "a.wav", "b.wav", "--ar"}, found, true},
        {"another recording, --track",
         {"a.wav", "o.wav", "b.wav", "c.wav", "--track", "1/1"},
         bracket("o.wav") + " misplaced and no shift found: it sits out\n",
         true},
        {"no audio run: nothing is probed", {"a.wav", "b.wav", "m.wav"}, "", false},
        {"another recording beside a and b, which alone leave ties", {"a.wav", "b.wav", "o.wav", "--ar"},
         bracket("o.wav") + " misplaced and no shift found: it sits out\n", false},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-o", "out.wav"});
        const RunResult r = run_copyvote(args, in_dir(dir.path()));
        EXPECT_EQ(r.exit_code, 0) << c.what << r.err;
        const size_t list_end = r.err.find("\nprocessing:\n");
        const std::string list = r.err.substr(0, list_end);
        EXPECT_TRUE(list_end != std::string::npos && list.size() >= c.says.size() &&
                    list.compare(list.size() - c.says.size(), c.says.size(), c.says) == 0)
            << c.what << "\n" << r.err;
        EXPECT_EQ(list.find("misplaced") == std::string::npos, c.says.empty()) << c.what;
        EXPECT_EQ(read_file(dir.file("out.wav")) == wav_file(pcm), c.original) << c.what;
    }
    EXPECT_NE(read_file(dir.file("m.tsv")).find("# shift\t2\t44\t-1680\n"), std::string::npos);
    EXPECT_NE(read_file(dir.file("r.json")).find("\"shift_bytes\": -1680"), std::string::npos);
}

}  // namespace
