#include <cmath>
#include <cstdio>
#include <cstring>

#include "audio/wav_header.h"
#include "base/app_error.h"
#include "vote/cd/decide.h"
#include "vote/cd/evidence.h"
#include "vote/cd/fingerprints.h"
#include "vote/cd/samples.h"
#include "vote/cd_vote.h"
#include "vote/word_bits.h"

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
            uint64_t holders, const cd_run_decision* scored = nullptr) {
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
    const bool with_margin = scored && scored->scored;
    for (unsigned left = bits; left != 0; left &= left - 1) {
        const unsigned i = static_cast<unsigned>(__builtin_ctz(left));
        notes->holders[i] = static_cast<uint16_t>(holders);
        if (with_margin) notes->margin[i] = scored->margin;
    }
    if (with_margin) notes->scored = static_cast<uint8_t>(notes->scored | bits);
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
    cd_label_copies(b, sc, n, p, true);
    const uint64_t w = cd_byte_vote_choice(sc, n);
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
    d.scored = !std::isnan(sc.ahead_margin[slot]);
    d.margin = d.scored ? sc.ahead_margin[slot] : 0;
    return true;
}

void keep_ahead(const cd_block& b, cd_scratch& sc, uint64_t p, const cd_run_decision& d) {
    for (uint64_t k = 1; k < d.frames; k++) {
        const uint64_t at = b.block_start + p + k * cd_step(b);
        const uint64_t slot = at / 2 % cd_scratch::CACHE;
        sc.ahead_at[slot] = at + 1;
        sc.ahead_winner[slot] = static_cast<uint16_t>(d.winner);
        sc.ahead_loser[slot] = static_cast<uint16_t>(d.loser);
        sc.ahead_outcome[slot] = static_cast<uint8_t>(d.outcome);
        sc.ahead_margin[slot] = d.scored ? d.margin : NAN;
        if (at + 1 > sc.ahead_until) sc.ahead_until = at + 1;
    }
}

// The sample at p among the n copies in sc.who, disputed: the run's decision, made here or at
// the run's first sample. Credits the hits and returns the input whose sample is taken.
cd_run_decision vote_sample_at(const cd_block& b, cd_scratch& sc, uint64_t n, uint64_t p, bool all_present) {
    cd_run_decision d;
    if (all_present && decided_ahead(b, sc, p, d)) {
        cd_label_copies(b, sc, n, p);
        const int16_t lost = cd_sample(b, d.loser, p);
        for (uint64_t k = 0; k < n; k++) {
            const bool overruled = d.outcome == CD_OVERRULED && cd_sample(b, sc.who[k], p) == lost;
            sc.hits[k] = overruled ? 0 : sc.size[k] - 1u;
        }
        return d;
    }
    d = cd_decide_run(b, p, n, all_present, sc);
    if (all_present) keep_ahead(b, sc, p, d);
    return d;
}

// How the inputs split at the four samples of a word, as the scan's differing words tell, a
// 16-bit lane per sample: how many inputs differ from input 0 there, the first of them and its
// value, and (mixed) where the differing inputs hold more than one value. Made without a branch
// per input or sample: which copy is the lone one follows the damage, which branches mispredict.
struct word_split {
    uint64_t differing;
    uint64_t input;
    uint64_t value;
    uint64_t mixed;
    unsigned lanes;  // bit i: some input differs at sample i
};

// 1 in each 16-bit lane of x that is not zero.
inline uint64_t lane_ones(uint64_t x) {
    const uint64_t low15 = 0x7FFF7FFF7FFF7FFFull;
    return ((((x & low15) + low15) | x) >> 15) & 0x0001000100010001ull;
}

word_split split_word(const word_diffs& d, uint64_t w0) {
    word_split s = {0, 0, 0, 0, 0};
    uint64_t seen = 0;  // 0xFFFF in the lanes where an input differed so far
    for (uint64_t e = 0; e < d.n; e++) {
        const uint64_t x = d.word[e], ones = lane_ones(x ^ w0), lanes = ones * 0xFFFF;
        const uint64_t first = lanes & ~seen;
        s.value |= x & first;
        s.input |= (d.input[e] * 0x0001000100010001ull) & first;
        s.mixed |= (x ^ s.value) & lanes;
        s.differing += ones;
        seen |= lanes;
    }
    const uint64_t m = seen & 0x0001000100010001ull;
    s.lanes = static_cast<unsigned>((m | m >> 15 | m >> 30 | m >> 45) & 0xF);
    return s;
}

// Lane i of a word_split field.
inline uint64_t lane(uint64_t x, unsigned i) { return (x >> (16 * i)) & 0xFFFF; }

// One copy against all the others at sample i of the split: fills `lone` and `majority` (an input
// of the others) and returns true, or false where the copies split otherwise.
bool one_against_rest(const cd_block& b, const word_split& s, unsigned i, uint64_t& lone,
                      uint64_t& majority) {
    const uint64_t differing = lane(s.differing, i), first = lane(s.input, i);
    const bool single = differing == 1;
    lone = single ? first : 0;
    majority = single ? 0 : first;
    return (b.count >= 3) & (single | ((differing == b.count - 1) & (lane(s.mixed, i) == 0)));
}

// True when neither copy c's nor copy m's sample at p can show a fingerprint (cd_may_show_print)
// and c's lies no closer than m's to the floor mean and to the cubic prediction of its own
// neighbours, and leaves the samples just outside no closer to theirs. False where those samples
// are not all in the block's audio. Each copy's samples are read once for all of it.
bool pair_stands(const cd_block& b, const cd_audio& r, uint64_t c, uint64_t m, uint64_t p) {
    const uint64_t step = cd_step(b);
    if (p < 3 * step || !cd_is_audio(r, p - 3 * step) || !cd_is_audio(r, p + 3 * step)) return false;
    // The distances in whole steps (the cubic ones in sixths), from the seven samples of each copy
    // around p.
    const auto around = [step](const uint8_t* at, int32_t* s) {  // written out: no loop to run
        s[0] = load_sample16(at - 3 * step), s[1] = load_sample16(at - 2 * step);
        s[2] = load_sample16(at - step), s[3] = load_sample16(at), s[4] = load_sample16(at + step);
        s[5] = load_sample16(at + 2 * step), s[6] = load_sample16(at + 3 * step);
    };
    int32_t x[7], y[7];
    around(b.in_blocks[c] + p, x);
    around(b.in_blocks[m] + p, y);
    if (cd_may_be_print(y[2], y[3], y[4]) || cd_may_be_print(x[2], x[3], x[4])) return false;
    const auto linear = [](const int32_t* s) {
        const int32_t d = s[3] - cd_floor_mean(s[2], s[4]);
        return d < 0 ? -d : d;
    };
    if (linear(x) < linear(y)) return false;
    if (cd_cubic_distance6(x[1], x[2], x[3], x[4], x[5]) < cd_cubic_distance6(y[1], y[2], y[3], y[4], y[5]))
        return false;
    const uint64_t cx0 = cd_cubic_distance6(x[0], x[1], x[2], x[3], x[4]),
                   cx1 = cd_cubic_distance6(x[2], x[3], x[4], x[5], x[6]);
    const uint64_t cy0 = cd_cubic_distance6(y[0], y[1], y[2], y[3], y[4]),
                   cy1 = cd_cubic_distance6(y[2], y[3], y[4], y[5], y[6]);
    // Sums of sixths that differ differ by a sixth at least, far above the rounding of the sums
    // in double the rule compares; only a tie needs them.
    if (cx0 + cx1 != cy0 + cy1) return cx0 + cx1 > cy0 + cy1;
    return cx0 / 6.0 + cx1 / 6.0 >= cy0 / 6.0 + cy1 / 6.0;
}

// True when the rule keeps the majority's sample at p against the lone copy without looking
// further: the majority can show no fingerprint, so three or more copies stand, and a pair
// stands against a lone copy that can show none either and fits the signal no better.
bool majority_stands(const cd_block& b, const cd_audio& r, const cd_scratch& sc, uint64_t p, uint64_t lone,
                     uint64_t majority) {
    if (is_decided_ahead(b, sc, p)) return false;
    if (b.count - 1 >= CD_STANDING_COPIES) return !cd_may_show_print(b, r, majority, p);
    // A pair: the lone copy takes the sample only by fitting the signal better, and a score falls
    // as any distance grows.
    return pair_stands(b, r, lone, majority, p);
}

// Credits and records the sample `value` kept from the majority against one lone copy.
uint64_t keep_majority(const cd_block& b, uint64_t value, uint64_t lone, uint64_t majority, unsigned bits,
                       uint64_t* total_hits, uint64_t* pos_hits, uint64_t& disputed_bytes,
                       glyph_writer& glyphs, word_notes* notes) {
    const uint64_t others = b.count - 2;
    for (uint64_t i = 0; i < b.count; i++) {
        total_hits[i] += others;
        pos_hits[i] = others;
    }
    total_hits[lone] -= others;
    pos_hits[lone] = 0;
    disputed_bytes += 2;
    if (notes) {
        record(glyphs, notes, bits, CD_MAJORITY, majority, b.count - 1);
    } else {
        glyphs.put('#');  // as record() prints it, without the call at every dispute
    }
    return value;
}

}  // namespace

uint64_t cd_vote_word(const cd_block& b, uint64_t w, uint64_t* total_hits, uint64_t* pos_hits,
                      uint64_t& disputed_bytes, glyph_writer& glyphs, cd_scratch& sc, word_notes* notes,
                      const uint8_t* absent, const word_diffs* diffs) {
    const uint64_t w0 = load_word(b.in_blocks[0] + w);
    uint64_t out = w0;
    const cd_audio r = cd_audio_of_block(b);
    const bool split = diffs && !absent;
    word_split lanes = {0, 0, 0, 0, 0xF};
    // The samples to vote: with the scan's differing words, only those where some input differs.
    if (split) lanes = split_word(*diffs, w0);
    const unsigned todo = lanes.lanes;
    for (unsigned left = todo; left != 0; left &= left - 1) {
        const unsigned index = static_cast<unsigned>(__builtin_ctz(left));
        const uint64_t p = w + 2 * index;
        const unsigned bits = 3u << (2 * index);
        uint64_t lone, majority;
        if (split && cd_is_audio(r, p) && one_against_rest(b, lanes, index, lone, majority) &&
            majority_stands(b, r, sc, p, lone, majority)) {
            const uint64_t kept = majority == 0 ? lane(w0, index) : lane(lanes.value, index);
            const uint64_t v = keep_majority(b, kept, lone, majority, bits, total_hits, pos_hits,
                                             disputed_bytes, glyphs, notes);
            out = (out & ~(0xFFFFull << (16 * index))) | v << (16 * index);
            continue;
        }
        bool differs;
        if (!cd_is_audio(r, p)) {
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
        record(glyphs, notes, bits, d.outcome, d.winner, holders, &d);
        const unsigned shift = 16 * index;
        out = (out & ~(0xFFFFull << shift)) | static_cast<uint64_t>(cd_key(cd_sample(b, d.winner, p)))
                                                  << shift;
    }
    return out;
}
