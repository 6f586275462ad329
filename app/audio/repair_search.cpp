#include "audio/repair_search.h"

#include <algorithm>
#include <cmath>

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

// ---- the search -----------------------------------------------------------------------------

// Hash-table entries and look-ups in all, across every size. With 10,000 doubtful frames this
// is about 140 ms of one core (bench/repair_bench), so the answer comes well within a second on
// a slower or busier machine; the chance bound alone would allow far more when two independent
// values must match.
const uint64_t MAX_WORK = 8000000;
const uint64_t MAX_TABLE = 1 << 20;  // entries of one hash table
const unsigned MAX_HALF = 16;        // frames of one half of a combination
const double ACCIDENT_CHANCE = 1e-6;

// What a change does to the three sums: AccurateRip adds mod 2^32, CRC32 XORs.
struct effect {
    uint32_t v1 = 0, v2 = 0, crc = 0;
};

effect combine(const effect& a, const effect& b) { return effect{a.v1 + b.v1, a.v2 + b.v2, a.crc ^ b.crc}; }

enum key_kind : uint8_t { KEY_CRC, KEY_V1, KEY_V2 };

uint32_t key_of(const effect& e, key_kind k) { return k == KEY_CRC ? e.crc : k == KEY_V1 ? e.v1 : e.v2; }

// One AccurateRip value pair that would do, as the change it needs from the voted sums.
struct ar_choice {
    bool has_v1 = false, has_v2 = false;
    uint32_t v1 = 0, v2 = 0;
    key_kind key = KEY_V1;  // the sum a look-up hashes on
};

// What a combination's effect must be: the CRC32 change if it is wanted, and the change of any
// one of the AccurateRip choices if there are any.
struct needs {
    bool crc = false;
    uint32_t crc_change = 0;
    std::vector<ar_choice> ar;
};

bool meets(const needs& n, const effect& e) {
    if (n.crc && e.crc != n.crc_change) return false;
    if (n.ar.empty()) return true;
    for (const ar_choice& c : n.ar) {
        if ((!c.has_v1 || e.v1 == c.v1) && (!c.has_v2 || e.v2 == c.v2)) return true;
    }
    return false;
}

needs needs_of(const repair_target& t) {
    needs n;
    n.crc = t.want_crc32;
    n.crc_change = t.crc32 ^ t.voted_crc32;
    if (t.want_v1 || t.want_v2) {
        n.ar.push_back(ar_choice{t.want_v1, t.want_v2, t.v1 - t.voted_v1, t.v2 - t.voted_v2,
                                 t.want_v1 ? KEY_V1 : KEY_V2});
    }
    for (uint32_t v : t.ar_any) {
        n.ar.push_back(ar_choice{true, false, v - t.voted_v1, 0, KEY_V1});
        n.ar.push_back(ar_choice{false, true, 0, v - t.voted_v2, KEY_V2});
    }
    return n;
}

// Combinations that may be compared before an accidental match becomes likelier than one in a
// million. v1 and v2 are not independent, so AccurateRip counts as one 32-bit value; each
// AccurateRip choice is one more chance to match.
uint64_t chance_bound(const needs& n) {
    const int bits = 32 * ((n.crc ? 1 : 0) + (n.ar.empty() ? 0 : 1));
    const double choices = n.ar.empty() ? 1.0 : static_cast<double>(n.ar.size());
    return static_cast<uint64_t>(std::floor(ACCIDENT_CHANCE * std::ldexp(1.0, bits) / choices));
}

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
    bool v1 = false, v2 = false;
    for (const ar_choice& c : n.ar) v1 |= c.has_v1, v2 |= c.has_v2;
    return (n.crc && e.crc != 0) || (v1 && e.v1 != 0) || (v2 && e.v2 != 0);
}

effect effect_of(const repair_target& t, uint64_t index, uint32_t voted, uint32_t word) {
    effect e;
    if (index >= t.first_counted && index <= t.last_counted) {
        e.v1 = ar_v1_term(index, word) - ar_v1_term(index, voted);
        e.v2 = ar_v2_term(index, word) - ar_v2_term(index, voted);
    }
    e.crc = crc32_xor_effect(t.frames * 4, (index - 1) * 4, word ^ voted);
    return e;
}

candidates gather(const std::vector<repair_frame>& frames, const repair_target& t, const needs& n) {
    candidates c;
    c.first.push_back(0);
    for (size_t f = 0; f < frames.size() && f < UINT32_MAX; f++) {
        const repair_frame& fr = frames[f];
        if (fr.index < 1 || fr.index > t.frames) continue;
        const uint32_t slot = c.slots();
        for (uint32_t w : fr.words) {
            if (w == fr.voted) continue;
            const effect e = effect_of(t, fr.index, fr.voted, w);
            if (moves_a_check(n, e)) c.singles.push_back(single{static_cast<uint32_t>(f), w, slot, e});
        }
        if (c.singles.size() > c.first.back()) c.first.push_back(static_cast<uint32_t>(c.singles.size()));
    }
    return c;
}

uint64_t sat_add(uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }

uint64_t sat_mul(uint64_t a, uint64_t b) {
    uint64_t p;
    return __builtin_mul_overflow(a, b, &p) ? UINT64_MAX : p;
}

// How a combination of `size` frames is split: the later `table` frames are hashed, the earlier
// ones are enumerated and look up the complement they need.
struct level_plan {
    unsigned size = 0, table = 0, walk = 0;
    uint32_t slots = 0;    // frames taken, best-ranked first
    uint64_t combos = 0;   // combinations of `size` frames among them
    uint64_t entries = 0;  // at most this many in each hash table
    uint64_t work = 0;
};

// Takes the longest run of best-ranked frames whose combinations fit what is left of both bounds.
level_plan plan_level(const candidates& c, unsigned size, unsigned tables, unsigned keys,
                      uint64_t combos_left, uint64_t work_left) {
    level_plan p;
    p.size = size;
    p.table = size / 2;
    p.walk = size - p.table;
    std::vector<uint64_t> e(size + 1, 0), next;  // e[k]: combinations of k frames among those taken
    e[0] = 1;
    for (uint32_t s = 0; s < c.slots(); s++) {
        next.assign(e.begin(), e.end());
        const uint64_t words = c.first[s + 1] - c.first[s];
        for (unsigned k = 1; k <= size; k++) next[k] = sat_add(e[k], sat_mul(words, e[k - 1]));
        const uint64_t work = sat_add(sat_mul(next[p.table], tables), sat_mul(next[p.walk], keys));
        if (next[size] > combos_left || work > work_left || (p.table > 0 && next[p.table] > MAX_TABLE)) break;
        e.swap(next);
        p.slots = s + 1;
        p.combos = e[size];
        p.entries = e[p.table];
        p.work = work;
    }
    return p;
}

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

// With CRC32 wanted one look-up on it serves every AccurateRip choice; without it each choice
// looks up its own sum.
bool hashes_on(const needs& n, key_kind kind) {
    if (n.crc) return kind == KEY_CRC;
    return std::any_of(n.ar.begin(), n.ar.end(), [&](const ar_choice& a) { return a.key == kind; });
}

// The complement a walked half needs from a hashed half, under one table's sum.
uint32_t complement(const needs& n, const ar_choice* choice, key_kind kind, const effect& e) {
    if (kind == KEY_CRC) return n.crc_change ^ e.crc;
    return (kind == KEY_V1 ? choice->v1 : choice->v2) - key_of(e, kind);
}

// Meet in the middle: the later frames of a combination are hashed, the earlier ones are walked
// and look up what they need. A hashed half must start after the walked half ends, so every
// combination is met exactly once.
level_outcome search_level(const candidates& c, const needs& n, const level_plan& p) {
    std::vector<combo_table> tables;
    for (key_kind kind : {KEY_CRC, KEY_V1, KEY_V2}) {
        if (!hashes_on(n, kind)) continue;
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
            if (t.kind == KEY_CRC) {
                if (!look_up(t, complement(n, nullptr, KEY_CRC, sum), sum)) return false;
                continue;
            }
            for (const ar_choice& a : n.ar) {
                if (a.key == t.kind && !look_up(t, complement(n, &a, t.kind, sum), sum)) return false;
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

repair_result repair_search(const std::vector<repair_frame>& frames, const repair_target& target) {
    repair_result r;
    const needs n = needs_of(target);
    if (!n.crc && n.ar.empty()) return r;
    if (meets(n, effect{})) {
        r.found = true;
        return r;
    }
    r.bound = chance_bound(n);
    const candidates c = gather(frames, target, n);
    const unsigned tables = n.crc ? 1 : 2;
    const unsigned keys = n.crc ? 1 : static_cast<unsigned>(n.ar.size());
    uint64_t work = 0;
    // Each level may spend half of what is left of the bound, so that the larger combinations
    // still cover the best-ranked frames (where no copies agreed), which are the likeliest wrong.
    for (unsigned size = 1; size <= c.slots() && size <= 2 * MAX_HALF; size++) {
        const level_plan p =
            plan_level(c, size, tables, keys, (r.bound - r.tried) / 2, (MAX_WORK - work) / 2);
        if (p.slots < size) {
            r.bound_reached = true;
            return r;
        }
        const level_outcome out = size == 1 ? search_singles(c, n, p.slots) : search_level(c, n, p);
        r.tried += p.combos;
        work += p.work;
        if (out.matches > 1) {
            r.ambiguous = true;
            return r;
        }
        if (out.matches == 1) {
            r.found = true;
            for (uint32_t i : out.ids)
                r.changes.push_back(repair_change{c.singles[i].frame, c.singles[i].word});
            return r;
        }
        if (p.slots < c.slots()) r.bound_reached = true;
    }
    return r;
}
