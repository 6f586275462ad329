#include "disc/disc_shift.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unordered_map>

#include "audio/ar_response.h"
#include "audio/track_checksums.h"

namespace {

const uint64_t SHIFTS = 2 * DISC_TRUE_SHIFT + 1;
const double TWO_32 = 4294967296.0;
// Changes of a track whose v2 is kept for a full computation at most (past it, a match of the
// changes is missed, never taken by mistake).
const size_t MOST_SETTLES = 1 << 20;

typedef unsigned __int128 wide;

// Track k's entries in the response file: each value with the confidence of the entries holding it.
typedef std::unordered_map<uint32_t, uint32_t> entry_values;

int entries_of(const std::string& response, uint32_t track, entry_values& values, size_t& entries,
               std::string& why) {
    ar_response parsed;
    const char* reason = nullptr;
    if (parse_ar_response(reinterpret_cast<const uint8_t*>(response.data()), response.size(), track, parsed,
                          &reason) != 0) {
        why = reason;
        return -1;
    }
    for (const ar_entry& e : parsed.entries) values[e.sum] += e.confidence;
    entries = std::max<size_t>(1, parsed.entries.size());
    return 0;
}

// v2 of the track's frames first..last (1-based) that start after `base`.
uint32_t exact_v2(const std::vector<uint32_t>& d, int64_t base, uint64_t first, uint64_t last) {
    uint32_t v2 = 0;
    for (uint64_t i = first; i <= last; i++)
        v2 += ar_v2_term(i, d[static_cast<size_t>(base + static_cast<int64_t>(i))]);
    return v2;
}

// What a track's sums say at a shift.
enum shift_mark : uint8_t { NO_MATCH, MAYBE_V2, MATCHES };

// One other word of a doubtful frame, where the restored disc holds `old_word` at reference
// frame `at`.
struct change {
    int64_t at;
    uint32_t old_word, new_word;
    uint32_t frame;  // which doubtful frame: two changes of one frame are no pair
};

// Changes whose v2 is computed in full at a shift: one change (b == NONE), whose v2 may match, or
// two, whose v1 matches.
struct settle {
    static const uint32_t NONE = UINT32_MAX;
    uint32_t shift, a, b;
};

struct track_sums {
    uint64_t first = 0, last = 0;      // the frames (1-based) that count
    std::vector<change> changes;       // the doubtful frames' other words within reach
    std::vector<uint8_t> marks;        // per shift index: a shift_mark
    std::vector<uint32_t> confidence;  // per shift index: the matching entries' confidence
    std::vector<settle> settles;       // in shift order
};

// The frame index of a change at the shift whose base is `b` (the track's frame i is d[b + i]).
int64_t index_at(const change& c, int64_t d_from, int64_t b) { return c.at - d_from - b; }

// The sum of the products' change when frame `i` holds `c.new_word` instead of `c.old_word`.
wide product_change(const change& c, uint64_t i) {
    return static_cast<wide>(i) * c.new_word - static_cast<wide>(i) * c.old_word;
}

// Where v2 can lie: v2 = v1 + high - delta, delta = the low halves' sum over 2^32, 0 <= delta < n.
// A change moves delta by at most one; across shifts it wanders by about sqrt(n / 6) from the value
// `delta0` it has at the first shift, so a change's v2 is computed in full only when it lies within
// `spread` of that (a change's match beyond is missed, never taken by mistake).
struct v2_window {
    uint64_t n = 0;
    uint32_t delta0 = 0, spread = 0;
    bool near(uint32_t v1, uint32_t high, uint32_t entry) const {
        const uint32_t delta = v1 + high - entry;
        return delta < n && static_cast<uint32_t>(delta - delta0 + spread) <= 2 * spread;
    }
};

// The changes of track k that count at one shift, each with its v1 change, and a table of them by
// that change (open addressing: a slot holds the change's place in `changes` + 1, 0 when empty), so
// that the second change of a pair is one look-up.
struct live_changes {
    struct live {
        uint32_t v1_change;
        uint32_t id;
    };
    std::vector<live> changes;
    std::vector<uint32_t> slots;
    std::vector<uint32_t> entries;  // the track's values, for the loops over them
    unsigned bits = 0;

    uint32_t slot_of(uint32_t key) const { return (key * 0x9E3779B1u) >> (32 - bits); }
    void start(size_t most) {
        bits = 1;
        while ((size_t{1} << bits) < 2 * most + 2) bits++;
        changes.reserve(most);
    }
    void index() {
        slots.assign(size_t{1} << bits, 0);
        const uint32_t mask = (1u << bits) - 1;
        for (uint32_t k = 0; k < changes.size(); k++) {
            uint32_t h = slot_of(changes[k].v1_change);
            while (slots[h] != 0) h = (h + 1) & mask;
            slots[h] = k + 1;
        }
    }
};

void note_settle(track_sums& sums, uint64_t s, uint32_t a, uint32_t b) {
    if (sums.settles.size() < MOST_SETTLES) sums.settles.push_back({static_cast<uint32_t>(s), a, b});
}

// Pairs at shift `s`: for each change, what a second one must add for v1 to hold an entry, looked
// up in the table; each pair of changes of two frames is kept once for the full v2.
bool try_pairs(uint64_t s, uint32_t v1, track_sums& sums, live_changes& live) {
    live.index();
    const uint32_t mask = (1u << live.bits) - 1;
    bool any = false;
    for (const live_changes::live& x : live.changes) {
        for (uint32_t e : live.entries) {
            const uint32_t wanted = e - v1 - x.v1_change;
            for (uint32_t h = live.slot_of(wanted); live.slots[h] != 0; h = (h + 1) & mask) {
                const live_changes::live& y = live.changes[live.slots[h] - 1];
                if (y.v1_change != wanted || y.id <= x.id) continue;
                if (sums.changes[y.id].frame == sums.changes[x.id].frame) continue;
                note_settle(sums, s, x.id, y.id);
                any = true;
            }
        }
    }
    return any;
}

// Tries the changes at shift `s`: a single change whose v1 matches verifies; one whose v2 may
// match, and a pair whose v1 matches, are kept for the full v2. Returns the shift's mark.
uint8_t try_changes(uint64_t s, int64_t b, int64_t d_from, wide t, const entry_values& values,
                    const v2_window& window, track_sums& sums, live_changes& live) {
    const uint32_t v1 = static_cast<uint32_t>(t);
    uint8_t mark = NO_MATCH;
    live.changes.clear();
    for (uint32_t id = 0; id < sums.changes.size(); id++) {
        const change& c = sums.changes[id];
        const int64_t i = index_at(c, d_from, b);
        if (i < static_cast<int64_t>(sums.first) || i > static_cast<int64_t>(sums.last)) continue;
        const uint64_t index = static_cast<uint64_t>(i);
        const uint32_t moved = ar_v1_term(index, c.new_word) - ar_v1_term(index, c.old_word);
        const auto hit = values.find(v1 + moved);
        if (hit != values.end()) {
            sums.confidence[s] = hit->second;
            return MATCHES;
        }
        live.changes.push_back({moved, id});
        const wide changed = t + product_change(c, index);
        const uint32_t changed_v1 = static_cast<uint32_t>(changed),
                       high = static_cast<uint32_t>(changed >> 32);
        for (uint32_t e : live.entries) {
            if (!window.near(changed_v1, high, e)) continue;
            note_settle(sums, s, id, settle::NONE);
            mark = MAYBE_V2;
            break;
        }
    }
    return try_pairs(s, v1, sums, live) ? static_cast<uint8_t>(MAYBE_V2) : mark;
}

// For every shift (index s: offset DISC_TRUE_SHIFT - s), whether track k's v1 holds one of
// `values` (MATCHES), or its v2 may (MAYBE_V2: v2 lies within a window of n values that the sum
// of the products fixes), as it stands or with its changes. `d` holds the restored frames from
// `d_from` on, the track's cut at `cut`.
void mark_shifts(const std::vector<uint32_t>& d, int64_t d_from, int64_t cut, const entry_values& values,
                 track_sums& sums) {
    sums.marks.assign(SHIFTS, NO_MATCH);
    sums.confidence.assign(SHIFTS, 0);
    const uint64_t first = sums.first, last = sums.last;
    if (first > last || values.empty()) return;
    const uint64_t n = last - first + 1;
    // x_i = d[b + i] with b = cut - offset - 1 - d_from: the first shift has the largest offset.
    int64_t b = cut - DISC_TRUE_SHIFT - 1 - d_from;
    wide t = 0, w = 0, low = 0;
    for (uint64_t i = first; i <= last; i++) {
        const uint32_t x = d[static_cast<size_t>(b + static_cast<int64_t>(i))];
        t += static_cast<wide>(i) * x;
        w += x;
        low += static_cast<uint32_t>(i * x);
    }
    v2_window window;
    window.n = n;
    window.delta0 = static_cast<uint32_t>(low >> 32);
    window.spread = static_cast<uint32_t>(std::min<double>(n, 16 * std::sqrt(n / 6.0) + 256));
    live_changes live;
    live.start(sums.changes.size());
    for (const auto& e : values) live.entries.push_back(e.first);
    for (uint64_t s = 0; s < SHIFTS; s++, b++) {
        const uint32_t v1 = static_cast<uint32_t>(t);
        const uint32_t high = static_cast<uint32_t>(t >> 32);
        const auto v1_hit = values.find(v1);
        uint8_t mark = v1_hit != values.end() ? MATCHES : NO_MATCH;
        if (mark == MATCHES) sums.confidence[s] = v1_hit->second;
        for (auto it = values.begin(); mark == NO_MATCH && it != values.end(); ++it) {
            if (static_cast<uint32_t>(v1 + high - it->first) < n) mark = MAYBE_V2;
        }
        if (mark != MATCHES && !sums.changes.empty()) {
            const uint8_t changed = try_changes(s, b, d_from, t, values, window, sums, live);
            mark = std::max(mark, changed);
        }
        sums.marks[s] = mark;
        if (s + 1 == SHIFTS) break;
        const uint32_t out = d[static_cast<size_t>(b + static_cast<int64_t>(first))];
        const uint32_t in = d[static_cast<size_t>(b + static_cast<int64_t>(last) + 1)];
        t = t - w - static_cast<wide>(first - 1) * out + static_cast<wide>(last) * in;
        w = w - out + in;
    }
}

// v2's change when frame `i` of change `c` takes its new word.
uint32_t v2_change(const change& c, int64_t i) {
    const uint64_t index = static_cast<uint64_t>(i);
    return ar_v2_term(index, c.new_word) - ar_v2_term(index, c.old_word);
}

// Settles the MAYBE_V2 marks at the shifts `wanted` by computing v2 in full: as the track stands,
// with each single change kept for it, and with each pair whose v1 matched (which then verifies
// only when v2 matches too).
void settle_shifts(const std::vector<uint32_t>& d, int64_t d_from, int64_t cut, const entry_values& values,
                   const std::vector<uint8_t>& wanted, track_sums& sums) {
    size_t next = 0;
    for (uint64_t s = 0; s < SHIFTS; s++) {
        const size_t from = next;
        while (next < sums.settles.size() && sums.settles[next].shift == s) next++;
        if (sums.marks[s] != MAYBE_V2) continue;
        sums.marks[s] = NO_MATCH;
        if (!wanted[s]) continue;
        const int64_t base = cut - (DISC_TRUE_SHIFT - static_cast<int64_t>(s)) - 1 - d_from;
        const uint32_t v2 = exact_v2(d, base, sums.first, sums.last);
        auto hit = values.find(v2);
        for (size_t k = from; k < next && hit == values.end(); k++) {
            const settle& q = sums.settles[k];
            uint32_t changed = v2 + v2_change(sums.changes[q.a], index_at(sums.changes[q.a], d_from, base));
            if (q.b != settle::NONE)
                changed += v2_change(sums.changes[q.b], index_at(sums.changes[q.b], d_from, base));
            hit = values.find(changed);
        }
        if (hit == values.end()) continue;
        sums.marks[s] = MATCHES;
        sums.confidence[s] = hit->second;
    }
}

// The restored disc's frames [from, until) (reference frames): each track's output where one was
// written, absent before the disc, past it and where none was.
void add_restored(const disc_alignment& a, const std::vector<std::string>& outputs, int64_t from,
                  int64_t until, audio_span& span) {
    const size_t m = outputs.size();
    for (int64_t at = from; at < until;) {
        size_t j = 0;
        while (j < m && a.cut[j + 1] <= at) j++;
        const bool inside = j < m && at >= a.cut[j];
        const int64_t end = std::min(until, !inside && j < m ? a.cut[j] : j < m ? a.cut[j + 1] : until);
        if (inside && !outputs[j].empty()) {
            span.add(outputs[j], static_cast<uint64_t>(at - a.cut[j]), static_cast<uint64_t>(end - at));
        } else {
            span.add_absent(static_cast<uint64_t>(end - at));
        }
        at = end;
    }
}

// The chance of track k matching by accident at one shift: v1 and v2, as it stands and with each
// single change, against each entry (32 bits each); v1 and v2 together with each pair of changes
// (64 bits).
double chance_at_shift(size_t entries, size_t changes) {
    const double e = static_cast<double>(entries), c = static_cast<double>(changes);
    const double pairs = c * (c - 1) / 2;
    return 2 * e * (1 + c) / TWO_32 + (1 + c + pairs) * e * e / (TWO_32 * TWO_32);
}

// The bound on some shift matching `m` tracks by accident: shifts x the sum, over every set of
// `m` tracks, of the product of their chances `p`.
double chance_of(size_t m, const std::vector<double>& p) {
    std::vector<double> sets(m + 1, 0);  // sets[j]: the sum over sets of j tracks seen so far
    sets[0] = 1;
    for (double pk : p) {
        for (size_t j = m; j >= 1; j--) sets[j] += sets[j - 1] * pk;
    }
    return static_cast<double>(SHIFTS) * sets[m];
}

// Reads the restored frames around track k: as far as any shift reaches.
int read_around(const disc_streams& s, const disc_alignment& a, const std::vector<std::string>& outputs,
                size_t k, frames_read& d, int64_t& from, std::string& why) {
    audio_span span;
    span.rate = s.rate;
    span.channels = s.channels;
    from = a.cut[k] - DISC_TRUE_SHIFT - 1;
    add_restored(a, outputs, from, a.cut[k + 1] + DISC_TRUE_SHIFT + 1, span);
    return read_frames(span, d, why);
}

// The other words of every track's doubtful frames that some shift of track k reaches, where the
// restored disc holds the word the record says was voted (`d` from `from` on).
void gather_changes(const disc_alignment& a, const std::vector<std::vector<doubtful_frame>>& doubtful,
                    const frames_read& d, int64_t from, track_sums& sums) {
    sums.changes.clear();
    uint32_t frame = 0;
    for (size_t j = 0; j < doubtful.size() && j + 1 < a.cut.size(); j++) {
        for (const doubtful_frame& f : doubtful[j]) {
            const int64_t at = a.cut[j] + static_cast<int64_t>(f.frame);
            if (at >= a.cut[j + 1] || at < from || at - from >= static_cast<int64_t>(d.words.size()))
                continue;
            if (d.words[static_cast<size_t>(at - from)] != f.voted) continue;
            for (uint32_t word : f.words) {
                if (word != f.voted) sums.changes.push_back({at, f.voted, word, frame});
            }
            frame++;
        }
    }
}

}  // namespace

int find_true_offset(const disc_streams& s, const disc_alignment& a, const std::vector<std::string>& outputs,
                     const std::vector<std::vector<doubtful_frame>>& doubtful, const std::string& response,
                     shift_verdict& v, std::string& why) {
    v = shift_verdict();
    const size_t m = outputs.size();
    std::vector<track_sums> sums(m);
    std::vector<entry_values> values(m);
    std::vector<double> chance(m, 0);
    // First every track's v1 at every shift, and where its v2 may match.
    for (size_t k = 0; k < m; k++) {
        size_t entries = 1;
        if (entries_of(response, static_cast<uint32_t>(k + 1), values[k], entries, why) != 0) return -1;
        values[k].erase(0);  // the sum of digital silence, at every shift alike
        const uint64_t frames = static_cast<uint64_t>(a.cut[k + 1] - a.cut[k]);
        ar_counted_range(frames, track_position{static_cast<uint32_t>(k + 1), static_cast<uint32_t>(m)},
                         sums[k].first, sums[k].last);
        sums[k].marks.assign(SHIFTS, NO_MATCH);
        if (outputs[k].empty()) continue;
        frames_read d;
        int64_t from = 0;
        if (read_around(s, a, outputs, k, d, from, why) != 0) return -1;
        gather_changes(a, doubtful, d, from, sums[k]);
        chance[k] = chance_at_shift(entries, sums[k].changes.size());
        mark_shifts(d.words, from, a.cut[k], values[k], sums[k]);
    }
    while (v.needed < m && chance_of(v.needed, chance) >= DISC_SHIFT_CHANCE) v.needed++;
    v.chance = chance_of(v.needed, chance);
    // Then v2 in full, only at the shifts where enough tracks may match to be taken.
    std::vector<uint8_t> wanted(SHIFTS, 0);
    for (uint64_t sh = 0; sh < SHIFTS; sh++) {
        size_t may = 0;
        for (const track_sums& t : sums) may += t.marks[sh] != NO_MATCH;
        wanted[sh] = may >= v.needed;
    }
    for (size_t k = 0; k < m; k++) {
        bool any = false;
        for (uint64_t sh = 0; sh < SHIFTS && !any; sh++) any = wanted[sh] && sums[k].marks[sh] == MAYBE_V2;
        if (!any) {
            for (uint8_t& mark : sums[k].marks)
                mark = mark == MAYBE_V2 ? static_cast<uint8_t>(NO_MATCH) : mark;
            continue;
        }
        frames_read d;
        int64_t from = 0;
        if (read_around(s, a, outputs, k, d, from, why) != 0) return -1;
        settle_shifts(d.words, from, a.cut[k], values[k], wanted, sums[k]);
    }
    // The shift that verifies most tracks; of two pressings that both verify as many, the one more
    // submissions agree on; the reference's own alignment while it verifies as many.
    std::vector<size_t> verified_at(SHIFTS, 0);
    std::vector<uint64_t> confidence_at(SHIFTS, 0);
    for (const track_sums& t : sums) {
        for (uint64_t sh = 0; sh < SHIFTS; sh++) {
            verified_at[sh] += t.marks[sh] == MATCHES;
            confidence_at[sh] += t.marks[sh] == MATCHES ? t.confidence[sh] : 0;
        }
    }
    size_t best = 0, ties = 0;
    for (uint64_t sh = 1; sh < SHIFTS; sh++) {
        const bool more = verified_at[sh] > verified_at[best] ||
                          (verified_at[sh] == verified_at[best] && confidence_at[sh] > confidence_at[best]);
        if (more) {
            best = sh;
            ties = 0;
        } else if (verified_at[sh] == verified_at[best] && confidence_at[sh] == confidence_at[best]) {
            ties++;
        }
    }
    const size_t at_reference = static_cast<size_t>(DISC_TRUE_SHIFT);
    if (verified_at[at_reference] == verified_at[best]) best = at_reference, ties = 0;
    v.verified = verified_at[best];
    v.offset = DISC_TRUE_SHIFT - static_cast<int64_t>(best);
    v.found = ties == 0 && v.verified >= v.needed && v.chance < DISC_SHIFT_CHANCE;
    return 0;
}
