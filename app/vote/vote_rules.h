#pragma once
// The rules of the vote, in one place: what each position of a disputed word becomes.
//
// A position (a byte, or with the sample vote a 16-bit sample) is disputed when not all copies
// hold the same value there. It takes the value of the largest group of agreeing copies; between
// groups of equal size, the group holding the lowest input index wins, and the glyph is '#'.
// Every copy is credited with one hit for each other copy holding its value. Where no two copies
// agree, the value comes from the copy with the best hit score so far (the lowest index among
// equal scores), and the glyph is that copy's index and a dot.
//
// The sample vote first tests each copy's sample for being a drive's interpolation (within 1 of
// the floor mean of the copy's own neighbouring samples, both inside the block): such a copy is
// passed over with a ' ' glyph, runs no counting pass of its own and cannot make the position
// unanimous; the last input is never tested.
//
// A copy may be absent at some positions (base/absent.h): there it takes no part in the vote, as
// though the run had one input less. A position is disputed when the copies present there do not
// all hold the same value; the groups, hits and best-scored guess are those of the present copies.
// The sample screening still reads each present copy's neighbours as its block holds them.
//
// The word scan finds the disputed words; the block vote hands each one to vote_bytes or
// vote_samples (vote_bytes_absent or vote_samples_absent where some copy is absent in the word),
// which return the voted word.

#include <cstdint>

#include "base/globals.h"
#include "vote/glyphs.h"

// What the vote keeps over a run: the hit scores, the disputed-byte count and the glyph stream.
struct vote_tally {
    uint64_t count;                   // inputs, 1 to MAX_INPUTS
    uint64_t total_hits[MAX_INPUTS];  // each input's hit score, less `owed`
    uint64_t owed;                    // hits owed to every input alike, not yet in total_hits
    uint64_t pos_hits[MAX_INPUTS];    // scratch: each input's hits at the sample being voted
    uint64_t disputed_bytes;
    uint32_t value_count[256];  // scratch, kept zero between positions
    glyph_writer* glyphs;
};

// Clears the scores and the count for a run of `count` inputs.
void tally_start(vote_tally& t, uint64_t count, glyph_writer* glyphs);

// Adds the owed hits to every score, so that total_hits holds the hit scores.
void tally_settle(vote_tally& t);

// The input with the greatest score, the lowest index among equal scores: scores[i] + owed for
// inputs 0 to count - 1 (REQUIRES: count >= 1).
uint64_t best_scored(const uint64_t* scores, uint64_t count, uint64_t owed = 0);

// The input with the greatest hit score so far, the lowest index among equal scores.
inline uint64_t best_scored_input(const vote_tally& t) { return best_scored(t.total_hits, t.count, t.owed); }

// The words of a disputed word that differ from input 0's, in input order.
struct word_diffs {
    uint64_t n;
    uint16_t input[MAX_INPUTS];  // 1 to count - 1, ascending
    uint64_t word[MAX_INPUTS];
};

// What the vote decided at the positions of one word, for a map of the disputes.
struct word_notes {
    uint8_t disputed;     // bit b: byte b was counted as disputed
    uint8_t guessed;      // bit b: no two copies agreed; byte b came from the best-scored copy
    uint16_t holders[8];  // byte b, when disputed: copies that held the chosen value (sample votes:
                          // of the copies counted; where undisputed, of all copies taking part)
    uint8_t undisputed;   // bit b: -a only: the copies disagree at byte b, but the screening left
                          // the vote no dispute there (not counted as disputed, never guessed)
    uint8_t scored;       // bit b: --cd's model scored the groups at byte b (margin[b] holds)
    float margin[8];      // byte b, where scored: the chosen group's lead over the best other one
                          // in log-odds, the model's bias counted (below 0 where a rule kept it)
};

// Votes a disputed word by bytes: input 0 (and every input not in `d`) holds w0. Credits the
// hits, counts the disputed bytes, prints their glyphs and returns the voted word. With `notes`,
// also tells what was decided where. REQUIRES: d.n >= 1.
uint64_t vote_bytes(vote_tally& t, uint64_t w0, const word_diffs& d, word_notes* notes = nullptr);

// Votes the disputed word at byte offset `offset` of the blocks by 16-bit samples: input 0 (and
// every input not in `d`) holds w0 there. The screening reads neighbours from the blocks, which
// must hold what was read (readable up to block_len rounded up to 8). Returns the voted word.
// With `notes`, also tells what was decided where. REQUIRES: d.n >= 1.
uint64_t vote_samples(vote_tally& t, const uint8_t* const* blocks, uint64_t block_len, uint64_t offset,
                      uint64_t w0, const word_diffs& d, word_notes* notes = nullptr);

// vote_bytes and vote_samples for a word in which some copies are absent: bit b of absent[i] set
// when input i does not hold byte b of the word (a sample is absent when either of its bytes
// is). Inputs not in `d` hold w0. Input 0 may be absent; where no copy is present, the voted word
// keeps w0 there (base/absent.h fills input 0 with silence at such bytes).
uint64_t vote_bytes_absent(vote_tally& t, uint64_t w0, const word_diffs& d, const uint8_t* absent,
                           word_notes* notes = nullptr);
uint64_t vote_samples_absent(vote_tally& t, const uint8_t* const* blocks, uint64_t block_len, uint64_t offset,
                             uint64_t w0, const word_diffs& d, const uint8_t* absent,
                             word_notes* notes = nullptr);
