// The --cd rule at one sample, the word vote over a block's layout, and the layout of a first input.

#include "vote/cd_vote.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The rule's tables, zero-filled once, as a run makes them.
cd_scratch& scratch() {
    static cd_scratch* tables = new cd_scratch();
    return *tables;
}

// A copy's sample whose neighbours' floor mean is 100 (90 and 110), or no neighbours at all.
cd_sample at(int16_t value, bool neighbours = true) { return {value, 90, 110, neighbours}; }

std::vector<uint64_t> many_hits(size_t n, uint64_t a, size_t m, uint64_t b) {
    std::vector<uint64_t> v(n, a);
    v.insert(v.end(), m, b);
    return v;
}

// n copies of a sample, then m of another: more copies than are compared pair by pair.
std::vector<cd_sample> many(size_t n, cd_sample a, size_t m, cd_sample b) {
    std::vector<cd_sample> v(n, a);
    v.insert(v.end(), m, b);
    return v;
}

struct rule_case {
    const char* what;
    std::vector<cd_sample> copies;
    std::vector<uint64_t> scores;  // total hits so far
    uint64_t winner;
    cd_outcome outcome;
    std::vector<uint64_t> hits;
};

TEST(CdRule, DecidesEveryCase) {
    const rule_case cases[] = {
        {"a concealed majority is overruled by a pair", {at(100), at(140), at(100), at(140), at(100)}, {0, 0, 0, 0, 0},
         1, CD_OVERRULED, {0, 1, 0, 1, 0}},
        {"a pair further than the pair distance does not overrule", {at(100), at(100), at(100), at(5000), at(5000)},
         {0, 0, 0, 0, 0}, 0, CD_MAJORITY, {2, 2, 2, 1, 1}},
        {"a near lone value overrules a concealed pair", {at(100), at(100), at(130)}, {0, 0, 0}, 2, CD_OVERRULED,
         {0, 0, 0}},
        {"a far lone value never beats a majority", {at(100), at(100), at(200)}, {0, 0, 0}, 0, CD_MAJORITY, {1, 1, 0}},
        {"a lone value against three must be very near", {at(100), at(100), at(110), at(100)}, {0, 0, 0, 0}, 0,
         CD_MAJORITY, {2, 2, 0, 2}},
        {"... and overrules them when it is", {at(100), at(100), at(103), at(100)}, {0, 0, 0, 0}, 2, CD_OVERRULED,
         {0, 0, 0, 0}},
        {"a majority that does not look concealed wins", {at(120), at(130), at(120)}, {0, 0, 0}, 0, CD_MAJORITY,
         {1, 0, 1}},
        {"a concealed-looking alternative does not overrule", {at(130), at(130), at(101)}, {0, 0, 0}, 0, CD_MAJORITY,
         {1, 1, 0}},
        {"1 from an exact mean, a pair that is not one overrules", {at(100), at(101), at(100), at(101), at(100)},
         {0, 0, 0, 0, 0}, 1, CD_OVERRULED, {0, 1, 0, 1, 0}},
        {"... but not a majority that is not the exact mean", {at(101), at(100), at(101), at(100), at(101)},
         {0, 0, 0, 0, 0}, 0, CD_MAJORITY, {2, 1, 2, 1, 2}},
        {"equal groups: the group holding the lowest index", {at(50), at(200), at(200), at(50)}, {0, 0, 0, 0}, 0,
         CD_MAJORITY, {1, 1, 1, 1}},
        {"the larger overruling group wins", {at(100), at(100), at(100), at(100), at(300), at(300), at(140)},
         {0, 0, 0, 0, 0, 0, 0}, 4, CD_OVERRULED, {0, 0, 0, 0, 1, 1, 0}},
        {"no two agree: the best-scored copy", {at(1), at(2), at(3)}, {0, 5, 5}, 1, CD_BEST_SCORED, {0, 0, 0}},
        {"no two agree, best-scored concealed: the nearest genuine one", {at(100), at(120), at(110)}, {9, 0, 0}, 2,
         CD_OVERRULED, {0, 0, 0}},
        {"many copies: a concealed majority is overruled", many(10, at(100), 8, at(140)), std::vector<uint64_t>(18),
         10, CD_OVERRULED, many_hits(10, 0, 8, 7)},
        {"many copies: a genuine majority stands", many(10, at(120), 8, at(140)), std::vector<uint64_t>(18), 0,
         CD_MAJORITY, many_hits(10, 9, 8, 7)},
        {"without neighbours nothing looks concealed", {at(100, false), at(100, false), at(130, false)}, {0, 0, 0}, 0,
         CD_MAJORITY, {1, 1, 0}},
    };
    for (const rule_case& c : cases) {
        std::vector<uint64_t> hits(c.copies.size(), 77);
        const cd_decision d = cd_decide(c.copies.data(), c.copies.size(), c.scores.data(), hits.data(), scratch());
        EXPECT_EQ(c.winner, d.winner) << c.what;
        EXPECT_EQ(c.outcome, d.outcome) << c.what;
        EXPECT_EQ(c.hits, hits) << c.what;
    }
}

TEST(CdRule, ConcealedMeansWithinOneOfTheSignedFloorMean) {
    struct {
        int16_t prev, next, value;
        bool concealed, exact;
    } cases[] = {
        {-3, 0, -2, true, true},       // floor(-1.5) = -2, not -1 as truncation gives
        {-3, 0, -1, true, false},      // exact under truncation toward zero
        {-3, 0, 0, false, false},
        {-1, 1, 0, true, true},        // read unsigned, the mean would lie near 32768
        {32767, 32767, 32766, true, false},
        {-32768, -32768, -32768, true, true},
        {100, 104, 104, false, false},
    };
    for (const auto& c : cases) {
        const cd_sample s = {c.value, c.prev, c.next, true};
        EXPECT_EQ(c.concealed, cd_looks_concealed(s)) << c.prev << " " << c.value << " " << c.next;
        EXPECT_EQ(c.exact, cd_is_exact_mean(s)) << c.prev << " " << c.value << " " << c.next;
    }
}

// Three copies of a 64-byte block holding 1000 + q * q at every even offset q, except that copies
// 0 and 1 hold, at offset p, the mean of the values `reach` bytes before and after it (the true
// value + reach * reach), as a drive that took those for the neighbours would write it.
struct word_case {
    const char* what;
    uint64_t channels;
    uint64_t data_begin;
    uint64_t data_end;
    uint64_t block_start;
    uint64_t p;        // the concealed sample
    uint64_t reach;    // bytes to the neighbours whose mean the drive wrote
    bool overruled;
};

TEST(CdWordVote, TakesSameChannelNeighboursInsideTheBlockAndTheData) {
    const uint64_t len = 64;
    const word_case cases[] = {
        {"stereo: neighbours one frame away", 2, 0, UINT64_MAX, 0, 24, 4, true},
        {"stereo: the other channel's neighbours are not the drive's", 2, 0, UINT64_MAX, 0, 24, 2, false},
        {"mono: neighbours in the file", 1, 0, UINT64_MAX, 0, 24, 2, true},
        {"the first frame of a block", 2, 0, UINT64_MAX, 0, 2, 4, false},
        {"the second frame of a block", 2, 0, UINT64_MAX, 0, 4, 4, true},
        {"the last frame of a block", 2, 0, UINT64_MAX, 0, 60, 4, false},
        {"the first frame of the data", 2, 16, UINT64_MAX, 0, 18, 4, false},
        {"the last frame of the data", 2, 0, 36, 0, 32, 4, false},
        {"the data chunk in file offsets", 2, 16, 4096 + 36, 4096, 24, 4, true},
        {"an odd block start", 2, 0, UINT64_MAX, 4097, 24, 4, false},
    };
    for (const word_case& c : cases) {
        std::vector<std::vector<uint8_t>> blocks(3, std::vector<uint8_t>(len));
        for (int i = 0; i < 3; i++) {
            for (uint64_t q = 0; q < len; q += 2) {
                const uint64_t v = 1000 + q * q + (i < 2 && q == c.p ? c.reach * c.reach : 0);
                blocks[i][q] = static_cast<uint8_t>(v);
                blocks[i][q + 1] = static_cast<uint8_t>(v >> 8);
            }
        }
        const uint8_t* in[3] = {blocks[0].data(), blocks[1].data(), blocks[2].data()};
        cd_layout layout;
        layout.channels = c.channels;
        layout.data_begin = c.data_begin;
        layout.data_end = c.data_end;
        const cd_block b = {in, 3, len, c.block_start, &layout};
        uint64_t total[3] = {0, 0, 0}, pos[3], disputed = 0;
        FILE* sink = tmpfile();
        ASSERT_NE(nullptr, sink);
        uint64_t word;
        {
            glyph_writer glyphs(sink);
            word = cd_vote_word(b, c.p / 8 * 8, total, pos, disputed, glyphs, scratch());
        }
        rewind(sink);
        char glyph[8] = {};
        EXPECT_EQ(1u, fread(glyph, 1, sizeof glyph, sink)) << c.what;
        fclose(sink);
        const uint64_t voted = word >> (16 * (c.p % 8 / 2)) & 0xFFFF;
        const uint64_t copy2 = in[2][c.p] | in[2][c.p + 1] << 8;
        const uint64_t copy0 = in[0][c.p] | in[0][c.p + 1] << 8;
        EXPECT_EQ(c.overruled ? copy2 : copy0, voted) << c.what;
        EXPECT_EQ(c.overruled ? CD_OVERRULED_GLYPH : '#', glyph[0]) << c.what;
        EXPECT_EQ(2u, disputed) << c.what;
        EXPECT_EQ(c.overruled ? 0u : 1u, total[0]) << c.what;
        EXPECT_EQ(0u, total[2]) << c.what;
    }
}

std::string le16(uint16_t v) { return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }
std::string le32(uint32_t v) { return le16(static_cast<uint16_t>(v)) + le16(static_cast<uint16_t>(v >> 16)); }

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

}  // namespace
