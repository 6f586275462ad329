// A whole disc's pieces that need no run: track numbers of names, disc ids, a track's record.

#include <gtest/gtest.h>

#include "audio/ar_response.h"
#include "audio/audio_span.h"
#include "audio/track_file.h"
#include "disc/disc_shift.h"
#include "reference_checksums.h"
#include "run/run_record.h"
#include "test_support.h"

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

// A span file's text reads back as it was written (a path with a newline and a blank in it), and
// text that is not one is refused.
TEST(DiscTest, SpanFilesReadBackAsWritten) {
    audio_span span;
    span.tags_from = "r1/01 - A.flac";
    span.add_absent(300);
    span.add("r5/0\n1.flac", 1000, 20);
    span.add("r5/0\n1.flac", 1020, 5);  // continues the piece before: joined
    span.add("r5/02.wav", 0, 7);
    audio_span back;
    const char* why = nullptr;
    ASSERT_EQ(0, parse_span_text(span_text(span), back, &why)) << why;
    ASSERT_EQ(3u, back.pieces.size());
    EXPECT_EQ(332u, back.frames());
    EXPECT_EQ("r1/01 - A.flac", back.tags_from);
    EXPECT_EQ("r5/0\n1.flac", back.pieces[1].path);
    EXPECT_EQ(1000u, back.pieces[1].first);
    EXPECT_EQ(25u, back.pieces[1].frames);
    EXPECT_TRUE(back.pieces[0].path.empty());
    const std::string text = span_text(span);
    for (const std::string& bad : {text.substr(1), text.substr(0, text.size() - 2), text + "file 1 2 9:x\n",
                                   std::string(SPAN_SIGNATURE) + "rate 44100\nchannels 2\n"})
        EXPECT_EQ(-1, parse_span_text(bad, back, &why)) << bad;
}

// The disc's true offset against the sums written down frame by frame: three restored tracks cut
// `late` frames late, a response file of the original tracks' sums (v1, v2 or both; a second
// pressing's that match nowhere), and the offset every shift's sums find. With `wrong` frames, each
// restored track keeps that many wrong frames, listed among its doubtful frames with the right word
// unless `listed` is false: one other word counts on v1 or v2, two only on both.
TEST(DiscTest, TrueOffsetFromEveryShiftsSums) {
    enum sums_kind { V1, V2, BOTH };
    const struct {
        long late;
        sums_kind kind;
        bool right;  // false: the sums of other audio, which must verify nowhere
        size_t wrong = 0;
        bool listed = true;
        bool found = true;
    } cases[] = {{300, V2, true},
                 {-2940, V1, true},
                 {0, V2, true},
                 {1234, V2, false, 0, true, false},
                 {300, V2, true, 1},
                 {-17, V1, true, 1},
                 {2000, BOTH, true, 2},
                 {300, V2, true, 2, true, false},  // two changes on one sum: chance, not taken
                 {300, V2, true, 1, false, false},
                 {1234, BOTH, false, 2, true, false}};
    for (const auto& c : cases) {
        testing_support::ScopedTempDir dir;
        const size_t lengths[] = {9000, 7001, 8000};
        std::string disc = testing_support::random_bytes(4 * 24001, 5);
        const std::string other = testing_support::random_bytes(disc.size(), 6);
        const std::string& truth = c.right ? disc : other;
        std::vector<std::string> records(c.kind == BOTH ? 2 : 1, std::string(1, 3) + std::string(12, '\0'));
        std::vector<std::string> outputs;
        std::vector<std::vector<doubtful_frame>> doubtful(3);
        disc_alignment a;
        a.cut = {0};
        for (size_t t = 0, at = 0; t < 3; at += lengths[t++]) {
            a.cut.push_back(a.cut.back() + static_cast<int64_t>(lengths[t]));
            const std::string pcm = truth.substr(4 * at, 4 * lengths[t]);
            const auto sums = testing_support::reference_track_sums(pcm, t == 0 ? 2940 : 1,
                                                                    t == 2 ? lengths[t] - 2940 : lengths[t]);
            for (size_t r = 0; r < records.size(); r++) {
                const uint32_t sum = c.kind == V1 || (c.kind == BOTH && r == 0) ? sums.v1 : sums.v2;
                records[r] += std::string(1, 7) + testing_support::le32(sum) + testing_support::le32(0);
            }
            // The restored track as cut `late` frames late: zeros past the disc's ends.
            std::string cut;
            for (size_t f = 0; f < lengths[t]; f++) {
                const long src = static_cast<long>(at + f) + c.late;
                cut += src >= 0 && src < 24001 ? disc.substr(4 * static_cast<size_t>(src), 4) : std::string(4, '\0');
            }
            // Its wrong frames, in the part every shift counts, each with a decoy word first.
            for (size_t k = 0; k < c.wrong; k++) {
                const size_t q = 3500 + 1111 * k + 7 * t;
                doubtful_frame f;
                f.frame = q;
                uint32_t right = 0;
                for (int b = 3; b >= 0; b--) right = right << 8 | static_cast<uint8_t>(cut[4 * q + b]);
                f.voted = right ^ (0x10001u << k);
                f.words = {right ^ 0x4, c.listed ? right : right ^ 0x8};
                cut.replace(4 * q, 4, testing_support::le32(f.voted));
                doubtful[t].push_back(f);
            }
            outputs.push_back(dir.file("t" + std::to_string(t) + ".wav"));
            testing_support::write_file(outputs.back(), testing_support::wav_file(cut));
        }
        std::string response;
        for (const std::string& r : records) response += r;
        response += std::string(1, 3) + std::string(12, '\0');  // a second pressing
        for (size_t t = 0; t < 3; t++) response += std::string(1, 2) + testing_support::le32(0x1234567u + t) + testing_support::le32(0);
        disc_streams streams;
        shift_verdict v;
        std::string why;
        ASSERT_EQ(0, find_true_offset(streams, a, outputs, doubtful, response, v, why)) << why;
        EXPECT_EQ(c.found, v.found) << c.late << " " << c.wrong;
        if (c.found) {
            EXPECT_EQ(c.late, v.offset);
            EXPECT_EQ(3u, v.verified);
        }
        EXPECT_EQ(2u, v.needed);
        EXPECT_LT(v.chance, DISC_SHIFT_CHANCE);
    }
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
    t.repair = "repaired: 2 samples in 1 frame changed to match, at 00:01.000";
    t.repaired_samples = 2;
    t.suspicious = {{"00:00.100", 4410, "no-copy"}, {"01:02.003", 2734452, "guess"}};
    t.doubtful = {{4410, 0x80007fffu, {0x7fff7fffu, 0x8000u}}, {9, 1, {}}};
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
    ASSERT_EQ(2u, b.doubtful.size());
    EXPECT_EQ(0x8000u, b.doubtful[0].words.at(1));
    EXPECT_FALSE(back.inputs[0].placed);
    EXPECT_TRUE(back.inputs[1].placed);
    for (const char* bad : {"", "[1, 2]", "{\"tracks\": 3}", "{\"version\": \"1\""}) {
        run_record none;
        EXPECT_EQ(-1, read_run_record(bad, none)) << bad;
    }
}

}  // namespace
