#include "vote.h"

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the byte masks of the word scan assume little endian");

namespace {

// Counts how many inputs hold each byte value at the position being voted. Kept zero between
// positions: only the entries that were raised are cleared again.
uint32_t g_value_count[256];

inline uint64_t load_word(const uint8_t* p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

inline uint16_t load_sample(const uint8_t* block, uint64_t p) {
    return static_cast<uint16_t>(block[p] | (block[p + 1] << 8));
}

inline void store_sample(uint8_t* block, uint64_t p, uint16_t sample) {
    block[p] = static_cast<uint8_t>(sample & 0xFF);
    block[p + 1] = static_cast<uint8_t>(sample >> 8);
}

// Index of the first input whose word at `offset` differs from input 0's, or count when all agree.
inline uint64_t first_differing_input(const vote_state& s, uint64_t offset) {
    const uint64_t w0 = load_word(s.in_blocks[0] + offset);
    for (uint64_t i = 1; i < s.count; i++) {
        if (load_word(s.in_blocks[i] + offset) != w0) return i;
    }
    return s.count;
}

// True when all inputs hold the same 32 bytes at `offset`.
inline bool chunk_agrees(const vote_state& s, uint64_t offset) {
#ifdef __SSE2__
    const __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.in_blocks[0] + offset));
    const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.in_blocks[0] + offset + 16));
    __m128i diff = _mm_setzero_si128();
    for (uint64_t i = 1; i < s.count; i++) {
        const uint8_t* p = s.in_blocks[i] + offset;
        diff = _mm_or_si128(diff, _mm_xor_si128(a0, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
        diff = _mm_or_si128(diff, _mm_xor_si128(b0, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16))));
    }
    return _mm_movemask_epi8(_mm_cmpeq_epi8(diff, _mm_setzero_si128())) == 0xFFFF;
#else
    uint64_t diff = 0;
    const uint8_t* b0 = s.in_blocks[0] + offset;
    for (uint64_t i = 1; i < s.count; i++) {
        const uint8_t* p = s.in_blocks[i] + offset;
        for (int k = 0; k < 32; k += 8) diff |= load_word(p + k) ^ load_word(b0 + k);
    }
    return diff == 0;
#endif
}

const uint64_t CHUNK = 32;

// Scans words from byte offset `from` up to `end` (both multiples of 8) and returns the offset of
// the first disputed word, or `end`. With Store, every agreeing word is copied to the output.
template <bool Store>
uint64_t scan_agreeing(const vote_state& s, uint64_t from, uint64_t end) {
    uint64_t offset = from;
    while (offset < end && offset % CHUNK != 0) {
        if (first_differing_input(s, offset) != s.count) return offset;
        if (Store) memcpy(s.out_block + offset, s.in_blocks[0] + offset, 8);
        offset += 8;
    }
    while (offset + CHUNK <= end && chunk_agrees(s, offset)) {
        if (Store) memcpy(s.out_block + offset, s.in_blocks[0] + offset, CHUNK);
        offset += CHUNK;
    }
    while (offset < end) {
        if (first_differing_input(s, offset) != s.count) return offset;
        if (Store) memcpy(s.out_block + offset, s.in_blocks[0] + offset, 8);
        offset += 8;
    }
    return end;
}

// Input with the greatest hit score so far, the lowest index among equal scores.
uint64_t best_scored_input(const vote_state& s) {
    uint64_t winner = 0;
    for (uint64_t i = 1; i < s.count; i++) {
        if (s.total_hits[i] > s.total_hits[winner]) winner = i;
    }
    return winner;
}

// Credits every input with its hits at the position and returns the lowest-indexed member of the
// largest group of agreeing copies.
uint64_t credit_hits(vote_state& s) {
    uint64_t winner = 0;
    for (uint64_t i = 0; i < s.count; i++) {
        s.total_hits[i] += s.pos_hits[i];
        if (s.pos_hits[i] > s.pos_hits[winner]) winner = i;
    }
    return winner;
}

// Picks the input whose value a disputed position takes, printing "#" or "<index>.".
uint64_t decide(vote_state& s) {
    uint64_t winner = credit_hits(s);
    if (s.pos_hits[winner] > 0) {
        s.glyphs->put('#');
        return winner;
    }
    winner = best_scored_input(s);
    s.glyphs->put_index(winner);
    return winner;
}

// Votes the byte at q, known to be disputed. Every input's hits are the number of other inputs
// holding its value; inputs before prefix_last share its word and so its byte.
void vote_byte(vote_state& s, uint64_t q, uint64_t prefix_last) {
    uint8_t* const* in = s.in_blocks;
    for (uint64_t i = prefix_last; i < s.count; i++) g_value_count[in[i][q]]++;
    g_value_count[in[prefix_last][q]] += static_cast<uint32_t>(prefix_last);
    s.disputed_bytes += 1;
    for (uint64_t i = 0; i < s.count; i++) s.pos_hits[i] = g_value_count[in[i][q]] - 1;
    for (uint64_t i = prefix_last; i < s.count; i++) g_value_count[in[i][q]] = 0;
    s.out_block[q] = in[decide(s)][q];
}

// A copy's sample is a corrected one (a drive's interpolation) when it lies within 1 of the
// floor mean of its own neighbouring samples. Only samples whose both neighbours lie inside the
// block are tested.
bool is_corrected(const vote_state& s, const uint8_t* block, uint64_t p) {
    if (p == 0 || p + 2 >= s.block_len) return false;
    const uint32_t mean = (static_cast<uint32_t>(load_sample(block, p - 2)) + load_sample(block, p + 2)) / 2;
    const int64_t delta = static_cast<int64_t>(mean) - load_sample(block, p);
    return delta >= -1 && delta <= 1;
}

// Counting pass of input k: credits k and every later copy holding the same sample. Returns true
// when some later copy differs.
bool counting_pass(vote_state& s, uint64_t k, uint64_t p) {
    const uint16_t sample = load_sample(s.in_blocks[k], p);
    bool differs = false;
    for (uint64_t j = k + 1; j < s.count; j++) {
        if (load_sample(s.in_blocks[j], p) == sample) {
            s.pos_hits[k]++;
            s.pos_hits[j] = s.pos_hits[k];
        } else {
            differs = true;
        }
    }
    return differs;
}

// Votes the sample at p of a disputed word. Copies passed over as corrected run no counting pass
// of their own and cannot make the position unanimous; the last input is never tested.
void vote_sample(vote_state& s, uint64_t p, uint64_t prefix_last) {
    for (uint64_t i = 0; i < s.count; i++) s.pos_hits[i] = 0;
    s.pos_hits[prefix_last] = prefix_last;
    bool differs = false;
    for (uint64_t k = prefix_last; k + 1 < s.count; k++) {
        if (is_corrected(s, s.in_blocks[k], p)) {
            s.glyphs->put(' ');
            continue;
        }
        differs = counting_pass(s, k, p) || differs;
        if (!differs) {
            store_sample(s.out_block, p, load_sample(s.in_blocks[k], p));
            return;
        }
    }
    if (!differs) {
        store_sample(s.out_block, p, load_sample(s.in_blocks[s.count - 2], p));
        return;
    }
    s.disputed_bytes += 2;
    for (uint64_t i = 0; i < prefix_last; i++) s.pos_hits[i] = s.pos_hits[prefix_last];
    store_sample(s.out_block, p, load_sample(s.in_blocks[decide(s)], p));
}

// Bit mask of the bytes of the word at `offset` on which some input from `first` on differs from
// input 0: byte b of the word is disputed when bits 8b..8b+7 are not all zero.
uint64_t disputed_byte_mask(const vote_state& s, uint64_t offset, uint64_t first) {
    const uint64_t w0 = load_word(s.in_blocks[0] + offset);
    uint64_t mask = 0;
    for (uint64_t i = first; i < s.count; i++) mask |= load_word(s.in_blocks[i] + offset) ^ w0;
    return mask;
}

void vote_word_by_bytes(vote_state& s, uint64_t offset, uint64_t first_differing) {
    const uint64_t mask = disputed_byte_mask(s, offset, first_differing);
    for (uint64_t b = 0; b < 8; b++) {
        const uint64_t q = offset + b;
        if (((mask >> (8 * b)) & 0xFF) == 0) {
            s.out_block[q] = s.in_blocks[0][q];  // every copy agrees on this byte
        } else {
            vote_byte(s, q, first_differing - 1);
        }
    }
}

void vote_word(vote_state& s, uint64_t offset) {
    const uint64_t d = first_differing_input(s, offset);
    if (s.clean_block) s.glyphs->put_text("<\n");
    if (s.sample_mode) {
        for (uint64_t p = offset; p < offset + 8; p += 2) vote_sample(s, p, d - 1);
    } else {
        vote_word_by_bytes(s, offset, d);
    }
    s.clean_block = false;
}

}  // namespace

void vote_start(vote_state& s, uint64_t count, uint8_t* const* in_blocks, uint8_t* out_block, bool sample_mode,
                glyph_writer* glyphs) {
    s.count = count;
    s.in_blocks = in_blocks;
    s.out_block = out_block;
    s.block_len = 0;
    s.sample_mode = sample_mode;
    for (uint64_t i = 0; i < MAX_INPUTS; i++) s.total_hits[i] = s.pos_hits[i] = 0;
    s.disputed_bytes = 0;
    s.clean_block = true;
    s.out_filled = false;
    s.glyphs = glyphs;
}

void vote_block(vote_state& s) {
    const uint64_t end = (s.block_len + 7) / 8 * 8;
    // A block without a dispute needs no copy: input 0 already holds the result.
    uint64_t offset = scan_agreeing<false>(s, 0, end);
    s.out_filled = offset != end;
    if (!s.out_filled) return;
    memcpy(s.out_block, s.in_blocks[0], offset);
    while (offset < end) {
        vote_word(s, offset);
        offset = scan_agreeing<true>(s, offset + 8, end);
    }
}
