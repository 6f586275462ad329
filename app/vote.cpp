#include "vote.h"

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VOTE_HAVE_AVX2_KERNEL 1
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

const uint64_t LOW7 = 0x7F7F7F7F7F7F7F7Full;
const uint64_t HIGH1 = 0x8080808080808080ull;

// The high bit of every byte of x that is not zero (exact: no carry crosses a byte).
inline uint64_t nonzero_bytes(uint64_t x) { return (((x & LOW7) + LOW7) | x) & HIGH1; }

// Widens a mask of byte high bits to whole bytes.
inline uint64_t byte_mask(uint64_t high_bits) { return (high_bits >> 7) * 0xFF; }

// Number of bytes marked in a mask of byte high bits (without relying on a popcount instruction,
// which the baseline x86-64 target lacks).
inline unsigned count_bytes(uint64_t high_bits) {
    return static_cast<unsigned>(((high_bits >> 7) * 0x0101010101010101ull) >> 56);
}

inline void store_word(uint8_t* p, uint64_t v) { memcpy(p, &v, sizeof v); }

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
    if (s.cd) {
        const cd_block b = {s.in_blocks, s.count, s.block_len, s.block_start, s.cd};
        store_word(s.out_block + offset, cd_vote_word(b, offset, s.total_hits, s.pos_hits, s.disputed_bytes, *s.glyphs));
    } else if (s.sample_mode) {
        for (uint64_t p = offset; p < offset + 8; p += 2) vote_sample(s, p, d - 1);
    } else {
        vote_word_by_bytes(s, offset, d);
    }
    s.clean_block = false;
}

// ---- Comparison of the inputs with input 0, while they are still in the caches ----
//
// Up to MASK_INPUTS inputs, the comparison notes in masks which words differ (see below). With
// more inputs it keeps the words themselves in which the inputs from 1 on differ from input 0
// (the entries): the disputed words are exactly the words that appear there, and the vote then
// needs nothing but input 0's block and these entries. Many blocks do not fit in the caches
// together, and going back to every copy's block at every disputed word would wait for memory
// each time.
//
// The inputs are then compared in pairs, as soon as a pair has been read: each pass reads input
// 0's block once for both, while their blocks are still in the caches. (Larger groups read input
// 0 less often but write more entries per differing step, and measured slower.) A group's
// entries form one list in word order, and within a word in input order.

const uint64_t SCAN_SPAN = 0x200000;       // bytes of the largest block the comparison covers
const uint64_t SCAN_WORDS = SCAN_SPAN / 8;
const uint32_t ENTRY_CAPACITY = 1u << 21;  // differing words kept per block
const uint32_t NO_ENTRY = 0xFFFFFFFFu;
const unsigned INPUT_SHIFT = 20;           // word index below, input index above
const uint64_t GROUP = 2;                  // inputs compared in one pass

// The entries: each is one word of one input that differs from input 0's word, kept in three
// arrays. The scan writes a few entries past the last one it keeps, hence the spare room.
const uint32_t ENTRY_SPARE = 8;

struct scan_state {
    const vote_state* owner;  // the vote whose block is being compared; null when none is
    bool masks;               // few inputs: step masks instead of entries
    uint64_t inputs;          // inputs 1 .. inputs have been read (and all but a last group compared)
    uint64_t compared;        // inputs 1 .. compared have been compared
    uint64_t len;             // bytes that every comparison covers
    bool complete;            // every differing word was kept (none was lost for want of room)
    uint32_t entries;         // entries used
    uint64_t lists;           // lists made
    uint32_t first[MAX_INPUTS + 1];  // list l's entries: first[l] up to first[l + 1]
};

scan_state g_scan;
uint64_t g_word[ENTRY_CAPACITY + ENTRY_SPARE];   // the input's word
uint32_t g_where[ENTRY_CAPACITY + ENTRY_SPARE];  // word index | input index << INPUT_SHIFT
uint32_t g_next[ENTRY_CAPACITY];                 // the vote's list of a word's entries

inline uint64_t word_index(uint32_t e) { return g_where[e] & ((1u << INPUT_SHIFT) - 1); }
inline uint64_t input_of(uint32_t e) { return g_where[e] >> INPUT_SHIFT; }

// Compares the words [from, to) (byte offsets, multiples of 8) of the group's inputs one at a
// time. `in` holds the group's blocks, of inputs first, first + 1, ...
void compare_words(const uint8_t* b0, const uint8_t* const* in, uint64_t g, uint64_t first, uint64_t from,
                   uint64_t to) {
    for (uint64_t o = from; o < to; o += 8) {
        const uint64_t w0 = load_word(b0 + o);
        for (uint64_t t = 0; t < g; t++) {
            const uint64_t word = load_word(in[t] + o);
            if (word == w0) continue;
            if (g_scan.entries == ENTRY_CAPACITY) {
                g_scan.complete = false;
                return;
            }
            const uint32_t e = g_scan.entries++;
            g_word[e] = word;
            g_where[e] = static_cast<uint32_t>(o / 8 | ((first + t) << INPUT_SHIFT));
        }
    }
}

// Writes the entries of one 64-byte step that differs somewhere: all eight words of every input
// of the group are written, and the count only advances past the ones that differ, which costs
// no branch per word. differ[t] has bit k set when input t's word k differs.
template <uint64_t G>
inline void record_step(const uint8_t* const* in, uint64_t first, uint64_t o, const unsigned* differ) {
    uint32_t n = g_scan.entries;
    const uint32_t w = static_cast<uint32_t>(o / 8);
    for (unsigned k = 0; k < 8; k++) {
        for (uint64_t t = 0; t < G; t++) {
            g_word[n] = load_word(in[t] + o + 8 * k);
            g_where[n] = static_cast<uint32_t>((w + k) | ((first + t) << INPUT_SHIFT));
            n += (differ[t] >> k) & 1;
        }
    }
    g_scan.entries = n;
}

#ifdef VOTE_HAVE_AVX2_KERNEL
// 64 bytes per step; a step in which every input agrees costs two loads of input 0 and two of
// each input, a test and a branch.
template <uint64_t G>
__attribute__((target("avx2"))) void compare_group_avx2(const uint8_t* b0, const uint8_t* const* in, uint64_t first,
                                                        uint64_t end) {
    uint64_t o = 0;
    for (; o + 64 <= end; o += 64) {
        const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b0 + o));
        const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b0 + o + 32));
        __m256i x0[G], x1[G];
        __m256i any = _mm256_setzero_si256();
        for (uint64_t t = 0; t < G; t++) {
            x0[t] = _mm256_xor_si256(a0, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in[t] + o)));
            x1[t] = _mm256_xor_si256(a1, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in[t] + o + 32)));
            any = _mm256_or_si256(any, _mm256_or_si256(x0[t], x1[t]));
        }
        if (_mm256_testz_si256(any, any)) continue;
        if (g_scan.entries > ENTRY_CAPACITY - 8 * G) {
            compare_words(b0, in, G, first, o, o + 64);
            if (!g_scan.complete) return;
            continue;
        }
        const __m256i zero = _mm256_setzero_si256();
        unsigned differ[G];
        for (uint64_t t = 0; t < G; t++) {
            const unsigned equal =
                static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(x0[t], zero)))) |
                static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(x1[t], zero)))) << 4;
            differ[t] = ~equal;
        }
        record_step<G>(in, first, o, differ);
    }
    compare_words(b0, in, G, first, o, end);
}
#endif

#ifdef __SSE2__
template <uint64_t G>
void compare_group_sse2(const uint8_t* b0, const uint8_t* const* in, uint64_t first, uint64_t end) {
    uint64_t o = 0;
    for (; o + 32 <= end; o += 32) {
        const __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b0 + o));
        const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b0 + o + 16));
        __m128i any = _mm_setzero_si128();
        for (uint64_t t = 0; t < G; t++) {
            any = _mm_or_si128(any, _mm_xor_si128(a0, _mm_loadu_si128(reinterpret_cast<const __m128i*>(in[t] + o))));
            any = _mm_or_si128(any, _mm_xor_si128(a1, _mm_loadu_si128(reinterpret_cast<const __m128i*>(in[t] + o + 16))));
        }
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(any, _mm_setzero_si128())) == 0xFFFF) continue;
        compare_words(b0, in, G, first, o, o + 32);
        if (!g_scan.complete) return;
    }
    compare_words(b0, in, G, first, o, end);
}
#endif

// ---- Few inputs: one mask per input and 64-byte step ----
//
// With up to MASK_INPUTS copies all blocks stay in the caches, so the vote can read the disputed
// words from the blocks themselves; the comparison then only notes, without a branch, which words
// of each input differ from input 0's: bit k of g_masks[i][step] for word 8 * step + k. All inputs
// are compared in one pass once the last one is read, which reads input 0's block only once.

const uint64_t MASK_INPUTS = 8;
const uint64_t SCAN_STEPS = SCAN_WORDS / 8;
uint8_t g_masks[MASK_INPUTS][SCAN_STEPS];  // [0] unused: input 0 is the reference

// Masks of the words [from, to) (byte offsets, multiples of 8; `from` starts a step) of inputs
// 1 to n - 1.
void masks_words(const uint8_t* const* in, uint64_t n, uint64_t from, uint64_t to) {
    for (uint64_t o = from; o < to; o += 8) {
        const uint64_t w0 = load_word(in[0] + o);
        const uint8_t bit = static_cast<uint8_t>(1u << ((o / 8) % 8));
        for (uint64_t t = 1; t < n; t++) {
            if (o % 64 == 0) g_masks[t][o / 64] = 0;
            if (load_word(in[t] + o) != w0) g_masks[t][o / 64] |= bit;
        }
    }
}

#ifdef VOTE_HAVE_AVX2_KERNEL
__attribute__((target("avx2"))) inline unsigned differing_words(__m256i a0, __m256i a1, const uint8_t* p) {
    const __m256i x0 = _mm256_xor_si256(a0, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
    const __m256i x1 = _mm256_xor_si256(a1, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32)));
    const __m256i zero = _mm256_setzero_si256();
    const unsigned equal =
        static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(x0, zero)))) |
        static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(x1, zero)))) << 4;
    return ~equal & 0xFFu;
}

template <uint64_t N>
__attribute__((target("avx2"))) void masks_avx2(const uint8_t* const* in, uint64_t end) {
    uint64_t o = 0;
    for (; o + 64 <= end; o += 64) {
        const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in[0] + o));
        const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in[0] + o + 32));
        for (uint64_t t = 1; t < N; t++) g_masks[t][o / 64] = static_cast<uint8_t>(differing_words(a0, a1, in[t] + o));
    }
    masks_words(in, N, o, end);
}
#endif

bool cpu_has_avx2();

// Notes the words [0, end) of inputs 1 to n - 1 (n <= MASK_INPUTS) that differ from input 0's.
void compare_masks(const uint8_t* const* in, uint64_t n, uint64_t end) {
#ifdef VOTE_HAVE_AVX2_KERNEL
    if (cpu_has_avx2()) {
        switch (n) {
        case 2: masks_avx2<2>(in, end); return;
        case 3: masks_avx2<3>(in, end); return;
        case 4: masks_avx2<4>(in, end); return;
        case 5: masks_avx2<5>(in, end); return;
        case 6: masks_avx2<6>(in, end); return;
        case 7: masks_avx2<7>(in, end); return;
        case 8: masks_avx2<8>(in, end); return;
        default: break;
        }
    }
#endif
    masks_words(in, n, 0, end);
}

// The masks of the 64 words from 64 * c on: bit j for word 64 * c + j, of words below `words`.
inline uint64_t mask_chunk(uint64_t t, uint64_t c, uint64_t words) {
    uint64_t m;
    memcpy(&m, g_masks[t] + c * 8, sizeof m);
    if (words - c * 64 < 64) m &= (1ull << (words - c * 64)) - 1;
    return m;
}

// True when some input differs from input 0 in a word below `words`.
bool masks_any_disputed(uint64_t count, uint64_t words) {
    uint64_t any = 0;
    for (uint64_t c = 0; c * 64 < words; c++) {
        for (uint64_t t = 1; t < count; t++) any |= mask_chunk(t, c, words);
    }
    return any != 0;
}

bool cpu_has_avx2() {
#ifdef VOTE_HAVE_AVX2_KERNEL
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
#else
    return false;
#endif
}

template <uint64_t G>
void compare_group_of(const uint8_t* b0, const uint8_t* const* in, uint64_t first, uint64_t end) {
#ifdef VOTE_HAVE_AVX2_KERNEL
    if (cpu_has_avx2()) {
        compare_group_avx2<G>(b0, in, first, end);
        return;
    }
#endif
#ifdef __SSE2__
    compare_group_sse2<G>(b0, in, first, end);
#else
    compare_words(b0, in, G, first, 0, end);
#endif
}

// Compares inputs compared + 1 .. inputs with input 0 over the words that cover `len` bytes, as
// one list of entries.
void compare_group(const vote_state& s) {
    const uint64_t first = g_scan.compared + 1;
    const uint64_t g = g_scan.inputs - g_scan.compared;
    g_scan.compared = g_scan.inputs;
    if (g == 0 || !g_scan.complete) return;  // once entries are lost the vote scans the block itself
    const uint8_t* const* in = s.in_blocks + first;
    const uint64_t end = (g_scan.len + 7) / 8 * 8;
    static_assert(GROUP == 2, "a group has one or two inputs");
    if (g == 1) {
        compare_group_of<1>(s.in_blocks[0], in, first, end);
    } else {
        compare_group_of<2>(s.in_blocks[0], in, first, end);
    }
    g_scan.first[++g_scan.lists] = g_scan.entries;
}

void scan_begin(const vote_state& s) {
    g_scan.owner = &s;
    g_scan.masks = s.count <= MASK_INPUTS;
    g_scan.inputs = 0;
    g_scan.compared = 0;
    g_scan.len = SCAN_SPAN;
    g_scan.complete = true;
    g_scan.entries = 0;
    g_scan.lists = 0;
    g_scan.first[0] = 0;
}

void scan_input(const vote_state& s, uint64_t i, uint64_t len) {
    if (g_scan.owner != &s || i != g_scan.inputs + 1 || i >= s.count || len > SCAN_SPAN) {
        g_scan.owner = nullptr;  // out of order: vote_block compares the copies itself
        return;
    }
    g_scan.inputs = i;
    if (len < g_scan.len) g_scan.len = len;
    if (g_scan.masks) {
        if (i + 1 == s.count) {
            compare_masks(s.in_blocks, s.count, (g_scan.len + 7) / 8 * 8);
            g_scan.compared = i;
        }
        return;
    }
    if (i - g_scan.compared == GROUP || i + 1 == s.count) compare_group(s);
}

// True when the comparison made for this block covers every input and all of the block.
bool scan_is_complete(const vote_state& s) {
    return g_scan.owner == &s && g_scan.compared + 1 == s.count && g_scan.len >= s.block_len;
}

// ---- The voted words ----
//
// The vote of a scanned block does not write the output block as it goes: it notes every
// disputed word whose voted value differs from input 0's, in word order, and the caller applies
// these changes to a copy of input 0's block, or to input 0's block itself. Input 0's block stays
// as it was read while the vote runs, since the screening of samples reads its neighbours there.

struct patch_list {
    uint64_t n;
    uint32_t word_index[SCAN_WORDS];
    uint64_t word[SCAN_WORDS];
};

patch_list g_patches;

inline void note_voted_word(uint64_t w, uint64_t voted, uint64_t w0) {
    g_patches.word_index[g_patches.n] = static_cast<uint32_t>(w);
    g_patches.word[g_patches.n] = voted;
    g_patches.n += voted != w0;
}

void apply_patches(uint8_t* block) {
    for (uint64_t k = 0; k < g_patches.n; k++) store_word(block + g_patches.word_index[k] * 8ull, g_patches.word[k]);
}

// ---- Byte vote from the lists of differing words ----
//
// At a disputed byte, input 0 and every input that holds input 0's byte form the base group;
// the other inputs are few. Every copy's hits are the size of its group less one, so the base
// group's members all gain the same amount: it is added once per block (`base_hits`) and only the
// other inputs are credited one by one, with the difference to it.

struct word_diffs {
    uint64_t n;
    uint16_t input[MAX_INPUTS];
    uint64_t word[MAX_INPUTS];
};

// Input with the greatest hit score so far, the lowest index among equal scores; the scores are
// total_hits plus the base hits not yet added.
uint64_t best_scored_input_lazy(const vote_state& s, uint64_t base_hits) {
    uint64_t winner = 0;
    uint64_t best = s.total_hits[0] + base_hits;
    for (uint64_t i = 1; i < s.count; i++) {
        const uint64_t score = s.total_hits[i] + base_hits;
        if (score > best) {
            best = score;
            winner = i;
        }
    }
    return winner;
}

// Votes byte b of a disputed word (known to be disputed) and returns the byte's value.
uint8_t vote_byte_from_diffs(vote_state& s, const word_diffs& d, uint64_t w0, unsigned b, uint64_t& base_hits) {
    const unsigned shift = 8 * b;
    const uint8_t base = static_cast<uint8_t>(w0 >> shift);
    uint16_t input[MAX_INPUTS];
    uint8_t value[MAX_INPUTS];
    uint64_t k = 0;
    for (uint64_t t = 0; t < d.n; t++) {
        const uint8_t v = static_cast<uint8_t>(d.word[t] >> shift);
        input[k] = d.input[t];
        value[k] = v;
        k += v != base;
    }
    s.disputed_bytes += 1;
    const uint64_t base_size = s.count - k;  // input 0 is always in it
    base_hits += base_size - 1;

    // Group sizes of the other inputs; pairwise while they are few, else by a value histogram.
    uint64_t size[MAX_INPUTS];
    if (k <= 16) {
        for (uint64_t t = 0; t < k; t++) {
            uint64_t n = 0;
            for (uint64_t u = 0; u < k; u++) n += value[u] == value[t];
            size[t] = n;
        }
    } else {
        for (uint64_t t = 0; t < k; t++) g_value_count[value[t]]++;
        for (uint64_t t = 0; t < k; t++) size[t] = g_value_count[value[t]];
        for (uint64_t t = 0; t < k; t++) g_value_count[value[t]] = 0;
    }

    // The first member of the largest group wins; the base group holds input 0, so another group
    // must be strictly larger to win.
    uint64_t best = base_size;
    uint8_t result = base;
    for (uint64_t t = 0; t < k; t++) {
        s.total_hits[input[t]] += size[t] - base_size;
        if (size[t] > best) {
            best = size[t];
            result = value[t];
        }
    }
    if (best > 1) {
        s.glyphs->put('#');
        return result;
    }
    // No two copies agree: the input with the best hit score so far gives the byte.
    const uint64_t winner = best_scored_input_lazy(s, base_hits);
    s.glyphs->put_index(winner);
    for (uint64_t t = 0; t < k; t++) {
        if (input[t] == winner) return value[t];
    }
    return base;
}

// The disputed words of one stretch of the block, each with its entries in input order.
const uint64_t SEGMENT_WORDS = 512;

struct segment {
    uint64_t start;                      // index of the stretch's first word
    uint64_t disputed[SEGMENT_WORDS / 64];  // bit: the word is disputed
    uint32_t head[SEGMENT_WORDS];        // first entry of a disputed word
    uint32_t tail[SEGMENT_WORDS];        // last entry of a disputed word
};

segment g_segment;
uint32_t g_cursor[MAX_INPUTS];  // each list's next entry not yet taken into a segment

// Takes the entries of the words [seg.start, words_end) into the segment, list by list, so that
// every word's entries are linked in input order.
void fill_segment(segment& seg, uint64_t words_end) {
    memset(seg.disputed, 0, sizeof seg.disputed);
    for (uint64_t l = 0; l < g_scan.lists; l++) {
        uint32_t c = g_cursor[l];
        const uint32_t limit = g_scan.first[l + 1];
        for (; c < limit; c++) {
            const uint64_t w = word_index(c);
            if (w >= words_end) break;
            const uint64_t local = w - seg.start;
            uint64_t& bits = seg.disputed[local / 64];
            const uint64_t bit = 1ull << (local % 64);
            g_next[c] = NO_ENTRY;
            if (bits & bit) {
                g_next[seg.tail[local]] = c;
            } else {
                seg.head[local] = c;
            }
            seg.tail[local] = c;
            bits |= bit;
        }
        g_cursor[l] = c;
    }
}

// Calls vote(w) for every disputed word w of the segment, in order.
template <typename Vote>
void for_each_disputed_word(const segment& seg, Vote vote) {
    for (uint64_t c = 0; c < SEGMENT_WORDS / 64; c++) {
        uint64_t bits = seg.disputed[c];
        while (bits != 0) {
            const uint64_t local = c * 64 + static_cast<uint64_t>(__builtin_ctzll(bits));
            bits &= bits - 1;
            vote(local);
        }
    }
}

// Votes the disputed word w by bytes: input 0 holds w0 there, and d the inputs whose word
// differs from it, in input order, with their words.
void vote_word_diffs(vote_state& s, uint64_t w, uint64_t w0, const word_diffs& d, uint64_t& base_hits) {
    uint64_t mask = 0;
    for (uint64_t t = 0; t < d.n; t++) mask |= d.word[t] ^ w0;
    if (s.clean_block) s.glyphs->put_text("<\n");
    s.clean_block = false;
    if (d.n == 1 && s.count >= 3) {
        // One input differs from all the others, which agree: they win every disputed byte,
        // which keeps input 0's value, and the odd input scores nothing.
        const uint64_t n = count_bytes(nonzero_bytes(mask));
        s.disputed_bytes += n;
        base_hits += n * (s.count - 2);
        s.total_hits[d.input[0]] -= n * (s.count - 2);
        s.glyphs->put_repeated('#', n);
        return;
    }
    uint64_t voted = w0;
    for (unsigned b = 0; b < 8; b++) {
        if (((mask >> (8 * b)) & 0xFF) == 0) continue;
        const uint64_t value = vote_byte_from_diffs(s, d, w0, b, base_hits);
        voted = (voted & ~(0xFFull << (8 * b))) | (value << (8 * b));
    }
    note_voted_word(w, voted, w0);
}

word_diffs g_diffs;

void vote_word_from_diffs(vote_state& s, const segment& seg, uint64_t local, uint64_t& base_hits) {
    word_diffs& d = g_diffs;
    const uint64_t w = seg.start + local;
    d.n = 0;
    for (uint32_t e = seg.head[local]; e != NO_ENTRY; e = g_next[e]) {
        d.input[d.n] = static_cast<uint16_t>(input_of(e));
        d.word[d.n] = g_word[e];
        d.n++;
    }
    vote_word_diffs(s, w, load_word(s.in_blocks[0] + w * 8), d, base_hits);
}

// ---- Byte vote of three inputs ----
//
// With three copies a disputed byte is either held by two of them or by none twice, and whole
// words can be decided at once from the byte masks of the three pairs.

struct three_words {
    uint64_t w0, w1, w2;
};

// The counters of a three-input vote, kept apart from vote_state while a block is voted so that
// the compiler can hold them in registers (the glyph buffer's char stores could alias them).
struct three_tally {
    uint64_t hits[3];
    uint64_t disputed_bytes;
};

// Votes the disputed bytes of a word one at a time, in order: used for a word with a byte on
// which all three copies differ, where the choice depends on the scores so far.
__attribute__((noinline)) uint64_t vote_three_bytewise(glyph_writer& glyphs, three_tally& t, const three_words& v,
                                                       uint64_t disputed, uint64_t z01, uint64_t z02, uint64_t z12) {
    uint64_t out = v.w0;
    while (disputed != 0) {
        const unsigned b = static_cast<unsigned>(__builtin_ctzll(disputed)) / 8;
        const uint64_t bit = 0x80ull << (8 * b);
        disputed &= disputed - 1;
        uint64_t from;  // the word whose byte wins
        if (z01 & bit) {
            t.hits[0]++;
            t.hits[1]++;
            from = v.w0;
            glyphs.put('#');
        } else if (z02 & bit) {
            t.hits[0]++;
            t.hits[2]++;
            from = v.w0;
            glyphs.put('#');
        } else if (z12 & bit) {
            t.hits[1]++;
            t.hits[2]++;
            from = v.w1;
            glyphs.put('#');
        } else {
            uint64_t winner = 0;
            if (t.hits[1] > t.hits[winner]) winner = 1;
            if (t.hits[2] > t.hits[winner]) winner = 2;
            glyphs.put_index(winner);
            from = winner == 0 ? v.w0 : winner == 1 ? v.w1 : v.w2;
        }
        const uint64_t m = 0xFFull << (8 * b);
        out = (out & ~m) | (from & m);
    }
    return out;
}

// The vote of a scanned block of three inputs, from the masks: the disputed words are read from
// the three blocks, which are still in the caches.
void vote_three_block(vote_state& s, uint64_t words) {
    glyph_writer& glyphs = *s.glyphs;
    const uint8_t* const b0 = s.in_blocks[0];
    const uint8_t* const b1 = s.in_blocks[1];
    const uint8_t* const b2 = s.in_blocks[2];
    uint64_t h0 = s.total_hits[0], h1 = s.total_hits[1], h2 = s.total_hits[2];
    uint64_t disputed_bytes = s.disputed_bytes;
    if (s.clean_block) glyphs.put_text("<\n");  // the first disputed word is met at once
    // Eight steps' masks at a time: bit j of the combined 64-bit mask is word 64 * c + j.
    for (uint64_t c = 0; c * 64 < words; c++) {
        uint64_t m = mask_chunk(1, c, words) | mask_chunk(2, c, words);
        while (m != 0) {
            const uint64_t w = c * 64 + static_cast<uint64_t>(__builtin_ctzll(m));
            m &= m - 1;
            three_words v;
            v.w0 = load_word(b0 + w * 8);
            v.w1 = load_word(b1 + w * 8);
            v.w2 = load_word(b2 + w * 8);
            const uint64_t x01 = v.w0 ^ v.w1;
            const uint64_t x02 = v.w0 ^ v.w2;
            const uint64_t disputed = nonzero_bytes(x01 | x02);
            const uint64_t z01 = ~nonzero_bytes(x01) & HIGH1;
            const uint64_t z02 = ~nonzero_bytes(x02) & HIGH1;
            const uint64_t z12 = ~nonzero_bytes(v.w1 ^ v.w2) & HIGH1;
            disputed_bytes += count_bytes(disputed);
            uint64_t voted;
            if ((disputed & ~(z01 | z02 | z12)) != 0) {
                three_tally t = {{h0, h1, h2}, disputed_bytes};
                voted = vote_three_bytewise(glyphs, t, v, disputed, z01, z02, z12);
                h0 = t.hits[0];
                h1 = t.hits[1];
                h2 = t.hits[2];
            } else {
                // Every disputed byte is held by two copies: "#" each, and both of them score.
                h0 += count_bytes(disputed & (z01 | z02));
                h1 += count_bytes(disputed & (z01 | z12));
                h2 += count_bytes(disputed & (z02 | z12));
                glyphs.put_repeated('#', count_bytes(disputed));
                // Where inputs 1 and 2 agree against input 0 their byte wins; elsewhere input 0's.
                voted = v.w0 ^ (x01 & byte_mask(disputed & z12));
            }
            note_voted_word(w, voted, v.w0);
        }
    }
    s.total_hits[0] = h0;
    s.total_hits[1] = h1;
    s.total_hits[2] = h2;
    s.disputed_bytes = disputed_bytes;
    s.clean_block = false;
}

// ---- Sample vote from the lists of differing words ----
//
// A copy's word is its entry's word when it has one and input 0's word otherwise, and so is the
// word before or after it that the screening of the word's first and last sample looks into. The
// vote of a disputed word thus reads input 0's block and the entries only; just at the edge of a
// segment a neighbour is read from the copy's own block.

struct sample_words {
    uint64_t w;                 // index of the word
    uint64_t word[MAX_INPUTS];  // every input's word
    uint64_t voted;             // the voted word
};

inline void set_sample(uint64_t& word, uint64_t index, uint16_t sample) {
    const unsigned shift = static_cast<unsigned>(16 * index);
    word = (word & ~(0xFFFFull << shift)) | (static_cast<uint64_t>(sample) << shift);
}

// Input k's word v (v = w - 1 or w + 1), from the segment's lists where it can.
uint64_t neighbour_word(const vote_state& s, const segment& seg, uint64_t seg_end, uint64_t k, uint64_t v) {
    if (v < seg.start || v >= seg_end) return load_word(s.in_blocks[k] + v * 8);
    const uint64_t local = v - seg.start;
    if (seg.disputed[local / 64] & (1ull << (local % 64))) {
        for (uint32_t e = seg.head[local]; e != NO_ENTRY; e = g_next[e]) {
            if (input_of(e) == k) return g_word[e];
        }
    }
    return load_word(s.in_blocks[0] + v * 8);
}

inline uint16_t sample_of(uint64_t word, uint64_t index) { return static_cast<uint16_t>(word >> (16 * index)); }

// The screening of input k's sample `index` (0 to 3) of the word, as is_corrected does it.
// neighbour(k, u) gives input k's word u, for u = w - 1 or w + 1.
template <typename Neighbour>
bool is_corrected_word(const vote_state& s, const sample_words& v, uint64_t k, uint64_t index, Neighbour& neighbour) {
    const uint64_t p = v.w * 8 + 2 * index;
    if (p == 0 || p + 2 >= s.block_len) return false;
    const uint64_t word = v.word[k];
    const uint16_t prev = index > 0 ? sample_of(word, index - 1) : sample_of(neighbour(k, v.w - 1), 3);
    const uint16_t next = index < 3 ? sample_of(word, index + 1) : sample_of(neighbour(k, v.w + 1), 0);
    const uint32_t mean = (static_cast<uint32_t>(prev) + next) / 2;
    const int64_t delta = static_cast<int64_t>(mean) - sample_of(word, index);
    return delta >= -1 && delta <= 1;
}

// The counting pass of input k at sample `index`, as counting_pass does it.
bool counting_pass_word(vote_state& s, const sample_words& v, uint64_t k, uint64_t index) {
    const uint16_t sample = sample_of(v.word[k], index);
    bool differs = false;
    for (uint64_t j = k + 1; j < s.count; j++) {
        if (sample_of(v.word[j], index) == sample) {
            s.pos_hits[k]++;
            s.pos_hits[j] = s.pos_hits[k];
        } else {
            differs = true;
        }
    }
    return differs;
}

// The sample vote of sample `index` of the word, step for step as vote_sample.
template <typename Neighbour>
void vote_sample_word(vote_state& s, sample_words& v, uint64_t index, uint64_t prefix_last, Neighbour& neighbour) {
    for (uint64_t i = 0; i < s.count; i++) s.pos_hits[i] = 0;
    s.pos_hits[prefix_last] = prefix_last;
    bool differs = false;
    for (uint64_t k = prefix_last; k + 1 < s.count; k++) {
        if (is_corrected_word(s, v, k, index, neighbour)) {
            s.glyphs->put(' ');
            continue;
        }
        differs = counting_pass_word(s, v, k, index) || differs;
        if (!differs) {
            set_sample(v.voted, index, sample_of(v.word[k], index));
            return;
        }
    }
    if (!differs) {
        set_sample(v.voted, index, sample_of(v.word[s.count - 2], index));
        return;
    }
    s.disputed_bytes += 2;
    for (uint64_t i = 0; i < prefix_last; i++) s.pos_hits[i] = s.pos_hits[prefix_last];
    set_sample(v.voted, index, sample_of(v.word[decide(s)], index));
}

// The sample vote of a disputed word whose inputs' words are in v.word: the first input that
// differs from input 0 is prefix_last + 1, and `differ` has the bits in which some input differs.
template <typename Neighbour>
void vote_sample_words(vote_state& s, sample_words& v, uint64_t prefix_last, uint64_t differ, Neighbour& neighbour) {
    const uint64_t w0 = v.word[0];
    v.voted = w0;
    if (s.clean_block) s.glyphs->put_text("<\n");
    for (uint64_t index = 0; index < 4; index++) {
        if (sample_of(differ, index) != 0) {
            vote_sample_word(s, v, index, prefix_last, neighbour);
            continue;
        }
        // Every copy holds input 0's sample, which the output already has: the vote only passes
        // over the corrected copies until the first that is not (or the last tested one).
        for (uint64_t k = prefix_last; k + 1 < s.count && is_corrected_word(s, v, k, index, neighbour); k++) {
            s.glyphs->put(' ');
        }
    }
    note_voted_word(v.w, v.voted, w0);
    s.clean_block = false;
}

sample_words g_sample_words;

void vote_word_samples_from_diffs(vote_state& s, const segment& seg, uint64_t seg_end, uint64_t local) {
    sample_words& v = g_sample_words;
    v.w = seg.start + local;
    const uint64_t w0 = load_word(s.in_blocks[0] + v.w * 8);
    for (uint64_t i = 0; i < s.count; i++) v.word[i] = w0;
    const uint32_t first = seg.head[local];
    uint64_t differ = 0;  // bits of the samples in which some input differs from input 0
    for (uint32_t e = first; e != NO_ENTRY; e = g_next[e]) {
        v.word[input_of(e)] = g_word[e];
        differ |= g_word[e] ^ w0;
    }
    auto neighbour = [&](uint64_t k, uint64_t u) { return neighbour_word(s, seg, seg_end, k, u); };
    vote_sample_words(s, v, input_of(first) - 1, differ, neighbour);
}

// ---- Few inputs: the vote from the masks ----

// The --cd vote of the disputed word w, read from the blocks.
void vote_cd_word(vote_state& s, uint64_t w, uint64_t w0) {
    if (s.clean_block) s.glyphs->put_text("<\n");
    const cd_block b = {s.in_blocks, s.count, s.block_len, s.block_start, s.cd};
    note_voted_word(w, cd_vote_word(b, w * 8, s.total_hits, s.pos_hits, s.disputed_bytes, *s.glyphs), w0);
    s.clean_block = false;
}

// The vote of a block of at most MASK_INPUTS inputs (not three by bytes) from the masks: every
// disputed word is read from the blocks, by bytes or by samples.
void vote_masked_block(vote_state& s, uint64_t words) {
    uint64_t base_hits = 0;
    uint64_t chunk[MASK_INPUTS];
    auto neighbour = [&](uint64_t k, uint64_t u) { return load_word(s.in_blocks[k] + u * 8); };
    for (uint64_t c = 0; c * 64 < words; c++) {
        uint64_t m = 0;
        for (uint64_t t = 1; t < s.count; t++) m |= chunk[t] = mask_chunk(t, c, words);
        while (m != 0) {
            const unsigned j = static_cast<unsigned>(__builtin_ctzll(m));
            const uint64_t w = c * 64 + j;
            m &= m - 1;
            const uint64_t w0 = load_word(s.in_blocks[0] + w * 8);
            if (s.cd) {
                vote_cd_word(s, w, w0);
            } else if (s.sample_mode) {
                sample_words& v = g_sample_words;
                v.w = w;
                v.word[0] = w0;
                uint64_t differ = 0;
                uint64_t first = 0;
                for (uint64_t t = s.count - 1; t > 0; t--) {
                    v.word[t] = load_word(s.in_blocks[t] + w * 8);
                    differ |= v.word[t] ^ w0;
                    if ((chunk[t] >> j) & 1) first = t;
                }
                vote_sample_words(s, v, first - 1, differ, neighbour);
            } else {
                word_diffs& d = g_diffs;
                d.n = 0;
                for (uint64_t t = 1; t < s.count; t++) {
                    if (!((chunk[t] >> j) & 1)) continue;
                    d.input[d.n] = static_cast<uint16_t>(t);
                    d.word[d.n] = load_word(s.in_blocks[t] + w * 8);
                    d.n++;
                }
                vote_word_diffs(s, w, w0, d, base_hits);
            }
        }
    }
    for (uint64_t i = 0; i < s.count; i++) s.total_hits[i] += base_hits;
}

// True when some input differs from input 0 in a word below `words`.
bool any_disputed_word(uint64_t words) {
    for (uint64_t l = 0; l < g_scan.lists; l++) {
        const uint32_t c = g_scan.first[l];
        if (c < g_scan.first[l + 1] && word_index(c) < words) return true;
    }
    return false;
}

// The vote of a block that the comparison covers: every disputed word, by bytes or by samples,
// from the entries. Returns false when the block has no disputed word; otherwise the changes to
// input 0's block are in g_patches.
bool vote_scanned_block(vote_state& s, uint64_t end) {
    const uint64_t words = end / 8;
    g_patches.n = 0;
    if (g_scan.masks) {
        if (!masks_any_disputed(s.count, words)) return false;
        if (s.count == 3 && !s.sample_mode && !s.cd) {
            vote_three_block(s, words);
        } else {
            vote_masked_block(s, words);
        }
        return true;
    }
    if (!any_disputed_word(words)) return false;
    for (uint64_t l = 0; l < g_scan.lists; l++) g_cursor[l] = g_scan.first[l];
    uint64_t base_hits = 0;
    segment& seg = g_segment;
    for (seg.start = 0; seg.start < words; seg.start += SEGMENT_WORDS) {
        const uint64_t seg_end = seg.start + SEGMENT_WORDS < words ? seg.start + SEGMENT_WORDS : words;
        fill_segment(seg, seg_end);
        if (s.sample_mode) {
            for_each_disputed_word(seg, [&](uint64_t local) { vote_word_samples_from_diffs(s, seg, seg_end, local); });
        } else {
            for_each_disputed_word(seg, [&](uint64_t local) { vote_word_from_diffs(s, seg, local, base_hits); });
        }
    }
    for (uint64_t i = 0; i < s.count; i++) s.total_hits[i] += base_hits;
    return true;
}

// The vote of a block too long for the comparison: the word scan runs through the block itself.
void vote_unscanned_block(vote_state& s, uint64_t end) {
    uint64_t offset = scan_agreeing<false>(s, 0, end);
    s.out_filled = offset != end;
    if (!s.out_filled) return;
    memcpy(s.out_block, s.in_blocks[0], offset);
    while (offset < end) {
        vote_word(s, offset);
        offset = scan_agreeing<true>(s, offset + 8, end);
    }
}

}  // namespace

void vote_begin_block(const vote_state& s) { scan_begin(s); }

void vote_scan_input(const vote_state& s, uint64_t i, uint64_t len) { scan_input(s, i, len); }

void vote_start(vote_state& s, uint64_t count, uint8_t* const* in_blocks, uint8_t* out_block, bool sample_mode,
                glyph_writer* glyphs) {
    s.count = count;
    s.in_blocks = in_blocks;
    s.out_block = out_block;
    s.block_len = 0;
    s.sample_mode = sample_mode;
    s.cd = nullptr;
    s.block_start = 0;
    for (uint64_t i = 0; i < MAX_INPUTS; i++) s.total_hits[i] = s.pos_hits[i] = 0;
    s.disputed_bytes = 0;
    s.clean_block = true;
    s.out_filled = false;
    s.glyphs = glyphs;
}

namespace {

// Runs the vote of the block. Returns true when the voted block is input 0's block with the
// changes in g_patches (false: the word scan ran through the block itself and the voted block is
// in out_block, or input 0's block when out_filled is false).
bool vote_block_patched(vote_state& s) {
    const uint64_t end = (s.block_len + 7) / 8 * 8;
    if (s.cd && s.count > MASK_INPUTS) {
        // --cd reads each copy's neighbouring samples from the blocks; with many copies the
        // comparison keeps only input 0's block at hand, so the vote scans the blocks itself.
        vote_unscanned_block(s, end);
        return false;
    }
    if (end <= SCAN_SPAN && !scan_is_complete(s)) {
        scan_begin(s);
        for (uint64_t i = 1; i < s.count; i++) scan_input(s, i, s.block_len);
    }
    const bool scanned = end <= SCAN_SPAN && g_scan.complete;
    g_scan.owner = nullptr;  // the comparison is used up
    if (scanned) {
        s.out_filled = vote_scanned_block(s, end);
        return true;
    }
    vote_unscanned_block(s, end);
    return false;
}

}  // namespace

void vote_block(vote_state& s) {
    if (!vote_block_patched(s) || !s.out_filled) return;
    memcpy(s.out_block, s.in_blocks[0], (s.block_len + 7) / 8 * 8);
    apply_patches(s.out_block);
}

void vote_block_in_place(vote_state& s) {
    if (!vote_block_patched(s)) return;
    apply_patches(s.in_blocks[0]);
    s.out_filled = false;
}
