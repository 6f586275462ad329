#include "disc/disc_shift.h"

#include <cmath>
#include <cstdio>
#include <unordered_map>

#include "audio/ar_response.h"
#include "audio/track_checksums.h"

namespace {

const uint64_t SHIFTS = 2 * DISC_TRUE_SHIFT + 1;

typedef unsigned __int128 wide;

// Track k's entries in the response file: each value with the confidence of the entries holding it.
typedef std::unordered_map<uint32_t, uint32_t> entry_values;

int entries_of(const std::string& response, uint32_t track, entry_values& values, std::string& why) {
    ar_response parsed;
    const char* reason = nullptr;
    if (parse_ar_response(reinterpret_cast<const uint8_t*>(response.data()), response.size(), track, parsed,
                          &reason) != 0) {
        why = reason;
        return -1;
    }
    for (const ar_entry& e : parsed.entries) values[e.sum] += e.confidence;
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

struct track_sums {
    uint64_t first = 0, last = 0;      // the frames (1-based) that count
    std::vector<uint8_t> marks;        // per shift index: a shift_mark
    std::vector<uint32_t> confidence;  // per shift index: the matching entries' confidence
};

// For every shift (index s: offset DISC_TRUE_SHIFT - s), whether track k's v1 holds one of
// `values` (MATCHES), or its v2 may (MAYBE_V2: v2 lies within a window of n values that the sum
// of the products fixes). `d` holds the restored frames from `d_from` on, the track's cut at `cut`.
void mark_shifts(const std::vector<uint32_t>& d, int64_t d_from, int64_t cut, const entry_values& values,
                 track_sums& sums) {
    sums.marks.assign(SHIFTS, NO_MATCH);
    sums.confidence.assign(SHIFTS, 0);
    const uint64_t first = sums.first, last = sums.last;
    if (first > last || values.empty()) return;
    const uint64_t n = last - first + 1;
    // x_i = d[b + i] with b = cut - offset - 1 - d_from: the first shift has the largest offset.
    int64_t b = cut - DISC_TRUE_SHIFT - 1 - d_from;
    wide t = 0, w = 0;
    for (uint64_t i = first; i <= last; i++) {
        const uint32_t x = d[static_cast<size_t>(b + static_cast<int64_t>(i))];
        t += static_cast<wide>(i) * x;
        w += x;
    }
    for (uint64_t s = 0; s < SHIFTS; s++, b++) {
        const uint32_t v1 = static_cast<uint32_t>(t);
        const uint32_t high = static_cast<uint32_t>(t >> 32);
        const auto v1_hit = values.find(v1);
        uint8_t mark = v1_hit != values.end() ? MATCHES : NO_MATCH;
        if (mark == MATCHES) sums.confidence[s] = v1_hit->second;
        // v2 = v1 + high - delta, 0 <= delta < n (the low halves' sum over 2^32).
        for (auto it = values.begin(); mark == NO_MATCH && it != values.end(); ++it) {
            if (static_cast<uint32_t>(v1 + high - it->first) < n) mark = MAYBE_V2;
        }
        sums.marks[s] = mark;
        if (s + 1 == SHIFTS) break;
        const uint32_t out = d[static_cast<size_t>(b + static_cast<int64_t>(first))];
        const uint32_t in = d[static_cast<size_t>(b + static_cast<int64_t>(last) + 1)];
        t = t - w - static_cast<wide>(first - 1) * out + static_cast<wide>(last) * in;
        w = w - out + in;
    }
}

// Settles the MAYBE_V2 marks at the shifts `wanted` by computing v2 in full.
void settle_shifts(const std::vector<uint32_t>& d, int64_t d_from, int64_t cut, const entry_values& values,
                   const std::vector<uint8_t>& wanted, track_sums& sums) {
    for (uint64_t s = 0; s < SHIFTS; s++) {
        if (sums.marks[s] != MAYBE_V2) continue;
        sums.marks[s] = NO_MATCH;
        if (!wanted[s]) continue;
        const int64_t base = cut - (DISC_TRUE_SHIFT - static_cast<int64_t>(s)) - 1 - d_from;
        const auto hit = values.find(exact_v2(d, base, sums.first, sums.last));
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

// The bound on some shift matching `m` tracks by accident: shifts x C(tracks, m) x p^m, p the
// chance of one track matching at one shift (two sums against its entries).
double chance_of(size_t m, size_t tracks, size_t most_entries) {
    const double p = 2.0 * static_cast<double>(most_entries) / 4294967296.0;
    double c = static_cast<double>(SHIFTS);
    for (size_t j = 0; j < m; j++) c *= static_cast<double>(tracks - j) / static_cast<double>(j + 1) * p;
    return c;
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

}  // namespace

int find_true_offset(const disc_streams& s, const disc_alignment& a, const std::vector<std::string>& outputs,
                     const std::string& response, shift_verdict& v, std::string& why) {
    v = shift_verdict();
    const size_t m = outputs.size();
    std::vector<track_sums> sums(m);
    std::vector<entry_values> values(m);
    size_t most_entries = 1;
    // First every track's v1 at every shift, and where its v2 may match.
    for (size_t k = 0; k < m; k++) {
        if (entries_of(response, static_cast<uint32_t>(k + 1), values[k], why) != 0) return -1;
        most_entries = std::max(most_entries, values[k].size());
        values[k].erase(0);  // the sum of digital silence, at every shift alike
        const uint64_t frames = static_cast<uint64_t>(a.cut[k + 1] - a.cut[k]);
        ar_counted_range(frames, track_position{static_cast<uint32_t>(k + 1), static_cast<uint32_t>(m)},
                         sums[k].first, sums[k].last);
        sums[k].marks.assign(SHIFTS, NO_MATCH);
        if (outputs[k].empty()) continue;
        frames_read d;
        int64_t from = 0;
        if (read_around(s, a, outputs, k, d, from, why) != 0) return -1;
        mark_shifts(d.words, from, a.cut[k], values[k], sums[k]);
    }
    while (v.needed < m && chance_of(v.needed, m, most_entries) >= DISC_SHIFT_CHANCE) v.needed++;
    v.chance = chance_of(v.needed, m, most_entries);
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
