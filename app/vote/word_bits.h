#pragma once
// Byte-wise arithmetic on 64-bit words, shared by the word scan and the vote: a word holds eight
// bytes of a block, the byte at the lowest address in the lowest bits.

#include <cstdint>

#include "base/coding.h"

// A block's 8-byte word at `p` (load64 and store64 under the vote's name for them).
inline uint64_t load_word(const uint8_t* p) { return load64(p); }
inline void store_word(uint8_t* p, uint64_t v) { store64(p, v); }

const uint64_t LOW7 = 0x7F7F7F7F7F7F7F7Full;
const uint64_t HIGH1 = 0x8080808080808080ull;

// The high bit of every byte of x that is not zero (exact: no carry crosses a byte).
inline uint64_t nonzero_bytes(uint64_t x) { return (((x & LOW7) + LOW7) | x) & HIGH1; }

// Widens a mask of byte high bits to whole bytes.
inline uint64_t byte_mask(uint64_t high_bits) { return (high_bits >> 7) * 0xFF; }

// Number of bytes marked in a mask of byte high bits (without relying on a popcount instruction,
// which the baseline x86-64 target lacks).
inline unsigned count_bytes(uint64_t high_bits) {
    return static_cast<unsigned>(((high_bits >> 7) * 0x0101010101010101ull) >> 56);
}
