#pragma once
// How long the output of an audio run is, and what each copy holds of it. An audio run is one
// with FLAC copies, --cd, --align, --ar, --track or --accuraterip (a --disc track's run is one);
// --expect alone is not, for it also serves disk images.
//
// In an audio run a copy that is empty or ends early does not cut the output short: each copy's
// audio is measured in frames (one sample of every channel: a WAV file's block alignment, 4 bytes
// for raw CD audio) before the block loop, the output takes the frame count most copies have (on
// a tie, the larger), and a copy that ends earlier is absent past its end (base/absent.h), as
// --align treats a copy that ends early. Where a copy's length cannot be known before it is read
// (standard input, a pipe), and outside audio runs, the output ends with the shortest copy.
//
// The plan also counts, as the blocks are voted, the frames that no copy holds: the silence
// written there restores nothing, so the run says so and fails unless a checksum verifies it.

#include <cstdint>
#include <memory>

#include "audio/align.h"
#include "base/absent.h"
#include "base/globals.h"
#include "cli/run_options.h"
#include "g_file_io.h"
#include "run/flac_run.h"
#include "run/run_record.h"

// What a copy holds, in the layout the run votes.
struct copy_extent {
    uint64_t frames = 0;  // whole frames of its audio
    uint64_t bytes = 0;   // bytes of its voted stream (or, with --align, of its data)
};

// The frame count most of the `count` extents have, on a tie the larger; and among the extents
// with that count, the byte length most have, on a tie the smaller: bytes beyond the audio (a
// part of a frame, a chunk after the data) that no majority holds are left out, as the shortest
// copy leaves them out. REQUIRES: count >= 1.
copy_extent choose_length(const copy_extent* copies, uint64_t count);

// The words that follow the count of frames no copy holds, in the line that tells it and in the
// whole-disc run that reads that line back.
const char UNHELD_TEXT[] = " held by no copy (first at ";

struct length_plan {
    bool audio = false;      // an audio run
    bool cuts = false;       // every copy's length is known: the output's is chosen below
    uint64_t out_bytes = 0;  // bytes of the voted stream
    uint64_t out_frames = 0;
    copy_extent copy[MAX_INPUTS];
    // Where the frames lie in the voted stream, for their count and times.
    uint64_t audio_lo = 0;
    uint64_t frame_bytes = 4;
    uint32_t rate = 44100;
    // The absent stretches of a run in which neither its FLAC copies nor --align keep a list.
    std::unique_ptr<block_absence> own_absence;
    // Frames no copy holds, counted as the blocks are voted.
    uint64_t unheld = 0;
    uint64_t first_unheld = 0;        // frame index of the first
    uint64_t unheld_to = 0;           // one past the last frame counted
    verdict_tally* places = nullptr;  // null, or the tally that lists each unheld stretch as a place
};

// True for an audio run (above); `any_flac_copy`: some copy is a FLAC stream.
bool is_audio_run(const run_options& options, bool any_flac_copy);

// Once every input is open and `flac` (and `align`, with --align) prepared, before anything is
// read: measures every copy and chooses the output's length, which it hands to `flac` and
// `align`. Leaves plan.audio false outside audio runs.
void plan_lengths(length_plan& plan, const run_options& options, g_file* files, uint64_t count,
                  flac_run& flac, align_plan* align);

// Counts the frames of the voted stream's stretch [lo, hi) that no copy holds.
void note_unheld(length_plan& plan, uint64_t lo, uint64_t hi);

// "[name] ends N frames before the others, at mm:ss.mmm" on the program's standard output for
// every copy whose audio is shorter than the output's.
void print_short_copies(const length_plan& plan, const name_row* names, uint64_t count);

// "[out] N frames held by no copy (first at mm:ss.mmm)" on standard error, when there are any.
void print_unheld(const length_plan& plan, const char* out_name);
