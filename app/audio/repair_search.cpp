#include "audio/repair_search.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>

namespace {

// ---- CRC32 of a change ----------------------------------------------------------------------

const uint32_t CRC_POLY = 0xEDB88320u;  // reflected
const int SHIFT_POWERS = 64;            // enough for any 64-bit distance

// A linear map of 32-bit CRC registers over GF(2), kept as one table per byte lane so that
// applying it costs four lookups instead of a loop over 32 columns.
struct gf2_map {
    uint32_t lane[4][256];
};

uint32_t apply(const gf2_map& m, uint32_t v) {
    return m.lane[0][v & 0xFF] ^ m.lane[1][(v >> 8) & 0xFF] ^ m.lane[2][(v >> 16) & 0xFF] ^
           m.lane[3][v >> 24];
}

// Fills the lanes from the images of the 32 single bits.
void set_columns(gf2_map& m, const uint32_t (&column)[32]) {
    for (int j = 0; j < 4; j++) {
        m.lane[j][0] = 0;
        for (int b = 1; b < 256; b++)
            m.lane[j][b] = m.lane[j][b & (b - 1)] ^ column[8 * j + __builtin_ctz(b)];
    }
}

// What one zero byte does to the register of a CRC with no final XOR.
uint32_t feed_zero_byte(uint32_t crc) {
    for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ ((crc & 1) ? CRC_POLY : 0);
    return crc;
}

// zeros[k] feeds 2^k zero bytes; any distance is then the product of at most 64 of them.
// Built once: the maps do not depend on the track.
struct zero_feeders {
    gf2_map zeros[SHIFT_POWERS];

    zero_feeders() {
        uint32_t column[32];
        for (int i = 0; i < 32; i++) column[i] = feed_zero_byte(1u << i);
        set_columns(zeros[0], column);
        for (int k = 1; k < SHIFT_POWERS; k++) {
            for (int i = 0; i < 32; i++) column[i] = apply(zeros[k - 1], apply(zeros[k - 1], 1u << i));
            set_columns(zeros[k], column);
        }
    }
};

const zero_feeders& feeders() {
    static const zero_feeders f;
    return f;
}

// ---- what must match, and at what chance ------------------------------------------------------

const uint64_t MAX_TABLE = 1 << 20;  // entries of one hash table
const unsigned MAX_HALF = 16;        // frames of one half of a combination
// A comparison whose chance of an accidental match is above this is not made: the bound would
// allow fewer than ten like it, and a match there would say little.
const double MOST_PER_COMPARISON = REPAIR_ACCIDENT_CHANCE / 10;
const unsigned NEVER = 33;  // more bits than any change reaches

enum key_kind : uint8_t { KEY_CRC, KEY_V1, KEY_V2 };

// What a change does to the three sums (AccurateRip adds mod 2^32, CRC32 XORs), and the bits of v1
// and v2 it reaches; a combination reaches the most that any of its changes reaches.
struct effect {
    uint32_t v1 = 0, v2 = 0, crc = 0;
    uint8_t r1 = 0, r2 = 0;
};

effect combine(const effect& a, const effect& b) {
    return effect{a.v1 + b.v1, a.v2 + b.v2, a.crc ^ b.crc, std::max(a.r1, b.r1), std::max(a.r2, b.r2)};
}

uint32_t key_of(const effect& e, key_kind k) { return k == KEY_CRC ? e.crc : k == KEY_V1 ? e.v1 : e.v2; }

unsigned reach_of(const effect& e, key_kind k) { return k == KEY_V1 ? e.r1 : e.r2; }

// One way AccurateRip may match: the sum compared, how many values it may equal, and the fewest
// bits a combination must reach to be compared with them at all.
struct ar_way {
    key_kind key;
    uint64_t values;
    unsigned floor;
};

// What a combination's effect must be: the CRC32 change if it is wanted; --expect's AccurateRip
// values as changes of the voted sums, or else a response file's values, each as v1 or as v2.
struct needs {
    bool crc = false;
    uint32_t crc_change = 0;
    bool v1 = false, v2 = false;
    uint32_t v1_change = 0, v2_change = 0;
    std::unordered_set<uint32_t> any;
    std::vector<uint32_t> any_list;  // the same values, for walking
    uint32_t voted_v1 = 0, voted_v2 = 0;
    unsigned crc_bits = 0;     // 32 when CRC32 is wanted
    std::vector<ar_way> ways;  // none: CRC32 alone
};

// The chance that a combination reaching `bits` of a way's sum matches one of its values by accident.
double way_chance(const needs& n, const ar_way& w, unsigned bits) {
    return static_cast<double>(w.values) * std::ldexp(1.0, -static_cast<int>(n.crc_bits + bits));
}

// The fewest bits at which a comparison with the way's values is worth making.
unsigned floor_of(const needs& n, const ar_way& w) {
    for (unsigned bits = 0; bits <= 32; bits++) {
        if (way_chance(n, w, bits) <= MOST_PER_COMPARISON) return bits;
    }
    return NEVER;
}

bool eligible(const ar_way& w, const effect& e) { return reach_of(e, w.key) >= w.floor; }

// True when a combination with this effect is compared with anything wanted.
bool compared(const needs& n, const effect& e) {
    if (n.ways.empty()) return true;
    return std::any_of(n.ways.begin(), n.ways.end(), [&](const ar_way& w) { return eligible(w, e); });
}

bool meets(const needs& n, const effect& e) {
    if (n.crc && e.crc != n.crc_change) return false;
    if (n.ways.empty()) return true;
    if (n.v1 || n.v2) {
        return eligible(n.ways[0], e) && (!n.v1 || e.v1 == n.v1_change) && (!n.v2 || e.v2 == n.v2_change);
    }
    for (const ar_way& w : n.ways) {
        const uint32_t voted = w.key == KEY_V1 ? n.voted_v1 : n.voted_v2;
        if (eligible(w, e) && n.any.count(voted + key_of(e, w.key))) return true;
    }
    return false;
}

// The voted track as it stands (no reach needed: nothing is changed).
bool matches_as_voted(const needs& n) {
    if (n.crc && n.crc_change != 0) return false;
    if (n.v1 || n.v2) return (!n.v1 || n.v1_change == 0) && (!n.v2 || n.v2_change == 0);
    return n.any_list.empty() || n.any.count(n.voted_v1) || n.any.count(n.voted_v2);
}

needs needs_of(const repair_target& t) {
    needs n;
    n.crc = t.want_crc32;
    n.crc_change = t.crc32 ^ t.voted_crc32;
    n.crc_bits = n.crc ? 32 : 0;
    n.v1 = t.want_v1, n.v2 = t.want_v2;
    n.v1_change = t.v1 - t.voted_v1, n.v2_change = t.v2 - t.voted_v2;
    n.voted_v1 = t.voted_v1, n.voted_v2 = t.voted_v2;
    if (n.v1 || n.v2) {
        n.ways.push_back(ar_way{n.v2 ? KEY_V2 : KEY_V1, 1, 0});
    } else if (!t.ar_any.empty()) {
        n.any.insert(t.ar_any.begin(), t.ar_any.end());
        n.any_list.assign(n.any.begin(), n.any.end());
        n.ways.push_back(ar_way{KEY_V1, n.any_list.size(), 0});
        n.ways.push_back(ar_way{KEY_V2, n.any_list.size(), 0});
    }
    for (ar_way& w : n.ways) w.floor = floor_of(n, w);
    return n;
}

// ---- the candidates -------------------------------------------------------------------------

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

// A change that moves none of the checked sums cannot be told from no change, so it is left out;
// this also leaves out the frames outside the AccurateRip range when only AccurateRip is checked.
bool moves_a_check(const needs& n, const effect& e) {
    if (n.crc && e.crc != 0) return true;
    return std::any_of(n.ways.begin(), n.ways.end(), [&](const ar_way& w) { return key_of(e, w.key) != 0; });
}

effect effect_of(const repair_target& t, const needs& n, uint64_t index, uint32_t voted, uint32_t word) {
    effect e;
    if (index >= t.first_counted && index <= t.last_counted) {
        e.v1 = ar_v1_term(index, word) - ar_v1_term(index, voted);
        e.v2 = ar_v2_term(index, word) - ar_v2_term(index, voted);
        e.r1 = static_cast<uint8_t>(e.v1 != 0 ? ar_v1_reach(index, ((word ^ voted) & 0xFFFF) != 0) : 0);
        e.r2 = e.v2 != 0 ? 32 : 0;
    }
    if (n.crc) e.crc = crc32_xor_effect(t.frames * 4, (index - 1) * 4, word ^ voted);
    return e;
}

// The most bits of what is wanted that a change reaches, CRC32 and AccurateRip together.
unsigned bits_reached(const needs& n, const effect& e) {
    unsigned most = 0;
    for (const ar_way& w : n.ways) most = std::max(most, reach_of(e, w.key));
    return n.crc_bits + most;
}

// Gathers the singles; notes in `r` the frames that take part, those compared with nothing, the
// most bits reached, and a unit of work per candidate.
candidates gather(const std::vector<repair_frame>& frames, const repair_target& t, const needs& n,
                  repair_result& r) {
    candidates c;
    c.first.push_back(0);
    for (size_t f = 0; f < frames.size() && f < UINT32_MAX; f++) {
        const repair_frame& fr = frames[f];
        if (fr.index < 1 || fr.index > t.frames) continue;
        const uint32_t slot = c.slots();
        bool settled = false;
        bool way_settled[2] = {false, false};  // a --expect value, or a response file's as v1 and v2
        for (uint32_t w : fr.words) {
            r.work++;
            if (w == fr.voted) continue;
            const effect e = effect_of(t, n, fr.index, fr.voted, w);
            if (!moves_a_check(n, e)) continue;
            c.singles.push_back(single{static_cast<uint32_t>(f), w, slot, e});
            settled = settled || compared(n, e);
            for (size_t k = 0; k < n.ways.size(); k++)
                way_settled[k] = way_settled[k] || eligible(n.ways[k], e);
            r.reach_bits = std::max(r.reach_bits, bits_reached(n, e));
        }
        if (c.singles.size() == c.first.back()) continue;
        c.first.push_back(static_cast<uint32_t>(c.singles.size()));
        r.unsettled += !settled;
        r.short_reach +=
            std::find(way_settled, way_settled + n.ways.size(), false) != way_settled + n.ways.size();
    }
    r.frames = c.slots();
    return c;
}

// ---- the plan of one size -------------------------------------------------------------------

// The combinations of a size are counted several ways at once, each way letting only some singles
// through: all of them, those compared with nothing, or those reaching fewer than `bits` bits of a
// way's sum. Combinations whose most-reaching change reaches exactly b bits are then those below
// b + 1 less those below b, which gives their summed chance.
struct single_filter {
    enum kind_t { ALL, UNSETTLED, BELOW } kind;
    key_kind key;
    unsigned bits;
};

bool passes(const needs& n, const single_filter& f, const effect& e) {
    if (f.kind == single_filter::ALL) return true;
    if (f.kind == single_filter::UNSETTLED) return !compared(n, e);
    return reach_of(e, f.key) < f.bits;
}

// The chance of a level: sum of (count[hi] - count[lo]) * chance over the terms; lo NONE counts 0.
struct tally {
    static const size_t NONE = SIZE_MAX;
    struct term {
        size_t hi, lo;
        double chance;
    };
    std::vector<single_filter> filters;  // 0: all singles, 1: those compared with nothing
    std::vector<term> terms;
};

// The terms from the reaches that occur: for each way, one per distinct reach at or above its floor.
tally tally_of(const candidates& c, const needs& n) {
    tally t;
    t.filters.push_back({single_filter::ALL, KEY_CRC, 0});
    t.filters.push_back({single_filter::UNSETTLED, KEY_CRC, 0});
    if (n.ways.empty()) t.terms.push_back({0, tally::NONE, std::ldexp(1.0, -static_cast<int>(n.crc_bits))});
    for (const ar_way& w : n.ways) {
        if (w.floor == NEVER) continue;
        bool seen[33] = {};
        for (const single& s : c.singles) seen[reach_of(s.e, w.key)] = true;
        size_t lo = t.filters.size();
        t.filters.push_back({single_filter::BELOW, w.key, w.floor});
        for (unsigned bits = w.floor; bits <= 32; bits++) {
            if (!seen[bits]) continue;
            t.filters.push_back({single_filter::BELOW, w.key, bits + 1});
            t.terms.push_back({t.filters.size() - 1, lo, way_chance(n, w, bits)});
            lo = t.filters.size() - 1;
        }
    }
    return t;
}

// How a combination of `size` frames is split: the later `table` frames are hashed, the earlier
// ones are enumerated and look up the complement they need.
struct level_plan {
    unsigned size = 0, table = 0, walk = 0;
    uint32_t slots = 0;    // frames taken, best-ranked first
    uint64_t tried = 0;    // combinations of `size` frames among them compared with a wanted value
    uint64_t entries = 0;  // at most this many in each hash table
    uint64_t work = 0;
    double chance = 0;
    bool work_stopped = false;  // the work (or a table's size) stopped it, not the chance
};

// A count kept as a double (combinations can pass 2^64 before a bound stops them), as an integer.
uint64_t count_of(double n) { return n >= 1.8e19 ? UINT64_MAX : static_cast<uint64_t>(n); }

// Takes the longest run of best-ranked frames whose combinations fit what is left of both bounds.
level_plan plan_level(const candidates& c, const needs& n, const tally& t, unsigned size, unsigned tables,
                      unsigned keys, double chance_left, uint64_t work_left) {
    level_plan p;
    p.size = size;
    p.table = size / 2;
    p.walk = size - p.table;
    // e[f][k]: combinations of k frames among those taken, of the singles filter f lets through.
    std::vector<std::vector<double>> e(t.filters.size(), std::vector<double>(size + 1, 0.0)), next;
    for (auto& row : e) row[0] = 1;
    std::vector<double> through(t.filters.size());
    for (uint32_t s = 0; s < c.slots(); s++) {
        std::fill(through.begin(), through.end(), 0.0);
        for (uint32_t i = c.first[s]; i < c.first[s + 1]; i++) {
            for (size_t f = 0; f < t.filters.size(); f++)
                through[f] += passes(n, t.filters[f], c.singles[i].e);
        }
        next = e;
        for (size_t f = 0; f < t.filters.size(); f++) {
            for (unsigned k = 1; k <= size; k++) next[f][k] = e[f][k] + through[f] * e[f][k - 1];
        }
        double chance = 0;
        for (const tally::term& term : t.terms) {
            chance +=
                (next[term.hi][size] - (term.lo == tally::NONE ? 0 : next[term.lo][size])) * term.chance;
        }
        const double work = next[0][p.table] * tables + next[0][p.walk] * keys;
        const bool too_much_work = work > static_cast<double>(work_left) ||
                                   (p.table > 0 && next[0][p.table] > static_cast<double>(MAX_TABLE));
        if (too_much_work || chance > chance_left) {
            p.work_stopped = too_much_work;
            break;
        }
        e.swap(next);
        p.slots = s + 1;
        p.tried = count_of(e[0][size] - (n.ways.empty() ? 0 : e[1][size]));
        p.entries = count_of(e[0][p.table]);
        p.work = count_of(work);
        p.chance = chance;
    }
    return p;
}

// ---- the search of one size -----------------------------------------------------------------

// Visits every combination of `k` singles of distinct frames among slots [begin, end), with
// their summed effect; `visit(ids, e)` returns false to stop. Returns false when stopped.
template <class Visit>
bool each_combo(const candidates& c, unsigned k, uint32_t begin, uint32_t end, Visit& visit, uint32_t* ids,
                unsigned depth, const effect& sum) {
    if (depth == k) return visit(ids, sum);
    for (uint32_t s = begin; s + (k - depth) <= end; s++) {
        for (uint32_t i = c.first[s]; i < c.first[s + 1]; i++) {
            ids[depth] = i;
            if (!each_combo(c, k, s + 1, end, visit, ids, depth + 1, combine(sum, c.singles[i].e)))
                return false;
        }
    }
    return true;
}

// Combinations of one half, hashed on one sum. Chained: heads by hash, then `next` per entry.
struct combo_table {
    key_kind kind = KEY_CRC;
    unsigned k = 0;
    int shift = 32;
    std::vector<uint32_t> heads, next, keys, ids;  // ids: k singles per entry
};

uint32_t bucket(const combo_table& t, uint32_t key) {
    return t.shift >= 32 ? 0 : static_cast<uint32_t>((key * 0x9E3779B1u) >> t.shift);
}

void fill_table(combo_table& t, const candidates& c, key_kind kind, unsigned k, uint32_t begin, uint32_t end,
                uint64_t entries) {
    t.kind = kind;
    t.k = k;
    int bits = 1;
    while ((uint64_t(1) << bits) < 2 * entries && bits < 31) bits++;
    t.shift = 32 - bits;
    t.heads.assign(size_t(1) << bits, UINT32_MAX);
    uint32_t ids[MAX_HALF];
    auto add = [&](const uint32_t* picked, const effect& e) {
        const uint32_t key = key_of(e, kind), h = bucket(t, key);
        t.next.push_back(t.heads[h]);
        t.heads[h] = static_cast<uint32_t>(t.keys.size());
        t.keys.push_back(key);
        t.ids.insert(t.ids.end(), picked, picked + k);
        return true;
    };
    each_combo(c, k, begin, end, add, ids, 0, effect{});
}

// The matches of one size: a second, different one makes the answer ambiguous.
struct level_outcome {
    unsigned matches = 0;
    std::vector<uint32_t> ids;
};

// Keeps the first match; a different one ends the level as ambiguous.
bool note_match(level_outcome& out, std::vector<uint32_t> ids) {
    std::sort(ids.begin(), ids.end());
    if (out.matches > 0 && ids == out.ids) return true;
    out.matches++;
    if (out.matches == 1) out.ids = ids;
    return out.matches < 2;
}

level_outcome search_singles(const candidates& c, const needs& n, uint32_t slots) {
    level_outcome out;
    for (uint32_t i = 0; i < c.first[slots]; i++) {
        if (meets(n, c.singles[i].e) && !note_match(out, {i})) break;
    }
    return out;
}

// The sums a level hashes on: CRC32 when it is wanted (one look-up then serves every AccurateRip
// value), else --expect's AccurateRip sum, else v1 and v2 for a response file's values (each value
// one look-up) where a combination can reach enough of them.
std::vector<key_kind> hashed_kinds(const needs& n) {
    if (n.crc) return {KEY_CRC};
    std::vector<key_kind> kinds;
    for (const ar_way& w : n.ways) {
        if (w.floor != NEVER) kinds.push_back(w.key);
    }
    return kinds;
}

// Look-ups per walked combination.
unsigned keys_per_walk(const needs& n, const std::vector<key_kind>& kinds) {
    if (n.crc || n.v1 || n.v2) return 1;
    return static_cast<unsigned>(std::min<uint64_t>(kinds.size() * n.any_list.size(), UINT32_MAX));
}

// Meet in the middle: the later frames of a combination are hashed, the earlier ones are walked
// and look up what they need. A hashed half must start after the walked half ends, so every
// combination is met exactly once.
level_outcome search_level(const candidates& c, const needs& n, const level_plan& p) {
    std::vector<combo_table> tables;
    for (key_kind kind : hashed_kinds(n)) {
        tables.emplace_back();
        fill_table(tables.back(), c, kind, p.table, p.walk, p.slots, p.entries);
    }
    level_outcome out;
    uint32_t walked[MAX_HALF];
    auto look_up = [&](const combo_table& t, uint32_t key, const effect& sum) {
        const uint32_t last_slot = c.singles[walked[p.walk - 1]].slot;
        for (uint32_t e = t.heads[bucket(t, key)]; e != UINT32_MAX; e = t.next[e]) {
            const uint32_t* hashed = &t.ids[size_t(e) * t.k];
            if (t.keys[e] != key || c.singles[hashed[0]].slot <= last_slot) continue;
            effect total = sum;
            for (unsigned j = 0; j < t.k; j++) total = combine(total, c.singles[hashed[j]].e);
            if (!meets(n, total)) continue;
            std::vector<uint32_t> ids(walked, walked + p.walk);
            ids.insert(ids.end(), hashed, hashed + t.k);
            if (!note_match(out, ids)) return false;
        }
        return true;
    };
    auto walk = [&](const uint32_t*, const effect& sum) {
        for (const combo_table& t : tables) {
            const uint32_t have = key_of(sum, t.kind);
            if (t.kind == KEY_CRC) {
                if (!look_up(t, n.crc_change ^ have, sum)) return false;
            } else if (n.v1 || n.v2) {
                if (!look_up(t, (t.kind == KEY_V1 ? n.v1_change : n.v2_change) - have, sum)) return false;
            } else {
                const uint32_t voted = t.kind == KEY_V1 ? n.voted_v1 : n.voted_v2;
                for (uint32_t v : n.any_list) {
                    if (!look_up(t, v - voted - have, sum)) return false;
                }
            }
        }
        return true;
    };
    each_combo(c, p.walk, 0, p.slots - p.table, walk, walked, 0, effect{});
    return out;
}

}  // namespace

uint32_t ar_v1_term(uint64_t index, uint32_t word) { return static_cast<uint32_t>(index * word); }

uint32_t ar_v2_term(uint64_t index, uint32_t word) {
    const uint64_t p = index * word;
    return static_cast<uint32_t>(p) + static_cast<uint32_t>(p >> 32);
}

// The CRC register is linear in the data once init and final XOR are set aside, so a change
// XORed into 4 bytes changes the CRC by the change alone run through the rest of the track. Its
// own 4 bytes fed into a zero register leave the register equal to them (the reflected CRC XORs
// data into the low byte), so the whole effect is `delta` followed by the zero bytes that remain.
uint32_t crc32_xor_effect(uint64_t track_bytes, uint64_t offset, uint32_t delta) {
    if (offset > track_bytes || track_bytes - offset < 4) return 0;
    const zero_feeders& f = feeders();
    uint32_t v = delta;
    uint64_t n = track_bytes - offset;
    for (int k = 0; n != 0; k++, n >>= 1) {
        if (n & 1) v = apply(f.zeros[k], v);
    }
    return v;
}

unsigned ar_v1_reach(uint64_t index, bool left_changes) {
    const unsigned low_zeros = index == 0 ? 64 : static_cast<unsigned>(__builtin_ctzll(index));
    const unsigned top = left_changes ? 32 : 16;
    return low_zeros >= top ? 0 : top - low_zeros;
}

repair_result repair_search(const std::vector<repair_frame>& frames, const repair_target& target) {
    repair_result r;
    const needs n = needs_of(target);
    r.work = n.any_list.size();
    if (!n.crc && n.ways.empty()) return r;
    if (matches_as_voted(n)) {
        r.found = true;
        return r;
    }
    r.values = n.v1 || n.v2 || n.ways.empty() ? 1 : 2 * n.any_list.size();
    const candidates c = gather(frames, target, n, r);
    if (r.unsettled == r.frames) return r;  // nothing can be compared: no frames, or too few bits
    const tally t = tally_of(c, n);
    const std::vector<key_kind> kinds = hashed_kinds(n);
    const unsigned tables = static_cast<unsigned>(kinds.size());
    level_outcome found;
    unsigned found_size = 0;
    // Each size may spend half of what is left of the bounds, so that the larger combinations still
    // cover the best-ranked frames (where no copies agreed), which are the likeliest wrong. A match
    // is checked against the next size: a checksum can be fooled by copies made to fool it.
    for (unsigned size = 1; size <= c.slots() && size <= 2 * MAX_HALF; size++) {
        const unsigned keys = size == 1 ? 1 + static_cast<unsigned>(n.ways.size()) : keys_per_walk(n, kinds);
        const uint64_t work_left = r.work < REPAIR_MOST_WORK ? REPAIR_MOST_WORK - r.work : 0;
        const level_plan p =
            plan_level(c, n, t, size, tables, keys, (REPAIR_ACCIDENT_CHANCE - r.chance) / 2, work_left / 2);
        if (p.slots < size) {
            r.bound_reached = found_size == 0;
            r.work_reached = r.bound_reached && p.work_stopped;
            break;
        }
        const level_outcome out = size == 1 ? search_singles(c, n, p.slots) : search_level(c, n, p);
        r.tried += p.tried;
        r.chance += p.chance;
        r.work += p.work;
        if (out.matches > 1 || (found_size > 0 && out.matches > 0)) {
            r.ambiguous = true;
            r.sizes[0] = found_size > 0 ? found_size : size;
            r.sizes[1] = size;
            return r;
        }
        if (found_size > 0) break;
        if (out.matches == 1) {
            found = out;
            found_size = size;
            continue;
        }
        r.bound_reached = p.slots < c.slots();
        r.work_reached = r.bound_reached && p.work_stopped;
    }
    if (found_size == 0) return r;
    r.found = true;
    r.bound_reached = r.work_reached = false;
    for (uint32_t i : found.ids) r.changes.push_back(repair_change{c.singles[i].frame, c.singles[i].word});
    return r;
}
