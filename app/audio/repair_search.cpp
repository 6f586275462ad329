#include "audio/repair_search.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>

#include "audio/repair_needs.h"

namespace {

using namespace repair;

// ---- the plan of one size -------------------------------------------------------------------

// The combinations of a size are counted several ways at once, each way letting only some singles
// through: all of them, or those reaching at most `r1` bits of v1 and `rh` of the high halves' sum.
// A combination reaches the most of each that its changes reach, so those reaching exactly (a, b)
// are counted by inclusion and exclusion over the grid of the reaches that occur, which gives their
// summed chance for each way.
struct single_filter {
    bool all;
    unsigned r1, rh;
};

bool passes(const single_filter& f, const effect& e) { return f.all || (e.r1 <= f.r1 && e.rh <= f.rh); }

const size_t MAX_WAYS = 3;
const size_t DEEPER_TRIES = 8;  // the bits tried for a deeper pass (plan_level each)
const uint32_t DEEPER_BY = 4;   // a deeper pass must reach this many times as many frames

// The chance of a level: the sum over the terms (cells of the grid) of the combinations in the cell
// times the chance of each way that compares them.
struct tally {
    static const size_t NONE = SIZE_MAX;  // a filter that lets nothing through
    struct term {
        size_t add[2], sub[2];    // count = add[0] + add[1] - sub[0] - sub[1]
        double chance[MAX_WAYS];  // per way of needs::ways (0: CRC32 alone); 0 where not compared
        bool compared[MAX_WAYS];
        unsigned bits[MAX_WAYS];  // the bits of each way the cell's combinations reach
    };
    std::vector<single_filter> filters;  // 0: all singles
    std::vector<term> terms;
};

// The distinct values of one reach among the singles, ascending.
std::vector<unsigned> distinct_reaches(const candidates& c, bool high) {
    bool seen[MOST_BITS + 1] = {};
    for (const single& s : c.singles) seen[high ? s.e.rh : s.e.r1] = true;
    std::vector<unsigned> v;
    for (unsigned bits = 0; bits <= MOST_BITS; bits++) {
        if (seen[bits]) v.push_back(bits);
    }
    return v;
}

// The terms from the reaches that occur: for each way, one per pair of them (a, b) whose bits are
// at or above the way's floor.
tally tally_of(const candidates& c, const needs& n) {
    tally t;
    t.filters.push_back({true, 0, 0});
    if (n.ways.empty()) {
        t.terms.push_back({{0, tally::NONE},
                           {tally::NONE, tally::NONE},
                           {std::ldexp(1.0, -static_cast<int>(n.crc_bits))},
                           {true},
                           {n.crc_bits}});
        return t;
    }
    const std::vector<unsigned> r1 = distinct_reaches(c, false), rh = distinct_reaches(c, true);
    const size_t grid = t.filters.size();
    for (unsigned a : r1) {
        for (unsigned b : rh) t.filters.push_back({false, a, b});
    }
    // The filter of the grid at (i, j), NONE outside it.
    const auto at = [&](size_t i, size_t j) {
        return i == SIZE_MAX || j == SIZE_MAX ? tally::NONE : grid + i * rh.size() + j;
    };
    for (size_t i = 0; i < r1.size(); i++) {
        for (size_t j = 0; j < rh.size(); j++) {
            tally::term term = {{at(i, j), at(i - 1, j - 1)}, {at(i - 1, j), at(i, j - 1)}, {}, {}, {}};
            effect e;
            e.r1 = static_cast<uint8_t>(r1[i]);
            e.rh = static_cast<uint8_t>(rh[j]);
            bool any = false;
            for (size_t k = 0; k < n.ways.size() && k < MAX_WAYS; k++) {
                const unsigned bits = reach_of(e, n.ways[k].key);
                term.compared[k] = n.ways[k].floor != NEVER && bits >= n.ways[k].floor;
                term.chance[k] = term.compared[k] ? way_chance(n, n.ways[k], bits) : 0;
                term.bits[k] = bits;
                any = any || term.compared[k];
            }
            if (any) t.terms.push_back(term);
        }
    }
    return t;
}

// What one search of a size compares: with CRC32 wanted, every combination on CRC32 and then every
// way; else a response file's pairs of v1 and v2 apart from the other ways. Each group takes its own
// run of best-ranked frames, so that pairs, whose comparisons cost far less chance, reach further.
struct group {
    unsigned ways;                // bit k: way k of needs::ways (bit 0 for CRC32 alone)
    std::vector<key_kind> kinds;  // the sums it hashes on, one table each
    unsigned least = 0;           // a deeper pass compares only combinations reaching this many bits
};

// The groups: v1 and v2 at once first, then the others (v1 and v2 alone).
std::vector<group> groups_of(const needs& n) {
    if (n.crc) return {group{n.ways.empty() ? 1u : (1u << n.ways.size()) - 1, {KEY_CRC}}};
    group pairs{0, {}}, others{0, {}};
    for (size_t k = 0; k < n.ways.size(); k++) {
        if (n.ways[k].floor == NEVER) continue;
        group& g = n.ways[k].key == KEY_PAIR ? pairs : others;
        g.ways |= 1u << k;
        g.kinds.push_back(n.ways[k].key);
    }
    std::vector<group> all;
    if (pairs.ways) all.push_back(pairs);
    if (others.ways) all.push_back(others);
    return all;
}

// True when a combination with this effect matches what the group compares.
bool group_meets(const needs& n, const group& g, const effect& e) {
    if (n.crc && e.crc != n.crc_change) return false;
    if (n.ways.empty()) return true;
    for (size_t k = 0; k < n.ways.size(); k++) {
        if ((g.ways >> k & 1) && eligible(n.ways[k], e) && reach_of(e, n.ways[k].key) >= g.least &&
            way_meets(n, n.ways[k], e))
            return true;
    }
    return false;
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
level_plan plan_level(const candidates& c, const tally& t, unsigned size, const group& g, unsigned keys,
                      double chance_left, uint64_t work_left) {
    level_plan p;
    p.size = size;
    p.table = size / 2;
    p.walk = size - p.table;
    // e[f * row + k]: combinations of k frames among those taken, of the singles filter f lets
    // through; updated in place as each frame is taken (k downwards, so that each term still reads
    // the count before the frame).
    const size_t filters = t.filters.size(), row = size + 1;
    std::vector<double> e(filters * row, 0.0);
    for (size_t f = 0; f < filters; f++) e[f * row] = 1;
    // What a combination of each term costs the group, and whether the group compares it at all:
    // the same for every frame taken.
    std::vector<double> term_chance(t.terms.size(), 0.0);
    std::vector<bool> term_compared(t.terms.size(), false);
    for (size_t j = 0; j < t.terms.size(); j++) {
        const tally::term& term = t.terms[j];
        for (size_t k = 0; k < MAX_WAYS; k++) {
            if (!(g.ways >> k & 1) || !term.compared[k] || term.bits[k] < g.least) continue;
            term_chance[j] += term.chance[k];
            term_compared[j] = true;
        }
    }
    std::vector<double> through(filters);
    for (uint32_t s = 0; s < c.slots(); s++) {
        std::fill(through.begin(), through.end(), 0.0);
        for (uint32_t i = c.first[s]; i < c.first[s + 1]; i++) {
            for (size_t f = 0; f < filters; f++) through[f] += passes(t.filters[f], c.singles[i].e);
        }
        for (size_t f = 0; f < filters; f++) {
            double* counts = &e[f * row];
            for (unsigned k = size; k >= 1; k--) counts[k] = counts[k] + through[f] * counts[k - 1];
        }
        double chance = 0, compared = 0;
        const auto count = [&](size_t f) { return f == tally::NONE ? 0.0 : e[f * row + size]; };
        for (size_t j = 0; j < t.terms.size(); j++) {
            if (!term_compared[j]) continue;
            const tally::term& term = t.terms[j];
            const double m =
                count(term.add[0]) + count(term.add[1]) - count(term.sub[0]) - count(term.sub[1]);
            chance += m * term_chance[j];
            compared += m;
        }
        const double work = e[p.table] * static_cast<double>(g.kinds.size()) + e[p.walk] * keys;
        const bool too_much_work = work > static_cast<double>(work_left) ||
                                   (p.table > 0 && e[p.table] > static_cast<double>(MAX_TABLE));
        if (too_much_work || chance > chance_left) {
            p.work_stopped = too_much_work;
            break;  // e now counts a frame not taken: it is not read again
        }
        p.slots = s + 1;
        p.tried = count_of(compared);
        p.entries = count_of(e[p.table]);
        p.work = count_of(work);
        p.chance = chance;
    }
    return p;
}

// A deeper pass of group g within `chance_left` and `work_left`: of the bits its cells reach, the
// fewest that take more than `slots` frames (combinations reaching fewer, dear in chance, are left
// to the pass over all of them), so that it leaves out as little as it must. Its slots are 0 when
// no such pass takes more than `slots`.
level_plan deeper_plan(const candidates& c, const tally& t, unsigned size, group& g, unsigned keys,
                       double chance_left, uint64_t work_left, uint32_t slots) {
    std::vector<unsigned> bits;
    for (const tally::term& term : t.terms) {
        for (size_t k = 0; k < MAX_WAYS; k++) {
            if ((g.ways >> k & 1) && term.compared[k]) bits.push_back(term.bits[k]);
        }
    }
    std::sort(bits.begin(), bits.end());
    bits.erase(std::unique(bits.begin(), bits.end()), bits.end());
    // The more bits a pass asks, the less chance its combinations cost and the more frames it
    // takes: the fewest bits that take more than `slots` frames are found by halving.
    level_plan best;
    unsigned best_least = 0;
    size_t lo = 1, hi = bits.size();
    for (unsigned tries = 0; lo < hi && tries < DEEPER_TRIES; tries++) {
        const size_t mid = lo + (hi - lo) / 2;
        g.least = bits[mid];
        const level_plan p = plan_level(c, t, size, g, keys, chance_left, work_left);
        if (p.slots > slots && p.tried > 0) {
            best = p, best_least = bits[mid];
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    g.least = best_least;
    return best;
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

void search_singles(const candidates& c, const needs& n, const group& g, uint32_t slots, level_outcome& out) {
    for (uint32_t i = 0; i < c.first[slots]; i++) {
        if (group_meets(n, g, c.singles[i].e) && !note_match(out, {i})) break;
    }
}

const std::vector<uint32_t>& looked_up(const needs& n, key_kind k) {
    return k == KEY_V1 ? n.v1s : k == KEY_V2 ? n.v2s : n.pair_v1s;
}

// Look-ups per walked combination: one of CRC32, else one per value of each way hashed.
unsigned keys_per_walk(const needs& n, const group& g) {
    uint64_t keys = 0;
    for (key_kind k : g.kinds) keys += k == KEY_CRC ? 1 : looked_up(n, k).size();
    return static_cast<unsigned>(std::min<uint64_t>(std::max<uint64_t>(keys, 1), UINT32_MAX));
}

// Meet in the middle: the later frames of a combination are hashed, the earlier ones are walked
// and look up what they need. A hashed half must start after the walked half ends, so every
// combination is met exactly once.
void search_level(const candidates& c, const needs& n, const group& g, const level_plan& p,
                  level_outcome& out) {
    std::vector<combo_table> tables(g.kinds.size());
    for (size_t k = 0; k < g.kinds.size(); k++)
        fill_table(tables[k], c, g.kinds[k], p.table, p.walk, p.slots, p.entries);
    uint32_t walked[MAX_HALF];
    auto look_up = [&](const combo_table& t, uint32_t key, const effect& sum) {
        const uint32_t last_slot = c.singles[walked[p.walk - 1]].slot;
        for (uint32_t e = t.heads[bucket(t, key)]; e != UINT32_MAX; e = t.next[e]) {
            const uint32_t* hashed = &t.ids[size_t(e) * t.k];
            if (t.keys[e] != key || c.singles[hashed[0]].slot <= last_slot) continue;
            effect total = sum;
            for (unsigned j = 0; j < t.k; j++) total = combine(total, c.singles[hashed[j]].e);
            if (!group_meets(n, g, total)) continue;
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
                continue;
            }
            const uint32_t voted = t.kind == KEY_V2 ? n.voted_v2 : n.voted_v1;
            for (uint32_t v : looked_up(n, t.kind)) {
                if (!look_up(t, v - voted - have, sum)) return false;
            }
        }
        return true;
    };
    each_combo(c, p.walk, 0, p.slots - p.table, walk, walked, 0, effect{});
}

// The first look: the changes of the best-ranked frames (FIRST_LOOK_SLOTS, the least sure one)
// that reach too few bits for the search's comparisons are compared one by one, in rank order,
// while their summed chance stays within FIRST_LOOK_SHARE of the bound: the vote's likeliest
// mistake is worth a dearer comparison than the many combinations behind it. Returns the chance
// spent; the search shares what is left.
double first_look(const candidates& c, const needs& n, level_outcome& out, repair_result& r) {
    double spent = 0;
    const uint32_t slots = std::min<uint32_t>(c.slots(), FIRST_LOOK_SLOTS);
    for (uint32_t i = 0; i < c.first[slots]; i++) {
        const effect& e = c.singles[i].e;
        for (const ar_way& w : n.ways) {
            if (eligible(w, e)) continue;  // the search compares it
            const double chance = way_chance(n, w, reach_of(e, w.key));
            if (spent + chance > FIRST_LOOK_SHARE * REPAIR_ACCIDENT_CHANCE) continue;
            spent += chance;
            r.tried++;
            r.work++;
            if ((!n.crc || e.crc == n.crc_change) && way_meets(n, w, e) && !note_match(out, {i}))
                return spent;
        }
    }
    return spent;
}

}  // namespace

// The most that one candidate changes the sum of the frames' high halves by.
uint64_t most_high_change(const std::vector<repair_frame>& frames, const repair_target& t) {
    uint64_t most = 0;
    for (const repair_frame& f : frames) {
        if (f.index < t.first_counted || f.index > t.last_counted) continue;
        for (uint32_t w : f.words) {
            const uint64_t delta = f.voted < w ? w - f.voted : f.voted - w;
            most = std::max(
                most, static_cast<uint64_t>((static_cast<unsigned __int128>(f.index) * delta) >> 32) + 1);
        }
    }
    return most;
}

repair_result repair_search(const std::vector<repair_frame>& frames, const repair_target& target) {
    repair_result r;
    const needs n = needs_of(target, target.ar_any.empty() ? 0 : most_high_change(frames, target));
    r.work = n.any.size() + n.pairs.size();
    if (!n.crc && n.ways.empty()) return r;
    if (matches_as_voted(n)) {
        r.found = true;
        return r;
    }
    r.values = 0;
    for (const ar_way& w : n.ways) r.values += w.values;
    r.values = std::max<uint64_t>(r.values, 1);
    const candidates c = gather(frames, target, n, r);
    if (r.unsettled == r.frames) return r;  // nothing can be compared: no frames, or too few bits
    const tally t = tally_of(c, n);
    const std::vector<group> groups = groups_of(n);
    level_outcome found;
    const double looked = first_look(c, n, found, r);
    r.chance += looked;
    if (found.matches > 1) {
        r.ambiguous = true;
        r.sizes[0] = r.sizes[1] = 1;
        return r;
    }
    unsigned found_size = found.matches;
    // Each group has its share of the bounds: v1 and v2 at once (whose comparisons cost far less
    // chance) half, the others the rest alike. Each size may spend half of what is left of a share,
    // so that the larger combinations still cover the best-ranked frames, which are the likeliest
    // wrong. A match is checked against the next size: a checksum can be fooled by copies made to
    // fool it.
    std::vector<double> chance_left(groups.size()), work_left(groups.size());
    for (size_t k = 0; k < groups.size(); k++) {
        const double part = 1.0 / static_cast<double>(groups.size());
        chance_left[k] = (REPAIR_ACCIDENT_CHANCE - looked) * part;
        work_left[k] = static_cast<double>(REPAIR_MOST_WORK - std::min(r.work, REPAIR_MOST_WORK)) * part;
    }
    for (unsigned size = 1; size <= c.slots() && size <= 2 * MAX_HALF; size++) {
        level_outcome out;
        bool any = false, all_slots = true, work_stopped = false;
        uint64_t tried = 0;  // the most any group compared: the others' lie mostly among them
        for (size_t k = 0; k < groups.size(); k++) {
            // Where the combinations that reach few bits would use up the share among the first
            // frames, half of it goes to a deeper pass over those that reach more, if that pass
            // reaches DEEPER_BY times as many frames.
            // A second, nearer pass asks fewer bits than that one over more frames than the pass
            // over all: a combination that reaches many bits but not as many as the deeper pass
            // asks is still met among the best-ranked frames.
            group g = groups[k], deep = groups[k], near = groups[k];
            const unsigned keys = size == 1 ? 1 : keys_per_walk(n, g);
            const double chance_share = chance_left[k] / 2;
            const double work_share = std::max(0.0, work_left[k]) / 2;
            level_plan p = plan_level(c, t, size, g, keys, chance_share, static_cast<uint64_t>(work_share));
            level_plan q = deeper_plan(c, t, size, deep, keys, chance_share / 2,
                                       static_cast<uint64_t>(work_share / 2), DEEPER_BY * p.slots);
            level_plan r2;
            if (q.slots >= size) {
                p = plan_level(c, t, size, g, keys, chance_share / 2, static_cast<uint64_t>(work_share / 2));
                // The nearer pass takes half of the pass over all's part, where it reaches further.
                r2 = deeper_plan(c, t, size, near, keys, chance_share / 4,
                                 static_cast<uint64_t>(work_share / 4), p.slots);
                if (r2.slots >= size && near.least < deep.least) {
                    p = plan_level(c, t, size, g, keys, chance_share / 4,
                                   static_cast<uint64_t>(work_share / 4));
                } else {
                    r2 = level_plan();
                }
            }
            for (const level_plan* pass : {&p, &q, &r2}) {
                const group& pg = pass == &p ? g : pass == &q ? deep : near;
                all_slots = all_slots && (pass != &p || pass->slots == c.slots());
                work_stopped = work_stopped || pass->work_stopped;
                if (pass->slots < size) continue;
                any = true;
                chance_left[k] -= pass->chance;
                work_left[k] -= static_cast<double>(pass->work);
                if (size == 1) {
                    search_singles(c, n, pg, pass->slots, out);
                } else {
                    search_level(c, n, pg, *pass, out);
                }
                tried = std::max(tried, pass->tried);
                r.chance += pass->chance;
                r.work += pass->work;
            }
        }
        r.tried += tried;
        if (!any) {
            r.bound_reached = found_size == 0;
            r.work_reached = r.bound_reached && work_stopped;
            break;
        }
        if (out.matches > 1 || (found_size > 0 && out.matches > 0)) {
            r.ambiguous = true;
            r.sizes[0] = found_size > 0 ? found_size : size;
            r.sizes[1] = size;
            return r;
        }
        if (found_size > 0 && size > found_size) break;
        if (out.matches == 1) {
            found = out;
            found_size = size;
            continue;
        }
        r.bound_reached = !all_slots;
        r.work_reached = r.bound_reached && work_stopped;
    }
    if (found_size == 0) return r;
    r.found = true;
    r.bound_reached = r.work_reached = false;
    for (uint32_t i : found.ids) r.changes.push_back(repair_change{c.singles[i].frame, c.singles[i].word});
    return r;
}
