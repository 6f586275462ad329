#pragma once
// What a change of one frame does to a track's sums, for the repair search: AccurateRip's terms and
// the bits of v1 and of the products' high halves that a change can reach, and the change to the
// CRC32 in constant time. Each is a sum of independent per-frame terms (AccurateRip modulo 2^32,
// CRC32 by XOR), so no change needs the track read again.

#include <cstdint>

// The bits of AccurateRip v1 that a change of frame `index` can reach: v1 adds index * word modulo
// 2^32, so a change of the right sample (the word's high half) moves only bits 16..31, and each low
// zero bit of the index moves the lowest reachable bit one up. 0 when nothing is reached.
unsigned ar_v1_reach(uint64_t index, bool left_changes);

// The bits of the sum of AccurateRip's high halves (v2 - v1) that a change of frame `index` from
// word `from` to `to` can reach: the high half of index * word moves by at most
// index * |to - from| / 2^32 + 1 either way, so of the values it can take, floor(log2) bits' worth.
unsigned ar_high_reach(uint64_t index, uint32_t from, uint32_t to);

// The AccurateRip terms of frame `index` holding `word`: v1's low32(index * word) and v2's
// low32 + high32 of the 64-bit product.
uint32_t ar_v1_term(uint64_t index, uint32_t word);
uint32_t ar_v2_term(uint64_t index, uint32_t word);

// The change to the CRC32 of a track of `track_bytes` bytes when the 4 bytes at `offset` change by
// XOR with `delta` (little-endian word): CRC32(data ^ d) = CRC32(data) ^ crc32_xor_effect(...).
// 0 when the 4 bytes do not lie inside the track.
uint32_t crc32_xor_effect(uint64_t track_bytes, uint64_t offset, uint32_t delta);
