#include "vote/cd/evidence.h"

#include <cmath>
#include <cstring>

#include "vote/cd/fingerprints.h"
#include "vote/word_bits.h"

namespace {

bool narrow(const cd_window& w, uint64_t k) {
    return k + CD_NARROW_FRAMES >= w.run_at && k <= w.run_at + w.frames + CD_NARROW_FRAMES;
}

// |x - y|, without a branch.
inline uint64_t distance(int32_t x, int32_t y) {
    const int32_t d = x - y;
    return static_cast<uint64_t>(d < 0 ? -d : d);
}

// A share of successes in the narrow window pulled toward the wide window's.
struct share {
    double hits_n, trials_n, hits_w, trials_w;
    double value(double prior_hits, double prior_trials) const {
        const double wide = (hits_w + prior_hits) / (trials_w + prior_trials);
        return (hits_n + CD_PULL * wide) / (trials_n + CD_PULL);
    }
    void add(bool in_narrow, double hit) {
        hits_w += hit;
        trials_w += 1;
        if (in_narrow) hits_n += hit, trials_n += 1;
    }
};

// Marks in `agreed` the window's samples (moved by `offset` bytes: the other channel's) on which
// every copy taking part agrees, comparing the copies a word at a time; a sample that is not
// audio (r) is not agreed.
void mark_agreed(const cd_block& b, const cd_audio& r, const cd_scratch& sc, uint64_t n, const cd_window& w,
                 int64_t offset, uint8_t* agreed) {
    // Everything the loop reads is held in locals: the byte stores to `agreed` could otherwise
    // change any of it, for all the compiler knows.
    const uint8_t* others[MAX_INPUTS];
    for (uint64_t j = 1; j < n; j++) others[j - 1] = b.in_blocks[sc.who[j]];
    const uint8_t* base = b.in_blocks[sc.who[0]];
    const cd_audio audio = r;
    const uint64_t step = cd_step(b), first = w.first + static_cast<uint64_t>(offset), count = w.n;
    // The samples that are audio are one stretch of the window (a sample before the block wraps
    // round to a huge offset): only its ends are tested.
    uint64_t k = 0, end = count;
    while (k < end && !cd_is_audio(audio, first + k * step)) agreed[k++] = 0;
    while (end > k && !cd_is_audio(audio, first + (end - 1) * step)) agreed[--end] = 0;
    uint64_t word = UINT64_MAX, diff = 0;
    for (; k < end; k++) {
        const uint64_t q = first + k * step;
        if ((q & ~7ull) != word) {
            word = q & ~7ull;
            const uint64_t mine = load_word(base + word);
            diff = 0;
            for (uint64_t j = 0; j + 1 < n; j++) diff |= load_word(others[j] + word) ^ mine;
        }
        agreed[k] = ((diff >> (8 * (q - word))) & 0xFFFF) == 0;  // samples lie at even offsets
    }
}

// True when the n copies of sc.who hold the sample at q alike.
bool agreed_sample(const cd_block& b, const cd_scratch& sc, uint64_t n, uint64_t q) {
    const int16_t v = cd_sample(b, sc.who[0], q);
    for (uint64_t j = 1; j < n; j++) {
        if (cd_sample(b, sc.who[j], q) != v) return false;
    }
    return true;
}

// The samples k of the window whose trials the narrow window counts, [from, to), within those
// that have a neighbour either side, [1, end).
void narrow_stretch(const cd_window& w, uint64_t& from, uint64_t& to, uint64_t& end) {
    end = w.n > 1 ? w.n - 1 : 1;
    const uint64_t lo = w.run_at > CD_NARROW_FRAMES ? w.run_at - CD_NARROW_FRAMES : 0;
    const uint64_t hi = w.run_at + w.frames + CD_NARROW_FRAMES + 1;
    from = lo < 1 ? 1 : lo > end ? end : lo;
    to = hi < from ? from : hi > end ? end : hi;
}

// What cd_measure_window sums over the agreed samples of a stretch of the window.
struct window_sums {
    uint64_t lin, lin_trials, line, hold, step, cub, cub_trials;
};

window_sums operator+(const window_sums& a, const window_sums& b) {
    return {a.lin + b.lin, a.lin_trials + b.lin_trials, a.line + b.line, a.hold + b.hold, a.step + b.step,
            a.cub + b.cub, a.cub_trials + b.cub_trials};
}

// The sums over the samples k of window w in [from, to), 1 <= from <= to <= w.n - 1, of copy c0
// (its block) where the copies agree (a: sc.agreed). Without a branch per sample: where the
// copies agree, and where a sample lies on its neighbours' line, follow the audio, which a
// branch would mispredict. A sample that is not a trial adds 0 (its mask, 0 - trial, is 0);
// every sample of the window lies in the block, and the cubic's outer neighbours are read only
// inside it.
window_sums sum_samples(const uint8_t* c0, const uint8_t* a, const cd_window& w, uint64_t step, uint64_t from,
                        uint64_t to) {
    window_sums s = {0, 0, 0, 0, 0, 0, 0};
    for (uint64_t k = from; k < to; k++) {
        const uint64_t trial = a[k - 1] & a[k] & a[k + 1], t = 0 - trial;
        const uint64_t q = w.first + k * step;
        const int32_t before = load_sample16(c0 + q - step), v = load_sample16(c0 + q),
                      after = load_sample16(c0 + q + step);
        const uint64_t d = distance(v, cd_floor_mean(before, after));
        s.lin += d & t, s.lin_trials += trial;
        s.line += (d == 0) & trial, s.hold += (v == before) & trial, s.step += distance(v, before) & t;
        const bool inside = k >= 2 && k + 2 < w.n;
        const uint64_t outer = inside ? 2 * step : step;  // a stand-in outside, never counted
        const uint64_t cubic = trial & inside & a[inside ? k - 2 : k] & a[inside ? k + 2 : k];
        const uint64_t d6 = cd_cubic_distance6(load_sample16(c0 + q - outer), before, v, after,
                                               load_sample16(c0 + q + outer));
        s.cub += d6 & (0 - cubic), s.cub_trials += cubic;
    }
    return s;
}

// Fills w.partner, sc.partner_agreed and w.side_scale (see cd_window); w.partner stays 0 where a
// copy differs in the other channel beside or across the run, where no group's side can be had.
void measure_side(const cd_block& b, const cd_audio& r, cd_scratch& sc, uint64_t n, cd_window& w) {
    w.partner = 0;
    w.side_scale = 0;
    if (b.layout->channels != 2 || w.run_at == 0 || w.run_at + w.frames >= w.n) return;
    const uint64_t step = cd_step(b), at = w.first + w.run_at * step;
    const int64_t partner = (b.block_start + at - b.layout->data_begin) % step == 0 ? 2 : -2;
    for (uint64_t k = w.run_at - 1; k <= w.run_at + w.frames; k++) {
        const uint64_t q = w.first + k * step + static_cast<uint64_t>(partner);
        if (!cd_is_audio(r, q) || !agreed_sample(b, sc, n, q)) return;
    }
    w.partner = partner;
    mark_agreed(b, r, sc, n, w, partner, sc.partner_agreed);
    const uint8_t* c0 = b.in_blocks[sc.who[0]];
    const auto s = [&](uint64_t q) {
        return int32_t(load_sample16(c0 + q)) - load_sample16(c0 + q + static_cast<uint64_t>(partner));
    };
    // Summed without a branch per sample (see cd_measure_window); every sample of the window and
    // its partner lies in the block.
    const uint8_t *a = sc.agreed, *pa = sc.partner_agreed;
    const auto sum = [&](uint64_t from, uint64_t to, uint64_t& hits, uint64_t& trials) {
        for (uint64_t k = from; k < to; k++) {
            const uint64_t trial = a[k - 1] & pa[k - 1] & a[k] & pa[k] & a[k + 1] & pa[k + 1];
            const uint64_t q = w.first + k * step;
            hits += distance(s(q), cd_floor_mean(s(q - step), s(q + step))) & (0 - trial);
            trials += trial;
        }
    };
    uint64_t from, to, end, hits_n = 0, trials_n = 0, hits_w = 0, trials_w = 0;
    narrow_stretch(w, from, to, end);
    sum(1, from, hits_w, trials_w);
    sum(from, to, hits_n, trials_n);
    sum(to, end, hits_w, trials_w);
    const share side = {double(hits_n), double(trials_n), double(hits_w + hits_n),
                        double(trials_w + trials_n)};
    const double scale = side.value(1, 1);
    w.side_scale = scale < 0.5 ? 0.5 : scale;
}

// Whether the frame of window sample k agrees in every copy and is zero.
bool silent_frame(const cd_block& b, const cd_audio& r, cd_scratch& sc, uint64_t n, const cd_window& w,
                  uint64_t k) {
    if (sc.frame_agreed[k] == 2) {
        const uint64_t q = w.first + k * cd_step(b);
        sc.frame_agreed[k] = cd_muted(b, r, sc.who[0], q, 1);
        for (uint64_t j = 1; j < n && sc.frame_agreed[k]; j++)
            sc.frame_agreed[k] = cd_muted(b, r, sc.who[j], q, 1);
    }
    return sc.frame_agreed[k] != 0;
}

// How often the genuine audio around the run shows fingerprint `print` at the run's length.
double genuine_share(const cd_block& b, const cd_audio& r, cd_scratch& sc, uint64_t n, const cd_window& w,
                     cd_print print, uint64_t len) {
    // One sample on the line or held: counted while the window was measured.
    if (len == 1 && print == CD_PRINT_LINE) return w.line1;
    if (len == 1 && print == CD_PRINT_HOLD) return w.hold1;
    const uint64_t step = cd_step(b);
    share s = {0, 0, 0, 0};
    for (uint64_t k = 1; k + len < w.n; k++) {
        if (print == CD_PRINT_MUTE) {
            if (k + len > w.run_at && k < w.run_at + len) continue;  // the run itself
            bool all = true;
            for (uint64_t j = 0; j < len && all; j++) all = silent_frame(b, r, sc, n, w, k + j);
            bool trial = true;  // every frame of the stretch agrees (silent or not)
            for (uint64_t j = 0; j < len && trial; j++) trial = sc.agreed[k + j];
            if (trial) s.add(narrow(w, k), all);
            continue;
        }
        bool trial = true;
        for (uint64_t j = k - 1; j <= k + len && trial; j++) trial = sc.agreed[j];
        if (!trial) continue;
        const uint64_t q = w.first + k * step;
        const int32_t x0 = cd_sample(b, sc.who[0], q - step), x1 = cd_sample(b, sc.who[0], q + len * step);
        const bool hit = print == CD_PRINT_LINE ? cd_on_line(b, sc.who[0], q, len, x0, x1)
                                                : cd_held(b, sc.who[0], q, len, x0);
        s.add(narrow(w, k), hit);
    }
    return s.value(0.5, 1);
}

// How many copies hold the byte that copy k (in the order of sc.who) holds at q, for each k, in
// counts; returns the largest count.
uint64_t count_bytes(const cd_block& b, cd_scratch& sc, uint64_t n, uint64_t q, uint16_t* counts) {
    uint64_t most = 0;
    if (n <= CD_PAIRWISE_COPIES) {
        for (uint64_t k = 0; k < n; k++) {
            const uint8_t v = b.in_blocks[sc.who[k]][q];
            uint16_t m = 0;
            for (uint64_t j = 0; j < n; j++) m = static_cast<uint16_t>(m + (b.in_blocks[sc.who[j]][q] == v));
            counts[k] = m;
            most = m > most ? m : most;
        }
        return most;
    }
    for (uint64_t k = 0; k < n; k++) sc.byte_count[b.in_blocks[sc.who[k]][q]]++;
    for (uint64_t k = 0; k < n; k++) {
        counts[k] = sc.byte_count[b.in_blocks[sc.who[k]][q]];
        most = counts[k] > most ? counts[k] : most;
    }
    for (uint64_t k = 0; k < n; k++) sc.byte_count[b.in_blocks[sc.who[k]][q]] = 0;
    return most;
}

}  // namespace

void cd_measure_window(const cd_block& b, const cd_audio& r, cd_scratch& sc, uint64_t n, uint64_t p,
                       uint64_t frames, cd_window& w) {
    const uint64_t step = cd_step(b);
    const uint64_t before = (p - r.lo) / step;
    const uint64_t after = (r.hi - 2 - p) / step;
    const uint64_t back = before < CD_WIDE_FRAMES ? before : CD_WIDE_FRAMES;
    const uint64_t on = frames + (after - frames + 1 < CD_WIDE_FRAMES ? after - frames + 1 : CD_WIDE_FRAMES);
    w.first = p - back * step;
    w.run_at = back;
    w.n = back + on;
    w.frames = frames;
    mark_agreed(b, r, sc, n, w, 0, sc.agreed);
    memset(sc.frame_agreed, 2, w.n);  // not yet known
    // The mean distances, counted in whole steps (the cubic one in sixths) over the narrow and
    // the wide window: the narrow one's samples are a stretch of the wide one's, summed apart.
    const uint8_t* c0 = b.in_blocks[sc.who[0]];
    uint64_t from, to, end;
    narrow_stretch(w, from, to, end);
    const window_sums in_narrow = sum_samples(c0, sc.agreed, w, step, from, to);
    const window_sums in_wide = sum_samples(c0, sc.agreed, w, step, 1, from) + in_narrow +
                                sum_samples(c0, sc.agreed, w, step, to, end);
    // A share over the samples that have both neighbours agreed.
    const auto pulled = [&](uint64_t hits_n, uint64_t hits_w, double prior_hits) {
        return share{double(hits_n), double(in_narrow.lin_trials), double(hits_w), double(in_wide.lin_trials)}
            .value(prior_hits, 1);
    };
    const double s = pulled(in_narrow.lin, in_wide.lin, 1);
    w.scale = s < 0.5 ? 0.5 : s;
    w.line1 = pulled(in_narrow.line, in_wide.line, 0.5);
    w.hold1 = pulled(in_narrow.hold, in_wide.hold, 0.5);
    w.step_scale = pulled(in_narrow.step, in_wide.step, 1);
    const share cub = {in_narrow.cub / 6.0, double(in_narrow.cub_trials), in_wide.cub / 6.0,
                       double(in_wide.cub_trials)};
    const double s3 = cub.value(1, 1);
    w.scale3 = s3 < 0.5 ? 0.5 : s3;
    measure_side(b, r, sc, n, w);
}

bool cd_side_distance(const cd_block& b, const cd_scratch& sc, const cd_window& w, uint64_t c, double& mean) {
    if (w.partner == 0 || w.run_at == 0 || w.run_at + w.frames >= w.n) return false;
    for (uint64_t k = w.run_at - 1; k <= w.run_at + w.frames; k++) {
        if (!sc.partner_agreed[k]) return false;
    }
    const uint64_t step = cd_step(b), p = w.first + w.run_at * step;
    const uint64_t o = sc.who[0];  // the other channel's samples are every copy's
    const auto s = [&](uint64_t q) {
        return int32_t(cd_sample(b, c, q)) - cd_sample(b, o, q + static_cast<uint64_t>(w.partner));
    };
    const int32_t s0 = s(p - step), s1 = s(p + w.frames * step);
    const int32_t len = static_cast<int32_t>(w.frames + 1);
    double sum = 0;
    for (uint64_t j = 0; j < w.frames; j++) {
        const int32_t want = s0 + cd_floor_div32((s1 - s0) * static_cast<int32_t>(j + 1), len);
        const int32_t v = s(p + j * step);
        sum += v > want ? v - want : want - v;
    }
    mean = sum / static_cast<double>(w.frames);
    return true;
}

bool cd_both_bytes_differ(const cd_block& b, uint64_t c, uint64_t o, uint64_t p, uint64_t frames) {
    for (uint64_t k = 0; k < frames; k++) {
        const uint8_t* x = b.in_blocks[c] + p + k * cd_step(b);
        const uint8_t* y = b.in_blocks[o] + p + k * cd_step(b);
        if (x[0] != y[0] && x[1] != y[1]) return true;
    }
    return false;
}

void cd_count_noise(const cd_block& b, const cd_audio& r, cd_scratch& sc, uint64_t n, uint64_t p,
                    uint64_t frames) {
    const uint64_t from = cd_frame_start(b, p), to = from + frames * cd_step(b);
    uint16_t counts[MAX_INPUTS];
    for (uint64_t k = 0; k < n; k++) sc.noise[k] = 0;
    for (uint64_t i = 0; i < 64; i++) {
        if (i < 32 && from < i + 1) continue;
        const uint64_t q = i < 32 ? from - 1 - i : to + (i - 32);
        if (q < r.lo || q >= r.hi) continue;
        const uint8_t first = b.in_blocks[sc.who[0]][q];
        uint64_t k = 1;
        while (k < n && b.in_blocks[sc.who[k]][q] == first) k++;
        if (k == n) continue;  // all agree
        const uint64_t most = count_bytes(b, sc, n, q, counts);
        // Where the most common value lies in a muted frame, the copies holding something else
        // are more likely the genuine ones beside a muting than copies in a burst.
        uint64_t holder = 0;
        while (counts[holder] < most) holder++;
        if (cd_muted(b, r, sc.who[holder], q, 1)) continue;
        for (k = 0; k < n; k++) sc.noise[k] = static_cast<uint16_t>(sc.noise[k] + (counts[k] < most));
    }
}

double cd_rarities::of(const cd_block& b, const cd_audio& r, cd_scratch& sc, uint64_t n, const cd_window& w,
                       cd_print print, uint64_t len) {
    for (uint64_t m = 0; m < kept; m++) {
        if (known[m].print == print && known[m].len == len) return known[m].rarity;
    }
    const double rarity = std::log(genuine_share(b, r, sc, n, w, print, len));
    if (kept < 8) known[kept++] = {print, len, rarity};
    return rarity;
}
