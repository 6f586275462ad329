#include "audio/repair_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "reference_checksums.h"

namespace {

// The tests' one reference of the sums (a bitwise CRC-32, AccurateRip frame by frame), which
// shares nothing with the unit.
uint32_t reference_crc32(const std::vector<uint8_t>& bytes) {
    return testing_support::reference_crc32(std::string(bytes.begin(), bytes.end()));
}

struct sums {
    uint32_t v1 = 0, v2 = 0, crc = 0;
};

sums sums_of(const std::vector<uint32_t>& words, uint64_t first, uint64_t last) {
    std::string pcm;
    for (uint32_t w : words) {
        for (int k = 0; k < 4; k++) pcm += static_cast<char>(w >> (8 * k));
    }
    const testing_support::reference_sums r = testing_support::reference_track_sums(pcm, first, last);
    return sums{r.v1, r.v2, r.crc32};
}

TEST(RepairSearch, TermsOfKnownFrames) {
    const struct { uint64_t index; uint32_t word, v1, v2; } rows[] = {
        {1, 1, 1, 1},
        {2, 0x80000000u, 0, 1},                         // the product's high half alone
        {3, 0xFFFFFFFFu, 0xFFFFFFFDu, 0xFFFFFFFFu},     // high half 2 added to the low half
        {5, 0x12345678u, 0x5B05B058u, 0x5B05B058u},
        {23520000, 0xFFFF0001u, 0x1E66E300u, 0x1FCDC499u},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(ar_v1_term(r.index, r.word), r.v1) << r.index;
        EXPECT_EQ(ar_v2_term(r.index, r.word), r.v2) << r.index;
    }
    // A track of those first three frames: v1 = 1 + 0 + 0xFFFFFFFD, v2 = 1 + 1 + 0xFFFFFFFF.
    const sums s = sums_of({1, 0x80000000u, 0xFFFFFFFFu}, 1, 3);
    EXPECT_EQ(s.v1, 0xFFFFFFFEu);
    EXPECT_EQ(s.v2, 1u);
}

TEST(RepairSearch, CrcEffectMatchesDirectCrc) {
    const std::string check = "123456789";
    ASSERT_EQ(reference_crc32(std::vector<uint8_t>(check.begin(), check.end())), 0xCBF43926u);
    std::mt19937 rng(7);
    for (size_t size : {4u, 9u, 1000u, 65539u}) {
        std::vector<uint8_t> data(size);
        for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
        for (size_t offset : {size_t(0), size / 2 - size / 2 % 3, size - 4}) {
            const uint32_t delta = rng() | 1;
            std::vector<uint8_t> changed = data;
            for (int k = 0; k < 4; k++) changed[offset + k] ^= static_cast<uint8_t>(delta >> (8 * k));
            EXPECT_EQ(reference_crc32(changed), reference_crc32(data) ^ crc32_xor_effect(size, offset, delta))
                << size << " at " << offset;
        }
    }
    EXPECT_EQ(crc32_xor_effect(8, 5, 0xFF), 0u);  // past the end
}

// A random track whose doubtful frames are ranked 0, 1, ... and sit at indices 1, 4, 7, ...
// The vote got the frames ranked `wrong` wrong; the true word is each one's second candidate.
// `right_only`: every candidate differs from the voted word in the right sample alone.
struct search_row {
    const char* name;
    size_t doubtful;
    std::vector<size_t> wrong;
    bool v1, v2, crc;        // what --expect gives
    int any;                 // 1, 2, 3: the true v1, v2 or both among `others` other values of a response
    size_t others;
    uint64_t first_counted;  // the AccurateRip range starts here
    bool reachable;          // else every target is a random value
    bool right_only;
    std::vector<size_t> fixed;  // the ranks the result must change back; empty: not found
    bool bound_reached;
    bool settles_nothing;  // no frame can be compared with what is wanted
};

TEST(RepairSearch, FindsTheOriginalWithinTheBound) {
    const search_row rows[] = {
        {"one frame, CRC32", 50, {3}, false, false, true, 0, 0, 1, true, false, {3}, false, false},
        {"two frames, v1 and v2", 20, {1, 7}, true, true, false, 0, 0, 1, true, false, {1, 7}, false, false},
        {"three frames, v2 and CRC32", 200, {0, 50, 199}, false, true, true, 0, 0, 1, true, false, {0, 50, 199}, false, false},
        {"v2 among several values", 20, {4}, false, false, false, 2, 2, 1, true, false, {4}, false, false},
        {"out of reach, all searched", 6, {2}, true, true, false, 0, 0, 1, false, false, {}, false, false},
        {"beyond the bound", 5000, {4000}, false, false, true, 0, 0, 1, true, false, {}, true, false},
        {"outside the range, CRC32", 30, {5, 10}, true, true, true, 0, 0, 20, true, false, {5, 10}, false, false},
        {"outside the range, AccurateRip", 30, {5, 10}, true, true, false, 0, 0, 20, true, false, {10}, false, false},
        // A right sample moves v1 by a multiple of 2^16: 16 bits at most, a 1 in 65,536 event.
        {"right samples, v1 alone", 20, {3}, true, false, false, 0, 0, 1, true, true, {}, false, true},
        {"right samples, v1 and CRC32", 20, {3}, true, false, true, 0, 0, 1, true, true, {3}, false, false},
        // v2 = v1 + the products' high halves, which a right sample at these small indices moves by a
        // few units: v2 reaches v1's 16 bits and a few more, too few for a comparison.
        {"right samples, v2", 20, {3}, false, true, false, 0, 0, 1, true, true, {}, false, true},
        {"right samples, v1 among values", 6, {3}, false, false, false, 1, 2, 1, true, true, {}, false, true},
        {"right samples, v2 among values", 20, {3}, false, false, false, 2, 2, 1, true, true, {}, false, true},
        {"left samples, v1 among values", 20, {3}, false, false, false, 1, 2, 1, true, false, {3}, false, false},
        // A pressing's v1 and v2 both among the values are compared at once: v2 adds to v1's bits
        // those of the high halves, so the search reaches deeper than with v2 alone.
        {"one pressing's v1 and v2, deep", 60, {4, 12, 22}, false, false, false, 3, 2, 1, true, false, {4, 12, 22}, false, false},
        {"v2 alone, deep", 60, {4, 12, 22}, false, false, false, 2, 2, 1, true, false, {}, true, false},
        {"v1 and v2 expected, deep", 60, {4, 12, 22}, true, true, false, 0, 0, 1, true, false, {4, 12, 22}, false, false},
        // 47,000 values as v1 or v2: any comparison is a 1 in 45,000 chance; with CRC32, 2^-47.
        {"47,000 values", 200, {3}, false, false, false, 2, 46999, 1, true, false, {}, true, false},
        {"47,000 values and CRC32", 200, {3}, false, false, true, 2, 46999, 1, true, false, {3}, false, false},
    };
    std::mt19937 gen(11);
    auto rng = [&] { return static_cast<uint32_t>(gen()); };
    for (const search_row& row : rows) {
        const uint64_t frames = 3 * row.doubtful + 2;
        const uint32_t change = row.right_only ? 0xFFFF0000u : 0xFFFFFFFFu, lowest = row.right_only ? 0x10000 : 1;
        std::vector<uint32_t> truth(frames), voted;
        for (uint32_t& w : truth) w = rng();
        voted = truth;
        std::vector<repair_frame> doubtful(row.doubtful);
        for (size_t r = 0; r < row.doubtful; r++) {
            const uint64_t index = 1 + 3 * r;
            const bool wrong = std::find(row.wrong.begin(), row.wrong.end(), r) != row.wrong.end();
            if (wrong) voted[index - 1] ^= (rng() & change) | lowest;
            const uint32_t v = voted[index - 1];
            doubtful[r] = repair_frame{index, v, {v ^ ((rng() & change) | lowest), wrong ? truth[index - 1] : v ^ ((rng() & change) | lowest)}};
        }
        const sums want = sums_of(truth, row.first_counted, frames), got = sums_of(voted, row.first_counted, frames);
        repair_target t{frames, row.first_counted, frames, got.v1, got.v2, got.crc, row.v1, row.v2, row.crc,
                        row.reachable ? want.v1 : rng(), row.reachable ? want.v2 : rng(),
                        row.reachable ? want.crc : rng(), {}};
        for (size_t k = 0; k < row.others; k++) t.ar_any.push_back(rng());
        if (row.any & 1) t.ar_any.insert(t.ar_any.begin() + static_cast<long>(row.others / 2), want.v1);
        if (row.any & 2) t.ar_any.insert(t.ar_any.begin() + static_cast<long>(row.others / 2), want.v2);
        const repair_result r = repair_search(doubtful, t);
        EXPECT_EQ(r.found, !row.fixed.empty()) << row.name;
        EXPECT_EQ(r.bound_reached, row.bound_reached) << row.name;
        EXPECT_EQ(r.frames > 0 && r.unsettled == r.frames, row.settles_nothing) << row.name;
        EXPECT_LE(r.chance, REPAIR_ACCIDENT_CHANCE) << row.name;
        // Every candidate and value handled counts, and the whole stays within the limit.
        EXPECT_GE(r.work, 2 * row.doubtful + row.others) << row.name;
        EXPECT_LE(r.work, REPAIR_MOST_WORK) << row.name;
        std::vector<std::pair<uint64_t, uint32_t>> expected, changed;
        for (size_t k : row.fixed) expected.emplace_back(k, truth[3 * k]);
        for (const repair_change& c : r.changes) changed.emplace_back(c.frame, c.word);
        EXPECT_EQ(changed, expected) << row.name;
    }
}

TEST(RepairSearch, ReachOfV1ByChannelAndIndex) {
    const struct { uint64_t index; bool left; unsigned bits; } rows[] = {
        {1, true, 32}, {1, false, 16}, {12, true, 30}, {12, false, 14},
        {uint64_t(1) << 30, true, 2}, {uint64_t(1) << 16, false, 0}, {uint64_t(3) << 40, true, 0},
    };
    for (const auto& r : rows) EXPECT_EQ(ar_v1_reach(r.index, r.left), r.bits) << r.index << (r.left ? " left" : " right");
}

// The high half of index * word moves by at most index * |change| / 2^32 + 1 either way: of those
// 2m + 1 values, floor(log2) bits. Checked against the high halves themselves.
TEST(RepairSearch, ReachOfTheHighHalvesByIndexAndChange) {
    const struct { uint64_t index; uint32_t from, to; unsigned bits; } rows[] = {
        {1, 0, 1, 1},                            // moves by 0 or 1: 3 values
        {1, 0, 0xFFFFFFFFu, 1},                  // a whole word at the first frame: still below 2^32
        {uint64_t(1) << 20, 0, 1u << 16, 5},     // a right sample's step at frame 2^20: 16 + 1
        {5825456, 0x00010000u, 0x00040000u, 9},  // 3 steps of a right sample: 266 + 1
        {5825456, 0x00040000u, 0x00010000u, 9},  // either way
        {5825456, 0x12, 0x34, 1},                // a left sample's low byte barely moves it
    };
    for (const auto& r : rows) {
        EXPECT_EQ(ar_high_reach(r.index, r.from, r.to), r.bits) << r.index << " " << r.from << " " << r.to;
        const int64_t moved = static_cast<int64_t>((r.index * r.to) >> 32) - static_cast<int64_t>((r.index * r.from) >> 32);
        EXPECT_LT(static_cast<uint64_t>(moved < 0 ? -moved : moved), uint64_t(1) << r.bits) << r.index;
    }
}

// Two combinations that both match are neither taken: of one size, or a match and one of the next
// size (CRC32 is linear, so a copy can be made whose one-frame change has the CRC effect of the true
// two-frame repair). v1 at frame 2^30 turns the words 1 and 5 into the same change, but reaches only
// 2 bits there: it is not compared at all.
TEST(RepairSearch, TwoMatchesOfOneSizeAreNeitherTaken) {
    const uint64_t at = uint64_t(1) << 30;
    repair_target t;
    t.frames = at;
    t.last_counted = at;
    t.want_v1 = true;
    t.v1 = static_cast<uint32_t>(at);
    const repair_result v1 = repair_search({repair_frame{at, 0, {1, 5}}}, t);
    EXPECT_FALSE(v1.ambiguous);
    EXPECT_FALSE(v1.found);
    EXPECT_EQ(v1.unsettled, 1u);
    EXPECT_EQ(v1.reach_bits, 2u);

    const uint64_t frames = 1000, bytes = 4 * frames;
    const struct { const char* name; std::vector<repair_frame> doubtful; unsigned sizes[2]; } rows[] = {
        {"one size", {{10, 0, {0x1234}}, {20, 0, {testing_support::reference_crc_forgery(bytes, 76, crc32_xor_effect(bytes, 36, 0x1234))}}}, {1, 1}},
        {"the next size",
         {{10, 0, {0x1234, 7}}, {20, 0, {0x5678, 9}},
          {30, 0, {testing_support::reference_crc_forgery(bytes, 116, crc32_xor_effect(bytes, 36, 0x1234) ^ crc32_xor_effect(bytes, 76, 0x5678))}}},
         {1, 2}},
    };
    for (const auto& row : rows) {
        repair_target c;
        c.frames = frames;
        c.want_crc32 = true;
        c.crc32 = crc32_xor_effect(bytes, 36, 0x1234) ^ (row.sizes[1] == 2 ? crc32_xor_effect(bytes, 76, 0x5678) : 0);
        const repair_result r = repair_search(row.doubtful, c);
        EXPECT_TRUE(r.ambiguous) << row.name;
        EXPECT_FALSE(r.found) << row.name;
        EXPECT_TRUE(r.changes.empty()) << row.name;
        EXPECT_EQ(r.sizes[0], row.sizes[0]) << row.name;
        EXPECT_EQ(r.sizes[1], row.sizes[1]) << row.name;
    }
}

// Dear candidates first (the right sample alone, by a little: few bits of the sums), then the wrong
// frames among cheaper ones, as a track's guessed run ranks before the lone copies that won: the
// combination of the wrong frames reaches many bits, though fewer than the deepest pass asks,
// and must be met among the best-ranked frames.
TEST(RepairSearch, ACombinationBehindDearFramesIsMet) {
    const uint64_t frames = (uint64_t(1) << 22) + 4096;
    std::mt19937 gen(5);
    std::vector<uint32_t> truth(frames);
    for (uint32_t& w : truth) w = static_cast<uint32_t>(gen());
    std::vector<uint32_t> voted = truth;
    std::vector<repair_frame> doubtful;
    const std::vector<size_t> wrong = {5, 6, 9};
    for (size_t r = 0; r < 40; r++) {
        const uint64_t index = r == 9 ? 32 : 1 + 104729 * (r + 1);  // rank 9: v1 reaches 27 bits
        const uint32_t v = truth[index - 1];
        repair_frame f{index, v, {}};
        for (uint32_t k = 1; k <= (r < 5 ? 8u : 2u); k++)
            f.words.push_back(r < 5 ? v + (k << 16) : static_cast<uint32_t>(gen()));
        if (std::find(wrong.begin(), wrong.end(), r) != wrong.end()) {
            f.voted = voted[index - 1] = r == 9 ? v + 3 : v + (3u << 16);  // a small misread
            f.words[0] = v;
        }
        doubtful.push_back(f);
    }
    const sums want = sums_of(truth, 1, frames), got = sums_of(voted, 1, frames);
    repair_target t{frames, 1, frames, got.v1, got.v2, got.crc, false, false, false, 0, 0, 0, {}};
    t.ar_any = {static_cast<uint32_t>(gen()), want.v1, want.v2, static_cast<uint32_t>(gen())};
    const repair_result r = repair_search(doubtful, t);
    ASSERT_TRUE(r.found);
    EXPECT_LE(r.chance, REPAIR_ACCIDENT_CHANCE);
    std::vector<uint64_t> fixed;
    for (const repair_change& c : r.changes) fixed.push_back(c.frame);
    std::sort(fixed.begin(), fixed.end());
    EXPECT_EQ(fixed, std::vector<uint64_t>(wrong.begin(), wrong.end()));
}

// The best-ranked frame is the vote's likeliest mistake: its change is compared even where it
// reaches too few bits for the search's comparisons (a right sample raised by 1 at frame 2^22
// reaches 23 bits of one pressing's v1 and v2), within a quarter of the bound. The same frame
// ranked second is not worth it.
TEST(RepairSearch, TheLikeliestMistakeIsWorthADearerLook) {
    const uint64_t frames = (uint64_t(1) << 22) + 4096, at = (uint64_t(1) << 22) + 1;
    std::mt19937 gen(9);
    std::vector<uint32_t> truth(frames);
    for (uint32_t& w : truth) w = static_cast<uint32_t>(gen());
    std::vector<uint32_t> voted = truth;
    voted[at - 1] += 1u << 16;
    const sums want = sums_of(truth, 1, frames), got = sums_of(voted, 1, frames);
    const repair_frame wrong{at, voted[at - 1], {truth[at - 1]}}, other{7, voted[6], {voted[6] + 1}};
    for (bool first : {true, false}) {
        repair_target t{frames, 1, frames, got.v1, got.v2, got.crc, false, false, false, 0, 0, 0, {}};
        t.ar_any = {want.v1, want.v2};
        const repair_result r = repair_search(first ? std::vector<repair_frame>{wrong, other}
                                                    : std::vector<repair_frame>{other, wrong}, t);
        EXPECT_EQ(r.found, first) << first;
        EXPECT_LE(r.chance, REPAIR_ACCIDENT_CHANCE) << first;
        if (first) {
            ASSERT_EQ(r.changes.size(), 1u);
            EXPECT_EQ(r.changes[0].frame, 0u);
            EXPECT_EQ(r.changes[0].word, truth[at - 1]);
        }
    }
}

}  // namespace
