#pragma once
// The vote of one block: a word scan that copies every 8-byte word on which all copies agree,
// and a vote of each disputed word by bytes, or by 16-bit samples with corrected-sample
// screening when AUDIOCD_IGNORE_CORRECTED is set.
//
// The scan compares every input with input 0 while the blocks are still in the caches (in the
// block loop, between the reads) and notes the words that differ; the vote then visits only
// those words.

#include <cstdint>

#include "cd_vote.h"
#include "glyphs.h"
#include "globals.h"

struct vote_state {
    uint64_t count;               // number of inputs, 1 to MAX_INPUTS
    uint8_t* const* in_blocks;    // count blocks; readable up to block_len rounded up to 8
    uint8_t* out_block;
    uint64_t block_len;           // bytes of the current block
    bool sample_mode;             // vote disputed words by 16-bit samples
    const cd_layout* cd;          // --cd: vote disputed words by cd_vote_word (null: off)
    uint64_t block_start;         // --cd: input 0's file offset of the block
    uint64_t total_hits[MAX_INPUTS];
    uint64_t pos_hits[MAX_INPUTS];
    uint64_t disputed_bytes;
    bool clean_block;             // no disputed word met yet in this block
    bool out_filled;              // out_block holds the voted block (see vote_block)
    glyph_writer* glyphs;
};

// Clears the hit scores and the disputed-byte count for a run of `count` inputs.
void vote_start(vote_state& s, uint64_t count, uint8_t* const* in_blocks, uint8_t* out_block, bool sample_mode,
                glyph_writer* glyphs);

// The block loop may compare each input with input 0 as soon as it has been read, while its
// block is still in the processor's caches: vote_begin_block before the block's first read, then
// vote_scan_input for inputs 1, 2, ... in this order, each over the first `len` bytes (the
// shortest length delivered so far; every block readable up to len rounded up to 8). vote_block
// uses that comparison when it covers every input and the whole block, and otherwise compares the
// copies itself. The comparison belongs to one vote_state and one block; vote_block consumes it.
void vote_begin_block(const vote_state& s);
void vote_scan_input(const vote_state& s, uint64_t i, uint64_t len);

// Votes the block of s.block_len bytes (REQUIRES: block_len > 0, every input block readable up to
// block_len rounded up to a multiple of 8). On return, if s.out_filled is false the block had no
// disputed word and input 0's block already holds the voted bytes; otherwise out_block holds them.
// The input blocks are left unchanged.
void vote_block(vote_state& s);

// vote_block for the block loop, which has no use for input 0's block after the vote: the voted
// words may be written into input 0's block itself, which saves copying it to out_block. On
// return, out_filled tells where the voted block is, as for vote_block.
void vote_block_in_place(vote_state& s);
