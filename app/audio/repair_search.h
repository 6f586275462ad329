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

#include "audio/repair_terms.h"

// One doubtful frame of the track (a frame: one 32-bit little-endian word, left sample in the low
// half) and the other words it could hold: the copies' own words (those most copies hold first),
// then the combinations of the copies' values at its doubtful samples. The search takes frames in
// the order given: the least sure of the vote first (vote/doubt_list.h).
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
    // is tried as v1 and as v2, and two that could be one pressing's v1 and v2 as a pair, looked up
    // by value. With want_v1 or want_v2 the search matches those alone and leaves these to the
    // check of the output read back.
    std::vector<uint32_t> ar_any;
};

struct repair_change {
    uint64_t frame;  // index into the repair_frame array
    uint32_t word;   // the word it takes
};

struct repair_result {
    bool found = false;          // `changes` make the track match every wanted value
    bool bound_reached = false;  // the search stopped at a bound before it covered every frame
    bool work_reached = false;   // of which: the work it may do, before the chance bound
    // Two different combinations matched, of one size or of the size found and the next: neither is
    // taken. `sizes` are their sizes.
    bool ambiguous = false;
    unsigned sizes[2] = {0, 0};
    uint64_t tried = 0;   // combinations compared with a wanted value (by the way that compared most)
    double chance = 0;    // their summed chance of matching by accident
    uint64_t work = 0;    // hash-table entries, look-ups, expected values and candidates handled
    uint64_t frames = 0;  // frames with a candidate that moves a checked sum
    // Of those, frames none of whose changes reaches enough bits of what is wanted to be compared with
    // it: all of them means the checks can settle nothing there. `reach_bits` is the most bits a
    // change reaches (CRC32 and AccurateRip together), `values` the values a combination may match.
    uint64_t unsettled = 0;
    uint64_t short_reach = 0;  // frames not compared with one way of matching (as v1, say): unsettled too
    unsigned reach_bits = 0;
    uint64_t values = 0;
    std::vector<repair_change> changes;  // by frame, in array order; empty when the vote matched
};

// What the search may spend: the summed chance that one of the combinations it compares matches by
// accident (a single comparison whose chance is above a tenth of it is not made, but for the
// least sure frame's own changes, which may spend a quarter of it first), and the work, in
// hash-table entries, look-ups, expected values and candidates (well under a second of one core).
const double REPAIR_ACCIDENT_CHANCE = 1e-6;
const uint64_t REPAIR_MOST_WORK = 8000000;

// Searches combinations of 1, 2, 3 ... changed frames, best-ranked frames first, for one that
// matches every wanted value. Each check counts the bits a change can reach: CRC32 all 32 of a frame
// it counts; AccurateRip v1 32 less the index's low zero bits where the left sample changes and 16
// less them where only the right one does (ar_v1_reach); v2 is v1 plus the sum of the products'
// high halves, so it reaches at most 32 of v1's bits and those of the high halves (ar_high_reach),
// and v1 and v2 matched at once reach both. A combination reaches the most any of its frames reaches
// of each. Its chance of matching by accident is 2^-bits per value (or pair of values) it may match,
// the bits of CRC32 and AccurateRip added up. --expect's v1 and v2 are matched as one pair; a
// response file's values each as v1 and as v2, and, where two of them could be one pressing's v1
// and v2 (v2 - v1 near the voted track's), as that pair. The pairs and the rest (or, with CRC32,
// everything) each take their own run of best-ranked frames and an equal share of the bounds: each
// compares combinations until their chances add up to its share of REPAIR_ACCIDENT_CHANCE, each
// size spending half of what is left, and stops at its share of REPAIR_MOST_WORK. Where the
// combinations that reach few bits would use up a size's share among the first frames, half of it
// goes to a deeper pass over those reaching more. A match is not taken at once: the next size is
// searched within the same bounds, and a second combination that matches makes the answer
// ambiguous.
repair_result repair_search(const std::vector<repair_frame>& frames, const repair_target& target);
