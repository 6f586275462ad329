#pragma once
// --cd: a vote of 16-bit samples made for CD audio.
//
// A CD drive that cannot read a stretch conceals it, and leaves a fingerprint in that copy:
//  - mute: every channel of the run's frames is zero (tested first);
//  - line: 1 to 8 samples of one channel lie exactly on the floor line drawn between the copy's
//    own samples just outside them (one sample: the floor mean of its neighbours); the stretch
//    may reach past the disputed run, over samples where the line happens to meet the genuine
//    audio;
//  - hold: 1 to 4 samples of one channel repeat the sample before them.
// When several rips conceal the same place they agree, and the plain vote keeps the concealed
// value. But genuine audio shows the same fingerprints too, in quiet and smooth passages and in
// digital silence, so a fingerprint alone proves nothing. Its evidence is how rare it is in the
// genuine audio at that place: among the samples all copies agree on around it (a narrow window
// of CD_NARROW_FRAMES frames each way, pulled toward a wide one of CD_WIDE_FRAMES), the share r
// of places where the same test at the same run length passes.
//
// Consecutive disputed samples of one channel that the copies split into the same groups are
// one run, decided at once (up to CD_MAX_RUN frames). Each group of agreeing copies gets a score,
// the log-odds that it holds the genuine samples, from what is known of it (vote/cd/features.h
// lists the features, vote/cd/cd_weights.h their weights):
//  - its fingerprint, its rarity ln r, its copies and how many ways that many copies could be
//    chosen among those voting (drives that conceal a place tend to do so in several copies);
//  - how plausible its samples are as the recording: their distances from the floor mean and
//    from the cubic prediction of their neighbours (and of the samples just outside the run),
//    in units of the agreed samples' mean distances, taken both as the log of the distance (a
//    heavy tail: real audio has transients) and as a Laplace density with a floor;
//  - whether its samples differ from the other group's in both bytes (a single wrong byte, the
//    commonest read error, changes one), and, for a lone copy, how many bytes near the run it
//    holds differently from the rest (a copy inside a burst of read errors; bytes where the
//    commonest value lies in a muted frame do not count);
//  - how this rip's drives conceal: of the groups of two or more copies outvoted so far, the share
//    that showed a line or a hold, and the share that showed the group's own fingerprint (of the
//    lone copies outvoted so far, for a lone copy): a fingerprint this rip's drives never leave
//    is more likely the genuine audio's;
//  - for a muted group, how many frames its stretch of zeros spans and how rare as long a
//    silence is in the agreed audio around;
//  - in stereo, how well the other channel predicts the group's samples: the distance of the
//    side signal (this channel less the other, where every copy holds the other alike) from its
//    line across the run, in units of the agreed side signal's, and whether the agreed channels
//    around move as one (a mono recording), where any such distance gives a group away.
// The weights are those of a logistic model fitted on the disputed runs of the tune set of
// scripts/audio_eval.sh and adjusted on its wrong bytes (its check set, other recordings and
// other damage, measures the result); `make cd-fit` makes them again (vote/cd/model.h).
// The byte vote's choice (the largest group; where no two agree, the best-scored copy) stands
// unless another group's score plus the model's bias exceeds its own, i.e. unless the odds favour
// that group. Three rules hold whatever the scores, for a group of CD_STANDING_COPIES or more copies:
// it stands where it shows no fingerprint; a lone copy or a smaller muted group does not beat it
// while the rip has shown next to no concealment shared by several copies (CD_SHARED_LEAST), as
// with drives that mute rather than interpolate; and a smaller muted group does not beat it where
// the recording around is seldom silent (CD_SILENCE_RARITY).
//
// Only the audio is voted by samples: the WAV header and whatever lies outside the data chunk
// are voted as bytes, as the byte vote does. Where a run lies less than two samples inside the
// block or the data chunk, the byte vote's result stands: the vote never looks into another
// block.
//
// The stages live in vote/cd/: fingerprints, evidence (the window of agreed samples), features
// and model (the scores), decide (a run's groups and the decision) and word_vote (this header's
// word vote and layout).

#include <cstdint>

#include "base/globals.h"
#include "vote/glyphs.h"
#include "vote/vote_rules.h"

// The windows of agreed samples that measure how common a fingerprint is, in frames each way.
const uint64_t CD_NARROW_FRAMES = 48;
const uint64_t CD_WIDE_FRAMES = 64;
// How many narrow-window trials the wide window's share counts for.
const double CD_PULL = 24;
// The longest run decided at once, in frames (the longest muting a drive makes).
const uint64_t CD_MAX_RUN = 32;
const uint64_t CD_MAX_LINE = 8;
const uint64_t CD_MAX_HOLD = 4;

// A group of this many copies or more that shows no fingerprint is never overruled.
const uint64_t CD_STANDING_COPIES = 3;
// A muted group may beat a larger group of CD_STANDING_COPIES or more only where at least e^-3
// (5 %) of the agreed frames around it are silent.
const double CD_SILENCE_RARITY = -3;
// A lone copy or a muted group may beat a group of CD_STANDING_COPIES or more only while 5 % or
// more of the groups of two or more copies outvoted so far showed a line or a hold.
const double CD_SHARED_LEAST = 0.05;

// Printed instead of "#" or "<index>." for a sample where the byte vote's result was overruled.
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

enum cd_outcome {
    CD_MAJORITY,     // the largest group of agreeing copies won ("#")
    CD_BEST_SCORED,  // no two copies agree: the best-scored copy won ("<index>.")
    CD_OVERRULED     // the byte vote's result was overruled (CD_OVERRULED_GLYPH)
};

enum cd_print { CD_PRINT_NONE, CD_PRINT_LINE, CD_PRINT_HOLD, CD_PRINT_MUTE };

// What the rule decided for a run of samples.
struct cd_run_decision {
    uint64_t winner;  // input whose samples are taken
    cd_outcome outcome;
    uint64_t loser;       // with CD_OVERRULED: an input of the group overruled (its copies score 0)
    uint64_t frames;      // samples of the channel the decision covers (1 to CD_MAX_RUN); 1 where the
                          // byte vote's majority shows no fingerprint, which each sample finds alone
    bool scored = false;  // the model scored the groups: `margin` is the winner's lead (cd_lead)
    float margin = 0;
};

struct cd_model;     // vote/cd/model.h
struct cd_observer;  // vote/cd/decide.h

// The rule's scratch tables and what it keeps over a run: large, so made once per run.
// REQUIRES: zero-filled when first used (value-initialise it); the rule leaves the value tables
// as it found them.
struct cd_scratch {
    const cd_model* model;        // the weights voted with; null: the fitted ones (CD_MODEL)
    cd_observer* observer;        // null, or told of every run scored (`make cd-fit` dumps them)
    uint16_t first_plus1[65536];  // for many copies: 1 + the first copy holding each value
    uint16_t who[MAX_INPUTS];     // the copies taking part
    uint16_t label[MAX_INPUTS];   // per copy: the first copy holding its value (a group)
    uint16_t run_label[MAX_INPUTS];
    uint16_t size[MAX_INPUTS];    // per copy: how many copies hold its value
    uint64_t totals[MAX_INPUTS];  // the copies' scores, in the order of `who`
    uint64_t hits[MAX_INPUTS];
    double score[MAX_INPUTS];    // per group, at its first copy
    uint16_t noise[MAX_INPUTS];  // per copy: bytes near the run where it holds a minority's value
    uint16_t byte_count[256];    // for many copies: how many hold each byte value (kept zero)
    uint8_t print[MAX_INPUTS];   // per group, at its first copy: its cd_print
    double rarity[MAX_INPUTS];   // per group, at its first copy: ln of its fingerprint's share
    // How this rip's drives conceal: of the groups of two or more copies outvoted so far, how
    // many showed a line or a hold (the same concealment in several copies).
    uint64_t outvoted_groups;
    uint64_t outvoted_prints;
    uint64_t outvoted_group_prints[4];  // ... and how many showed each cd_print
    // Of the lone copies outvoted so far in runs the rule scored, how many showed each cd_print.
    uint64_t outvoted_lone;
    uint64_t outvoted_lone_prints[4];
    // Each copy's own habit, by the copy's index: how often it was outvoted where it was counted
    // above (alone or in a group), and how often it showed each cd_print then.
    uint32_t copy_outvoted[MAX_INPUTS];
    uint32_t copy_outvoted_prints[MAX_INPUTS][4];
    uint8_t agreed[2 * CD_WIDE_FRAMES + 2 * CD_MAX_RUN + 8];
    uint8_t frame_agreed[2 * CD_WIDE_FRAMES + 2 * CD_MAX_RUN + 8];
    uint8_t partner_agreed[2 * CD_WIDE_FRAMES + 2 * CD_MAX_RUN + 8];  // the other channel's sample
    // Runs decided ahead: the later samples of a run, by file offset / 2 modulo CACHE. A run spans
    // at most CD_MAX_RUN frames of up to CACHE / CD_MAX_RUN channels, so the samples still ahead
    // never share a slot.
    static const uint64_t CACHE = 1024;
    uint64_t ahead_at[CACHE];  // 1 + the file offset the slot holds, 0 when empty
    uint64_t ahead_until;      // 1 + the last file offset any slot was filled for
    uint16_t ahead_winner[CACHE];
    uint16_t ahead_loser[CACHE];
    uint8_t ahead_outcome[CACHE];
    float ahead_margin[CACHE];  // the run's cd_run_decision::margin; NaN where it was not scored
};

struct cd_block;  // below

// Which fingerprint copy `c` shows over the `frames` samples of one channel from block offset p
// (the run's own samples and the ones just outside it must lie in the block's audio), or
// CD_PRINT_NONE. A run that passes several tests is called by the first of line, hold, mute.
cd_print cd_fingerprint(const cd_block& b, uint64_t c, uint64_t p, uint64_t frames);

// Decides the run of disputed samples starting at block offset p among the `n` copies sc.who
// (their scores so far in sc.totals), extending it over the following samples of the channel
// when `extend`. Fills sc.hits (in the order of who) for the first sample.
cd_run_decision cd_decide_run(const cd_block& b, uint64_t p, uint64_t n, bool extend, cd_scratch& sc);

// What the word vote reads: the copies' blocks and where the current block lies in the file.
struct cd_block {
    const uint8_t* const* in_blocks;  // count blocks, readable up to block_len rounded up to 8
    uint64_t count;
    uint64_t block_len;
    uint64_t block_start;  // input 0's file offset of the block's first byte
    const cd_layout* layout;
};

// Votes the 8-byte word at offset w (a multiple of 8) and returns the voted word: its audio sample
// by sample, the rest byte by byte. Every disputed sample adds 2 to disputed_bytes (a disputed
// byte outside the audio 1), adds its hits to total_hits and prints "#", "<index>." or
// CD_OVERRULED_GLYPH; positions on which all copies agree are taken silently.
// With `notes`, also tells what was decided where (see vote_rules.h). With `absent` (bit b of
// absent[i]: input i does not hold byte b of the word), each sample is voted among the copies
// that hold it, as vote_rules.h says of absent copies. With `diffs` (the inputs whose word differs
// from input 0's, as the scan found them), the commonest dispute, one copy against all the others,
// is settled without grouping the copies where the rule cannot overrule the others.
uint64_t cd_vote_word(const cd_block& b, uint64_t w, uint64_t* total_hits, uint64_t* pos_hits,
                      uint64_t& disputed_bytes, glyph_writer& glyphs, cd_scratch& scratch,
                      word_notes* notes = nullptr, const uint8_t* absent = nullptr,
                      const word_diffs* diffs = nullptr);
