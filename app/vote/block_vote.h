#pragma once
// The vote of a run, block by block: the state the vote keeps between calls and the per-block
// driver. The word scan finds the disputed words; the rules (vote_rules.h) decide them; the voted
// words are then written into input 0's block, which becomes the output block.
//
// Use: start() once per run; per block, begin_block() before the first read, input_read() after
// each read of inputs 1, 2, ... (optional: vote() compares the copies itself when these are
// missing or out of order), then vote(). Nothing is allocated after start().

#include <cstdint>
#include <memory>

#include "base/absent.h"
#include "vote/cd_vote.h"
#include "vote/doubt_list.h"
#include "vote/glyphs.h"
#include "vote/vote_rules.h"
#include "vote/word_scan.h"
#include "vote/word_verdict.h"

struct block_vote {
    vote_tally tally;  // hit scores, disputed bytes, glyphs: read them after vote()
    word_scan scan;
    bool sample_mode;      // vote disputed words by 16-bit samples with screening
    bool three_by_words;   // three inputs by bytes: decide whole words at once (tests may clear it)
    verdict_listener map;  // empty, or who hears every disputed word (the map; set after start)
    doubt_list* doubts;    // null, or the list that notes every disputed word for a repair
    const cd_layout* cd;   // null, or --cd's sample layout: disputed words are voted by its rule
    uint64_t in0_start;    // with cd: input 0's file offset of the block (set before each vote)
    std::unique_ptr<cd_scratch> cd_tables;  // with cd: made by use_cd()
    uint64_t out_offset;                    // output bytes of the blocks voted so far
    // null, or the stretches each input's current block lacks (set after start, filled by the
    // reads): words that overlap one are voted among the copies present (vote_rules.h).
    const block_absence* absent;

    // The voted words that differ from input 0's, in word order, applied after the whole block
    // is voted: the screening of samples reads input 0's block as it was read.
    uint64_t patches;
    uint32_t patch_index[word_scan::WORDS];
    uint64_t patch_word[word_scan::WORDS];

    // Prepares a run of `count` inputs (1 to MAX_INPUTS) whose blocks are `blocks`, each readable
    // up to word_scan::SPAN bytes. `forced` picks the scan method (automatic outside tests).
    void start(uint64_t count, uint8_t* const* blocks, bool sample_mode, glyph_writer* glyphs,
               scan_method forced = scan_method::automatic);

    // Votes disputed words by --cd's rule, with `layout` (which must outlive the run).
    void use_cd(const cd_layout* layout) {
        cd = layout;
        cd_tables.reset(new cd_scratch());
    }

    void begin_block() { scan.begin_block(); }
    void input_read(uint64_t i, uint64_t len) { scan.input_read(i, len); }

    // Votes the first block_len bytes of the blocks. On return input 0's block holds the voted
    // bytes (up to block_len rounded up to 8; the other blocks are unchanged), the tally holds
    // the run's scores and count so far, and the block's glyphs are in the writer ("<\n" before
    // the first disputed word). Returns true when the block had a disputed word.
    // REQUIRES: 0 < block_len <= word_scan::SPAN; every block readable up to block_len rounded
    // up to 8, the bytes past what an input delivered zero.
    bool vote(uint64_t block_len);

  private:
    uint8_t* const* blocks_;
    uint64_t map_words_[MAX_INPUTS];
    uint64_t absent_inputs_;             // inputs with absent stretches in this block
    uint16_t absent_input_[MAX_INPUTS];  // which they are
    uint8_t absent_mask_[MAX_INPUTS];    // the current word's absent bytes of each input
    void gather_absent();
    const uint8_t* word_absence(uint64_t w);
    void note(uint64_t w, uint64_t voted, uint64_t w0) {
        patch_index[patches] = static_cast<uint32_t>(w);
        patch_word[patches] = voted;
        patches += voted != w0;
    }
    void vote_three(uint64_t words, uint64_t block_len, uint64_t block_start);
    void map_word(uint64_t w, uint64_t voted, const word_notes& notes, uint64_t block_len,
                  uint64_t block_start, const uint8_t* lacking = nullptr);
    void vote_noted(scan_method m, uint64_t words, uint64_t block_len, uint64_t block_start);
};
