#include "vote/cd_vote.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "audio/wav_header.h"
#include "base/app_error.h"
#include "base/coding.h"
#include "base/globals.h"
#include "vote/word_bits.h"

namespace {
// Up to this many copies are grouped pair by pair: the value table of cd_scratch would cost a
// cache miss per copy at every disputed sample.
const uint64_t PAIRWISE_COPIES = 16;

inline uint16_t key(int16_t v) { return static_cast<uint16_t>(v); }

inline int16_t sample_of(const cd_block& b, uint64_t c, uint64_t p) {
    return load_sample16(b.in_blocks[c] + p);
}

inline int32_t floor_mean(int32_t a, int32_t b) {
    const int32_t sum = a + b;
    return (sum - (sum & 1)) / 2;  // rounded down, also below zero
}

// n / d rounded down; d > 0.
inline int32_t floor_div32(int32_t n, int32_t d) { return n / d - (n % d != 0 && n < 0); }

// The samples of the current block that are audio, as offsets into the block: [lo, hi).
struct audio_range {
    uint64_t lo;
    uint64_t hi;
};

audio_range audio_of_block(const cd_block& b) {
    const cd_layout& l = *b.layout;
    audio_range r = {0, 0};
    // After an odd short read, the block's even offsets are no longer sample starts.
    if (b.block_start % 2 != 0 || l.data_end <= b.block_start) return r;
    r.lo = l.data_begin > b.block_start ? l.data_begin - b.block_start : 0;
    const uint64_t end = l.data_end - b.block_start;
    r.hi = end < b.block_len ? end : b.block_len;
    if (r.lo > r.hi) r.lo = r.hi;
    return r;
}

inline uint64_t frame_bytes(const cd_block& b) { return 2 * b.layout->channels; }

// True when the sample at p (which may lie before the block: p is then huge) is audio.
inline bool is_audio(const audio_range& r, uint64_t p) { return p >= r.lo && p < r.hi && p + 2 <= r.hi; }

// ---- Fingerprints ----

bool on_line(const cd_block& b, uint64_t c, uint64_t p, uint64_t frames, int32_t x0, int32_t x1) {
    const uint64_t step = frame_bytes(b);
    for (uint64_t k = 1; k <= frames; k++) {
        // |x1 - x0| * k stays below 2^20: 32 bits divide faster.
        const int32_t v =
            x0 + floor_div32((x1 - x0) * static_cast<int32_t>(k), static_cast<int32_t>(frames + 1));
        if (sample_of(b, c, p + (k - 1) * step) != v) return false;
    }
    return true;
}

bool held(const cd_block& b, uint64_t c, uint64_t p, uint64_t frames, int32_t x0) {
    for (uint64_t k = 0; k < frames; k++) {
        if (sample_of(b, c, p + k * frame_bytes(b)) != x0) return false;
    }
    return true;
}

// The block offset of the frame that holds the audio sample at p.
inline uint64_t frame_start(const cd_block& b, uint64_t p) {
    return p - (b.block_start + p - b.layout->data_begin) % frame_bytes(b);
}

// True when every channel of the `frames` frames from the one holding p is zero in copy c (and
// they all lie in the block's audio).
bool muted(const cd_block& b, const audio_range& r, uint64_t c, uint64_t p, uint64_t frames) {
    const uint64_t from = frame_start(b, p), to = from + frames * frame_bytes(b);
    if (from < r.lo || to > r.hi) return false;
    for (uint64_t q = from; q < to; q++) {
        if (b.in_blocks[c][q] != 0) return false;
    }
    return true;
}

// A line that holds the run: the copy's concealed stretch may reach past the disputed run where
// another copy splits the copies differently. Tries the stretches of at most CD_MAX_LINE samples
// that hold the run and reach only over disputed samples, shortest first, and returns the length
// of the first on the line, or 0. (Samples that every copy agrees on are the genuine signal's:
// a line through them is no concealment.)
// True when copy c's sample at q bends by at most 1 against its neighbours, as every sample of
// a floor line does.
inline bool straight_at(const cd_block& b, uint64_t c, uint64_t q) {
    const uint64_t step = frame_bytes(b);
    const int32_t bend = sample_of(b, c, q - step) - 2 * sample_of(b, c, q) + sample_of(b, c, q + step);
    return bend >= -1 && bend <= 1;
}

uint64_t line_around(const cd_block& b, const audio_range& r, uint64_t c, uint64_t p, uint64_t frames) {
    const uint64_t step = frame_bytes(b);
    // The run's samples must bend by at most 1, and the stretch can reach only over samples that
    // do (whose neighbours beyond are audio, to end the line on).
    for (uint64_t k = 0; k < frames; k++) {
        if (!straight_at(b, c, p + k * step)) return 0;
    }
    uint64_t before = 0, after_run = 0;  // samples just before and after the run it can reach over
    while (before + frames < CD_MAX_LINE && p >= (before + 2) * step &&
           is_audio(r, p - (before + 2) * step) && straight_at(b, c, p - (before + 1) * step)) {
        before++;
    }
    while (after_run + frames < CD_MAX_LINE && is_audio(r, p + (frames + after_run + 1) * step) &&
           straight_at(b, c, p + (frames + after_run) * step)) {
        after_run++;
    }
    for (uint64_t len = frames; len <= CD_MAX_LINE && len <= frames + before + after_run; len++) {
        for (uint64_t back = 0; back <= len - frames && back <= before; back++) {
            if (len - frames - back > after_run) continue;
            const uint64_t from = p - back * step, after = from + len * step;
            if (!is_audio(r, from - step) || !is_audio(r, after)) continue;
            if (on_line(b, c, from, len, sample_of(b, c, from - step), sample_of(b, c, after))) return len;
        }
    }
    return 0;
}

// The fingerprint of copy c over the run, and in `len` the length at which its rarity is measured.
cd_print fingerprint_in(const cd_block& b, const audio_range& r, uint64_t c, uint64_t p, uint64_t frames,
                        uint64_t& len) {
    const uint64_t step = frame_bytes(b);
    len = frames;
    if (p < step || !is_audio(r, p - step) || !is_audio(r, p + frames * step)) return CD_PRINT_NONE;
    const int32_t x0 = sample_of(b, c, p - step);
    if (muted(b, r, c, p, frames)) return CD_PRINT_MUTE;
    if (frames <= CD_MAX_LINE && (len = line_around(b, r, c, p, frames)) != 0) return CD_PRINT_LINE;
    len = frames;
    if (frames <= CD_MAX_HOLD && held(b, c, p, frames, x0)) return CD_PRINT_HOLD;
    return CD_PRINT_NONE;
}

// ---- Groups ----

// Fills sc.label (the first copy, in the order of sc.who, holding each copy's value) and sc.size
// for the sample at p, or for the byte at p with `bytes`. Returns the number of groups.
uint64_t label_copies(const cd_block& b, cd_scratch& sc, uint64_t n, uint64_t p, bool bytes = false) {
    const auto value = [&](uint64_t k) -> uint16_t {
        return bytes ? b.in_blocks[sc.who[k]][p] : key(sample_of(b, sc.who[k], p));
    };
    uint64_t groups = 0;
    if (n <= PAIRWISE_COPIES) {
        // Few copies: compared pair by pair, which saves the table's cache misses.
        uint16_t v[PAIRWISE_COPIES];
        for (uint64_t k = 0; k < n; k++) v[k] = value(k);
        for (uint64_t k = 0; k < n; k++) {
            uint64_t first = k, size = 0;
            for (uint64_t j = 0; j < n; j++) {
                if (v[j] != v[k]) continue;
                first = j < first ? j : first;
                size++;
            }
            sc.label[k] = static_cast<uint16_t>(first);
            sc.size[k] = static_cast<uint16_t>(size);
            groups += first == k;
        }
        return groups;
    }
    for (uint64_t k = 0; k < n; k++) {
        const uint16_t v = value(k);
        if (sc.first_plus1[v] == 0) {
            sc.first_plus1[v] = static_cast<uint16_t>(k + 1);
            groups++;
        }
        sc.label[k] = static_cast<uint16_t>(sc.first_plus1[v] - 1);
    }
    for (uint64_t k = 0; k < n; k++) sc.size[k] = 0;
    for (uint64_t k = 0; k < n; k++) sc.size[sc.label[k]]++;
    for (uint64_t k = 0; k < n; k++) {
        sc.size[k] = sc.size[sc.label[k]];
        sc.first_plus1[value(k)] = 0;
    }
    return groups;
}

// The byte vote's choice among the labelled copies: the largest group, the lowest index among
// equal ones; where no two agree, the best-scored copy. An index into sc.who.
uint64_t byte_vote_choice(const cd_scratch& sc, uint64_t n) {
    uint64_t w = 0;
    for (uint64_t k = 1; k < n; k++) {
        if (sc.size[k] > sc.size[w]) w = k;
    }
    return sc.size[w] > 1 ? w : best_scored(sc.totals, n);
}

// ---- Evidence ----

// The agreed samples around a run, in the run's channel: sample k of the window lies at block
// offset first + k * step.
struct window {
    uint64_t first;
    uint64_t n;
    uint64_t run_at;  // the run's first sample
    uint64_t frames;  // the run's length
    double scale;     // mean distance of an agreed sample from its neighbours' floor mean
    double scale3;    // mean distance of an agreed sample from the cubic prediction of its neighbours
    double line1;     // share of agreed samples that are their neighbours' floor mean
    double hold1;     // share of agreed samples that repeat the sample before them
};

inline bool narrow(const window& w, uint64_t k) {
    return k + CD_NARROW_FRAMES >= w.run_at && k <= w.run_at + w.frames + CD_NARROW_FRAMES;
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

// Six times the distance of v from the cubic prediction of its two neighbours each way.
inline uint64_t cubic_distance6(int32_t before2, int32_t before, int32_t v, int32_t after, int32_t after2) {
    const int32_t e6 = 6 * v + before2 - 4 * before - 4 * after + after2;
    return static_cast<uint64_t>(e6 < 0 ? -e6 : e6);
}

// How far copy c's sample at q lies from the cubic prediction of its two neighbours each way.
double cubic_distance(const cd_block& b, uint64_t c, uint64_t q) {
    const uint64_t step = frame_bytes(b);
    return cubic_distance6(sample_of(b, c, q - 2 * step), sample_of(b, c, q - step), sample_of(b, c, q),
                           sample_of(b, c, q + step), sample_of(b, c, q + 2 * step)) /
           6.0;
}

// Marks the window's samples on which every copy taking part agrees, comparing the copies a
// word at a time.
void mark_agreed(const cd_block& b, cd_scratch& sc, uint64_t n, const window& w) {
    const uint8_t* const* in = b.in_blocks;
    const uint8_t* base = in[sc.who[0]];
    const uint64_t step = frame_bytes(b);
    uint64_t word = UINT64_MAX, diff = 0;
    for (uint64_t k = 0; k < w.n; k++) {
        const uint64_t q = w.first + k * step;
        if ((q & ~7ull) != word) {
            word = q & ~7ull;
            const uint64_t mine = load_word(base + word);
            diff = 0;
            for (uint64_t j = 1; j < n; j++) diff |= load_word(in[sc.who[j]] + word) ^ mine;
        }
        sc.agreed[k] = ((diff >> (8 * (q - word))) & 0xFFFF) == 0;
    }
}

void measure_window(const cd_block& b, const audio_range& r, cd_scratch& sc, uint64_t n, uint64_t p,
                    uint64_t frames, window& w) {
    const uint64_t step = frame_bytes(b);
    const uint64_t before = (p - r.lo) / step;
    const uint64_t after = (r.hi - 2 - p) / step;
    const uint64_t back = before < CD_WIDE_FRAMES ? before : CD_WIDE_FRAMES;
    const uint64_t on = frames + (after - frames + 1 < CD_WIDE_FRAMES ? after - frames + 1 : CD_WIDE_FRAMES);
    w.first = p - back * step;
    w.run_at = back;
    w.n = back + on;
    w.frames = frames;
    mark_agreed(b, sc, n, w);
    memset(sc.frame_agreed, 2, w.n);  // not yet known
    // The mean distances, counted in whole steps (the cubic one in sixths) over the narrow and
    // the wide window.
    uint64_t lin_n = 0, lin_w = 0, lin_trials_n = 0, lin_trials_w = 0;
    uint64_t cub_n = 0, cub_w = 0, cub_trials_n = 0, cub_trials_w = 0;
    uint64_t line_n = 0, line_w = 0, hold_n = 0, hold_w = 0;
    const uint64_t c0 = sc.who[0];
    for (uint64_t k = 1; k + 1 < w.n; k++) {
        if (!sc.agreed[k - 1] || !sc.agreed[k] || !sc.agreed[k + 1]) continue;
        const uint64_t q = w.first + k * step;
        const int32_t before = sample_of(b, c0, q - step), v = sample_of(b, c0, q),
                      after = sample_of(b, c0, q + step);
        const int32_t m = floor_mean(before, after);
        const uint64_t d = static_cast<uint64_t>(v > m ? v - m : m - v);
        const bool in_narrow = narrow(w, k);
        lin_w += d, lin_trials_w++;
        line_w += d == 0, hold_w += v == before;
        if (in_narrow) lin_n += d, lin_trials_n++, line_n += d == 0, hold_n += v == before;
        if (k < 2 || k + 2 >= w.n || !sc.agreed[k - 2] || !sc.agreed[k + 2]) continue;
        const uint64_t d6 =
            cubic_distance6(sample_of(b, c0, q - 2 * step), before, v, after, sample_of(b, c0, q + 2 * step));
        cub_w += d6, cub_trials_w++;
        if (in_narrow) cub_n += d6, cub_trials_n++;
    }
    const share lin = {double(lin_n), double(lin_trials_n), double(lin_w), double(lin_trials_w)};
    const double s = lin.value(1, 1);
    w.scale = s < 0.5 ? 0.5 : s;
    w.line1 = share{double(line_n), double(lin_trials_n), double(line_w), double(lin_trials_w)}.value(0.5, 1);
    w.hold1 = share{double(hold_n), double(lin_trials_n), double(hold_w), double(lin_trials_w)}.value(0.5, 1);
    const share cub = {cub_n / 6.0, double(cub_trials_n), cub_w / 6.0, double(cub_trials_w)};
    const double s3 = cub.value(1, 1);
    w.scale3 = s3 < 0.5 ? 0.5 : s3;
}

// Whether the frame of window sample k agrees in every copy and is zero.
bool silent_frame(const cd_block& b, const audio_range& r, cd_scratch& sc, uint64_t n, const window& w,
                  uint64_t k) {
    if (sc.frame_agreed[k] == 2) {
        const uint64_t q = w.first + k * frame_bytes(b);
        sc.frame_agreed[k] = muted(b, r, sc.who[0], q, 1);
        for (uint64_t j = 1; j < n && sc.frame_agreed[k]; j++)
            sc.frame_agreed[k] = muted(b, r, sc.who[j], q, 1);
    }
    return sc.frame_agreed[k] != 0;
}

// How often the genuine audio around the run shows fingerprint `print` at the run's length.
double genuine_share(const cd_block& b, const audio_range& r, cd_scratch& sc, uint64_t n, const window& w,
                     cd_print print, uint64_t len) {
    // One sample on the line or held: counted while the window was measured.
    if (len == 1 && print == CD_PRINT_LINE) return w.line1;
    if (len == 1 && print == CD_PRINT_HOLD) return w.hold1;
    const uint64_t step = frame_bytes(b);
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
        const int32_t x0 = sample_of(b, sc.who[0], q - step), x1 = sample_of(b, sc.who[0], q + len * step);
        const bool hit =
            print == CD_PRINT_LINE ? on_line(b, sc.who[0], q, len, x0, x1) : held(b, sc.who[0], q, len, x0);
        s.add(narrow(w, k), hit);
    }
    return s.value(0.5, 1);
}

// ---- Scores ----
//
// What is known of a group over the run, and how each piece of it counts: the weights of a
// logistic model of "this group holds the genuine samples rather than the byte vote's choice",
// fitted on the disputed runs of scripts/audio_eval.sh's tune set and then adjusted one weight at
// a time where that left fewer wrong bytes on the tune set (its check set, other recordings and
// other damage, was kept apart to measure the result). The score of a group is the weighted sum
// of its features; the difference of two scores plus CD_BIAS is the log-odds that the first
// group, rather than the byte vote's choice, holds the genuine samples.
//
// How the weights were made, to make them again when the features change: every run that reaches
// score_groups in the 126 tune rows was written out with every group's view (about 190,000
// runs); each group other than the byte vote's choice whose wrong bytes over the run differ from
// the choice's gave one example, the difference of the two feature vectors (and 1 for the bias),
// labelled by which of the two is right and weighted by how many bytes the two differ in wrong
// bytes. A logistic regression with an L2 penalty of 1 (Newton's method to convergence) gave the
// first weights; then each weight in turn, and the bias, was moved by 30 % of its size (at least
// 0.05) up or down where that lowered the tune set's wrong bytes with the rules of
// overruling_group in force, summed as a share of the byte vote's (3 copies against 0.1, 5 and 7
// against 0.05), in rounds with halved steps.
struct group_view {
    cd_print print;
    uint64_t len;       // the fingerprint's length
    double rarity;      // ln of the share of genuine samples that show the fingerprint
    uint64_t size;      // copies in the group
    double max_linear;  // largest distance of a run sample from its neighbours' floor mean
    double mean_cubic;  // mean distance of the run samples from their cubic prediction
    double edge;        // the same distances, summed, of the samples just outside the run
    bool cubic;         // false where the run lies too near the audio's edge for the cubic
    bool two_bytes;     // a run sample differs from the other group's in both of its bytes
    uint64_t noise;     // a lone copy: bytes near the run where it differs from the rest
    double shared;      // ln of the share of this rip's outvoted groups that show a line or hold
};

// The features, in the order of CD_WEIGHTS.
enum cd_feature {
    F_MUTE_COPIES,            // copies beyond the first of a muted group
    F_HOLD_COPIES,            // ... of a held group
    F_LOG_CUBIC,              // ln(1 + mean cubic distance)
    F_LOG_CUBIC_SCALED,       // ln(1 + mean cubic distance / cubic scale)
    F_LOG_EDGE,               // ln(1 + edge distance / cubic scale)
    F_LOG_LINEAR,             // ln(1 + largest linear distance)
    F_LOG_LINEAR_SCALED,      // ln(1 + largest linear distance / linear scale)
    F_NOISE_LONE,             // ln(1 + noise) of a lone copy
    F_PRINT,                  // the group shows a fingerprint
    F_PRINT_RARITY,           // its rarity (ln share, at most 0)
    F_PRINT_COPIES,           // copies beyond the first of a group with a fingerprint
    F_PLAIN_COPIES,           // ... of a group without
    F_PRINT_SUBSETS,          // ln C(copies voting, group size), with a fingerprint
    F_ROBUST_LINEAR,          // log-likelihood of the run as genuine (linear, Laplace with a floor)
    F_ROBUST_CUBIC,           // the same with the cubic prediction
    F_ROBUST_EDGE,            // what the samples just outside the run add to it
    F_TWO_BYTES,              // both bytes of a sample differ from the other group's
    F_HOLD,                   // the fingerprint is a hold
    F_MUTE,                   // ... a mute
    F_PRINT_OF_THREE,         // a fingerprint where three copies vote
    F_PLAIN_COPIES_OF_THREE,  // copies beyond the first of a group without one, of three
    F_PLAIN_SUBSETS,          // ln C(copies voting, group size), without a fingerprint
    F_SHARED_COPIES,          // copies beyond the first of a line or a hold, times ln of how often this
                              // rip's outvoted groups show one
    F_COUNT
};

const double CD_WEIGHTS[F_COUNT] = {
    0.3254,   // F_MUTE_COPIES
    -0.0104,  // F_HOLD_COPIES
    -0.0988,  // F_LOG_CUBIC
    -0.5393,  // F_LOG_CUBIC_SCALED
    -0.7493,  // F_LOG_EDGE
    -0.3556,  // F_LOG_LINEAR
    0.1861,   // F_LOG_LINEAR_SCALED
    -0.6018,  // F_NOISE_LONE
    -0.8239,  // F_PRINT
    0.4907,   // F_PRINT_RARITY
    0.6924,   // F_PRINT_COPIES
    0.7802,   // F_PLAIN_COPIES
    -0.8224,  // F_PRINT_SUBSETS
    0.0527,   // F_ROBUST_LINEAR
    0.0161,   // F_ROBUST_CUBIC
    0.0869,   // F_ROBUST_EDGE
    1.6050,   // F_TWO_BYTES
    3.5371,   // F_HOLD
    2.1180,   // F_MUTE
    -0.3330,  // F_PRINT_OF_THREE
    2.2750,   // F_PLAIN_COPIES_OF_THREE
    1.1734,   // F_PLAIN_SUBSETS
    -0.1908,  // F_SHARED_COPIES
};
const double CD_BIAS = 0.4418;
// The share of genuine samples that the Laplace density of the robust likelihoods leaves to any
// value at all (a transient, a click): 10^-4.75 spread over the 65536 values.
const double CD_FLOOR = 1.7783e-5;

double log_subsets(uint64_t n, uint64_t k) {
    return std::lgamma(n + 1.0) - std::lgamma(k + 1.0) - std::lgamma(static_cast<double>(n - k) + 1.0);
}

// ln((1 - floor) e^(x / frames) + floor / 65536), per frame, times frames: a log-likelihood per
// sample that no implausible sample can take below the floor.
double robust(double x, double frames) {
    const double per = x / frames < -700 ? -700 : (x / frames > 0 ? 0 : x / frames);
    return frames * std::log((1 - CD_FLOOR) * std::exp(per) + CD_FLOOR / 65536);
}

double score_of(const group_view& g, uint64_t n, uint64_t frames, const window& w) {
    double f[F_COUNT];
    const bool print = g.print != CD_PRINT_NONE;
    const double copies = static_cast<double>(g.size - 1), fr = static_cast<double>(frames);
    const double lin = -std::log(2 * w.scale) - g.max_linear / w.scale;
    const double cub = g.cubic ? -fr * std::log(2 * w.scale3) - fr * g.mean_cubic / w.scale3 : lin;
    const double edge = g.cubic ? -g.edge / w.scale3 : 0;
    const double noise = std::log1p(static_cast<double>(g.noise));
    f[F_MUTE_COPIES] = g.print == CD_PRINT_MUTE ? copies : 0;
    f[F_HOLD_COPIES] = g.print == CD_PRINT_HOLD ? copies : 0;
    f[F_LOG_CUBIC] = std::log1p(g.mean_cubic);
    f[F_LOG_CUBIC_SCALED] = std::log1p(g.mean_cubic / w.scale3);
    f[F_LOG_EDGE] = std::log1p(g.edge / w.scale3);
    f[F_LOG_LINEAR] = std::log1p(g.max_linear);
    f[F_LOG_LINEAR_SCALED] = std::log1p(g.max_linear / w.scale);
    f[F_NOISE_LONE] = g.size == 1 ? noise : 0;
    f[F_PRINT] = print;
    f[F_PRINT_RARITY] = print ? g.rarity : 0;
    f[F_PRINT_COPIES] = print ? copies : 0;
    f[F_PLAIN_COPIES] = print ? 0 : copies;
    f[F_PRINT_SUBSETS] = print ? log_subsets(n, g.size) : 0;
    f[F_ROBUST_LINEAR] = robust(lin, fr);
    f[F_ROBUST_CUBIC] = robust(cub, fr);
    f[F_ROBUST_EDGE] = robust(cub + edge, fr) - f[F_ROBUST_CUBIC];
    f[F_TWO_BYTES] = g.two_bytes;
    f[F_HOLD] = g.print == CD_PRINT_HOLD;
    f[F_MUTE] = g.print == CD_PRINT_MUTE;
    f[F_PRINT_OF_THREE] = print && n == 3;
    f[F_PLAIN_COPIES_OF_THREE] = !print && n == 3 ? copies : 0;
    f[F_PLAIN_SUBSETS] = print ? 0 : log_subsets(n, g.size);
    f[F_SHARED_COPIES] = g.print == CD_PRINT_LINE || g.print == CD_PRINT_HOLD ? copies * g.shared : 0;
    double score = 0;
    for (unsigned i = 0; i < F_COUNT; i++) score += CD_WEIGHTS[i] * f[i];
    return score;
}

// The largest distance of copy c's run samples from their neighbours' floor mean.
int32_t run_distance(const cd_block& b, uint64_t c, uint64_t p, uint64_t frames) {
    const uint64_t step = frame_bytes(b);
    int32_t worst = 0;
    for (uint64_t k = 0; k < frames; k++) {
        const uint64_t q = p + k * step;
        const int32_t v = sample_of(b, c, q);
        const int32_t m = floor_mean(sample_of(b, c, q - step), sample_of(b, c, q + step));
        const int32_t d = v > m ? v - m : m - v;
        worst = d > worst ? d : worst;
    }
    return worst;
}

// True when some sample of the run differs between copies c and o in both of its bytes: a single
// wrong byte, the commonest read error, changes one.
bool both_bytes_differ(const cd_block& b, uint64_t c, uint64_t o, uint64_t p, uint64_t frames) {
    for (uint64_t k = 0; k < frames; k++) {
        const uint8_t* x = b.in_blocks[c] + p + k * frame_bytes(b);
        const uint8_t* y = b.in_blocks[o] + p + k * frame_bytes(b);
        if (x[0] != y[0] && x[1] != y[1]) return true;
    }
    return false;
}

// How many copies hold the byte that copy k (in the order of sc.who) holds at q, for each k, in
// counts; returns the largest count.
uint64_t count_bytes(const cd_block& b, cd_scratch& sc, uint64_t n, uint64_t q, uint16_t* counts) {
    uint64_t most = 0;
    if (n <= PAIRWISE_COPIES) {
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

// Fills sc.noise: for every copy, how many bytes near the run (32 before its frames and 32 after
// them) it holds differently from the most common value among the copies. A copy inside a burst
// of read errors shows many.
void count_noise(const cd_block& b, const audio_range& r, cd_scratch& sc, uint64_t n, uint64_t p,
                 uint64_t frames) {
    const uint64_t from = frame_start(b, p), to = from + frames * frame_bytes(b);
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
        for (k = 0; k < n; k++) sc.noise[k] = static_cast<uint16_t>(sc.noise[k] + (counts[k] < most));
    }
}

// The rarities measured for a run so far: groups often show the same fingerprint at the same
// length, and with many copies there are many groups.
struct rarities {
    struct {
        cd_print print;
        uint64_t len;
        double rarity;
    } known[8];
    uint64_t kept = 0;

    double of(const cd_block& b, const audio_range& r, cd_scratch& sc, uint64_t n, const window& w,
              cd_print print, uint64_t len) {
        for (uint64_t m = 0; m < kept; m++) {
            if (known[m].print == print && known[m].len == len) return known[m].rarity;
        }
        const double rarity = std::log(genuine_share(b, r, sc, n, w, print, len));
        if (kept < 8) known[kept++] = {print, len, rarity};
        return rarity;
    }
};

// What is known of the group whose first copy is sc.who[k] over the run at p.
group_view view_of(const cd_block& b, const audio_range& r, cd_scratch& sc, uint64_t n, uint64_t p,
                   const window& w, uint64_t k, uint64_t gw, rarities& known) {
    const uint64_t c = sc.who[k], step = frame_bytes(b);
    group_view g;
    g.print = fingerprint_in(b, r, c, p, w.frames, g.len);
    g.rarity = g.print != CD_PRINT_NONE ? known.of(b, r, sc, n, w, g.print, g.len) : 0;
    g.size = sc.size[k];
    g.max_linear = run_distance(b, c, p, w.frames);
    g.cubic = p >= 2 * step && is_audio(r, p - 2 * step) && is_audio(r, p + (w.frames + 1) * step);
    g.mean_cubic = 0;
    g.edge = 0;
    if (g.cubic) {
        for (uint64_t j = 0; j < w.frames; j++) g.mean_cubic += cubic_distance(b, c, p + j * step);
        g.mean_cubic /= static_cast<double>(w.frames);
        g.edge = cubic_distance(b, c, p - step) + cubic_distance(b, c, p + w.frames * step);
    }
    const uint64_t other = k != gw ? sc.who[gw] : sc.who[k == 0 ? 1 : 0];
    g.two_bytes = both_bytes_differ(b, c, other, p, w.frames);
    g.noise = g.size == 1 ? sc.noise[k] : 0;  // counts for lone copies only
    g.shared = std::log((sc.outvoted_prints + 1.0) / (sc.outvoted_groups + 2.0));
    return g;
}

// The scores of every group, at sc.score[its first copy].
void score_groups(const cd_block& b, const audio_range& r, cd_scratch& sc, uint64_t n, uint64_t p,
                  const window& w, uint64_t gw) {
    bool lone = false;  // the burst counts serve lone copies only
    for (uint64_t k = 0; k < n && !lone; k++) lone = sc.size[k] == 1;
    if (lone) count_noise(b, r, sc, n, p, w.frames);
    rarities known;
    for (uint64_t k = 0; k < n; k++) {
        if (sc.label[k] != k) continue;
        const group_view g = view_of(b, r, sc, n, p, w, k, gw, known);
        sc.print[k] = static_cast<uint8_t>(g.print);
        sc.rarity[k] = g.rarity;
        sc.score[k] = score_of(g, n, w.frames, w);
    }
}

// How many samples of the channel from p the copies split as they split p (p's labels are in
// sc.label), up to `most`.
uint64_t run_length(const cd_block& b, const audio_range& r, cd_scratch& sc, uint64_t n, uint64_t p,
                    uint64_t most) {
    for (uint64_t k = 0; k < n; k++) sc.run_label[k] = sc.label[k];
    uint64_t frames = 1;
    for (uint64_t q = p + frame_bytes(b); frames < most && is_audio(r, q); q += frame_bytes(b), frames++) {
        label_copies(b, sc, n, q);
        if (memcmp(sc.label, sc.run_label, n * sizeof sc.label[0]) != 0) break;
    }
    // Put p's groups back.
    for (uint64_t k = 0; k < n; k++) sc.label[k] = sc.run_label[k];
    for (uint64_t k = 0; k < n; k++) sc.size[k] = 0;
    for (uint64_t k = 0; k < n; k++) sc.size[sc.label[k]]++;
    for (uint64_t k = 0; k < n; k++) sc.size[k] = sc.size[sc.label[k]];
    return frames;
}

// True while the groups of two or more copies outvoted so far show a line or a hold often enough:
// a share of CD_SHARED_LEAST, counting half a group with one and five without before the first
// (so it holds at the start of a rip, until five such groups or so have shown none).
bool shared_concealment_seen(const cd_scratch& sc) {
    return (sc.outvoted_prints + 0.5) / (sc.outvoted_groups + 5.0) >= CD_SHARED_LEAST;
}

// The group that the evidence puts in place of the byte vote's choice w, or w.
uint64_t overruling_group(const cd_scratch& sc, uint64_t n, uint64_t w) {
    uint64_t best = w;
    double margin = 0;
    const uint64_t gw = sc.label[w];
    for (uint64_t k = 0; k < n; k++) {
        if (sc.label[k] != k || k == gw) continue;
        // A group of CD_STANDING_COPIES or more is wrong only where its copies share a
        // concealment. While this rip has shown next to none, neither a lone copy nor a muted
        // group overrules it; and zeros in every channel, where the recording around is seldom
        // silent and a larger group holds something else, are a muting drive's.
        const bool large = sc.size[gw] >= CD_STANDING_COPIES;
        const bool muted = sc.print[k] == CD_PRINT_MUTE && sc.size[k] < sc.size[gw];
        const bool seen = shared_concealment_seen(sc);
        if (large && sc.size[k] == 1 && !seen) continue;
        if (large && muted && (!seen || sc.rarity[k] < CD_SILENCE_RARITY)) continue;
        const double m = sc.score[k] - sc.score[gw] + CD_BIAS;
        if (m > margin) best = k, margin = m;
    }
    return best;
}

}  // namespace

cd_print cd_fingerprint(const cd_block& b, uint64_t c, uint64_t p, uint64_t frames) {
    uint64_t len;
    return fingerprint_in(b, audio_of_block(b), c, p, frames, len);
}

// False when copy c's sample at p can be part of no fingerprint: on a floor line consecutive
// steps differ by at most 1, a held sample repeats the one before it, a muted one is 0. Most
// disputed samples are a lone copy's read error against a majority, which this clears at once.
bool may_show_print(const cd_block& b, const audio_range& r, uint64_t c, uint64_t p) {
    const uint64_t step = frame_bytes(b);
    if (p < step || !is_audio(r, p - step) || !is_audio(r, p + step)) return false;
    const int32_t before = sample_of(b, c, p - step), v = sample_of(b, c, p),
                  after = sample_of(b, c, p + step);
    const int32_t bend = after - 2 * v + before;
    return v == 0 || v == before || (bend >= -1 && bend <= 1);
}

// Counts the groups of two or more copies that the byte vote's choice (its first copy at gw)
// outvotes at p, and how many of them show a line or a hold.
static void count_outvoted(const cd_block& b, const audio_range& r, cd_scratch& sc, uint64_t n, uint64_t p,
                           uint64_t gw) {
    for (uint64_t k = 0; k < n; k++) {
        if (sc.label[k] != k || k == gw || sc.size[k] < 2) continue;
        uint64_t len;
        const cd_print print = fingerprint_in(b, r, sc.who[k], p, 1, len);
        sc.outvoted_groups++;
        sc.outvoted_prints += print == CD_PRINT_LINE || print == CD_PRINT_HOLD;
    }
}

cd_run_decision cd_decide_run(const cd_block& b, uint64_t p, uint64_t n, bool extend, cd_scratch& sc) {
    const audio_range r = audio_of_block(b);
    const uint64_t groups = label_copies(b, sc, n, p);
    const uint64_t choice = byte_vote_choice(sc, n);
    if (groups >= 2) count_outvoted(b, r, sc, n, p, sc.label[choice]);
    if (sc.size[choice] >= CD_STANDING_COPIES && !may_show_print(b, r, sc.who[choice], p)) {
        for (uint64_t k = 0; k < n; k++) sc.hits[k] = sc.size[k] - 1u;
        return {sc.who[choice], CD_MAJORITY, 0, 1};
    }
    uint64_t most = 1;
    if (extend) {
        const uint64_t channels = b.layout->channels;
        most = channels * CD_MAX_RUN <= cd_scratch::CACHE ? CD_MAX_RUN : cd_scratch::CACHE / channels;
    }
    cd_run_decision d = {0, CD_MAJORITY, 0, most > 1 ? run_length(b, r, sc, n, p, most) : 1};
    const uint64_t w = byte_vote_choice(sc, n);
    for (uint64_t k = 0; k < n; k++) sc.hits[k] = sc.size[k] - 1u;
    d.winner = sc.who[w];
    d.outcome = sc.size[w] > 1 ? CD_MAJORITY : CD_BEST_SCORED;
    // Where the copies agree, or the run lies too near the edge of the block's audio for the
    // cubic prediction, the byte vote's choice stands; so does a majority of CD_STANDING_COPIES
    // or more that shows no fingerprint.
    const uint64_t step = frame_bytes(b);
    if (groups < 2 || p < 2 * step || !is_audio(r, p - 2 * step) || !is_audio(r, p + (d.frames + 1) * step))
        return d;
    uint64_t len;
    if (sc.size[w] >= CD_STANDING_COPIES &&
        fingerprint_in(b, r, sc.who[w], p, d.frames, len) == CD_PRINT_NONE)
        return d;
    window win;
    measure_window(b, r, sc, n, p, d.frames, win);
    score_groups(b, r, sc, n, p, win, sc.label[w]);
    const uint64_t best = overruling_group(sc, n, w);
    if (best == w) return d;
    for (uint64_t k = 0; k < n; k++) {
        if (sc.label[k] == sc.label[w]) sc.hits[k] = 0;
    }
    return {sc.who[best], CD_OVERRULED, sc.who[w], d.frames};
}

int cd_layout_from_header(const uint8_t* bytes, uint64_t n, cd_layout& layout) {
    const wav_header h = parse_wav_header(bytes, n);
    if (!h.valid) {
        // A file that calls itself WAV but whose data cannot be found is not raw audio either.
        if (n >= 12 && memcmp(bytes, "RIFF", 4) == 0 && memcmp(bytes + 8, "WAVE", 4) == 0) return -1;
        layout = cd_layout();
        return 0;
    }
    if (!wav_is_16bit_pcm(h) || h.data_offset % 2 != 0) return -1;
    layout.channels = h.channels;
    layout.data_begin = h.data_offset;
    layout.data_end = wav_data_end(h, UINT64_MAX);
    return 0;
}

void cd_print_refusal(const char* name, const uint8_t* bytes, uint64_t n) {
    const wav_header h = parse_wav_header(bytes, n);
    const char* fault = wav_fault(bytes, n);
    char reason[160];
    if (fault) {
        snprintf(reason, sizeof reason, "%s", fault);
    } else if (h.data_offset % 2 != 0) {
        snprintf(reason, sizeof reason, "its samples start at an odd offset");
    } else {
        snprintf(reason, sizeof reason,
                 "it holds %u-bit samples of format %u; --cd votes 16-bit integer samples only",
                 static_cast<unsigned>(h.bits_per_sample), static_cast<unsigned>(h.format));
    }
    app_error("vote --cd", name, reason);
}

namespace {

// Prints the glyph of a decision and notes it; `bits` are the word's bytes of the position.
void record(glyph_writer& glyphs, word_notes* notes, unsigned bits, cd_outcome outcome, uint64_t winner,
            uint64_t holders) {
    if (outcome == CD_MAJORITY) {
        glyphs.put('#');
    } else if (outcome == CD_OVERRULED) {
        glyphs.put(CD_OVERRULED_GLYPH);
    } else {
        glyphs.put_index(winner);
    }
    if (!notes) return;
    notes->disputed = static_cast<uint8_t>(notes->disputed | bits);
    if (outcome == CD_BEST_SCORED) notes->guessed = static_cast<uint8_t>(notes->guessed | bits);
    for (unsigned i = 0; i < 8; i++) {
        if (bits & (1u << i)) notes->holders[i] = static_cast<uint16_t>(holders);
    }
}

// The copies taking part at the bytes `bits` of the word: every one, or those not absent there.
// Returns how many, and false in `differs` when they all hold the same bytes at p.
uint64_t gather(const cd_block& b, cd_scratch& sc, const uint8_t* absent, unsigned bits, uint64_t p,
                uint64_t len, uint64_t* total_hits, bool& differs) {
    uint64_t n = 0;
    differs = false;
    const uint8_t* first = nullptr;
    for (uint64_t i = 0; i < b.count; i++) {
        if (absent && (absent[i] & bits)) continue;
        if (!first) first = b.in_blocks[i] + p;
        differs = differs || b.in_blocks[i][p] != first[0] || (len == 2 && b.in_blocks[i][p + 1] != first[1]);
        sc.totals[n] = total_hits[i];
        sc.who[n++] = static_cast<uint16_t>(i);
    }
    return n;
}

// The byte vote of the byte at p (outside the audio) among the n copies in sc.who.
uint8_t vote_byte_at(const cd_block& b, cd_scratch& sc, uint64_t n, uint64_t p, uint64_t* total_hits,
                     uint64_t& disputed_bytes, glyph_writer& glyphs, word_notes* notes, unsigned bit) {
    label_copies(b, sc, n, p, true);
    const uint64_t w = byte_vote_choice(sc, n);
    for (uint64_t k = 0; k < n; k++) total_hits[sc.who[k]] += sc.size[k] - 1u;
    disputed_bytes += 1;
    record(glyphs, notes, bit, sc.size[w] > 1 ? CD_MAJORITY : CD_BEST_SCORED, sc.who[w], sc.size[w]);
    return b.in_blocks[sc.who[w]][p];
}

// True when the sample at p is a later sample of a run decided at an earlier one; its slot in
// the read-ahead table is at / 2 % CACHE.
inline bool is_decided_ahead(const cd_block& b, const cd_scratch& sc, uint64_t p) {
    const uint64_t at = b.block_start + p;
    return at < sc.ahead_until && sc.ahead_at[at / 2 % cd_scratch::CACHE] == at + 1;
}

// A run decided at an earlier sample, if p is one of its later samples.
bool decided_ahead(const cd_block& b, const cd_scratch& sc, uint64_t p, cd_run_decision& d) {
    if (!is_decided_ahead(b, sc, p)) return false;
    const uint64_t slot = (b.block_start + p) / 2 % cd_scratch::CACHE;
    d = {sc.ahead_winner[slot], static_cast<cd_outcome>(sc.ahead_outcome[slot]), sc.ahead_loser[slot], 1};
    return true;
}

void keep_ahead(const cd_block& b, cd_scratch& sc, uint64_t p, const cd_run_decision& d) {
    for (uint64_t k = 1; k < d.frames; k++) {
        const uint64_t at = b.block_start + p + k * frame_bytes(b);
        const uint64_t slot = at / 2 % cd_scratch::CACHE;
        sc.ahead_at[slot] = at + 1;
        sc.ahead_winner[slot] = static_cast<uint16_t>(d.winner);
        sc.ahead_loser[slot] = static_cast<uint16_t>(d.loser);
        sc.ahead_outcome[slot] = static_cast<uint8_t>(d.outcome);
        if (at + 1 > sc.ahead_until) sc.ahead_until = at + 1;
    }
}

// The sample at p among the n copies in sc.who, disputed: the run's decision, made here or at
// the run's first sample. Credits the hits and returns the input whose sample is taken.
cd_run_decision vote_sample_at(const cd_block& b, cd_scratch& sc, uint64_t n, uint64_t p, bool all_present) {
    cd_run_decision d;
    if (all_present && decided_ahead(b, sc, p, d)) {
        label_copies(b, sc, n, p);
        const int16_t lost = sample_of(b, d.loser, p);
        for (uint64_t k = 0; k < n; k++) {
            const bool overruled = d.outcome == CD_OVERRULED && sample_of(b, sc.who[k], p) == lost;
            sc.hits[k] = overruled ? 0 : sc.size[k] - 1u;
        }
        return d;
    }
    d = cd_decide_run(b, p, n, all_present, sc);
    if (all_present) keep_ahead(b, sc, p, d);
    return d;
}

// How the inputs split at each sample of a word, as the scan's differing words tell: how many
// differ from input 0 there, the first of them (an index into the differing words), and whether
// they all hold the same value.
struct lane_split {
    uint64_t differing;
    uint64_t first;
    uint64_t value;
    bool alike;
};

void split_lanes(const word_diffs& d, uint64_t w0, lane_split* lanes) {
    for (unsigned i = 0; i < 4; i++) lanes[i] = {0, 0, 0, true};
    for (uint64_t e = 0; e < d.n; e++) {
        const uint64_t x = d.word[e], diff = x ^ w0;
        for (unsigned i = 0; i < 4; i++) {
            if (((diff >> (16 * i)) & 0xFFFF) == 0) continue;
            const uint64_t v = (x >> (16 * i)) & 0xFFFF;
            lane_split& l = lanes[i];
            if (l.differing == 0) {
                l.first = e;
                l.value = v;
            } else if (v != l.value) {
                l.alike = false;
            }
            l.differing++;
        }
    }
}

// One copy against all the others: fills `lone` and `majority` (an input of the others) and
// returns true, or false where the copies split otherwise.
bool one_against_rest(const cd_block& b, const word_diffs& d, const lane_split& l, uint64_t& lone,
                      uint64_t& majority) {
    if (b.count < 3) return false;
    if (l.differing == 1) {
        lone = d.input[l.first];
        majority = 0;
        return true;
    }
    if (l.differing != b.count - 1 || !l.alike) return false;
    lone = 0;
    majority = d.input[l.first];
    return true;
}

// True when copy c's sample at p lies no closer than copy m's to the floor mean and to the cubic
// prediction of its own neighbours, and leaves the samples just outside no closer to theirs. False
// where those samples are not all in the block's audio.
bool fits_no_better(const cd_block& b, const audio_range& r, uint64_t c, uint64_t m, uint64_t p) {
    const uint64_t step = frame_bytes(b);
    if (p < 3 * step || !is_audio(r, p - 3 * step) || !is_audio(r, p + 3 * step)) return false;
    const auto edge = [&](uint64_t k) {
        return cubic_distance(b, k, p - step) + cubic_distance(b, k, p + step);
    };
    return run_distance(b, c, p, 1) >= run_distance(b, m, p, 1) &&
           cubic_distance(b, c, p) >= cubic_distance(b, m, p) && edge(c) >= edge(m);
}

// True when the rule keeps the majority's sample at p against the lone copy without looking
// further: the majority can show no fingerprint, so three or more copies stand, and a pair
// stands against a lone copy that can show none either and fits the signal no better.
bool majority_stands(const cd_block& b, const audio_range& r, const cd_scratch& sc, uint64_t p, uint64_t lone,
                     uint64_t majority) {
    if (is_decided_ahead(b, sc, p)) return false;
    if (may_show_print(b, r, majority, p)) return false;
    if (b.count - 1 >= CD_STANDING_COPIES) return true;
    // A pair: the lone copy takes the sample only by fitting the signal better, and a score falls
    // as any distance grows.
    return !may_show_print(b, r, lone, p) && fits_no_better(b, r, lone, majority, p);
}

// Credits and records the sample `value` kept from the majority against one lone copy.
uint64_t keep_majority(const cd_block& b, uint64_t value, uint64_t lone, uint64_t majority, unsigned bits,
                       uint64_t* total_hits, uint64_t* pos_hits, uint64_t& disputed_bytes,
                       glyph_writer& glyphs, word_notes* notes) {
    const uint64_t others = b.count - 2;
    for (uint64_t i = 0; i < b.count; i++) {
        const uint64_t hits = i == lone ? 0 : others;
        total_hits[i] += hits;
        pos_hits[i] = hits;
    }
    disputed_bytes += 2;
    record(glyphs, notes, bits, CD_MAJORITY, majority, b.count - 1);
    return value;
}

}  // namespace

uint64_t cd_vote_word(const cd_block& b, uint64_t w, uint64_t* total_hits, uint64_t* pos_hits,
                      uint64_t& disputed_bytes, glyph_writer& glyphs, cd_scratch& sc, word_notes* notes,
                      const uint8_t* absent, const word_diffs* diffs) {
    const uint64_t w0 = load_word(b.in_blocks[0] + w);
    uint64_t out = w0;
    const audio_range r = audio_of_block(b);
    const bool split = diffs && !absent;
    lane_split lanes[4];
    if (split) split_lanes(*diffs, w0, lanes);
    for (unsigned index = 0; index < 4; index++) {
        const uint64_t p = w + 2 * index;
        const unsigned bits = 3u << (2 * index);
        uint64_t lone, majority;
        if (split && lanes[index].differing == 0) continue;
        if (split && is_audio(r, p) && one_against_rest(b, *diffs, lanes[index], lone, majority) &&
            majority_stands(b, r, sc, p, lone, majority)) {
            const uint64_t kept = majority == 0 ? (w0 >> (16 * index)) & 0xFFFF : lanes[index].value;
            const uint64_t v = keep_majority(b, kept, lone, majority, bits, total_hits, pos_hits,
                                             disputed_bytes, glyphs, notes);
            out = (out & ~(0xFFFFull << (16 * index))) | v << (16 * index);
            continue;
        }
        bool differs;
        if (!is_audio(r, p)) {
            for (unsigned half = 0; half < 2; half++) {
                const unsigned bit = 1u << (2 * index + half);
                const uint64_t n = gather(b, sc, absent, bit, p + half, 1, total_hits, differs);
                if (!differs) continue;
                const uint8_t v =
                    vote_byte_at(b, sc, n, p + half, total_hits, disputed_bytes, glyphs, notes, bit);
                const unsigned shift = 8 * (2 * index + half);
                out = (out & ~(0xFFull << shift)) | static_cast<uint64_t>(v) << shift;
            }
            continue;
        }
        const uint64_t n = gather(b, sc, absent, bits, p, 2, total_hits, differs);
        if (!differs) continue;
        const cd_run_decision d = vote_sample_at(b, sc, n, p, n == b.count);
        uint64_t holders = 0;
        for (uint64_t k = 0; k < n; k++) {
            total_hits[sc.who[k]] += sc.hits[k];
            pos_hits[sc.who[k]] = sc.hits[k];
            if (sc.who[k] == d.winner) holders = sc.hits[k] + 1;
        }
        disputed_bytes += 2;
        record(glyphs, notes, bits, d.outcome, d.winner, holders);
        const unsigned shift = 16 * index;
        out = (out & ~(0xFFFFull << shift)) | static_cast<uint64_t>(key(sample_of(b, d.winner, p))) << shift;
    }
    return out;
}
