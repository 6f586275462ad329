#pragma once
// The checksums a ripped track is checked against: AccurateRip v1 and v2 and the CRC32 of its
// audio, and any digest of the audio that the user expects, computed in one pass over the output
// as the block loop writes it.
//
// AccurateRip: for frames i = 1..N of the track (a frame: one 32-bit little-endian word, the left
// sample in the low half), p = i * word as a 64-bit product; v1 = sum of low32(p), v2 = sum of
// low32(p) + high32(p), both mod 2^32. The first track of a disc leaves out frames 1..2939 (i still
// counts from the track's start), the last its last 2940 frames; the only track of a disc both.

#include <gcrypt.h>

#include <cstdint>

// Which track of its disc the output is: track `number` of `count`; 0 of 0 for a track in the
// middle of a disc, whose every frame counts.
struct track_position {
    uint32_t number = 0;
    uint32_t count = 0;
};

// Frames the first and the last track leave out of the AccurateRip sums.
const uint64_t AR_FIRST_TRACK_SKIP = 2939;
const uint64_t AR_LAST_TRACK_SKIP = 2940;

// The frames first..last (1-based, inclusive) that count in the sums of a track of `frames`
// frames at `pos`; first > last when none does.
void ar_counted_range(uint64_t frames, track_position pos, uint64_t& first, uint64_t& last);

inline uint32_t ar_v1_term(uint64_t index, uint32_t word) { return static_cast<uint32_t>(index * word); }

inline uint32_t ar_v2_term(uint64_t index, uint32_t word) {
    const uint64_t p = index * word;
    return static_cast<uint32_t>(p) + static_cast<uint32_t>(p >> 32);
}

// The most digests of the audio that can be expected at once.
const unsigned MAX_AUDIO_DIGESTS = 8;

class track_checksums {
  public:
    // Set by start(): where the audio lies in the output and whether the sums apply to it.
    bool applies = false;             // 16-bit stereo at 44.1 kHz (or raw data, taken as such)
    uint64_t audio_begin = 0;         // output offset of the first audio byte
    uint64_t audio_end = UINT64_MAX;  // output offset past the last one (trailing chunks excluded)

    // After finish().
    uint64_t frames = 0;  // whole frames of audio the output held
    uint32_t v1 = 0, v2 = 0, crc32 = 0;

    track_checksums() = default;
    ~track_checksums();
    track_checksums(const track_checksums&) = delete;
    track_checksums& operator=(const track_checksums&) = delete;

    // Prepares the sums for a track at `pos` and the digests `algos` (libgcrypt ids, `n` of them,
    // at most MAX_AUDIO_DIGESTS). Returns 0 or the libgcrypt error code.
    unsigned start(track_position pos, const int* algos, unsigned n);

    // Takes the layout from the output's first `n` bytes: a WAV header's data chunk, or the whole
    // output for data that is not WAV. Call before the first feed().
    void set_layout(const uint8_t* head, uint64_t n);

    // Feeds output bytes [offset, offset + n); only those inside the audio count. REQUIRES: called
    // in output order without gaps.
    void feed(uint64_t offset, const uint8_t* data, uint64_t n);

    // Ends the sums; the last track's tail is taken out here. Digests are then readable.
    void finish();

    // Takes the finished sums and digests of `other` (started alike), leaving it with these.
    void adopt(track_checksums& other);

    // The digest of algorithm `algo` (one of start()'s), or null.
    const uint8_t* digest(int algo) const;

  private:
    void add_frame(uint32_t word);
    void feed_audio(const uint8_t* data, uint64_t n);

    track_position pos_;
    uint64_t first_counted_ = 1;
    gcry_md_hd_t md_ = nullptr;
    uint8_t carry_[4] = {};  // a frame split between two feeds
    unsigned carried_ = 0;
    // The last track's sums leave out its last frames, which are known only at the end: the
    // terms of the latest AR_LAST_TRACK_SKIP frames are kept to be taken out again.
    uint32_t* tail_v1_ = nullptr;
    uint32_t* tail_v2_ = nullptr;
};
