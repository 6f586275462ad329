// A whole disc's pieces that need no run: track numbers of names, disc ids, a track's record.

#include <gtest/gtest.h>

#include "audio/ar_response.h"
#include "audio/track_file.h"
#include "run/run_record.h"

#include <vector>

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

// A track's run writes its record as JSON and the disc reads it back: every figure the disc
// prints comes back as it was written, and text that is not a record is refused.
TEST(DiscTest, TrackRecordsComeBackAsWritten) {
    run_record r;
    r.version = "0.1.0";
    r.command = shell_quoted(4, std::vector<const char*>{"copyvote", "it's.wav", "a b", "-o"}.data());
    EXPECT_EQ("copyvote 'it'\\''s.wav' 'a b' -o", r.command);
    input_record in;
    in.name = "rip1/01.flac";
    in.format = "flac";
    in.placed = false;
    in.samples_lost = 8192;
    in.hits = 77;
    r.inputs = {in, input_record()};
    track_record t;
    t.number = 7;
    t.file = "out/07.flac";
    t.copies = 5;
    t.disputed_samples = 5291;
    t.guessed_samples = 3;
    t.overruled_samples = 12;
    t.no_copy_samples = 4;
    t.disputed_bytes = 10000;
    t.has_sums = true;
    t.arv1 = 0x1;
    t.arv2 = 0xfedcba98;
    t.crc32 = 0x0badcafe;
    t.verdict = "verified";
    t.note = "AccurateRip matches (v2, confidence 12)";
    t.confidence = 12;
    t.has_pressing = true;
    t.pressing = 1;
    t.repair = "repaired: 2 samples in 1 frames changed to match, at 00:01.000";
    t.repaired_samples = 2;
    t.suspicious = {{"00:00.100", 4410, "no-copy"}, {"01:02.003", 2734452, "guess"}};
    r.tracks = {t};
    r.status = 1;
    const std::string json = run_record_json(r);
    EXPECT_NE(std::string::npos, json.find("\"arv1\": \"00000001\""));
    EXPECT_NE(std::string::npos, json.find("\"shift_bytes\": null"));
    run_record back;
    ASSERT_EQ(0, read_run_record(json, back));
    EXPECT_EQ(run_record_json(back), json);
    const track_record& b = back.tracks.at(0);
    EXPECT_EQ(5291u, b.disputed_samples);
    EXPECT_EQ(0x0badcafeu, b.crc32);
    EXPECT_EQ("verified", b.verdict);
    EXPECT_EQ(2u, b.suspicious.size());
    EXPECT_FALSE(back.inputs[0].placed);
    EXPECT_TRUE(back.inputs[1].placed);
    for (const char* bad : {"", "[1, 2]", "{\"tracks\": 3}", "{\"version\": \"1\""}) {
        run_record none;
        EXPECT_EQ(-1, read_run_record(bad, none)) << bad;
    }
}

}  // namespace
