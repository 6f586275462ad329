// A whole disc's pieces that need no run: track numbers of names, disc ids, a map's figures.

#include <gtest/gtest.h>

#include "audio/ar_response.h"
#include "audio/track_file.h"
#include "disc/track_figures.h"

namespace {

TEST(DiscTest, TrackNumberOfAName) {
    const struct {
        const char* name;
        uint32_t number;
    } cases[] = {
        {"01 - Title.flac", 1}, {"track01.cdda.wav", 1}, {"Track 12.wav", 12}, {"cd_07-x.wav", 7},
        {"Title.wav", 0},       {"00 - x.wav", 0},       {"100.wav", 0},       {"(3) x.wav", 0},
        {"a.b 2.wav", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(c.number, name_track_number(c.name)) << c.name;
}

// Two tracks of 150 and 225 sectors: starts 0 and 150, lead-out 375. id1 = 0 + 150 + 375;
// id2 = 1·1 + 150·2 + 375·3; id3: seconds 2 and 4 (digit sum 6), 7 − 2 = 5 seconds, 2 tracks.
TEST(DiscTest, DiscIdsFromTrackLengths) {
    const ar_disc_ids ids = disc_ids_from_lengths({588 * 150, 588 * 224 + 1});
    EXPECT_EQ(2u, ids.tracks);
    EXPECT_EQ(525u, ids.id1);
    EXPECT_EQ(1426u, ids.id2);
    EXPECT_EQ(0x06000502u, ids.id3);
    EXPECT_EQ("002-0000020d-00000592-06000502", format_disc_ids(ids));
}

TEST(DiscTest, MapFigures) {
    const std::string map =
        "# copyvote 0.1.0  byte vote  3 inputs\noffset\tbytes\tguessed\tweakest\tlost\ttime\tcd\n"
        "40\t8\t0\t2\t1\t\t\n"             // 4 header bytes, then samples 0 and 1
        "101\t2\t2\t1\t0,1,2\t00:00.000\t00:00:00\n"  // one byte each of samples 28 and 29
        "4444\t1\t0\t2\t2\t00:00.025\t00:00:01\n"
        "# total\t11\t2\t3\n";
    const struct {
        bool byte_vote;
        uint64_t disputed, guessed;
    } cases[] = {{true, 5, 1}, {false, 5, 1}};
    for (const auto& c : cases) {
        track_figures f;
        read_map_figures(map, 44, c.byte_vote, f);
        EXPECT_EQ(c.disputed, f.disputed_samples);
        EXPECT_EQ(c.guessed, f.guessed_samples);
        EXPECT_EQ(11u, f.disputed_bytes);
        ASSERT_EQ(1u, f.guessed_at.size());
        EXPECT_EQ("00:00.000", f.guessed_at[0]);
    }
}

TEST(DiscTest, ReportFigures) {
    track_figures f;
    read_report_figures("[    a.wav]     3 best\n[    out.wav] AccurateRip v1 00000001 v2 00000002, CRC32 0badcafe\n"
                        "[    out.wav] verified: AccurateRip matches (v2, confidence 12)\n",
                        f);
    EXPECT_TRUE(f.has_sums);
    EXPECT_EQ("0badcafe", f.crc32);
    EXPECT_EQ("AccurateRip matches (v2, confidence 12)", f.verdict);
    EXPECT_EQ(12, f.confidence);
}

}  // namespace
