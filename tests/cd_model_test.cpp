// The guard of the --cd model: the wrong bytes that --cd leaves, per kind of damage, in material
// this test makes (two seconds of synthesized stereo music, damaged as rips of a scratched disc come
// out, in 3, 5 and 7 copies) against stated figures; and faults planted in the weights, each of
// which must move some kind off its figure. After `make cd-fit` writes new weights, state their
// figures here (the first test prints them).

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "vote/cd/cd_weights.h"
#include "vote/cd/model.h"
#include "material.h"
#include "vote_in_memory.h"

namespace {

// The material programs' generator: a seed names the same material on every machine.
using rng = Rng;

const uint64_t FRAMES = 88200, STEP = 4;
const double PI = 3.14159265358979323846;  // raw 16-bit stereo: --cd's layout without a header

int16_t get(const Bytes& b, uint64_t p) { return static_cast<int16_t>(b[p] | b[p + 1] << 8); }
void put(Bytes& b, uint64_t p, int64_t v) {
    b[p] = static_cast<uint8_t>(v);
    b[p + 1] = static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8);
}

// Two seconds of loud plucked chords and hi-hats with dither, a quiet passage, digital silence, and
// loud again.
Bytes music() {
    Bytes out(FRAMES * STEP);
    rng r{7};
    for (uint64_t i = 0; i < FRAMES; i++) {
        const double t = double(i) / 44100, beat = std::fmod(t, 0.125);
        const double u = double(i) / FRAMES, level = u < 0.45 ? 9000 : u < 0.6 ? 200 : u < 0.65 ? 0 : 7000;
        for (uint64_t c = 0; c < 2; c++) {
            double x = 0;
            for (int h = 1; h <= 4; h++)
                x += std::sin(2 * PI * (196.0 + 98 * c) * h * t) * std::exp(-beat * 9 * h) / h;
            x += 0.3 * std::sin(2 * PI * 55 * t);
            // A hi-hat on the off-beats: noise, where a concealment misses by hundreds.
            const double off = std::fmod(t + 0.0625, 0.125);
            x += 0.25 * (double(r.below(2001)) / 1000 - 1) * std::exp(-off * 60);
            const double dither = level > 0 ? double(r.below(3)) - 1 : 0;
            put(out, i * STEP + 2 * c, std::lround(level * x * 0.8 + dither));
        }
    }
    return out;
}

enum kind { SAMPLES, INTERP, HOLD, MUTE, SILENCE, MIX, KINDS };
const char* const KIND_NAMES[KINDS] = {"samples", "interp", "hold", "mute", "silence", "mix"};

// A sample offset with `before` and `after` frames of its channel around it.
uint64_t place(rng& r, uint64_t before, uint64_t after) {
    return r.between(before, FRAMES - 1 - after) * STEP + 2 * r.below(2);
}

// What a drive writes over `len` samples at p: the floor line between the samples around them,
// the sample before them, or zeros in every channel of the frames.
void line(Bytes& c, const Bytes& o, uint64_t p, uint64_t len) {
    const int64_t x0 = get(o, p - STEP), x1 = get(o, p + len * STEP);
    for (uint64_t k = 1; k <= len; k++) {
        const int64_t d = (x1 - x0) * int64_t(k), n = int64_t(len + 1);
        put(c, p + (k - 1) * STEP, x0 + d / n - (d % n < 0));
    }
}
void hold(Bytes& c, const Bytes& o, uint64_t p, uint64_t len) {
    for (uint64_t k = 0; k < len; k++) put(c, p + k * STEP, get(o, p - STEP));
}
void mute(Bytes& c, uint64_t p, uint64_t len) {
    for (uint64_t q = p / STEP * STEP; q < (p / STEP + len) * STEP; q++) c[q] = 0;
}

// Conceals a run of kind k, `len` samples long (0: a length the kind's drives use), at one place
// in `copies` of the n copies.
void conceal(std::vector<Bytes>& cs, const Bytes& o, kind k, uint64_t copies, uint64_t len, rng& r) {
    if (len == 0) len = k == INTERP ? r.between(2, 8) : k == HOLD ? r.between(1, 4) : r.between(2, 32);
    const uint64_t p = place(r, 1, len + 1), n = cs.size();
    for (uint64_t taken = 0, i = r.below(n); taken < copies; taken++, i = (i + 1) % n) {
        if (k == INTERP) line(cs[i], o, p, len);
        if (k == HOLD) hold(cs[i], o, p, len);
        if (k == MUTE) mute(cs[i], p, len);
    }
}

// One XOR of a nonzero byte into the same byte of `copies` copies from a random one on.
void misread(std::vector<Bytes>& cs, uint64_t at, uint64_t copies, rng& r) {
    const uint8_t flip = static_cast<uint8_t>(1 + r.below(255));
    for (uint64_t taken = 0, i = r.below(cs.size()); taken < copies; taken++, i = (i + 1) % cs.size())
        cs[i][at] ^= flip;
}

std::vector<Bytes> damaged(const Bytes& o, kind k, uint64_t n, uint64_t seed) {
    rng r{seed};
    std::vector<Bytes> cs(n, o);
    for (uint64_t e = 0; e < 120 * n; e++) misread(cs, r.below(o.size()), 1, r);  // lone read errors
    for (uint64_t e = 0; e < 8 * n; e++) {  // bursts in which about half of the bytes are wrong
        Bytes& c = cs[r.below(n)];
        const uint64_t len = r.between(2, 200), at = r.below(o.size() - len);
        for (uint64_t q = at; q < at + len; q++) c[q] ^= r.below(2) ? uint8_t(1 + r.below(255)) : 0;
    }
    const uint64_t shared = n - 1;
    for (uint64_t e = 0; e < 300; e++) {
        const uint64_t copies = r.between(1, shared);
        if (k == SAMPLES) conceal(cs, o, INTERP, copies, 1, r);
        if (k == SAMPLES && e % 3 == 0) misread(cs, place(r, 0, 0) + r.below(2), 2, r);
        if (k == INTERP || k == HOLD) conceal(cs, o, k, copies, 0, r);
        if (k == MUTE && e % 4 == 0) conceal(cs, o, MUTE, copies < 2 ? copies : 2, 0, r);
        if (k == SILENCE)
            misread(cs, r.between(FRAMES * 61 / 100, FRAMES * 64 / 100) * STEP + r.below(4), 2, r);
        if (k == MIX) {
            // A scratch: each copy reads it right, interpolates, holds, mutes or returns garbage.
            const uint64_t len = r.between(1, 8), p = place(r, 1, len + 1);
            for (Bytes& c : cs) {
                const uint64_t roll = r.below(100);
                if (roll >= 35 && roll < 60) line(c, o, p, len);
                if (roll >= 60 && roll < 75) hold(c, o, p, len < 4 ? len : 4);
                if (roll >= 75 && roll < 85) mute(c, p, len + 1);
                for (uint64_t q = 0; roll >= 85 && q < len; q++) {
                    c[p + q * STEP] ^= 0x5A;
                    c[p + q * STEP + 1] ^= r.below(2) ? 0xA5 : 0;
                }
            }
        }
    }
    return cs;
}

// The rows: every kind in 3, 5 and 7 copies, made once.
struct row {
    kind k;
    std::vector<Bytes> copies;
};

const std::vector<row>& rows(const Bytes& original) {
    static const std::vector<row> all = [&] {
        std::vector<row> out;
        for (int k = 0; k < KINDS; k++) {
            for (uint64_t n : {3, 5, 7}) out.push_back({kind(k), damaged(original, kind(k), n, 100 * k + n)});
        }
        return out;
    }();
    return all;
}

// The wrong bytes that --cd with model m leaves in each row, in the order of rows().
std::vector<uint64_t> wrong_per_row(const cd_model& m) {
    static const Bytes original = music();
    std::vector<uint64_t> wrong;
    memory_vote how;
    how.cd = true;
    how.model = &m;
    for (const row& r : rows(original)) {
        std::vector<const Bytes*> in;
        for (const Bytes& c : r.copies) in.push_back(&c);
        const Bytes voted = vote_in_memory(in, how);
        wrong.push_back(0);
        for (uint64_t i = 0; i < original.size(); i++) wrong.back() += voted[i] != original[i];
    }
    return wrong;
}

// The fitted weights' figures, kind by kind with 3, 5 and 7 copies, and the margin a figure may
// stray by: a byte and 2 %.
const uint64_t FIGURES[3 * KINDS] = {
    25,  7,   10,   // samples
    19,  11,  12,   // interp
    20,  8,   2,    // hold
    83,  0,   0,    // mute
    43,  8,   11,   // silence
    454, 146, 116,  // mix
};
bool on_figures(const std::vector<uint64_t>& wrong) {
    for (unsigned i = 0; i < 3 * KINDS; i++) {
        if (std::fabs(double(wrong[i]) - double(FIGURES[i])) > 1 + 0.02 * double(FIGURES[i])) return false;
    }
    return true;
}

std::string listed(const std::vector<uint64_t>& wrong) {
    std::string s;
    for (unsigned i = 0; i < 3 * KINDS; i++) {
        s += std::string(KIND_NAMES[i / 3]) + "/" + std::to_string(3 + 2 * (i % 3)) + " " +
             std::to_string(wrong[i]) + "  ";
    }
    return s;
}

TEST(CdModelGuard, TheFittedWeightsLeaveTheStatedWrongBytes) {
    const std::vector<uint64_t> wrong = wrong_per_row(CD_MODEL);
    EXPECT_TRUE(on_figures(wrong)) << listed(wrong);
}

TEST(CdModelGuard, EveryPlantedFaultMovesAFigure) {
    struct fault {
        std::string what;
        cd_model model;
    };
    std::vector<fault> faults = {
        {"bias 0", CD_MODEL}, {"hold 0", CD_MODEL}, {"two_bytes with its sign flipped", CD_MODEL}};
    faults[0].model.bias = 0;
    faults[1].model.weight[cd_feature_index("hold")] = 0;
    faults[2].model.weight[cd_feature_index("two_bytes")] *= -1;
    for (const char* const* name = CD_WEIGHTS_THAT_MATTER; *name; name++) {
        ASSERT_LE(0, cd_feature_index(*name)) << *name;
        faults.push_back({std::string(*name) + " 0", CD_MODEL});
        faults.back().model.weight[cd_feature_index(*name)] = 0;
    }
    for (const fault& f : faults) {
        const std::vector<uint64_t> wrong = wrong_per_row(f.model);
        EXPECT_FALSE(on_figures(wrong)) << f.what << " left " << listed(wrong);
    }
}

}  // namespace
