#include "audio/repair_needs.h"

#include <algorithm>
#include <cmath>

#include "audio/repair_terms.h"

namespace repair {

namespace {
// ---- what must match, and at what chance ------------------------------------------------------

// The fewest bits at which a comparison with the way's values is worth making.
unsigned floor_of(const needs& n, const ar_way& w) {
    for (unsigned bits = 0; bits <= MOST_BITS; bits++) {
        if (way_chance(n, w, bits) <= MOST_PER_COMPARISON) return bits;
    }
    return NEVER;
}

// True when a combination with this effect is compared with anything wanted.
bool compared(const needs& n, const effect& e) {
    if (n.ways.empty()) return true;
    return std::any_of(n.ways.begin(), n.ways.end(), [&](const ar_way& w) { return eligible(w, e); });
}

bool has(const std::vector<uint32_t>& values, uint32_t v) {
    return std::find(values.begin(), values.end(), v) != values.end();
}

// The pairs of a response file's values that could be one pressing's v1 and v2 of this track:
// v2 - v1 is the sum of the frames' high halves, which changes by at most `reach` for any
// combination searched (the voted track's v2 - v1 give or take it). Looked up in the sorted values;
// more pairs than values would make the pairs no stronger a check than the values: none then.
void pair_values(needs& n, std::vector<uint32_t> values, uint64_t reach) {
    std::sort(values.begin(), values.end());
    const uint32_t high = n.voted_v2 - n.voted_v1;
    for (uint32_t a : values) {
        // b - a - high within [-reach, reach] mod 2^32: from `from` on, 2 * reach + 1 values.
        const uint32_t from = a + high - static_cast<uint32_t>(reach);
        auto b = std::lower_bound(values.begin(), values.end(), from);
        for (uint64_t k = 0; k < values.size(); k++, b++) {
            if (b == values.end()) b = values.begin();  // the window wraps past 2^32
            if (static_cast<uint32_t>(*b - from) > 2 * reach) break;
            if (*b != a) n.pairs.emplace_back(a, *b);  // one entry is a pressing's v1 or v2, not both
            if (n.pairs.size() > values.size()) return n.pairs.clear();
        }
    }
}

// The bound of the change a combination's high halves make to v2 - v1: `most` for one change.
uint64_t high_reach(uint64_t most) { return std::min<uint64_t>(most * 2 * MAX_HALF, INT32_MAX - 1); }

// ---- the candidates -------------------------------------------------------------------------

// A change that moves none of the checked sums cannot be told from no change, so it is left out;
// this also leaves out the frames outside the AccurateRip range when only AccurateRip is checked.
bool moves_a_check(const needs& n, const effect& e) {
    if (n.crc && e.crc != 0) return true;
    return std::any_of(n.ways.begin(), n.ways.end(), [&](const ar_way& w) {
        return key_of(e, w.key) != 0 || (w.key == KEY_PAIR && e.v2 != 0);
    });
}

effect effect_of(const repair_target& t, const needs& n, uint64_t index, uint32_t voted, uint32_t word) {
    effect e;
    if (index >= t.first_counted && index <= t.last_counted) {
        e.v1 = ar_v1_term(index, word) - ar_v1_term(index, voted);
        e.v2 = ar_v2_term(index, word) - ar_v2_term(index, voted);
        e.r1 = static_cast<uint8_t>(e.v1 != 0 ? ar_v1_reach(index, ((word ^ voted) & 0xFFFF) != 0) : 0);
        e.rh = static_cast<uint8_t>(e.v1 != 0 || e.v2 != 0 ? ar_high_reach(index, voted, word) : 0);
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

}  // namespace

double way_chance(const needs& n, const ar_way& w, unsigned bits) {
    return static_cast<double>(w.values) * std::ldexp(1.0, -static_cast<int>(n.crc_bits + bits));
}

bool way_meets(const needs& n, const ar_way& w, const effect& e) {
    const uint32_t v1 = n.voted_v1 + e.v1, v2 = n.voted_v2 + e.v2;
    if (w.key == KEY_V1) return has(n.v1s, v1);
    if (w.key == KEY_V2) return has(n.v2s, v2);
    return std::find(n.pairs.begin(), n.pairs.end(), std::make_pair(v1, v2)) != n.pairs.end();
}

bool matches_as_voted(const needs& n) {
    if (n.crc && n.crc_change != 0) return false;
    if (!n.any.empty()) return n.any.count(n.voted_v1) || n.any.count(n.voted_v2);
    return n.ways.empty() || std::any_of(n.ways.begin(), n.ways.end(),
                                         [&](const ar_way& w) { return way_meets(n, w, effect{}); });
}

needs needs_of(const repair_target& t, uint64_t most_high) {
    needs n;
    n.crc = t.want_crc32;
    n.crc_change = t.crc32 ^ t.voted_crc32;
    n.crc_bits = n.crc ? 32 : 0;
    n.voted_v1 = t.voted_v1, n.voted_v2 = t.voted_v2;
    if (t.want_v1 && t.want_v2) {
        n.pairs.emplace_back(t.v1, t.v2);
    } else if (t.want_v1 || t.want_v2) {
        (t.want_v1 ? n.v1s : n.v2s).push_back(t.want_v1 ? t.v1 : t.v2);
    } else if (!t.ar_any.empty()) {
        n.any.insert(t.ar_any.begin(), t.ar_any.end());
        const std::vector<uint32_t> values(n.any.begin(), n.any.end());
        pair_values(n, values, high_reach(most_high));
        n.v1s = n.v2s = values;
    }
    for (const auto& p : n.pairs) {
        if (!has(n.pair_v1s, p.first)) n.pair_v1s.push_back(p.first);
    }
    if (!n.v1s.empty()) n.ways.push_back(ar_way{KEY_V1, n.v1s.size(), 0});
    if (!n.v2s.empty()) n.ways.push_back(ar_way{KEY_V2, n.v2s.size(), 0});
    if (!n.pairs.empty()) n.ways.push_back(ar_way{KEY_PAIR, n.pairs.size(), 0});
    for (ar_way& w : n.ways) w.floor = floor_of(n, w);
    return n;
}

candidates gather(const std::vector<repair_frame>& frames, const repair_target& t, const needs& n,
                  repair_result& r) {
    candidates c;
    c.first.push_back(0);
    for (size_t f = 0; f < frames.size() && f < UINT32_MAX; f++) {
        const repair_frame& fr = frames[f];
        if (fr.index < 1 || fr.index > t.frames) continue;
        const uint32_t slot = c.slots();
        bool settled = false;
        bool way_settled[3] = {false, false, false};  // per way of n.ways (at most 3)
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

}  // namespace repair
