// The track's checksums against a plain reference: every track position, fed at once and in
// pieces that split frames, WAV layouts, and what does not apply.

#include "audio/track_checksums.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio/ar_response.h"
#include "reference_checksums.h"
#include "test_support.h"

namespace {

using testing_support::reference_crc32;
using testing_support::reference_sums;

reference_sums reference(const std::string& pcm, uint64_t first, uint64_t last) {
    return testing_support::reference_track_sums(pcm, first, last);
}

// Feeds `file` in pieces of `piece` bytes.
void compute(track_checksums& t, const std::string& file, size_t piece, track_position pos) {
    ASSERT_EQ(t.start(pos, nullptr, 0), 0u);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(file.data());
    t.set_layout(bytes, file.size());
    for (size_t at = 0; at < file.size(); at += piece) t.feed(at, bytes + at, std::min(piece, file.size() - at));
    t.finish();
}

TEST(TrackChecksums, EveryTrackPositionMatchesTheReferenceFedAtOnceOrInPieces) {
    const std::string pcm = testing_support::random_bytes(4 * 7000, 3);
    const uint64_t n = 7000;
    const struct {
        track_position pos;
        uint64_t first, last;
    } cases[] = {{{0, 0}, 1, n}, {{1, 5}, 2940, n}, {{5, 5}, 1, n - 2940}, {{1, 1}, 2940, n - 2940}, {{3, 5}, 1, n}};
    for (const auto& c : cases) {
        const reference_sums want = reference(pcm, c.first, c.last);
        for (size_t piece : {pcm.size() + 44, size_t{4097}, size_t{7}}) {
            track_checksums t;
            compute(t, testing_support::wav_file(pcm), piece, c.pos);
            EXPECT_TRUE(t.applies);
            EXPECT_EQ(t.frames, n);
            EXPECT_EQ(t.v1, want.v1) << c.pos.number << "/" << c.pos.count << " by " << piece;
            EXPECT_EQ(t.v2, want.v2) << c.pos.number << "/" << c.pos.count << " by " << piece;
            EXPECT_EQ(t.crc32, want.crc32);
        }
    }
    uint64_t first, last;
    ar_counted_range(2000, {1, 1}, first, last);  // a track shorter than both exclusions
    EXPECT_GT(first, last);
}

TEST(TrackChecksums, OnlyTheAudioCountsAndOtherAudioDoesNotApply) {
    const std::string pcm = testing_support::random_bytes(4000, 4);
    std::string tagged = testing_support::wav_file(pcm) + "LIST" + std::string(4, '\0');
    track_checksums t;
    compute(t, tagged, 1000, {});
    EXPECT_EQ(t.crc32, reference(pcm, 1, 1000).crc32);  // the trailing chunk is left out

    track_checksums raw;
    compute(raw, pcm, 999, {});
    EXPECT_TRUE(raw.applies);
    EXPECT_EQ(raw.v2, reference(pcm, 1, 1000).v2);

    std::string mono = testing_support::wav_file(pcm);
    mono[22] = 1;  // one channel
    track_checksums other;
    compute(other, mono, 1000, {});
    EXPECT_FALSE(other.applies);
}

TEST(ArResponse, RecordsAreReadAndDamageIsRefused) {
    const std::string entry2 = std::string("\x07", 1) + "\x44\x33\x22\x11" + "abcd";
    const std::string record = std::string("\x02", 1) + std::string(12, 'i') + std::string(9, 'e') + entry2;
    ar_response r;
    const char* why = "";
    ASSERT_EQ(parse_ar_response(reinterpret_cast<const uint8_t*>((record + record).data()), 2 * record.size(), 2, r,
                                &why),
              0);
    EXPECT_EQ(r.records, 2u);
    ASSERT_EQ(r.entries.size(), 2u);
    EXPECT_EQ(r.entries[1].confidence, 7);
    EXPECT_EQ(r.entries[1].sum, 0x11223344u);
    for (size_t cut : {size_t{0}, size_t{1}, record.size() - 1}) {
        EXPECT_EQ(parse_ar_response(reinterpret_cast<const uint8_t*>(record.data()), cut, 2, r, &why), -1) << cut;
    }
}

}  // namespace
