#pragma once
// What every stage of the --cd vote reads: a copy's 16-bit samples in the current block, the
// stretch of the block that is audio, and the step from a sample to the same channel's next.
// Positions are block offsets of a sample's first byte; a position before the block wraps round
// to a huge offset, which no test of "is it audio" lets through.

#include <cstdint>

#include "base/coding.h"
#include "vote/cd_vote.h"

// Up to this many copies are grouped pair by pair: the value table of cd_scratch would cost a
// cache miss per copy at every disputed sample.
const uint64_t CD_PAIRWISE_COPIES = 16;

// A sample as the key of a value table.
inline uint16_t cd_key(int16_t v) { return static_cast<uint16_t>(v); }

// Copy c's sample at p.
inline int16_t cd_sample(const cd_block& b, uint64_t c, uint64_t p) {
    return load_sample16(b.in_blocks[c] + p);
}

// The mean of a and b rounded down, also below zero: what a drive writes for a lost sample.
inline int32_t cd_floor_mean(int32_t a, int32_t b) {
    const int32_t sum = a + b;
    return (sum - (sum & 1)) / 2;
}

// n / d rounded down; d > 0.
inline int32_t cd_floor_div32(int32_t n, int32_t d) { return n / d - (n % d != 0 && n < 0); }

// The samples of the current block that are audio, as offsets into the block: [lo, hi).
struct cd_audio {
    uint64_t lo;
    uint64_t hi;
};

inline cd_audio cd_audio_of_block(const cd_block& b) {
    const cd_layout& l = *b.layout;
    cd_audio r = {0, 0};
    // After an odd short read, the block's even offsets are no longer sample starts.
    if (b.block_start % 2 != 0 || l.data_end <= b.block_start) return r;
    r.lo = l.data_begin > b.block_start ? l.data_begin - b.block_start : 0;
    const uint64_t end = l.data_end - b.block_start;
    r.hi = end < b.block_len ? end : b.block_len;
    if (r.lo > r.hi) r.lo = r.hi;
    return r;
}

// Bytes from a sample to the same channel's next: a frame.
inline uint64_t cd_step(const cd_block& b) { return 2 * b.layout->channels; }

// True when the sample at p (which may lie before the block: p is then huge) is audio.
inline bool cd_is_audio(const cd_audio& r, uint64_t p) { return p >= r.lo && p < r.hi && p + 2 <= r.hi; }

// The block offset of the frame that holds the audio sample at p.
inline uint64_t cd_frame_start(const cd_block& b, uint64_t p) {
    return p - (b.block_start + p - b.layout->data_begin) % cd_step(b);
}
