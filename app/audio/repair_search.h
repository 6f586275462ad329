#pragma once
// The repair search: when the voted track does not match a known checksum, find values among the
// copies' at the doubtful places whose use makes it match. The track's AccurateRip sums and its
// CRC32 are sums of independent per-place terms (AccurateRip per frame mod 2^32, CRC32 by XOR of
// per-byte terms), so the effect of any change is known in constant time and combinations are
// searched by hashing, never by reading the track again.
//
// Works on arrays only: the run gathers the doubtful frames and their candidates while it votes,
// and writes the chosen words into the output afterwards.

#include <cstdint>
#include <vector>

// One doubtful frame of the track (a frame: one 32-bit little-endian word, left sample in the low
// half) and the other words it could hold: the combinations of the copies' values at its doubtful
// samples, best first (no majority first, then the narrowest majorities, overruled concealments).
// A frame whose index lies outside 1 .. repair_target::frames cannot be placed and is left out.
struct repair_frame {
    uint64_t index = 0;           // the frame's number in the track, 1-based (the AccurateRip weight)
    uint32_t voted = 0;           // the word the vote wrote
    std::vector<uint32_t> words;  // other words it could hold, without `voted`
};

// The track as voted and what it must match.
struct repair_target {
    uint64_t frames = 0;  // frames in the track
    // Frames first_counted .. last_counted (1-based, inclusive) count in the AccurateRip sums.
    uint64_t first_counted = 1;
    uint64_t last_counted = 0;
    uint32_t voted_v1 = 0, voted_v2 = 0, voted_crc32 = 0;  // the voted track's sums
    // What must match; a kind with no value is not checked. At least one must be given.
    bool want_v1 = false, want_v2 = false, want_crc32 = false;
    uint32_t v1 = 0, v2 = 0, crc32 = 0;
    // Any of these AccurateRip values may match (a response file lists several pressings); each
    // is tried as v1 and as v2.
    std::vector<uint32_t> ar_any;
};

struct repair_change {
    uint64_t frame;  // index into the repair_frame array
    uint32_t word;   // the word it takes
};

struct repair_result {
    bool found = false;                  // `changes` make the track match every wanted value
    bool bound_reached = false;          // the search stopped at the bound (or its time) without a match
    bool ambiguous = false;              // two combinations of the fewest changes matched: neither is taken
    uint64_t tried = 0;                  // combinations looked at
    uint64_t bound = 0;                  // combinations the chance of an accidental match allowed
    std::vector<repair_change> changes;  // by frame, in array order; empty when the vote matched
};

// Searches combinations of 1, 2, 3 ... changed frames, best-ranked frames first, for one that
// matches every wanted value. The number of combinations compared against one 32-bit checksum is
// bounded so that the chance of a wrong combination matching by accident stays below one in a
// million (about 4,000 for one 32-bit value; far more when two independent values must match);
// the search stops there and says so. The time taken is bounded too: with many doubtful frames
// the larger combinations are searched among the best-ranked frames only.
repair_result repair_search(const std::vector<repair_frame>& frames, const repair_target& target);

// The AccurateRip terms of frame `index` holding `word`: v1's low32(index * word) and v2's
// low32 + high32 of the 64-bit product.
uint32_t ar_v1_term(uint64_t index, uint32_t word);
uint32_t ar_v2_term(uint64_t index, uint32_t word);

// The change to the CRC32 of a track of `track_bytes` bytes when the 4 bytes at `offset` change by
// XOR with `delta` (little-endian word): CRC32(data ^ d) = CRC32(data) ^ crc32_xor_effect(...).
// 0 when the 4 bytes do not lie inside the track.
uint32_t crc32_xor_effect(uint64_t track_bytes, uint64_t offset, uint32_t delta);
