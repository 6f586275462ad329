#pragma once
// --cd: a vote of 16-bit samples made for CD audio.
//
// A CD drive that cannot read a sample conceals it: it writes the floor mean of the same channel's
// previous and next sample instead. When several rips of one disc are concealed at the same
// place, the plain vote keeps the concealed value because most copies hold it. --cd votes each
// sample like the byte vote (the largest group of agreeing copies wins; where no two agree, the
// best-scored copy), except where every copy of the winning group looks concealed. Then another
// group overrules it when its value looks genuine and lies close enough:
//  - two or more copies: within CD_PAIR_DISTANCE (a pair further off is a shared misread);
//  - one copy: within CD_LONE_DISTANCE of a concealed group of at most two copies, within
//    CD_LONE_DISTANCE_MANY of a larger one. A lone read error is far more likely than the same
//    sample concealed in all copies but one, so the further a lone value lies and the more
//    copies it stands against, the less it counts.
// Between such groups the largest wins, then the one nearer to the concealed value, then the one
// holding the lowest index.
//
// A sample looks concealed when it lies within 1 of the floor mean of its own copy's samples one
// frame before and one frame after it (2 x channels bytes away), read as signed 16-bit values;
// it looks genuine otherwise. One exception: where every copy of the winning group holds exactly
// the floor mean, a value 1 away from it that is not its own copy's exact floor mean also looks
// genuine. In quiet passages the true sample is often 1 away from the mean that replaced it.
//
// The test is made only where both neighbours lie inside the block being voted and inside the
// audio data: the first and last frame of every block and of the data chunk never look concealed
// (and never overrule), so the vote never looks into another block.

#include <cstdint>

#include "base/globals.h"
#include "vote/glyphs.h"
#include "vote/vote_rules.h"

// How far (in sample values) an overruling value may lie from the concealed one. Measured with
// scripts/audio_eval.sh: a lone value without a limit, or within 16 of a group of any size,
// left more wrong bytes than the byte vote on 5 and 7 copies.
const int32_t CD_PAIR_DISTANCE = 2048;
const int32_t CD_LONE_DISTANCE = 48;
const int32_t CD_LONE_DISTANCE_MANY = 4;

// Printed instead of "#" or "<index>." for a sample where a concealed majority was overruled.
const char CD_OVERRULED_GLYPH = '~';

// Where the samples of the copies lie. Offsets are offsets in input 0's file.
struct cd_layout {
    uint64_t channels = 2;           // samples per frame
    uint64_t data_begin = 0;         // first byte of the audio data
    uint64_t data_end = UINT64_MAX;  // one past its last byte
};

// Reads the layout from the first `n` bytes of input 0. A WAV file gives its channel count and
// data chunk (a chunk size of 0 or 0xFFFFFFFF, as streaming writers leave it, means "to the end");
// anything else is taken as raw 16-bit stereo from offset 0. Returns 0, or -1 (layout untouched)
// when the bytes begin a WAV file whose samples are not 16-bit integers or whose data chunk
// starts at an odd offset: those cannot be voted as CD samples.
int cd_layout_from_header(const uint8_t* bytes, uint64_t n, cd_layout& layout);

// Prints the "copyvote: vote --cd <name>: ..." line for a first input that cd_layout_from_header
// refused, saying why.
void cd_print_refusal(const char* name, const uint8_t* bytes, uint64_t n);

// One copy's sample at the position being voted, with its copy's same-channel neighbours.
struct cd_sample {
    int16_t value;
    int16_t prev;
    int16_t next;
    bool has_neighbours;  // false: the sample is never taken for concealed
};

// True when the sample lies within 1 of the floor mean of its neighbours (and has both).
bool cd_looks_concealed(const cd_sample& s);

// True when the sample is exactly the floor mean of its neighbours (and has both).
bool cd_is_exact_mean(const cd_sample& s);

enum cd_outcome {
    CD_MAJORITY,     // the largest group of agreeing copies won ("#")
    CD_BEST_SCORED,  // no two copies agree: the best-scored copy won ("<index>.")
    CD_OVERRULED     // a concealed-looking majority was overruled (CD_OVERRULED_GLYPH)
};

struct cd_decision {
    uint64_t winner;  // index of the copy whose value is taken
    cd_outcome outcome;
};

// The rule's scratch tables: large, so made once per run. REQUIRES: zero-filled when first used
// (value-initialise it); the rule leaves them as it found them.
struct cd_scratch {
    uint16_t group[65536];         // copies holding each sample value, for many copies
    uint16_t plain[65536];         // those of them whose value does not look concealed
    bool group_plain[MAX_INPUTS];  // whether some copy holding copy i's value looks genuine
    cd_sample samples[MAX_INPUTS];
    // Where some copies are absent: the present ones, their scores and their hits.
    uint16_t present[MAX_INPUTS];
    uint64_t present_totals[MAX_INPUTS];
    uint64_t present_hits[MAX_INPUTS];
};

// The rule at one disputed sample of `count` copies (1 <= count <= 384). Fills hits[i] with the
// number of other copies that hold copy i's value, except that copies of an overruled group score
// 0. `total_hits` are the scores so far, which pick the copy where no two agree (the lowest index
// among equal scores); it is not changed.
cd_decision cd_decide(const cd_sample* copies, uint64_t count, const uint64_t* total_hits, uint64_t* hits,
                      cd_scratch& scratch);

// What the word vote reads: the copies' blocks and where the current block lies in the file.
struct cd_block {
    const uint8_t* const* in_blocks;  // count blocks, readable up to block_len rounded up to 8
    uint64_t count;
    uint64_t block_len;
    uint64_t block_start;  // input 0's file offset of the block's first byte
    const cd_layout* layout;
};

// Votes the 8-byte word at offset w (a multiple of 8) sample by sample and returns the voted word.
// Every disputed sample adds 2 to disputed_bytes, adds its hits to total_hits and prints "#",
// "<index>." or CD_OVERRULED_GLYPH; samples on which all copies agree are taken silently.
// With `notes`, also tells what was decided where (see vote_rules.h). With `absent` (bit b of
// absent[i]: input i does not hold byte b of the word), each sample is voted among the copies
// that hold it, as vote_rules.h says of absent copies.
uint64_t cd_vote_word(const cd_block& b, uint64_t w, uint64_t* total_hits, uint64_t* pos_hits,
                      uint64_t& disputed_bytes, glyph_writer& glyphs, cd_scratch& scratch,
                      word_notes* notes = nullptr, const uint8_t* absent = nullptr);
