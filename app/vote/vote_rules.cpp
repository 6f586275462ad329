#include "vote/vote_rules.h"

#include <cstring>

#include "vote/word_bits.h"

void tally_start(vote_tally& t, uint64_t count, glyph_writer* glyphs) {
    t.count = count;
    memset(t.total_hits, 0, sizeof t.total_hits);
    memset(t.pos_hits, 0, sizeof t.pos_hits);
    memset(t.value_count, 0, sizeof t.value_count);
    t.owed = 0;
    t.disputed_bytes = 0;
    t.glyphs = glyphs;
}

void tally_settle(vote_tally& t) {
    for (uint64_t i = 0; i < t.count; i++) t.total_hits[i] += t.owed;
    t.owed = 0;
}

uint64_t best_scored(const uint64_t* scores, uint64_t count, uint64_t owed) {
    uint64_t winner = 0;
    uint64_t best = scores[0] + owed;
    for (uint64_t i = 1; i < count; i++) {
        const uint64_t score = scores[i] + owed;
        if (score > best) {
            best = score;
            winner = i;
        }
    }
    return winner;
}

namespace {

// ---- Bytes ----
//
// At a disputed byte, input 0 and every input that holds input 0's byte form the base group;
// the other inputs are few. Every copy's hits are the size of its group less one, so the base
// group's members all gain the same amount: it is owed to every input, and only the other inputs
// are credited one by one, with the difference to it.

// Notes that the position of bytes `bits` was disputed and `holders` copies held its value.
inline void note(word_notes* notes, unsigned bits, uint64_t holders, bool guessed) {
    if (!notes) return;
    notes->disputed = static_cast<uint8_t>(notes->disputed | bits);
    if (guessed) notes->guessed = static_cast<uint8_t>(notes->guessed | bits);
    for (unsigned b = 0; b < 8; b++) {
        if (bits & (1u << b)) notes->holders[b] = static_cast<uint16_t>(holders);
    }
}

// Votes byte b of a disputed word (known to be disputed) and returns the byte's value.
uint8_t vote_byte(vote_tally& t, const word_diffs& d, uint64_t w0, unsigned b, word_notes* notes) {
    const unsigned shift = 8 * b;
    const uint8_t base = static_cast<uint8_t>(w0 >> shift);
    uint16_t input[MAX_INPUTS];
    uint8_t value[MAX_INPUTS];
    uint64_t k = 0;
    for (uint64_t e = 0; e < d.n; e++) {
        const uint8_t v = static_cast<uint8_t>(d.word[e] >> shift);
        input[k] = d.input[e];
        value[k] = v;
        k += v != base;
    }
    t.disputed_bytes += 1;
    const uint64_t base_size = t.count - k;  // input 0 is always in it
    t.owed += base_size - 1;

    // Group sizes of the other inputs; pairwise while they are few, else by a value histogram.
    uint64_t size[MAX_INPUTS];
    if (k <= 16) {
        for (uint64_t e = 0; e < k; e++) {
            uint64_t n = 0;
            for (uint64_t u = 0; u < k; u++) n += value[u] == value[e];
            size[e] = n;
        }
    } else {
        for (uint64_t e = 0; e < k; e++) t.value_count[value[e]]++;
        for (uint64_t e = 0; e < k; e++) size[e] = t.value_count[value[e]];
        for (uint64_t e = 0; e < k; e++) t.value_count[value[e]] = 0;
    }

    // The first member of the largest group wins; the base group holds input 0, so another group
    // must be strictly larger to win.
    uint64_t best = base_size;
    uint8_t result = base;
    for (uint64_t e = 0; e < k; e++) {
        t.total_hits[input[e]] += size[e] - base_size;
        if (size[e] > best) {
            best = size[e];
            result = value[e];
        }
    }
    if (best > 1) {
        t.glyphs->put('#');
        note(notes, 1u << b, best, false);
        return result;
    }
    note(notes, 1u << b, 1, true);
    const uint64_t winner = best_scored_input(t);
    t.glyphs->put_index(winner);
    for (uint64_t e = 0; e < k; e++) {
        if (input[e] == winner) return value[e];
    }
    return base;
}

// ---- Samples ----

// Every input's word of the disputed word at byte offset `offset`.
struct sample_words {
    uint64_t offset;
    uint64_t word[MAX_INPUTS];
};

inline uint16_t sample_of(uint64_t word, uint64_t index) {
    return static_cast<uint16_t>(word >> (16 * index));
}

inline void set_sample(uint64_t& word, uint64_t index, uint16_t sample) {
    const unsigned shift = static_cast<unsigned>(16 * index);
    word = (word & ~(0xFFFFull << shift)) | (static_cast<uint64_t>(sample) << shift);
}

// The corrected-sample test of input k's sample `index` (0 to 3) of the word. Only samples whose
// both neighbours begin inside the block are tested; the first and last sample of a word look
// into the neighbouring word of the input's own block.
bool is_corrected(const uint8_t* const* blocks, uint64_t block_len, const sample_words& v, uint64_t k,
                  uint64_t index) {
    const uint64_t p = v.offset + 2 * index;
    if (p == 0 || p + 2 >= block_len) return false;
    const uint64_t word = v.word[k];
    const uint16_t prev = index > 0 ? sample_of(word, index - 1) : load16(blocks[k] + p - 2);
    const uint16_t next = index < 3 ? sample_of(word, index + 1) : load16(blocks[k] + p + 2);
    const uint32_t mean = (static_cast<uint32_t>(prev) + next) / 2;
    const int64_t delta = static_cast<int64_t>(mean) - sample_of(word, index);
    return delta >= -1 && delta <= 1;
}

// Notes a sample at which the copies disagree although the screening left the vote no dispute
// (it passed over the copies that disagree): the map lists every position where they disagree.
// `sample` is the value written; `in` lists the copies taking part (null: all `count` of them).
void note_undisputed(word_notes* notes, const uint64_t* words, uint64_t count, const uint16_t* in,
                     uint64_t index, uint16_t sample) {
    if (!notes) return;
    uint64_t holders = 0;
    for (uint64_t k = 0; k < count; k++) holders += sample_of(words[in ? in[k] : k], index) == sample;
    const unsigned bits = 3u << (2 * index);
    notes->undisputed = static_cast<uint8_t>(notes->undisputed | bits);
    notes->holders[2 * index] = notes->holders[2 * index + 1] = static_cast<uint16_t>(holders);
}

// Counting pass of input k: credits k and every later copy holding the same sample. Returns true
// when some later copy differs.
bool counting_pass(vote_tally& t, const sample_words& v, uint64_t k, uint64_t index) {
    const uint16_t sample = sample_of(v.word[k], index);
    bool differs = false;
    for (uint64_t j = k + 1; j < t.count; j++) {
        if (sample_of(v.word[j], index) == sample) {
            t.pos_hits[k]++;
            t.pos_hits[j] = t.pos_hits[k];
        } else {
            differs = true;
        }
    }
    return differs;
}

// Credits every input with its hits at the sample and picks the input whose sample it takes,
// printing "#" or "<index>.".
uint64_t decide(vote_tally& t) {
    uint64_t winner = 0;
    for (uint64_t i = 0; i < t.count; i++) {
        t.total_hits[i] += t.pos_hits[i];
        if (t.pos_hits[i] > t.pos_hits[winner]) winner = i;
    }
    if (t.pos_hits[winner] > 0) {
        t.glyphs->put('#');
        return winner;
    }
    winner = best_scored_input(t);
    t.glyphs->put_index(winner);
    return winner;
}

// The vote of sample `index` of the word, on which some input differs. Inputs before
// prefix_last share its word and receive its count.
void vote_sample(vote_tally& t, const uint8_t* const* blocks, uint64_t block_len, const sample_words& v,
                 uint64_t index, uint64_t prefix_last, uint64_t& voted, word_notes* notes) {
    for (uint64_t i = 0; i < t.count; i++) t.pos_hits[i] = 0;
    t.pos_hits[prefix_last] = prefix_last;
    bool differs = false;
    for (uint64_t k = prefix_last; k + 1 < t.count; k++) {
        if (is_corrected(blocks, block_len, v, k, index)) {
            t.glyphs->put(' ');
            continue;
        }
        differs = counting_pass(t, v, k, index) || differs;
        if (!differs) {
            set_sample(voted, index, sample_of(v.word[k], index));
            note_undisputed(notes, v.word, t.count, nullptr, index, sample_of(v.word[k], index));
            return;
        }
    }
    if (!differs) {
        // Every tested input was passed over: the last one examined gives the sample, uncounted.
        set_sample(voted, index, sample_of(v.word[t.count - 2], index));
        note_undisputed(notes, v.word, t.count, nullptr, index, sample_of(v.word[t.count - 2], index));
        return;
    }
    t.disputed_bytes += 2;
    for (uint64_t i = 0; i < prefix_last; i++) t.pos_hits[i] = t.pos_hits[prefix_last];
    const uint64_t winner = decide(t);
    note(notes, 3u << (2 * index), t.pos_hits[winner] + 1, t.pos_hits[winner] == 0);
    set_sample(voted, index, sample_of(v.word[winner], index));
}

// ---- Absent copies ----
//
// The rare words in which some copy is absent are voted position by position among the copies
// present there, by the general form of the rules above: no owed hits, no shortcuts.

// The inputs present at the bytes `bits` of the word, in input order; possibly none.
struct present_inputs {
    uint64_t n;
    uint16_t input[MAX_INPUTS];
};

void gather_present(present_inputs& p, uint64_t count, const uint8_t* absent, unsigned bits) {
    p.n = 0;
    for (uint64_t i = 0; i < count; i++) {
        p.input[p.n] = static_cast<uint16_t>(i);
        p.n += (absent[i] & bits) == 0;
    }
}

// The present input with the greatest hit score, the lowest index among equal scores. The owed
// hits must be added: total_hits alone may have run below zero.
uint64_t best_scored_present(const vote_tally& t, const present_inputs& p) {
    uint64_t winner = p.input[0];
    for (uint64_t k = 1; k < p.n; k++) {
        if (t.total_hits[p.input[k]] + t.owed > t.total_hits[winner] + t.owed) winner = p.input[k];
    }
    return winner;
}

// Every input's word: w0, except for the inputs in d.
void all_words(uint64_t* word, uint64_t count, uint64_t w0, const word_diffs& d) {
    for (uint64_t i = 0; i < count; i++) word[i] = w0;
    for (uint64_t e = 0; e < d.n; e++) word[d.input[e]] = d.word[e];
}

// Byte b of the word among the present inputs p.
uint8_t vote_byte_present(vote_tally& t, const uint64_t* word, unsigned b, const present_inputs& p,
                          word_notes* notes) {
    if (p.n == 0) return static_cast<uint8_t>(word[0] >> (8 * b));  // nobody holds it: the fill stays
    uint8_t value[MAX_INPUTS];
    bool differs = false;
    for (uint64_t k = 0; k < p.n; k++) {
        value[k] = static_cast<uint8_t>(word[p.input[k]] >> (8 * b));
        differs = differs || value[k] != value[0];
    }
    if (!differs) return value[0];
    t.disputed_bytes += 1;
    for (uint64_t k = 0; k < p.n; k++) t.value_count[value[k]]++;
    uint64_t best = 0, from = 0;  // the largest group and its first member
    for (uint64_t k = 0; k < p.n; k++) {
        const uint64_t size = t.value_count[value[k]];
        t.total_hits[p.input[k]] += size - 1;
        if (size > best) {
            best = size;
            from = k;
        }
    }
    for (uint64_t k = 0; k < p.n; k++) t.value_count[value[k]] = 0;
    note(notes, 1u << b, best > 1 ? best : 1, best == 1);
    if (best > 1) {
        t.glyphs->put('#');
        return value[from];
    }
    const uint64_t winner = best_scored_present(t, p);
    t.glyphs->put_index(winner);
    return static_cast<uint8_t>(word[winner] >> (8 * b));
}

// vote_sample among the present inputs p, of which the first `first` + 1 hold input 0's word.
void vote_sample_present(vote_tally& t, const uint8_t* const* blocks, uint64_t block_len,
                         const sample_words& v, uint64_t index, const present_inputs& p, uint64_t first,
                         uint64_t& voted, word_notes* notes) {
    if (p.n == 0) return;  // nobody holds the sample: input 0's fill stays in the voted word
    for (uint64_t k = 0; k < p.n; k++) t.pos_hits[p.input[k]] = 0;
    t.pos_hits[p.input[first]] = first;
    bool differs = false;
    bool disagree = false;  // whether the present copies disagree at all
    for (uint64_t k = 1; k < p.n && !disagree; k++) {
        disagree = sample_of(v.word[p.input[k]], index) != sample_of(v.word[p.input[0]], index);
    }
    for (uint64_t k = first; k + 1 < p.n; k++) {
        const uint64_t i = p.input[k];
        if (is_corrected(blocks, block_len, v, i, index)) {
            t.glyphs->put(' ');
            continue;
        }
        const uint16_t sample = sample_of(v.word[i], index);
        for (uint64_t j = k + 1; j < p.n; j++) {
            if (sample_of(v.word[p.input[j]], index) == sample) {
                t.pos_hits[p.input[j]] = ++t.pos_hits[i];
            } else {
                differs = true;
            }
        }
        if (!differs) {
            if (disagree) note_undisputed(notes, v.word, p.n, p.input, index, sample);
            return set_sample(voted, index, sample);
        }
    }
    if (!differs) {
        const uint16_t last = sample_of(v.word[p.input[p.n >= 2 ? p.n - 2 : 0]], index);
        if (disagree) note_undisputed(notes, v.word, p.n, p.input, index, last);
        return set_sample(voted, index, last);
    }
    t.disputed_bytes += 2;
    for (uint64_t k = 0; k < first; k++) t.pos_hits[p.input[k]] = t.pos_hits[p.input[first]];
    uint64_t winner = p.input[0];  // input 0 may be absent, its pos_hits then stale
    for (uint64_t k = 0; k < p.n; k++) {
        const uint64_t i = p.input[k];
        t.total_hits[i] += t.pos_hits[i];
        if (t.pos_hits[i] > t.pos_hits[winner]) winner = i;
    }
    if (t.pos_hits[winner] > 0) {
        t.glyphs->put('#');
    } else {
        winner = best_scored_present(t, p);
        t.glyphs->put_index(winner);
    }
    note(notes, 3u << (2 * index), t.pos_hits[winner] + 1, t.pos_hits[winner] == 0);
    set_sample(voted, index, sample_of(v.word[winner], index));
}

}  // namespace

uint64_t vote_bytes(vote_tally& t, uint64_t w0, const word_diffs& d, word_notes* notes) {
    uint64_t mask = 0;
    for (uint64_t e = 0; e < d.n; e++) mask |= d.word[e] ^ w0;
    if (d.n == 1 && t.count >= 3) {
        // One input differs from all the others, which agree: they win every disputed byte,
        // which keeps input 0's value, and the odd input scores nothing.
        const uint64_t n = count_bytes(nonzero_bytes(mask));
        t.disputed_bytes += n;
        t.owed += n * (t.count - 2);
        t.total_hits[d.input[0]] -= n * (t.count - 2);
        t.glyphs->put_repeated('#', n);
        if (notes) {
            for (unsigned b = 0; b < 8; b++) {
                if ((mask >> (8 * b)) & 0xFF) note(notes, 1u << b, t.count - 1, false);
            }
        }
        return w0;
    }
    uint64_t voted = w0;
    for (unsigned b = 0; b < 8; b++) {
        if (((mask >> (8 * b)) & 0xFF) == 0) continue;
        const uint64_t value = vote_byte(t, d, w0, b, notes);
        voted = (voted & ~(0xFFull << (8 * b))) | (value << (8 * b));
    }
    return voted;
}

uint64_t vote_samples(vote_tally& t, const uint8_t* const* blocks, uint64_t block_len, uint64_t offset,
                      uint64_t w0, const word_diffs& d, word_notes* notes) {
    sample_words v;
    v.offset = offset;
    for (uint64_t i = 0; i < t.count; i++) v.word[i] = w0;
    uint64_t differ = 0;  // bits of the samples in which some input differs from input 0
    for (uint64_t e = 0; e < d.n; e++) {
        v.word[d.input[e]] = d.word[e];
        differ |= d.word[e] ^ w0;
    }
    const uint64_t prefix_last = d.input[0] - 1u;
    uint64_t voted = w0;
    for (uint64_t index = 0; index < 4; index++) {
        if (sample_of(differ, index) != 0) {
            vote_sample(t, blocks, block_len, v, index, prefix_last, voted, notes);
            continue;
        }
        // Every copy holds input 0's sample, which the voted word already has: the vote only
        // passes over the corrected copies until the first that is not (or the last tested one).
        for (uint64_t k = prefix_last; k + 1 < t.count && is_corrected(blocks, block_len, v, k, index); k++) {
            t.glyphs->put(' ');
        }
    }
    return voted;
}

uint64_t vote_bytes_absent(vote_tally& t, uint64_t w0, const word_diffs& d, const uint8_t* absent,
                           word_notes* notes) {
    uint64_t word[MAX_INPUTS];
    all_words(word, t.count, w0, d);
    present_inputs p;
    uint64_t voted = w0;
    for (unsigned b = 0; b < 8; b++) {
        gather_present(p, t.count, absent, 1u << b);
        const uint64_t value = vote_byte_present(t, word, b, p, notes);
        voted = (voted & ~(0xFFull << (8 * b))) | (value << (8 * b));
    }
    return voted;
}

uint64_t vote_samples_absent(vote_tally& t, const uint8_t* const* blocks, uint64_t block_len, uint64_t offset,
                             uint64_t w0, const word_diffs& d, const uint8_t* absent, word_notes* notes) {
    sample_words v;
    v.offset = offset;
    all_words(v.word, t.count, w0, d);
    present_inputs p;
    uint64_t voted = w0;
    for (uint64_t index = 0; index < 4; index++) {
        gather_present(p, t.count, absent, 3u << (2 * index));
        // The present inputs before the first one whose word differs share input 0's word.
        uint64_t first = 0;
        while (first + 1 < p.n && p.input[first + 1] < d.input[0]) first++;
        vote_sample_present(t, blocks, block_len, v, index, p, first, voted, notes);
    }
    return voted;
}
