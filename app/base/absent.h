#pragma once
// Stretches of a block that an input does not hold: bytes it never read (a copy read from another
// offset that starts late or ends early, bytes outside its audio, a copy shorter than the output)
// or knows to be lost. The reader of a block fills its input's list; fill_absent then puts into
// those stretches what the vote expects there, so that the word scan sees no dispute from an
// absent copy alone; the vote leaves the copy out of every position it lacks (it joins no group,
// earns no hits and is never the best-scored guess).
//
// Every stretch is kept exactly, however many a block has: joining two stretches would take the
// good bytes between them for absent ones, and where the joined stretches of all copies overlap,
// bytes that some copy holds would be written as silence. An input's list keeps its room from
// block to block, so that it is allocated only when a block has more stretches than any before.

#include <cstdint>
#include <cstring>
#include <vector>

#include "base/globals.h"

struct absent_range {
    uint64_t lo;  // block offsets [lo, hi)
    uint64_t hi;
};

struct block_absence {
    uint32_t n[MAX_INPUTS] = {};                  // ranges of each input in the current block, 0 for most
    std::vector<absent_range> range[MAX_INPUTS];  // the first n[i] are input i's, in block order

    // Forgets input i's ranges: called before each of its blocks is read.
    void clear(uint64_t i) { n[i] = 0; }

    // Marks [lo, hi) of input i's block absent; empty ranges are ignored, and a range that starts
    // within or right after the previous one extends it. REQUIRES: ranges of an input added in
    // block order (lo not below the previous range's lo).
    void add(uint64_t i, uint64_t lo, uint64_t hi) {
        if (hi <= lo) return;
        std::vector<absent_range>& list = range[i];
        if (n[i] > 0 && list[n[i] - 1].hi >= lo) {
            if (hi > list[n[i] - 1].hi) list[n[i] - 1].hi = hi;
            return;
        }
        if (n[i] < list.size()) {
            list[n[i]] = absent_range{lo, hi};
        } else {
            list.push_back(absent_range{lo, hi});
        }
        n[i]++;
    }

    // The index of input i's first range that ends after offset q (n[i] when none does).
    uint32_t first_after(uint64_t i, uint64_t q) const {
        uint32_t lo = 0, hi = n[i];
        while (lo < hi) {
            const uint32_t mid = lo + (hi - lo) / 2;
            if (range[i][mid].hi <= q) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        return lo;
    }

    // Bit b set when byte `from` + b (b < 8) of input i's block is absent.
    uint8_t byte_mask(uint64_t i, uint64_t from) const {
        uint64_t bits = 0;
        for (uint32_t r = first_after(i, from); r < n[i] && range[i][r].lo < from + 8; r++) {
            const absent_range& a = range[i][r];
            const uint64_t lo = a.lo > from ? a.lo - from : 0;
            const uint64_t hi = a.hi < from + 8 ? a.hi - from : 8;
            bits |= ((1ull << hi) - 1) & ~((1ull << lo) - 1);
        }
        return static_cast<uint8_t>(bits);
    }

    // True when byte q of input i's block is absent.
    bool absent_at(uint64_t i, uint64_t q) const {
        const uint32_t r = first_after(i, q);
        return r < n[i] && range[i][r].lo <= q;
    }
};

// Puts into every absent stretch of the first `len` bytes of the blocks what the vote expects
// there: input 0 takes the first present copy's bytes (0 where every copy lacks them, so that what
// nobody holds comes out as silence); every other copy then takes input 0's bytes. Each stretch
// that no copy holds is handed to `unheld(lo, hi)` (block offsets), in block order.
template <typename Unheld>
void fill_absent(const block_absence& a, uint8_t* const* blocks, uint64_t count, uint64_t len,
                 Unheld unheld) {
    uint32_t next[MAX_INPUTS];  // each input's first range not yet behind the position
    for (uint64_t i = 1; i < count; i++) next[i] = 0;
    for (uint32_t r = 0; r < a.n[0]; r++) {
        const uint64_t hi = a.range[0][r].hi < len ? a.range[0][r].hi : len;
        for (uint64_t q = a.range[0][r].lo; q < hi;) {
            // Which copy comes first at q, and how far that stays so: an absent copy can come
            // back at the end of its range, the copy found can leave at the start of its next.
            uint64_t end = hi, from = MAX_INPUTS;
            for (uint64_t i = 1; i < count && from == MAX_INPUTS; i++) {
                while (next[i] < a.n[i] && a.range[i][next[i]].hi <= q) next[i]++;
                const bool more = next[i] < a.n[i];
                if (more && a.range[i][next[i]].lo <= q) {
                    if (a.range[i][next[i]].hi < end) end = a.range[i][next[i]].hi;
                    continue;
                }
                if (more && a.range[i][next[i]].lo < end) end = a.range[i][next[i]].lo;
                from = i;
            }
            if (from == MAX_INPUTS) {
                memset(blocks[0] + q, 0, end - q);
                unheld(q, end);
            } else {
                memcpy(blocks[0] + q, blocks[from] + q, end - q);
            }
            q = end;
        }
    }
    for (uint64_t i = 1; i < count; i++) {
        for (uint32_t r = 0; r < a.n[i]; r++) {
            const uint64_t lo = a.range[i][r].lo, hi = a.range[i][r].hi < len ? a.range[i][r].hi : len;
            if (lo < hi) memcpy(blocks[i] + lo, blocks[0] + lo, hi - lo);
        }
    }
}

// fill_absent without looking at what no copy holds.
inline void fill_absent(const block_absence& a, uint8_t* const* blocks, uint64_t count, uint64_t len) {
    fill_absent(a, blocks, count, len, [](uint64_t, uint64_t) {});
}
