#include "vote/word_scan.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define SCAN_HAVE_AVX2_KERNEL 1
#endif

#include "base/cpu.h"

namespace {

const uint64_t GROUP = 2;   // inputs compared in one pass for the lists
const uint64_t CHUNK = 32;  // bytes the direct comparison tests at once

// ---- Lists ----
//
// The inputs are compared in pairs, as soon as a pair has been read: each pass reads input 0's
// block once for both, while their blocks are still in the caches. (Larger groups read input 0
// less often but write more entries per differing step, and measured slower.) Many blocks do not
// fit in the caches together, and going back to every copy's block at every disputed word would
// wait for memory each time.

// Compares the words [from, to) (byte offsets, multiples of 8) of the group's inputs one at a
// time. `in` holds the group's blocks, of inputs first, first + 1, ...
void compare_words(word_scan& s, const uint8_t* b0, const uint8_t* const* in, uint64_t g, uint64_t first,
                   uint64_t from, uint64_t to) {
    for (uint64_t o = from; o < to; o += 8) {
        const uint64_t w0 = load_word(b0 + o);
        for (uint64_t t = 0; t < g; t++) {
            const uint64_t word = load_word(in[t] + o);
            if (word == w0) continue;
            if (s.entries >= s.entry_capacity) {
                s.complete = false;
                return;
            }
            const uint32_t e = s.entries++;
            s.entry_word[e] = word;
            s.entry_where[e] = static_cast<uint32_t>(o / 8 | ((first + t) << word_scan::INPUT_SHIFT));
        }
    }
}

// Writes the entries of one 64-byte step that differs somewhere: all eight words of every input
// of the group are written, and the count only advances past the ones that differ, which costs
// no branch per word. differ[t] has bit k set when input t's word k differs.
template <uint64_t G>
inline void record_step(word_scan& s, const uint8_t* const* in, uint64_t first, uint64_t o,
                        const unsigned* differ) {
    uint32_t n = s.entries;
    const uint32_t w = static_cast<uint32_t>(o / 8);
    for (unsigned k = 0; k < 8; k++) {
        for (uint64_t t = 0; t < G; t++) {
            s.entry_word[n] = load_word(in[t] + o + 8 * k);
            s.entry_where[n] = static_cast<uint32_t>((w + k) | ((first + t) << word_scan::INPUT_SHIFT));
            n += (differ[t] >> k) & 1;
        }
    }
    s.entries = n;
}

#ifdef SCAN_HAVE_AVX2_KERNEL
// 64 bytes per step; a step in which every input agrees costs two loads of input 0 and two of
// each input, a test and a branch.
template <uint64_t G>
__attribute__((target("avx2"))) void compare_group_avx2(word_scan& s, const uint8_t* b0,
                                                        const uint8_t* const* in, uint64_t first,
                                                        uint64_t end) {
    uint64_t o = 0;
    for (; o + 64 <= end; o += 64) {
        const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b0 + o));
        const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b0 + o + 32));
        __m256i x0[G], x1[G];
        __m256i any = _mm256_setzero_si256();
        for (uint64_t t = 0; t < G; t++) {
            x0[t] = _mm256_xor_si256(a0, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in[t] + o)));
            x1[t] =
                _mm256_xor_si256(a1, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in[t] + o + 32)));
            any = _mm256_or_si256(any, _mm256_or_si256(x0[t], x1[t]));
        }
        if (_mm256_testz_si256(any, any)) continue;
        if (s.entries + 8 * G > s.entry_capacity) {
            compare_words(s, b0, in, G, first, o, o + 64);
            if (!s.complete) return;
            continue;
        }
        const __m256i zero = _mm256_setzero_si256();
        unsigned differ[G];
        for (uint64_t t = 0; t < G; t++) {
            const unsigned equal =
                static_cast<unsigned>(
                    _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(x0[t], zero)))) |
                static_cast<unsigned>(
                    _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(x1[t], zero))))
                    << 4;
            differ[t] = ~equal;
        }
        record_step<G>(s, in, first, o, differ);
    }
    compare_words(s, b0, in, G, first, o, end);
}
#endif

#ifdef __SSE2__
template <uint64_t G>
void compare_group_sse2(word_scan& s, const uint8_t* b0, const uint8_t* const* in, uint64_t first,
                        uint64_t end) {
    uint64_t o = 0;
    for (; o + 32 <= end; o += 32) {
        const __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b0 + o));
        const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b0 + o + 16));
        __m128i any = _mm_setzero_si128();
        for (uint64_t t = 0; t < G; t++) {
            any = _mm_or_si128(
                any, _mm_xor_si128(a0, _mm_loadu_si128(reinterpret_cast<const __m128i*>(in[t] + o))));
            any = _mm_or_si128(
                any, _mm_xor_si128(a1, _mm_loadu_si128(reinterpret_cast<const __m128i*>(in[t] + o + 16))));
        }
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(any, _mm_setzero_si128())) == 0xFFFF) continue;
        compare_words(s, b0, in, G, first, o, o + 32);
        if (!s.complete) return;
    }
    compare_words(s, b0, in, G, first, o, end);
}
#endif

template <uint64_t G>
void compare_group_of(word_scan& s, const uint8_t* b0, const uint8_t* const* in, uint64_t first,
                      uint64_t end) {
#ifdef SCAN_HAVE_AVX2_KERNEL
    if (cpu_has_avx2()) {
        compare_group_avx2<G>(s, b0, in, first, end);
        return;
    }
#endif
#ifdef __SSE2__
    compare_group_sse2<G>(s, b0, in, first, end);
#else
    compare_words(s, b0, in, G, first, 0, end);
#endif
}

// Compares inputs compared + 1 .. inputs with input 0 over the words that cover `len` bytes, as
// one list of entries.
void compare_group(word_scan& s) {
    const uint64_t first = s.compared + 1;
    const uint64_t g = s.inputs - s.compared;
    s.compared = s.inputs;
    if (g == 0 || !s.complete) return;  // once entries are lost the block is compared directly
    const uint8_t* const* in = s.blocks + first;
    const uint64_t end = (s.len + 7) / 8 * 8;
    static_assert(GROUP == 2, "a group has one or two inputs");
    if (g == 1) {
        compare_group_of<1>(s, s.blocks[0], in, first, end);
    } else {
        compare_group_of<2>(s, s.blocks[0], in, first, end);
    }
    s.first[++s.lists] = s.entries;
}

// ---- Masks ----
//
// With up to MASK_INPUTS copies all blocks stay in the caches; the comparison only notes, without
// a branch, which words of each input differ from input 0's. All inputs are compared in one pass
// once the last one is read, which reads input 0's block only once.

// Masks of the words [from, to) (byte offsets, multiples of 8; `from` starts a step) of inputs
// 1 to n - 1.
void masks_words(word_scan& s, uint64_t n, uint64_t from, uint64_t to) {
    const uint8_t* const* in = s.blocks;
    for (uint64_t o = from; o < to; o += 8) {
        const uint64_t w0 = load_word(in[0] + o);
        const uint8_t bit = static_cast<uint8_t>(1u << ((o / 8) % 8));
        for (uint64_t t = 1; t < n; t++) {
            if (o % 64 == 0) s.masks[t][o / 64] = 0;
            if (load_word(in[t] + o) != w0) s.masks[t][o / 64] |= bit;
        }
    }
}

#ifdef SCAN_HAVE_AVX2_KERNEL
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
__attribute__((target("avx2"))) void masks_avx2(word_scan& s, uint64_t end) {
    const uint8_t* const* in = s.blocks;
    uint64_t o = 0;
    for (; o + 64 <= end; o += 64) {
        const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in[0] + o));
        const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in[0] + o + 32));
        for (uint64_t t = 1; t < N; t++)
            s.masks[t][o / 64] = static_cast<uint8_t>(differing_words(a0, a1, in[t] + o));
    }
    masks_words(s, N, o, end);
}
#endif

// Notes the words [0, end) of inputs 1 to n - 1 (n <= MASK_INPUTS) that differ from input 0's.
void compare_masks(word_scan& s, uint64_t n, uint64_t end) {
#ifdef SCAN_HAVE_AVX2_KERNEL
    if (cpu_has_avx2()) {
        switch (n) {
            case 2:
                masks_avx2<2>(s, end);
                return;
            case 3:
                masks_avx2<3>(s, end);
                return;
            case 4:
                masks_avx2<4>(s, end);
                return;
            case 5:
                masks_avx2<5>(s, end);
                return;
            case 6:
                masks_avx2<6>(s, end);
                return;
            case 7:
                masks_avx2<7>(s, end);
                return;
            case 8:
                masks_avx2<8>(s, end);
                return;
            default:
                break;
        }
    }
#endif
    masks_words(s, n, 0, end);
}

}  // namespace

void word_scan::start(uint64_t n, const uint8_t* const* in, scan_method forced) {
    count = n;
    blocks = in;
    method = forced != scan_method::automatic ? forced
             : n <= MASK_INPUTS               ? scan_method::masks
                                              : scan_method::lists;
    entry_capacity = ENTRY_CAPACITY;
    active = false;
}

void word_scan::begin_block() {
    active = true;
    inputs = 0;
    compared = 0;
    len = SPAN;
    complete = method != scan_method::direct;
    entries = 0;
    lists = 0;
    first[0] = 0;
}

void word_scan::input_read(uint64_t i, uint64_t n) {
    if (!active || i != inputs + 1 || i >= count || n > SPAN) {
        active = false;  // out of order: finish() compares the copies itself
        return;
    }
    inputs = i;
    if (n < len) len = n;
    if (method == scan_method::masks) {
        if (i + 1 == count) {
            compare_masks(*this, count, (len + 7) / 8 * 8);
            compared = i;
        }
        return;
    }
    if (method == scan_method::lists && (i - compared == GROUP || i + 1 == count)) compare_group(*this);
}

scan_method word_scan::finish(uint64_t block_len) {
    if (!(active && compared + 1 == count && len >= block_len)) {
        begin_block();
        for (uint64_t i = 1; i < count; i++) input_read(i, block_len);
    }
    active = false;  // the comparison is used up
    return complete ? method : scan_method::direct;
}

void word_scan::prefetch_chunk(uint64_t c, uint64_t words) const {
    uint64_t any = 0;
    for (uint64_t t = 1; t < count; t++) any |= mask_chunk(t, c, words);
    const uint64_t lines = nonzero_bytes(any);  // a byte of the mask: eight words, a line
    for (uint64_t l = count_bytes(lines) <= 3 ? lines : 0; l != 0; l &= l - 1) {
        const uint64_t o = c * 512 + static_cast<uint64_t>(__builtin_ctzll(l)) / 8 * 64;
        for (uint64_t t = 0; t < count; t++) __builtin_prefetch(blocks[t] + o);
    }
}

bool word_scan::any_disputed(scan_method m, uint64_t words) const {
    if (m == scan_method::masks) {
        uint64_t any = 0;
        for (uint64_t c = 0; c * 64 < words; c++) {
            for (uint64_t t = 1; t < count; t++) any |= mask_chunk(t, c, words);
        }
        return any != 0;
    }
    if (m == scan_method::lists) {
        for (uint64_t l = 0; l < lists; l++) {
            const uint32_t c = first[l];
            if (c < first[l + 1] && entry_word_index(c) < words) return true;
        }
        return false;
    }
    return next_disputed_offset(0, words * 8) < words * 8;
}

// Takes the entries of the words [seg_start, words_end) into the segment, sorted by word by
// counting: the lists are taken in order, so every word's entries stay in input order.
void word_scan::fill_segment(uint64_t words_end) {
    uint32_t* const count = seg_first + 1;  // entries per word, then where each word's next goes
    memset(seg_first, 0, sizeof seg_first);
    for (uint64_t l = 0; l < lists; l++) {
        uint32_t c = cursor[l];
        const uint32_t limit = first[l + 1];
        for (; c < limit && entry_word_index(c) < words_end; c++) count[entry_word_index(c) - seg_start]++;
        seg_limit[l] = c;
    }
    memset(seg_disputed, 0, sizeof seg_disputed);
    uint32_t total = 0;
    for (uint64_t k = 0; k < SEGMENT_WORDS; k++) {
        seg_disputed[k / 64] |= static_cast<uint64_t>(count[k] != 0) << (k % 64);
        const uint32_t n = count[k];
        count[k] = total;  // seg_first[k + 1] becomes word k's start, and after the scatter its end
        total += n;
    }
    for (uint64_t l = 0; l < lists; l++) {
        for (uint32_t c = cursor[l]; c < seg_limit[l]; c++) {
            const uint32_t at = count[entry_word_index(c) - seg_start]++;
            seg_input[at] = static_cast<uint16_t>(entry_input(c));
            seg_word[at] = entry_word[c];
        }
        cursor[l] = seg_limit[l];
    }
}

uint64_t word_scan::first_differing_input(uint64_t o) const {
    const uint64_t w0 = load_word(blocks[0] + o);
    for (uint64_t i = 1; i < count; i++) {
        if (load_word(blocks[i] + o) != w0) return i;
    }
    return count;
}

// The offset of the first disputed word from `from` up to `end` (multiples of 8), or `end`.
uint64_t word_scan::next_disputed_offset(uint64_t from, uint64_t end) const {
    uint64_t o = from;
    while (o < end && o % CHUNK != 0) {
        if (first_differing_input(o) != count) return o;
        o += 8;
    }
    for (; o + CHUNK <= end; o += CHUNK) {
        uint64_t diff = 0;
        for (uint64_t i = 1; i < count; i++) {
            for (uint64_t k = 0; k < CHUNK; k += 8)
                diff |= load_word(blocks[i] + o + k) ^ load_word(blocks[0] + o + k);
        }
        if (diff != 0) break;
    }
    for (; o < end; o += 8) {
        if (first_differing_input(o) != count) return o;
    }
    return end;
}
