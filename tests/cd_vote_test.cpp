// The --cd rule: fingerprints, runs decided on the evidence of the agreed samples around them,
// the header voted as bytes, and the layout of a first input.

#include "vote/cd_vote.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"
#include "vote/cd/evidence.h"
#include "vote/cd/predictor.h"

namespace {

using testing_support::le16;
using testing_support::le32;

// The rule's tables, zero-filled once, as a run makes them.
cd_scratch& scratch() {
    static cd_scratch* tables = new cd_scratch();
    return *tables;
}

const uint64_t FRAMES = 400;

// Loud, rough audio: almost no sample lies on a line through its neighbours, so a fingerprint
// there is strong evidence. A slow ramp: nearly every sample does, so there it is none.
int16_t loud(uint64_t k) {
    uint64_t h = (k + 1) * 0x9E3779B97F4A7C15ull;
    h = (h ^ (h >> 29)) * 0xBF58476D1CE4E5B9ull;
    return static_cast<int16_t>(static_cast<int64_t>((h >> 32) % 6001) - 3000);
}
int16_t ramp(uint64_t k) { return static_cast<int16_t>(k); }
int16_t silence(uint64_t) { return 0; }

// n copies of a signal (the same in every channel) in one block of raw audio.
struct copies {
    uint64_t channels;
    std::vector<std::vector<uint8_t>> blocks;
    std::vector<const uint8_t*> in;
    cd_layout layout;
    copies(uint64_t n, uint64_t ch, int16_t (*signal)(uint64_t)) : channels(ch), blocks(n) {
        for (auto& b : blocks) {
            b.resize(FRAMES * 2 * ch + 8);
            for (uint64_t f = 0; f < FRAMES; f++) {
                for (uint64_t c = 0; c < ch; c++) put(b, f, c, signal(f));
            }
        }
        layout.channels = ch;
    }
    uint64_t offset(uint64_t f, uint64_t c = 0) const { return (f * channels + c) * 2; }
    void put(std::vector<uint8_t>& b, uint64_t f, uint64_t c, int16_t v) const {
        b[offset(f, c)] = static_cast<uint8_t>(v);
        b[offset(f, c) + 1] = static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8);
    }
    int16_t at(uint64_t i, uint64_t f, uint64_t c = 0) const {
        return static_cast<int16_t>(blocks[i][offset(f, c)] | blocks[i][offset(f, c) + 1] << 8);
    }
    // What a drive writes in copy i over `len` frames of channel 0 from frame f.
    void line(uint64_t i, uint64_t f, uint64_t len) {
        const int64_t x0 = at(i, f - 1), x1 = at(i, f + len);
        for (uint64_t k = 1; k <= len; k++) {
            const int64_t d = (x1 - x0) * static_cast<int64_t>(k);
            const int64_t q = d / static_cast<int64_t>(len + 1) - (d % static_cast<int64_t>(len + 1) < 0);
            put(blocks[i], f + k - 1, 0, static_cast<int16_t>(x0 + q));
        }
    }
    void hold(uint64_t i, uint64_t f, uint64_t len) {
        for (uint64_t k = 0; k < len; k++) put(blocks[i], f + k, 0, at(i, f - 1));
    }
    void mute(uint64_t i, uint64_t f, uint64_t len) {
        for (uint64_t k = 0; k < len; k++) {
            for (uint64_t c = 0; c < channels; c++) put(blocks[i], f + k, c, 0);
        }
    }
    void set(uint64_t i, uint64_t f, int16_t v) { put(blocks[i], f, 0, v); }
    cd_block block() {
        in.clear();
        for (auto& b : blocks) in.push_back(b.data());
        return {in.data(), in.size(), FRAMES * 2 * channels, 0, &layout};
    }
};

TEST(CdRule, FingerprintsAreTheCopysOwnConcealments) {
    copies c(3, 2, loud);
    c.line(0, 100, 1);
    c.line(0, 200, 5);
    c.hold(1, 100, 3);
    c.mute(2, 100, 6);
    c.set(2, 300, 7);
    c.line(1, 300, 1);
    const cd_block b = c.block();
    struct {
        uint64_t copy, frame, frames;
        cd_print print;
    } cases[] = {
        {0, 100, 1, CD_PRINT_LINE}, {0, 200, 5, CD_PRINT_LINE},
        {0, 202, 2, CD_PRINT_LINE},  // a part of a longer concealed stretch
        {1, 100, 3, CD_PRINT_HOLD}, {2, 100, 6, CD_PRINT_MUTE},
        {2, 300, 1, CD_PRINT_NONE}, {1, 300, 1, CD_PRINT_LINE},  {0, 0, 1, CD_PRINT_NONE},    // no sample before
        {1, 399, 1, CD_PRINT_NONE},                                                           // no sample after
    };
    for (const auto& t : cases) {
        EXPECT_EQ(t.print, cd_fingerprint(b, t.copy, c.offset(t.frame), t.frames)) << t.copy << " at " << t.frame;
    }
}

struct change {
    enum { LINE, HOLD, MUTE, SET } what;
    uint64_t copy, frame, len;
    int16_t value;
};

struct run_case {
    const char* what;
    uint64_t n;
    int16_t (*signal)(uint64_t);
    std::vector<change> changes;
    uint64_t winner;
    cd_outcome outcome;
    uint64_t frames;
    std::vector<uint64_t> hits;
    // What the rip has shown so far: outvoted groups of two or more copies with a line or a
    // hold, of all such groups.
    uint64_t shared_prints = 0, outvoted = 0;
};

TEST(CdRule, DecidesEachRunOnItsEvidence) {
    const run_case cases[] = {
        {"loud: a run interpolated in two of three copies is overruled",
         3, loud, {{change::LINE, 0, 100, 3, 0}, {change::LINE, 1, 100, 3, 0}}, 2, CD_OVERRULED, 3, {0, 0, 0}},
        {"... and one held in four of five by a pair",
         5, loud, {{change::HOLD, 0, 100, 2, 0}, {change::HOLD, 1, 100, 2, 0}, {change::HOLD, 2, 100, 2, 0}},
         3, CD_OVERRULED, 2, {0, 0, 0, 1, 1}},
        {"a muted pair never beats three genuine-looking copies (decided sample by sample)",
         5, loud, {{change::MUTE, 0, 100, 4, 0}, {change::MUTE, 3, 100, 4, 0}}, 1, CD_MAJORITY, 1, {1, 2, 2, 1, 2}},
        {"but does lose to one copy of loud audio",
         3, loud, {{change::MUTE, 0, 100, 4, 0}, {change::MUTE, 1, 100, 4, 0}}, 2, CD_OVERRULED, 4, {0, 0, 0}},
        {"on a ramp a concealed-looking majority is no evidence against a far value",
         3, ramp, {{change::SET, 2, 100, 0, 140}}, 0, CD_MAJORITY, 1, {1, 1, 0}},
        {"digital silence outvotes a shared misread",
         7, silence, {{change::SET, 2, 100, 0, 100}, {change::SET, 5, 100, 0, 100}}, 0, CD_MAJORITY, 1,
         {4, 4, 1, 4, 4, 1, 4}},
        {"a genuine-looking majority stands against a concealed copy",
         3, loud, {{change::LINE, 2, 100, 1, 0}}, 0, CD_MAJORITY, 1, {1, 1, 0}},
        {"no two agree: the genuine copy, not the garbage nor the concealed one",
         3, loud, {{change::LINE, 0, 100, 1, 0}, {change::SET, 1, 100, 0, 31000}}, 2, CD_OVERRULED, 1, {0, 0, 0}},
        {"a lone genuine copy overrules four concealing copies where the rip conceals in several",
         5, loud, {{change::LINE, 0, 100, 1, 0}, {change::LINE, 1, 100, 1, 0}, {change::LINE, 2, 100, 1, 0},
                   {change::LINE, 3, 100, 1, 0}}, 4, CD_OVERRULED, 1, {0, 0, 0, 0, 0}, 30, 40},
        {"... but not while the rip has shown no concealment shared by several copies",
         5, loud, {{change::LINE, 0, 100, 1, 0}, {change::LINE, 1, 100, 1, 0}, {change::LINE, 2, 100, 1, 0},
                   {change::LINE, 3, 100, 1, 0}}, 0, CD_MAJORITY, 1, {3, 3, 3, 3, 0}, 0, 40},
        {"a pair misread in digital silence loses to the one copy that holds the silence",
         3, silence, {{change::SET, 0, 100, 0, 100}, {change::SET, 1, 100, 0, 100}}, 2, CD_OVERRULED, 1, {0, 0, 0}},
        {"a mono recording in both channels: a pair's shared misread off the other channel loses",
         3, loud, {{change::SET, 0, 100, 0, int16_t(loud(100) + 1)}, {change::SET, 1, 100, 0, int16_t(loud(100) + 1)}}, 2,
         CD_OVERRULED, 1, {0, 0, 0}},
    };
    for (const run_case& t : cases) {
        copies c(t.n, 2, t.signal);
        for (const change& k : t.changes) {
            if (k.what == change::LINE) c.line(k.copy, k.frame, k.len);
            if (k.what == change::HOLD) c.hold(k.copy, k.frame, k.len);
            if (k.what == change::MUTE) c.mute(k.copy, k.frame, k.len);
            if (k.what == change::SET) c.set(k.copy, k.frame, k.value);
        }
        cd_scratch& sc = scratch();
        for (uint64_t i = 0; i < t.n; i++) sc.who[i] = static_cast<uint16_t>(i), sc.totals[i] = 0;
        sc.outvoted_prints = t.shared_prints;
        sc.outvoted_groups = t.outvoted;
        sc.outvoted_lone = 0;
        memset(sc.outvoted_group_prints, 0, sizeof sc.outvoted_group_prints);
        memset(sc.outvoted_lone_prints, 0, sizeof sc.outvoted_lone_prints);
        const cd_run_decision d = cd_decide_run(c.block(), c.offset(100), t.n, true, sc);
        EXPECT_EQ(t.winner, d.winner) << t.what;
        EXPECT_EQ(t.outcome, d.outcome) << t.what;
        EXPECT_EQ(t.frames, d.frames) << t.what;
        EXPECT_EQ(t.hits, std::vector<uint64_t>(sc.hits, sc.hits + t.n)) << t.what;
    }
}

// Votes one word of three copies with the header in its first `header` bytes: two copies damaged in
// different bytes of one header unit are voted as bytes, so each byte keeps its majority.
TEST(CdWordVote, TheHeaderIsVotedAsBytesAndTheSamplesAsSamples) {
    copies c(3, 2, loud);
    c.blocks[0][4] ^= 0x10;  // header byte 4
    c.blocks[1][5] ^= 0x20;  // header byte 5
    c.line(0, 100, 1);       // a concealed pair in the audio of loud music
    c.line(1, 100, 1);
    c.layout.data_begin = 8;
    const cd_block b = c.block();
    uint64_t total[3] = {0, 0, 0}, pos[3], disputed = 0;
    FILE* sink = tmpfile();
    ASSERT_NE(nullptr, sink);
    uint64_t head, audio;
    {
        glyph_writer glyphs(sink);
        head = cd_vote_word(b, 0, total, pos, disputed, glyphs, scratch());
        audio = cd_vote_word(b, c.offset(100), total, pos, disputed, glyphs, scratch());
    }
    rewind(sink);
    char glyph[8] = {};
    EXPECT_EQ(3u, fread(glyph, 1, sizeof glyph, sink));
    fclose(sink);
    uint64_t clean;
    memcpy(&clean, c.blocks[2].data(), 8);
    EXPECT_EQ(clean, head);
    EXPECT_EQ(static_cast<uint16_t>(c.at(2, 100)), audio & 0xFFFF);
    EXPECT_EQ(std::string("##~"), std::string(glyph, 3));
    EXPECT_EQ(4u, disputed);
    // A hit at each header byte for the two copies holding its value; none for the overruled pair.
    EXPECT_EQ(2u, total[2]);
    EXPECT_EQ(1u, total[0]);
    EXPECT_EQ(1u, total[1]);
}

std::string wav(uint16_t format, uint16_t channels, uint16_t bits, uint32_t data_size) {
    const uint16_t align = static_cast<uint16_t>(channels * bits / 8);
    return "RIFF" + le32(36 + data_size) + "WAVEfmt " + le32(16) + le16(format) + le16(channels) + le32(44100) +
           le32(44100u * align) + le16(align) + le16(bits) + "data" + le32(data_size) + std::string(64, '\0');
}

TEST(CdLayout, ReadsTheFirstInputsHeaderOrTakesRawStereo) {
    struct {
        const char* what;
        std::string head;
        int status;
        uint64_t channels, begin, end;
    } cases[] = {
        {"raw data", std::string(64, 'x'), 0, 2, 0, UINT64_MAX},
        {"empty", "", 0, 2, 0, UINT64_MAX},
        {"16-bit mono", wav(1, 1, 16, 1000), 0, 1, 44, 1044},
        {"16-bit, 6 channels, extensible", wav(0xFFFE, 6, 16, 1200), 0, 6, 44, 1244},
        {"a streamed WAV's open data chunk", wav(1, 2, 16, 0xFFFFFFFFu), 0, 2, 44, UINT64_MAX},
        {"24-bit", wav(1, 2, 24, 600), -1, 9, 9, 9},
        {"8-bit", wav(1, 1, 8, 600), -1, 9, 9, 9},
        {"float", wav(3, 2, 16, 600), -1, 9, 9, 9},
        {"WAV without a data chunk", wav(1, 2, 16, 600).substr(0, 36), -1, 9, 9, 9},
    };
    for (const auto& c : cases) {
        cd_layout layout;
        layout.channels = layout.data_begin = layout.data_end = 9;
        EXPECT_EQ(c.status, cd_layout_from_header(reinterpret_cast<const uint8_t*>(c.head.data()), c.head.size(),
                                                  layout))
            << c.what;
        EXPECT_EQ(c.channels, layout.channels) << c.what;
        EXPECT_EQ(c.begin, layout.data_begin) << c.what;
        EXPECT_EQ(c.end, layout.data_end) << c.what;
    }
}

// Two tones: music-like audio that its own neighbours predict closely, far from a line.
int16_t tones(uint64_t k) {
    const double t = static_cast<double>(k);
    return static_cast<int16_t>(std::lround(6000 * std::sin(t / 5.9) + 3000 * std::sin(t / 1.8)));
}

TEST(CdPredictor, GenuineSamplesLieNearThePredictionAConcealmentDoesNot) {
    struct {
        const char* what;
        uint64_t channels, frame;
        bool scattered;  // copy 1 differs every 7 frames around the run
        bool known;
        unsigned taps;
    } cases[] = {
        {"stereo: the other channel's samples are taps too", 2, 200, false, true, 19},
        {"one channel", 1, 200, false, true, 16},
        {"too near the start for the taps", 2, 5, false, false, 19},
        {"too few agreed stretches to fit", 2, 200, true, false, 19},
    };
    for (const auto& t : cases) {
        copies c(3, t.channels, tones);
        for (uint64_t i = 0; i < 3 && t.channels == 2; i++) {  // the other channel a little later
            for (uint64_t f = 0; f < FRAMES; f++) c.put(c.blocks[i], f, 1, tones(f + 3));
        }
        c.line(2, t.frame, 1);
        for (uint64_t f = 130; t.scattered && f < 270; f += 7) c.set(1, f, static_cast<int16_t>(c.at(1, f) + 1));
        const cd_block b = c.block();
        cd_scratch& sc = scratch();
        for (uint64_t i = 0; i < 3; i++) sc.who[i] = static_cast<uint16_t>(i);
        const cd_audio r = cd_audio_of_block(b);
        cd_window w;
        cd_measure_window(b, r, sc, 3, c.offset(t.frame), 1, w);
        cd_predictor f;
        cd_fit_predictor(b, r, sc, w, f);
        EXPECT_EQ(t.known, f.known) << t.what;
        EXPECT_EQ(t.taps, f.taps) << t.what;
        if (!f.known) continue;
        EXPECT_LT(cd_predicted_distance(b, w, f, 0) / f.scale, 2) << t.what;
        EXPECT_GT(cd_predicted_distance(b, w, f, 2) / f.scale, 20) << t.what;
    }
}

}  // namespace
