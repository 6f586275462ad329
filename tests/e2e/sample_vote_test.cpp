// The sample vote (-a) end to end: a synthesized stereo track and five damaged copies of it, in
// which a drive's interpolated samples outvote the true ones. The reference vote predicts the
// output, the progress glyphs and the hit scores.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "reference_vote.h"
#include "test_support.h"

using testing_support::read_file;
using testing_support::run_program;
using testing_support::RunOptions;
using testing_support::RunResult;
using testing_support::ScopedTempDir;
using testing_support::write_file;

namespace {

using testing_support::le32;

const size_t BLOCK = 2 * 1024 * 1024;
const size_t HEADER = 44;

unsigned get16(const std::string& data, size_t p) {
    return static_cast<unsigned char>(data[p]) | static_cast<unsigned char>(data[p + 1]) << 8;
}

void put16(std::string& data, size_t p, unsigned value) {
    data[p] = static_cast<char>(value & 0xFF);
    data[p + 1] = static_cast<char>((value >> 8) & 0xFF);
}

// `seconds` of 16-bit stereo at 44.1 kHz behind a canonical 44-byte header: a 440 Hz tone with its
// third harmonic on the left, a slowly swelling 554 Hz tone on the right.
std::string synthesize_track(double seconds) {
    const uint32_t rate = 44100;
    const uint32_t frames = static_cast<uint32_t>(seconds * rate);
    std::string track = "RIFF" + le32(36 + frames * 4) + "WAVEfmt " + le32(16) +
                        std::string("\x01\x00\x02\x00", 4) + le32(rate) + le32(rate * 4) +
                        std::string("\x04\x00\x10\x00", 4) + "data" + le32(frames * 4);
    const double two_pi = 6.283185307179586;
    for (uint32_t n = 0; n < frames; n++) {
        const double t = static_cast<double>(n) / rate;
        const double left = 9000 * sin(two_pi * 440 * t) + 2500 * sin(two_pi * 1320 * t);
        const double right = 7000 * sin(two_pi * 554.37 * t) * (0.6 + 0.4 * sin(two_pi * 0.5 * t));
        std::string frame(4, '\0');
        put16(frame, 0, static_cast<uint16_t>(static_cast<int16_t>(lround(left))));
        put16(frame, 2, static_cast<uint16_t>(static_cast<int16_t>(lround(right))));
        track += frame;
    }
    return track;
}

// Deterministic xorshift generator.
struct Rng {
    uint64_t x;
    explicit Rng(uint64_t seed) : x(seed * 0x9E3779B97F4A7C15ull + 1) {}
    uint64_t next() {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    }
    size_t below(size_t n) { return static_cast<size_t>(next() % n); }
};

using Expected = reference_vote::run_result;

Expected predict(const std::vector<std::string>& copies, bool sample_mode) {
    return reference_vote::vote_run(copies, sample_mode);
}

std::string bracket(const std::string& name) { return "[" + std::string(24 - name.size(), ' ') + name + "]"; }

// Runs copyvote on the copies (1.wav ...) in `dir` and checks everything it shows against `expected`;
// returns the output file.
std::string run_and_check(const ScopedTempDir& dir, size_t copies, bool sample_mode,
                          const Expected& expected) {
    const std::string out_name = sample_mode ? "samples.wav" : "bytes.wav";
    std::vector<std::string> argv = {testing_support::copyvote_path()};
    if (sample_mode) argv.push_back("-a");
    std::vector<std::string> names;
    for (size_t i = 0; i < copies; i++) names.push_back(std::to_string(i + 1) + ".wav");
    argv.insert(argv.end(), names.begin(), names.end());
    argv.insert(argv.end(), {"-o", out_name});
    RunOptions options;
    options.cwd = dir.path();
    const RunResult r = run_program(argv, options);

    EXPECT_EQ(0, r.exit_code);
    std::string err = bracket(out_name) + " OK\n";
    for (const std::string& name : names) err += bracket(name) + " OK\n";
    EXPECT_EQ(err + "\n" + expected.progress, r.err);

    uint64_t max_hits = 0;
    for (uint64_t h : expected.hits) max_hits = std::max(max_hits, h);
    std::string out = "\x1b[H\x1b[J";
    for (size_t i = 0; i < copies; i++) {
        char score[32];
        snprintf(score, sizeof score, " %5llu", static_cast<unsigned long long>(expected.hits[i]));
        out += bracket(names[i]) + score + (expected.hits[i] == max_hits ? " best" : "") + "\n";
    }
    char errors[64];
    snprintf(errors, sizeof errors, "%6llu KB = %llu bytes",
             static_cast<unsigned long long>(expected.disputed / 1024),
             static_cast<unsigned long long>(expected.disputed));
    const std::regex statistics(
        "\nCPU  : *[0-9]+\\.[0-9]{6} MHz   CPU TIME: *[0-9]+\\.[0-9]{3} s   errors:" + std::string(errors) +
        "\ntimer: 1000\\.000000 MHz       disk: *[0-9]+\\.[0-9]{3} s   total : *[0-9]+\\.[0-9]{3} s\n");
    EXPECT_EQ(out, r.out.substr(0, out.size()));
    EXPECT_TRUE(r.out.size() >= out.size() && std::regex_match(r.out.substr(out.size()), statistics))
        << r.out;

    const std::string restored = read_file(dir.file(out_name));
    EXPECT_EQ(expected.output.size(), restored.size());
    EXPECT_TRUE(expected.output == restored) << "the output differs from the reference vote";
    return restored;
}

void write_copies(const ScopedTempDir& dir, const std::vector<std::string>& copies) {
    for (size_t i = 0; i < copies.size(); i++)
        write_file(dir.file(std::to_string(i + 1) + ".wav"), copies[i]);
}

// Sample offsets (even, past the header) at which the copies differ from the track.
std::vector<size_t> damaged_offsets(const std::string& track, const std::string& restored) {
    std::vector<size_t> offsets;
    for (size_t p = HEADER; p + 1 < track.size(); p += 2) {
        if (get16(track, p) != get16(restored, p)) offsets.push_back(p);
    }
    return offsets;
}

// The ten ways to pick three of five copies, as bit masks.
std::vector<unsigned> three_of_five() {
    std::vector<unsigned> masks;
    for (unsigned m = 0; m < 32; m++) {
        if (__builtin_popcount(m) == 3) masks.push_back(m);
    }
    return masks;
}

struct Interpolation {
    size_t offset;
    unsigned mask;   // the copies that hold the interpolated value
    unsigned value;  // floor mean of the neighbours used
};

// Five copies of `track`: random single-sample damage in each copy, then `positions` samples at which
// three copies hold the floor mean of the track's samples `reach` bytes before and after (2: the
// neighbours in the file, which in stereo belong to the other channel; 4: the same channel).
// Interpolated samples stay four samples clear of every other damage, so each is alone in its word.
std::vector<std::string> damage(const std::string& track, size_t positions, size_t reach, uint64_t seed,
                                std::vector<Interpolation>* interpolations) {
    Rng rng(seed);
    const size_t samples = track.size() / 2;
    std::vector<bool> reserved(samples, false);
    auto reserve = [&](size_t index) {
        for (size_t i = index >= 4 ? index - 4 : 0; i <= index + 4 && i < samples; i++) reserved[i] = true;
    };
    std::vector<std::string> copies(5, track);
    for (std::string& copy : copies) {
        for (int i = 0; i < 120; i++) {
            const size_t index = HEADER / 2 + rng.below(samples - HEADER / 2);
            put16(copy, 2 * index, static_cast<unsigned>(rng.next() & 0xFFFF));
            reserve(index);
        }
    }
    const std::vector<unsigned> masks = three_of_five();
    while (interpolations->size() < positions) {
        const size_t index = HEADER / 2 + 4 + rng.below(samples - HEADER / 2 - 8);
        if (reserved[index]) continue;
        const size_t p = 2 * index;
        const unsigned value = (get16(track, p - reach) + get16(track, p + reach)) / 2;
        const long off = static_cast<long>(value) - static_cast<long>(get16(track, p));
        if (labs(off) < 2) continue;  // indistinguishable from the true sample
        const unsigned mask = masks[interpolations->size() % masks.size()];
        for (size_t c = 0; c < 5; c++) {
            if (mask & (1u << c)) put16(copies[c], p, value);
        }
        interpolations->push_back({p, mask, value});
        reserve(index);
    }
    return copies;
}

}  // namespace

TEST(SampleVoteE2E, InterpolatedSamplesHeldByAMajorityAreRestoredOnlyWithScreening) {
    const std::string track = synthesize_track(3.0);
    std::vector<Interpolation> interpolated;
    const std::vector<std::string> copies = damage(track, 200, 2, 1, &interpolated);
    ScopedTempDir dir;
    write_copies(dir, copies);

    const std::string by_bytes = run_and_check(dir, 5, false, predict(copies, false));
    const std::string by_samples = run_and_check(dir, 5, true, predict(copies, true));

    // The random damage sits in one copy at a time and both votes repair it; where three copies
    // agree on an interpolated value, the byte vote takes it everywhere.
    std::vector<size_t> interpolated_offsets;
    std::vector<size_t> kept_by_samples;
    for (const Interpolation& i : interpolated) {
        interpolated_offsets.push_back(i.offset);
        EXPECT_EQ(i.value, get16(by_bytes, i.offset)) << i.offset;
        // With screening the three interpolating copies lose, unless copies 0 and 1 both hold the
        // value and so share their word: input 1 is then passed over but its seed still credits
        // input 0 and itself, and they tie with the two true copies, lowest index first. Where
        // copy 2 joins them (mask 0b00111) the true copies 3 and 4 agree and are written uncounted.
        const bool seed_wins = (i.mask & 3u) == 3u && (i.mask & 4u) == 0;
        if (seed_wins) kept_by_samples.push_back(i.offset);
        EXPECT_EQ(seed_wins ? i.value : get16(track, i.offset), get16(by_samples, i.offset)) << i.offset;
    }
    std::sort(interpolated_offsets.begin(), interpolated_offsets.end());
    std::sort(kept_by_samples.begin(), kept_by_samples.end());
    EXPECT_EQ(interpolated_offsets, damaged_offsets(track, by_bytes));
    EXPECT_EQ(kept_by_samples, damaged_offsets(track, by_samples));
    EXPECT_EQ(40u, kept_by_samples.size());  // masks 0b01011 and 0b10011: two in ten
    EXPECT_EQ(track.substr(0, HEADER), by_samples.substr(0, HEADER));
}

TEST(SampleVoteE2E, SameChannelInterpolationIsGenerallyNotScreened) {
    // A drive that fills a gap from the same channel's samples (4 bytes away in stereo) gives values
    // the test of the neighbouring 16-bit values does not recognise: the sample vote then takes
    // them just as the byte vote does, unless the cross-channel mean happens to lie within 1.
    const std::string track = synthesize_track(3.0);
    std::vector<Interpolation> interpolated;
    const std::vector<std::string> copies = damage(track, 200, 4, 2, &interpolated);
    ScopedTempDir dir;
    write_copies(dir, copies);

    const std::string by_bytes = run_and_check(dir, 5, false, predict(copies, false));
    const std::string by_samples = run_and_check(dir, 5, true, predict(copies, true));

    size_t restored = 0;
    for (const Interpolation& i : interpolated) {
        EXPECT_EQ(i.value, get16(by_bytes, i.offset)) << i.offset;
        if (get16(by_samples, i.offset) == get16(track, i.offset)) restored++;
    }
    RecordProperty("restored", static_cast<int>(restored));
    EXPECT_LT(restored * 20, interpolated.size()) << restored << " of " << interpolated.size() << " restored";
    EXPECT_EQ(interpolated.size() - restored, damaged_offsets(track, by_samples).size());
}

TEST(SampleVoteE2E, BothVotesMatchTheReferenceAcrossABlockBoundaryAndAnOddEnd) {
    // Dense damage from a small set of values (groups, ties, shared words of varying length) and
    // planted corrected samples, at the start of the file, around the first block boundary and at
    // the odd end; the fifth copy is longer and holds its own bytes past the end of the others.
    const size_t length = BLOCK + 1001;
    const std::string base = testing_support::random_bytes(length + 37, 7);
    std::vector<std::string> copies(5, base.substr(0, length));
    copies[4] = base;
    Rng rng(3);
    const size_t regions[][2] = {{0, 96}, {BLOCK - 96, BLOCK + 96}, {length - 64, length}};
    for (const auto& region : regions) {
        for (size_t q = region[0]; q < region[1]; q++) {
            for (std::string& copy : copies) {
                const size_t roll = rng.below(12);
                if (roll < 2) copy[q] = static_cast<char>(copy[q] ^ (roll + 1));
                if (roll == 2 && q % 2 == 0 && q >= region[0] + 2 && q + 4 <= region[1]) {
                    put16(copy, q, (get16(copy, q - 2) + get16(copy, q + 2)) / 2 + rng.below(3) - 1);
                }
            }
        }
    }
    // Corrected-looking samples on both sides of the boundary, made with the neighbour that lies in
    // the other block: neither is tested.
    for (size_t c : {0, 2}) {
        put16(copies[c], BLOCK - 2, (get16(copies[c], BLOCK - 4) + get16(copies[c], BLOCK)) / 2);
        put16(copies[c], BLOCK, (get16(copies[c], BLOCK - 2) + get16(copies[c], BLOCK + 2)) / 2);
    }
    ScopedTempDir dir;
    write_copies(dir, copies);
    for (bool sample_mode : {false, true}) {
        const Expected expected = predict(copies, sample_mode);
        EXPECT_NE(std::string::npos, expected.progress.find(sample_mode ? " " : "#"));
        run_and_check(dir, 5, sample_mode, expected);
    }
}
