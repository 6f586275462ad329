#pragma once
// The repair search's model of what must match (audio/repair_search.h): the sums a combination of
// changed frames is compared on, at what chance, and the candidates gathered from the doubtful
// frames, each with what it changes. Used by the search only.

#include <algorithm>
#include <cstdint>
#include <unordered_set>
#include <utility>
#include <vector>

#include "audio/repair_search.h"

namespace repair {

const uint64_t MAX_TABLE = 1 << 20;  // entries of one hash table
const unsigned MAX_HALF = 16;        // frames of one half of a combination
// A comparison whose chance of an accidental match is above this is not made: the bound would
// allow fewer than ten like it, and a match there would say little.
const double MOST_PER_COMPARISON = REPAIR_ACCIDENT_CHANCE / 10;
// The first look (repair_search.cpp): the best-ranked frames whose changes reach too few bits for
// the rule above, and the share of the bound their comparisons may spend.
const uint32_t FIRST_LOOK_SLOTS = 1;
const double FIRST_LOOK_SHARE = 0.25;
const unsigned MOST_BITS = 96;  // more than the bits any check reaches (CRC32, v1 and v2's high halves)
const unsigned NEVER = MOST_BITS + 1;  // more bits than any change reaches

// The sums a combination is compared on. KEY_PAIR compares v1 and v2 at once: it is hashed on v1.
enum key_kind : uint8_t { KEY_CRC, KEY_V1, KEY_V2, KEY_PAIR };

// What a change does to the three sums (AccurateRip adds mod 2^32, CRC32 XORs), and the bits it
// reaches of v1 (r1) and of the sum of the products' high halves (rh), which is all v2 adds to v1.
// A combination reaches the most that any of its changes reaches of each.
struct effect {
    uint32_t v1 = 0, v2 = 0, crc = 0;
    uint8_t r1 = 0, rh = 0;
};

// One way AccurateRip may match: the sum compared, how many values (or pairs) it may equal, and
// the fewest bits a combination must reach to be compared with them at all.
struct ar_way {
    key_kind key;
    uint64_t values;
    unsigned floor;
};

// What a combination's effect must be: the CRC32 change if it is wanted, and the AccurateRip sums
// the track may take: v1 among `v1s`, v2 among `v2s`, or v1 and v2 at once as one of `pairs`.
struct needs {
    bool crc = false;
    uint32_t crc_change = 0;
    unsigned crc_bits = 0;  // 32 when CRC32 is wanted
    uint32_t voted_v1 = 0, voted_v2 = 0;
    std::vector<uint32_t> v1s, v2s;
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    std::vector<uint32_t> pair_v1s;    // the pairs' distinct v1 values, for the look-ups
    std::unordered_set<uint32_t> any;  // a response file's values, either sum (the voted track)
    std::vector<ar_way> ways;          // none: CRC32 alone
};

// One candidate word of one frame, with what it changes.
struct single {
    uint32_t frame;  // index into the caller's array
    uint32_t word;
    uint32_t slot;  // the frame's place among the frames that take part, in rank order
    effect e;
};

// The frames that take part, in rank order, each with its run of singles.
struct candidates {
    std::vector<single> singles;
    std::vector<uint32_t> first;  // singles of slot s: first[s] .. first[s + 1] - 1
    uint32_t slots() const { return static_cast<uint32_t>(first.size() - 1); }
};

inline effect combine(const effect& a, const effect& b) {
    return effect{a.v1 + b.v1, a.v2 + b.v2, a.crc ^ b.crc, std::max(a.r1, b.r1), std::max(a.rh, b.rh)};
}

inline uint32_t key_of(const effect& e, key_kind k) {
    return k == KEY_CRC ? e.crc : k == KEY_V2 ? e.v2 : e.v1;
}

// The bits of a way's sum reached: v1's own; v2 = v1 + the high halves' sum, so v2 alone reaches
// at most 32 of r1 + rh; v1 and v2 at once reach r1 and, given v1, rh more.
inline unsigned reach_of(const effect& e, key_kind k) {
    if (k == KEY_V1) return e.r1;
    return k == KEY_V2 ? std::min(32u, 0u + e.r1 + e.rh) : 0u + e.r1 + e.rh;
}

inline bool eligible(const ar_way& w, const effect& e) { return reach_of(e, w.key) >= w.floor; }

// The chance that a combination reaching `bits` of a way's sum matches one of its values by accident.
double way_chance(const needs& n, const ar_way& w, unsigned bits);

// True when the sums changed by `e` take one of the way's values.
bool way_meets(const needs& n, const ar_way& w, const effect& e);

// The voted track as it stands (no reach needed: nothing is changed).
bool matches_as_voted(const needs& n);

// --expect's AccurateRip values; else a response file's, each as v1 and as v2, and as pairs of v1
// and v2 where two of them could be one pressing's (both sums are then compared at once).
// `most_high` bounds the change of one candidate to the high halves' sum.
needs needs_of(const repair_target& t, uint64_t most_high);

// Gathers the singles; notes in `r` the frames that take part, those compared with nothing, the
// most bits reached, and a unit of work per candidate.
candidates gather(const std::vector<repair_frame>& frames, const repair_target& t, const needs& n,
                  repair_result& r);

}  // namespace repair
