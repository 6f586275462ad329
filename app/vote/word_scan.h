#pragma once
// The word scan: which 8-byte words of a block are disputed (not identical in every copy).
//
// Every input is compared with input 0 while its block is still in the processor's caches, right
// after its read (begin_block, then input_read for inputs 1, 2, ... in order); finish() completes
// the comparison when the reads did not make it. The disputed words are then visited in word
// order, each with the words of the inputs that differ from input 0's. Three ways find them:
// - masks (up to MASK_INPUTS inputs): one bit per input and word; the blocks all stay in the
//   caches, so the differing words are read from them;
// - lists (more inputs): the differing words themselves are kept while comparing, so that the
//   vote needs nothing but input 0's block and the lists;
// - direct: the copies are compared again word by word, when the lists ran out of room.
// All three visit the same words with the same differing inputs and words.

#include <cstdint>
#include <cstring>

#include "base/globals.h"
#include "vote/vote_rules.h"
#include "vote/word_bits.h"

enum class scan_method { automatic, masks, lists, direct };

struct word_scan {
    static constexpr uint64_t SPAN = 0x200000;  // bytes of the longest block
    static constexpr uint64_t WORDS = SPAN / 8;
    static constexpr uint64_t MASK_INPUTS = 8;
    static constexpr uint64_t STEPS = WORDS / 8;          // 64-byte steps of a block
    static constexpr uint32_t ENTRY_CAPACITY = 1u << 21;  // differing words kept per block
    static constexpr uint32_t ENTRY_SPARE = 8;            // written past the last entry kept
    static constexpr uint32_t NO_ENTRY = 0xFFFFFFFFu;
    static constexpr unsigned INPUT_SHIFT = 20;     // word index below, input index above
    static constexpr uint64_t SEGMENT_WORDS = 512;  // the lists are gathered per stretch

    // Set by start(): the run's inputs, and the way disputed words are found.
    uint64_t count;
    const uint8_t* const* blocks;
    scan_method method;       // masks or lists for the run (start picks; tests may force any)
    uint32_t entry_capacity;  // at most ENTRY_CAPACITY; tests lower it to make the lists overflow

    // The comparison of the current block.
    bool active;        // begun, and the inputs came in order
    uint64_t inputs;    // inputs 1 .. inputs have been read
    uint64_t compared;  // inputs 1 .. compared have been compared
    uint64_t len;       // bytes that every comparison covers
    bool complete;      // no differing word was lost for want of room

    // Masks: bit k of masks[i][step] is set when input i's word 8 * step + k differs.
    uint8_t masks[MASK_INPUTS][STEPS];

    // Lists: each entry is one word of one input that differs from input 0's word; a pair of
    // inputs compared together forms one list in word order, within a word in input order.
    uint32_t entries;
    uint64_t lists;
    uint32_t first[MAX_INPUTS + 1];  // list l's entries: first[l] up to first[l + 1]
    uint64_t entry_word[ENTRY_CAPACITY + ENTRY_SPARE];
    uint32_t entry_where[ENTRY_CAPACITY + ENTRY_SPARE];  // word index | input index << INPUT_SHIFT

    // One stretch of the block, gathered from the lists: its entries sorted by word, within a
    // word in input order, side by side for the vote to read in order.
    uint64_t seg_start;
    uint64_t seg_disputed[SEGMENT_WORDS / 64];
    uint32_t seg_first[SEGMENT_WORDS + 1];  // word k of the stretch: seg_first[k] up to seg_first[k + 1]
    uint16_t seg_input[SEGMENT_WORDS * (MAX_INPUTS - 1)];
    uint64_t seg_word[SEGMENT_WORDS * (MAX_INPUTS - 1)];
    uint32_t cursor[MAX_INPUTS];     // each list's first entry not gathered yet
    uint32_t seg_limit[MAX_INPUTS];  // and past its last entry in the stretch

    word_diffs diffs;  // the differing words handed to the visitor

    // Prepares a run of `count` inputs whose blocks are `blocks` (each readable up to SPAN bytes,
    // or the block length rounded up to 8). `forced` picks the method; automatic takes masks up
    // to MASK_INPUTS inputs and lists above. REQUIRES: masks only for count <= MASK_INPUTS.
    void start(uint64_t count, const uint8_t* const* blocks, scan_method forced);

    // Begins the comparison of a block, before its first read.
    void begin_block();
    // Input i (1, 2, ... in order) has been read; `len` is the shortest length delivered so far.
    void input_read(uint64_t i, uint64_t len);
    // Completes the comparison over block_len bytes and returns the method by which the block's
    // disputed words will be visited (direct when the lists overflowed).
    // REQUIRES: 0 < block_len <= SPAN.
    scan_method finish(uint64_t block_len);

    // True when some word below `words` is disputed (after finish()).
    bool any_disputed(scan_method m, uint64_t words) const;

    // Calls visit(w, w0, diffs) for every disputed word index w below `words`, in order, with
    // input 0's word w0 and the differing inputs' words (after finish(), by its method).
    // With fetch_ahead (masks only), the lines that hold disputed words are asked for two chunks
    // of 64 words ahead, where a chunk holds few: a vote that spends longer on a word than the
    // byte vote (--cd) otherwise waits on each.
    template <typename Visit>
    void for_each_disputed_word(scan_method m, uint64_t words, Visit visit);
    bool fetch_ahead = false;
    // Asks for every input's lines that hold disputed words of the 64 words from 64 * c on, where
    // they are three at most (more, and the processor's own prefetching serves better).
    void prefetch_chunk(uint64_t c, uint64_t words) const;

    // The masks of input t for the 64 words from 64 * c on (bit j: word 64 * c + j), limited to
    // words below `words`.
    uint64_t mask_chunk(uint64_t t, uint64_t c, uint64_t words) const {
        uint64_t m;
        memcpy(&m, masks[t] + c * 8, sizeof m);
        if (words - c * 64 < 64) m &= (1ull << (words - c * 64)) - 1;
        return m;
    }

  private:
    uint64_t entry_word_index(uint32_t e) const { return entry_where[e] & ((1u << INPUT_SHIFT) - 1); }
    uint64_t entry_input(uint32_t e) const { return entry_where[e] >> INPUT_SHIFT; }
    void fill_segment(uint64_t words_end);
    // Index of the first input whose word at byte offset o differs from input 0's, or count.
    uint64_t first_differing_input(uint64_t o) const;
    uint64_t next_disputed_offset(uint64_t from, uint64_t end) const;
};

template <typename Visit>
void word_scan::for_each_disputed_word(scan_method m, uint64_t words, Visit visit) {
    word_diffs& d = diffs;
    if (m == scan_method::masks) {
        uint64_t chunk[MASK_INPUTS];
        for (uint64_t c = 0; c * 64 < words; c++) {
            if (fetch_ahead && (c + 2) * 64 < words) prefetch_chunk(c + 2, words);
            uint64_t any = 0;
            for (uint64_t t = 1; t < count; t++) any |= chunk[t] = mask_chunk(t, c, words);
            while (any != 0) {
                const unsigned j = static_cast<unsigned>(__builtin_ctzll(any));
                const uint64_t w = c * 64 + j;
                any &= any - 1;
                // The blocks sit in the last-level cache at best: ask early for the next disputed
                // word of this chunk (for the byte vote, further ahead or across chunks measured no
                // better), unless fetch_ahead asks for the lines two chunks ahead already.
                if (any != 0 && !fetch_ahead) {
                    const uint64_t next = (c * 64 + static_cast<uint64_t>(__builtin_ctzll(any))) * 8;
                    for (uint64_t t = 0; t < count; t++) __builtin_prefetch(blocks[t] + next);
                }
                // Every input's word is taken and only the differing ones kept, without a branch
                // on which of them differ.
                d.n = 0;
                for (uint64_t t = 1; t < count; t++) {
                    d.input[d.n] = static_cast<uint16_t>(t);
                    d.word[d.n] = load_word(blocks[t] + w * 8);
                    d.n += (chunk[t] >> j) & 1;
                }
                visit(w, load_word(blocks[0] + w * 8), static_cast<const word_diffs&>(d));
            }
        }
        return;
    }
    if (m == scan_method::lists) {
        for (uint64_t l = 0; l < lists; l++) cursor[l] = first[l];
        for (seg_start = 0; seg_start < words; seg_start += SEGMENT_WORDS) {
            fill_segment(seg_start + SEGMENT_WORDS < words ? seg_start + SEGMENT_WORDS : words);
            for (uint64_t c = 0; c < SEGMENT_WORDS / 64; c++) {
                uint64_t bits = seg_disputed[c];
                while (bits != 0) {
                    const uint64_t local = c * 64 + static_cast<uint64_t>(__builtin_ctzll(bits));
                    bits &= bits - 1;
                    const uint32_t from = seg_first[local];
                    d.n = seg_first[local + 1] - from;
                    for (uint64_t e = 0; e < d.n; e++) {
                        d.input[e] = seg_input[from + e];
                        d.word[e] = seg_word[from + e];
                    }
                    const uint64_t w = seg_start + local;
                    visit(w, load_word(blocks[0] + w * 8), static_cast<const word_diffs&>(d));
                }
            }
        }
        return;
    }
    for (uint64_t o = next_disputed_offset(0, words * 8); o < words * 8;
         o = next_disputed_offset(o + 8, words * 8)) {
        const uint64_t w0 = load_word(blocks[0] + o);
        d.n = 0;
        for (uint64_t t = first_differing_input(o); t < count; t++) {
            const uint64_t word = load_word(blocks[t] + o);
            d.input[d.n] = static_cast<uint16_t>(t);
            d.word[d.n] = word;
            d.n += word != w0;
        }
        visit(o / 8, w0, static_cast<const word_diffs&>(d));
    }
}
