#include "audio/align_segments.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/play_time.h"
#include "base/read_at.h"
#include "g_console.h"

namespace {

enum stretch_kind { SILENT, PLACED, UNPLACED };

struct stretch {
    uint64_t from, to;  // input 0's data offsets
    stretch_kind kind;
    int64_t shift;
};

const uint64_t EDGE_FRAMES = 64;   // frames compared at a time where a change is looked for
const double EDGE_AGREE = 0.9;     // a window agrees at a shift with at least this share...
const double EDGE_DISAGREE = 0.6;  // ...and disagrees at the other with at most this one
const uint64_t NOT_FOUND = UINT64_MAX;

// Input 0's probe windows inside its data [from, to), their positions counted from the data start.
void stretch_probes(align_probes& p, const align_region& r0, uint64_t from, uint64_t to, uint64_t unit) {
    const align_region sub{r0.fd, r0.offset + from, to - from};
    if (align_take_probes(p, sub, unit) != 0) p.count = 0;
    for (uint64_t k = 0; k < p.count; k++) p.pos[k] += from;
}

// Where the copy belongs over one stretch: at the candidate shift when that agrees, else wherever
// a search over the whole range places it convincingly, else nowhere.
stretch judge(const align_region& r0, const align_region& r, uint64_t unit, uint64_t from, uint64_t to,
              bool have_candidate, int64_t candidate, align_probes& p) {
    stretch s{from, to, SILENT, 0};
    stretch_probes(p, r0, from, to, unit);
    if (p.count == 0) return s;
    uint64_t available = 0;
    if (have_candidate && align_agrees(p, align_agreement_at(p, r, candidate, &available), available)) {
        s.kind = PLACED;
        s.shift = candidate;
        return s;
    }
    const align_result found = align_find_shift(p, r);
    s.kind = found.convincing ? PLACED : UNPLACED;
    s.shift = found.shift;
    return s;
}

// Judges input 0's data [from, to) and appends the stretches to `s`. A stretch that cannot be
// placed is halved, down to ALIGN_STRETCH_FRAMES / 8 frames, so that a change inside it leaves
// only a short piece unplaced (the change itself is then found between the placed halves).
void judge_range(std::vector<stretch>& s, const align_region& r0, const align_region& r, uint64_t unit,
                 uint64_t from, uint64_t to, bool& have, int64_t& candidate, align_probes& p) {
    const stretch x = judge(r0, r, unit, from, to, have, candidate, p);
    const uint64_t half = (to - from) / 2 / unit * unit;
    if (x.kind == UNPLACED && half >= ALIGN_STRETCH_FRAMES / 16 * unit) {
        judge_range(s, r0, r, unit, from, from + half, have, candidate, p);
        judge_range(s, r0, r, unit, from + half, to, have, candidate, p);
        return;
    }
    s.push_back(x);
    if (x.kind == PLACED) have = true, candidate = x.shift;
}

// `n` bytes of a region at data offset `at` (which may lie outside it), zeros where it has none.
void read_window(const align_region& r, int64_t at, uint8_t* dst, uint64_t n) {
    memset(dst, 0, n);
    const int64_t lo = std::max<int64_t>(at, 0);
    const int64_t hi = std::min<int64_t>(at + static_cast<int64_t>(n), static_cast<int64_t>(r.len));
    if (hi > lo)
        read_at(r.fd, dst + (lo - at), static_cast<uint64_t>(hi - lo), r.offset + static_cast<uint64_t>(lo));
}

double share_equal(const uint8_t* a, const uint8_t* b, uint64_t n) {
    uint64_t same = 0;
    for (uint64_t j = 0; j < n; j++) same += a[j] == b[j];
    return n ? static_cast<double>(same) / static_cast<double>(n) : 0.0;
}

// The bytes around a change between shift a (before) and shift b (after).
struct edge {
    const align_region& r0;
    const align_region& r;
    uint64_t unit;
    int64_t a, b;

    // Which shift the window of EDGE_FRAMES frames at q follows: 'a', 'b', or 0 when it cannot
    // tell (silence, damage, or both alike there).
    char side_at(uint64_t q) const {
        const uint64_t n = EDGE_FRAMES * unit;
        std::vector<uint8_t> w0(n), wa(n), wb(n);
        read_window(r0, static_cast<int64_t>(q), w0.data(), n);
        read_window(r, static_cast<int64_t>(q) + a, wa.data(), n);
        read_window(r, static_cast<int64_t>(q) + b, wb.data(), n);
        const double sa = share_equal(w0.data(), wa.data(), n), sb = share_equal(w0.data(), wb.data(), n);
        if (sa >= EDGE_AGREE && sb <= EDGE_DISAGREE) return 'a';
        if (sb >= EDGE_AGREE && sa <= EDGE_DISAGREE) return 'b';
        return 0;
    }

    // The first frame in [lo, hi) that the copy holds at shift b but not at a.
    uint64_t first_b_frame(uint64_t lo, uint64_t hi) const {
        std::vector<uint8_t> f0(unit), fa(unit), fb(unit);
        for (uint64_t q = lo; q < hi; q += unit) {
            read_window(r0, static_cast<int64_t>(q), f0.data(), unit);
            read_window(r, static_cast<int64_t>(q) + a, fa.data(), unit);
            read_window(r, static_cast<int64_t>(q) + b, fb.data(), unit);
            if (memcmp(f0.data(), fb.data(), unit) == 0 && memcmp(f0.data(), fa.data(), unit) != 0) return q;
        }
        return NOT_FOUND;
    }
};

// The frame in [lo, hi) where the copy's shift changes from a to b: the windows are told apart
// one after another (a stretch is a few thousand windows), and the frames between the last window
// that follows a and the first that follows b after it are looked at one by one. NOT_FOUND when
// the data there do not tell (then the stretch stays unplaced).
uint64_t find_change(const edge& e, uint64_t lo, uint64_t hi) {
    const uint64_t window = EDGE_FRAMES * e.unit;
    uint64_t last_a = NOT_FOUND;
    for (uint64_t q = lo; q + window <= hi; q += window) {
        const char side = e.side_at(q);
        if (side == 'a') last_a = q;
        if (side == 'b' && last_a != NOT_FOUND) return e.first_b_frame(last_a, q + window);
    }
    return NOT_FOUND;
}

void add_segment(align_copy& c, uint64_t from, int64_t shift, bool placed) {
    if (c.segment_count > 0) {
        const align_segment& last = c.segments[c.segment_count - 1];
        if (last.placed == placed && (!placed || last.shift == shift)) return;
    }
    if (c.segment_count == ALIGN_MAX_SEGMENTS) return;
    if (c.segment_count == ALIGN_MAX_SEGMENTS - 1) placed = false;  // too many changes: the rest sits out
    c.segments[c.segment_count++] = align_segment{from, shift, placed};
}

// Silent stretches agree with any shift: they take a placed neighbour's.
void fill_silent(std::vector<stretch>& s) {
    int64_t last = 0;
    bool have = false;
    for (stretch& x : s) {
        if (x.kind == PLACED) last = x.shift, have = true;
        if (x.kind == SILENT && have) x.kind = PLACED, x.shift = last;
    }
    have = false;
    for (auto x = s.rbegin(); x != s.rend(); ++x) {
        if (x->kind == PLACED) last = x->shift, have = true;
        if (x->kind == SILENT) x->kind = have ? PLACED : UNPLACED, x->shift = last;
    }
}

// Adds a placed segment from the change at `at` (NOT_FOUND: the data did not tell where the
// change lies, and the copy sits out from `fallback` on instead).
void add_change(align_copy& c, uint64_t at, int64_t shift, uint64_t fallback, uint64_t unit) {
    if (at == NOT_FOUND) {
        add_segment(c, fallback, 0, false);
        return;
    }
    const uint64_t after_last = c.segment_count ? c.segments[c.segment_count - 1].from + unit : 0;
    add_segment(c, std::max(at, after_last), shift, true);
}

void build_segments(const std::vector<stretch>& s, const align_region& r0, const align_region& r,
                    uint64_t unit, align_copy& c) {
    for (size_t k = 0; k < s.size(); k++) {
        const stretch& x = s[k];
        const bool after_placed = k > 0 && s[k - 1].kind == PLACED;
        if (x.kind == UNPLACED) {
            // Between two placed stretches of different shifts the change itself may lie here.
            const bool between = after_placed && k + 1 < s.size() && s[k + 1].kind == PLACED &&
                                 s[k + 1].shift != s[k - 1].shift;
            const uint64_t at =
                between ? find_change(edge{r0, r, unit, s[k - 1].shift, s[k + 1].shift}, x.from, s[k + 1].to)
                        : NOT_FOUND;
            add_change(c, at, between ? s[k + 1].shift : 0, x.from, unit);
        } else if (after_placed && s[k - 1].shift != x.shift) {
            const uint64_t at = find_change(edge{r0, r, unit, s[k - 1].shift, x.shift}, s[k - 1].from, x.to);
            add_change(c, at, x.shift, x.from, unit);
        } else {
            add_segment(c, x.from, x.shift, true);
        }
    }
}

}  // namespace

void align_find_segments(const align_region& r0, const align_region& r, uint64_t unit,
                         const align_result& whole, align_copy& c) {
    const uint64_t length = ALIGN_STRETCH_FRAMES * unit;
    std::vector<stretch> s;
    align_probes p;
    bool have = whole.convincing;
    int64_t candidate = whole.shift;
    for (uint64_t from = 0; from < r0.len; from += length) {
        judge_range(s, r0, r, unit, from, std::min(r0.len, from + length), have, candidate, p);
    }
    fill_silent(s);
    build_segments(s, r0, r, unit, c);
    if (c.segment_count == 0) add_segment(c, 0, whole.shift, whole.convincing);
}

void align_put_name(const char* name) {
    fputc('[', stderr);
    con_put_right(stderr, name, NAME_COLUMNS);
    fputs("] ", stderr);
}

namespace {

// " from mm:ss.mmm" (or " from byte N" for data that is not WAV) for the data offset q.
void put_from(const align_units& u, uint64_t q) {
    if (!u.wav || u.rate == 0) {
        con_printf(stderr, " from byte %llu", static_cast<unsigned long long>(q));
        return;
    }
    con_printf(stderr, " from %s", play_time_of(q / u.unit, u.rate).text);
}

}  // namespace

void align_shift_text(const align_units& u, int64_t shift, char* out, size_t size) {
    const long long bytes = static_cast<long long>(shift);
    const long long frames = bytes / static_cast<long long>(u.wav ? u.unit : 2);
    snprintf(out, size, "shifted by %+lld bytes (%+lld %s)", bytes, frames, u.wav ? "frames" : "samples");
}

void align_print_segment_lines(const char* name, const align_units& u, const align_copy& c) {
    for (uint32_t k = 0; k < c.segment_count; k++) {
        const align_segment& seg = c.segments[k];
        align_put_name(name);
        if (seg.placed) {
            char text[96];
            align_shift_text(u, seg.shift, text, sizeof text);
            con_printf(stderr, "%s", text);
        } else {
            con_printf(stderr, "not placed");
        }
        if (c.segment_count > 1) put_from(u, seg.from);
        con_printf(stderr, seg.placed ? "\n" : "; it sits out the vote there\n");
    }
}

void align_print_segments(const char* name, const align_plan& plan, const align_copy& c) {
    if (c.segment_count == 1 && c.segments[0].placed && c.segments[0].shift == 0) return;
    if (c.segment_count == 1 && !c.segments[0].placed) {
        align_put_name(name);
        con_printf(stderr, "no convincing shift within %lld frames either way; it sits out the vote\n",
                   static_cast<long long>(ALIGN_MAX_SHIFT_FRAMES));
        return;
    }
    align_print_segment_lines(name, align_units{plan.wav, plan.unit, plan.rate}, c);
}

const align_segment& align_segment_at(const align_copy& c, uint64_t q) {
    uint32_t k = 0;
    while (k + 1 < c.segment_count && c.segments[k + 1].from <= q) k++;
    return c.segments[k];
}
