#pragma once
// --cd: a vote of 16-bit samples made for CD audio.
//
// A CD drive that cannot read a sample conceals it: it writes the mean of the same channel's
// previous and next sample instead. When several rips of one disc are concealed at the same
// place, the plain vote keeps the concealed value because most copies hold it. --cd votes each
// sample like the byte vote (the largest group of agreeing copies wins), except where every copy
// of that group holds a value that looks concealed and another group does not: then the other
// group wins if at least two copies hold it, or if its one copy lies within CD_LONE_DISTANCE of
// the concealed value. A lone value further away is more likely a read error of its own than the
// true sample, so it never beats a majority.
//
// A sample looks concealed when it lies within 1 of the floor mean of its own copy's samples one
// frame before and one frame after it (2 x channels bytes away), read as signed 16-bit values. The
// test is made only where both of those neighbours lie inside the block being voted and inside the
// audio data: the first and last frame of every block and of the data chunk are never taken for
// concealed, so the vote never looks into another block.

#include <cstdint>

#include "glyphs.h"

// How far (in sample values) a lone copy's value may lie from a concealed-looking majority's and
// still overrule it.
const int32_t CD_LONE_DISTANCE = 48;

// Printed instead of "#" or "<index>." for a sample where a concealed majority was overruled.
const char CD_OVERRULED_GLYPH = '~';

// Where the samples of the copies lie. Offsets are offsets in input 0's file.
struct cd_layout {
    uint64_t channels = 2;               // samples per frame
    uint64_t data_begin = 0;             // first byte of the audio data
    uint64_t data_end = UINT64_MAX;      // one past its last byte
};

// Reads the layout from the first `n` bytes of input 0. A WAV file gives its channel count and
// data chunk (a chunk size of 0 or 0xFFFFFFFF, as streaming writers leave it, means "to the end");
// anything else is taken as raw 16-bit stereo from offset 0. Returns 0, or -1 (layout untouched)
// when the bytes begin a WAV file whose samples are not 16-bit integers or whose data chunk
// starts at an odd offset: those cannot be voted as CD samples.
int cd_layout_from_header(const uint8_t* bytes, uint64_t n, cd_layout& layout);

// Prints the error line for a first input that cd_layout_from_header refused, naming it.
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

enum cd_outcome {
    CD_MAJORITY,     // the largest group of agreeing copies won ("#")
    CD_BEST_SCORED,  // no two copies agree: the best-scored copy won ("<index>.")
    CD_OVERRULED     // a concealed-looking majority was overruled (CD_OVERRULED_GLYPH)
};

struct cd_decision {
    uint64_t winner;  // index of the copy whose value is taken
    cd_outcome outcome;
};

// The rule at one disputed sample of `count` copies (1 <= count <= 384). Fills hits[i] with the
// number of other copies that hold copy i's value, except that copies of an overruled group score
// 0. `total_hits` are the scores so far, which pick the copy where no two agree (the lowest index
// among equal scores); it is not changed.
cd_decision cd_decide(const cd_sample* copies, uint64_t count, const uint64_t* total_hits, uint64_t* hits);

// What the word vote reads: the copies' blocks and where the current block lies in the file.
struct cd_block {
    const uint8_t* const* in_blocks;  // count blocks, readable up to block_len rounded up to 8
    uint64_t count;
    uint64_t block_len;
    uint64_t block_start;             // input 0's file offset of the block's first byte
    const cd_layout* layout;
};

// Votes the 8-byte word at offset w (a multiple of 8) sample by sample and returns the voted word.
// Every disputed sample adds 2 to disputed_bytes, adds its hits to total_hits and prints "#",
// "<index>." or CD_OVERRULED_GLYPH; samples on which all copies agree are taken silently.
uint64_t cd_vote_word(const cd_block& b, uint64_t w, uint64_t* total_hits, uint64_t* pos_hits,
                      uint64_t& disputed_bytes, glyph_writer& glyphs);
