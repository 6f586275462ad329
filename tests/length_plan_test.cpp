// The output's length in an audio run: most copies' frame count, ties to the larger; among those
// copies, most copies' byte length, ties to the smaller.

#include "run/length_plan.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(LengthPlanTest, MostCopiesDecideTiesAsTheRuleSays) {
    struct Case {
        const char* what;
        std::vector<copy_extent> copies;  // {frames, bytes}
        copy_extent want;
    };
    const Case cases[] = {
        {"all alike", {{100, 444}, {100, 444}, {100, 444}}, {100, 444}},
        {"an empty and a cut copy", {{100, 444}, {0, 0}, {50, 244}, {100, 444}}, {100, 444}},
        {"most are short", {{100, 444}, {50, 244}, {50, 244}}, {50, 244}},
        {"every count once: the largest", {{30, 164}, {100, 444}, {70, 324}}, {100, 444}},
        {"two against two: the larger", {{70, 324}, {100, 444}, {70, 324}, {100, 444}}, {100, 444}},
        {"one frame count, bytes differ: most", {{100, 444}, {100, 456}, {100, 456}}, {100, 456}},
        {"one frame count, every byte length once: the smallest", {{100, 446}, {100, 444}, {100, 445}}, {100, 444}},
    };
    for (const Case& c : cases) {
        const copy_extent got = choose_length(c.copies.data(), c.copies.size());
        EXPECT_EQ(c.want.frames, got.frames) << c.what;
        EXPECT_EQ(c.want.bytes, got.bytes) << c.what;
    }
}

// Stretches no copy holds are counted in whole frames past the header, a frame split by two
// blocks once, and the first one's place kept.
TEST(LengthPlanTest, UnheldFramesAreCountedOnce) {
    length_plan plan;
    plan.audio_lo = 44;
    plan.frame_bytes = 12;  // six channels: a 2 MiB block boundary splits frames
    note_unheld(plan, 0, 44);
    EXPECT_EQ(0u, plan.unheld);
    note_unheld(plan, 44 + 120, 44 + 126);  // half of frame 10
    note_unheld(plan, 44 + 126, 44 + 240);  // its other half, then frames 11 to 19
    EXPECT_EQ(10u, plan.unheld);
    EXPECT_EQ(10u, plan.first_unheld);
    note_unheld(plan, 44 + 1200, 44 + 1212);
    EXPECT_EQ(11u, plan.unheld);
    EXPECT_EQ(10u, plan.first_unheld);
}

}  // namespace
