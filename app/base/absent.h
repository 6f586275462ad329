#pragma once
// Stretches of a block that an input does not hold: bytes it never read (a copy read from another
// offset that starts late or ends early, bytes outside its audio) or knows to be lost. The reader
// of a block fills its input's list and puts input 0's bytes into those stretches, so that the
// word scan sees no dispute from an absent copy alone; the vote then leaves the copy out of every
// position it lacks (it joins no group, earns no hits and is never the best-scored guess).
// Input 0 may be absent too (a FLAC copy that lost frames): the output is made in its block, so
// fill_absent puts there the first present copy's bytes, or silence where no copy holds them.

#include <cstdint>

#include "base/globals.h"

struct absent_range {
    uint64_t lo;  // block offsets [lo, hi)
    uint64_t hi;
};

struct block_absence {
    static constexpr uint64_t MAX_RANGES = 4;
    uint8_t n[MAX_INPUTS];                       // ranges of each input in the current block, 0 for most
    absent_range range[MAX_INPUTS][MAX_RANGES];  // in block order, not overlapping

    // Forgets input i's ranges: called before each of its blocks is read.
    void clear(uint64_t i) { n[i] = 0; }

    // Marks [lo, hi) of input i's block absent; empty ranges are ignored. REQUIRES: ranges of an
    // input are added in block order, at most MAX_RANGES per block.
    void add(uint64_t i, uint64_t lo, uint64_t hi) {
        if (hi <= lo) return;
        range[i][n[i]++] = absent_range{lo, hi};
    }

    // Bit b set when byte `from` + b (b < 8) of input i's block is absent.
    uint8_t byte_mask(uint64_t i, uint64_t from) const {
        uint64_t bits = 0;
        for (uint64_t r = 0; r < n[i]; r++) {
            const absent_range& a = range[i][r];
            if (a.hi <= from || a.lo >= from + 8) continue;
            const uint64_t lo = a.lo > from ? a.lo - from : 0;
            const uint64_t hi = a.hi < from + 8 ? a.hi - from : 8;
            bits |= ((1ull << hi) - 1) & ~((1ull << lo) - 1);
        }
        return static_cast<uint8_t>(bits);
    }

    // True when byte q of input i's block is absent.
    bool absent_at(uint64_t i, uint64_t q) const {
        for (uint64_t r = 0; r < n[i]; r++) {
            if (q >= range[i][r].lo && q < range[i][r].hi) return true;
        }
        return false;
    }
};

// Puts into every absent stretch of the first `len` bytes of the blocks what the vote expects
// there: input 0 takes, byte by byte, the first present copy's byte (0 where every copy lacks it,
// so that what nobody holds comes out as silence); every other copy then takes input 0's bytes.
inline void fill_absent(const block_absence& a, uint8_t* const* blocks, uint64_t count, uint64_t len) {
    for (uint64_t r = 0; r < a.n[0]; r++) {
        const uint64_t hi = a.range[0][r].hi < len ? a.range[0][r].hi : len;
        for (uint64_t q = a.range[0][r].lo; q < hi; q++) {
            uint8_t value = 0;
            for (uint64_t i = 1; i < count; i++) {
                if (a.absent_at(i, q)) continue;
                value = blocks[i][q];
                break;
            }
            blocks[0][q] = value;
        }
    }
    for (uint64_t i = 1; i < count; i++) {
        for (uint64_t r = 0; r < a.n[i]; r++) {
            const uint64_t lo = a.range[i][r].lo, hi = a.range[i][r].hi < len ? a.range[i][r].hi : len;
            for (uint64_t q = lo; q < hi; q++) blocks[i][q] = blocks[0][q];
        }
    }
}
