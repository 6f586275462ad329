// --align: copies ripped with different read offsets, voted aligned.

#include <gtest/gtest.h>

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
    head += bracket(moved.back()) + " no convincing shift found; voted as it is\n\nprocessing:\n";
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

// Standard input cannot be read by position: the run is refused before anything is written.
TEST(Align, ACopyOnStandardInputIsRefused) {
    ScopedTempDir dir;
    write_all(dir, {"1.wav", "2.wav"}, "abcdefgh");
    RunOptions options = in_dir(dir.path());
    options.stdin_data = "abcdefgh";
    const RunResult r = run_copyvote({"1.wav", "-", "2.wav", "--align"}, options);
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out, CLEAR_SCREEN + error_line("--align: - cannot be read by position (a pipe, terminal or "
                                               "standard input); nothing was written",
                                               29));
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(testing_support::file_exists(dir.file("out.wav")));
}

}  // namespace
