#include "vote/doubt_list.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

// One disputed word of five copies: the voted word, how each copy's word differs from it (XOR), what
// the vote noted, and the frame the ranking must put it at.
struct doubt_row {
    const char* name;
    uint64_t differs[5];
    uint8_t guessed;
    uint8_t scored;
    float margin;
    size_t rank;             // of the word's first frame among all the rows'
    uint32_t first_choice;   // XOR of the voted frame: the candidate tried first
};

// Frames are ranked least sure first: guessed, then --cd's margins, then the byte vote's leads
// (the narrower first, then the fewer copies behind the value); each frame's candidates start with
// the value most copies hold against the vote's.
TEST(DoubtList, RanksFramesByTheVotesConfidence) {
    const doubt_row rows[] = {
        {"4 against 1", {0, 0, 0, 0, 0x10}, 0, 0, 0, 5, 0x10},
        {"3 against 2", {0, 0, 0, 0x20, 0x20}, 0, 0, 0, 3, 0x20},
        {"3 against 1 and 1: the lead is 2", {0, 0, 0, 0x30, 0x31}, 0, 0, 0, 4, 0x30},
        {"no two agree", {0, 0x40, 0x41, 0x42, 0x43}, 0x01, 0, 0, 0, 0x40},
        {"scored, the model sure", {0, 0, 0, 0x50, 0x51}, 0, 0x01, 2.5f, 2, 0x50},
        {"scored, a rule against the scores", {0, 0x60, 0x60, 0x61, 0x61}, 0, 0x01, -1.0f, 1, 0x60},
    };
    const size_t n = sizeof rows / sizeof rows[0];
    doubt_list list;
    list.start(16);
    const uint64_t voted = 0x1111222233334444ull;
    for (size_t k = 0; k < n; k++) {
        uint64_t words[5];
        for (int i = 0; i < 5; i++) words[i] = voted ^ rows[k].differs[i];
        float margin[8];
        for (float& m : margin) m = rows[k].margin;
        word_verdict v{};
        v.offset = 44 + 8 * k;
        v.count = 5;
        v.words = words;
        v.voted = voted;
        v.disputed = 0x01;
        v.guessed = rows[k].guessed;
        v.valid = 8;
        v.scored = rows[k].scored;
        v.margin = margin;
        list.add(v);
    }
    std::vector<repair_frame> frames;
    std::vector<uint64_t> offsets;
    list.frames(44, 44 + 8 * n, frames, offsets);
    ASSERT_EQ(frames.size(), n);
    for (size_t k = 0; k < n; k++) {
        const size_t at = rows[k].rank;
        EXPECT_EQ(offsets[at], 44 + 8 * k) << rows[k].name;
        EXPECT_EQ(frames[at].index, 2 * k + 1) << rows[k].name;
        ASSERT_FALSE(frames[at].words.empty()) << rows[k].name;
        EXPECT_EQ(frames[at].words[0], frames[at].voted ^ rows[k].first_choice) << rows[k].name;
    }
}

}  // namespace
