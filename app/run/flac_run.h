#pragma once
// The FLAC side of a run: the copies that are FLAC streams, decoded as the WAV files they stand
// for (audio/flac_source.h), what they lost, and an output written as FLAC (audio/flac_sink.h).
// With WAV copies only and an output whose name does not end in ".flac", none of this is used and
// the run is what it always was.

#include <cstdint>
#include <memory>

#include "audio/flac_sink.h"
#include "audio/flac_source.h"
#include "base/absent.h"
#include "base/globals.h"
#include "cli/run_options.h"
#include "g_file_io.h"

struct flac_run {
    bool active = false;      // a FLAC copy, or a FLAC output: digests cover audio only
    bool any_source = false;  // some copy is a FLAC stream
    std::unique_ptr<flac_source> source[MAX_INPUTS];  // null for the other copies
    std::unique_ptr<block_absence> absent;            // what the FLAC copies lost of the current block
    bool encoding = false;                            // the output is written as FLAC
    flac_sink sink;
    flac_sink_layout out_layout;
    // Each stream's audio window (input i at i + 1, the output at 0) and the bytes of it read.
    uint64_t audio_lo[MAX_INPUTS + 1];
    uint64_t audio_hi[MAX_INPUTS + 1];
    uint64_t offset[MAX_INPUTS + 1];
};

// True when `out_name` ends in ".flac" (any case): the output is then written as FLAC.
bool names_flac_output(const char* out_name);

// Before anything is opened: refuses --align with FLAC copies (it reads copies by position), and
// copies that flac_prepare would refuse. Returns 0, or -1 after an error line.
int flac_check_before_opening(const run_options& options, const name_row* names, uint64_t count,
                              const char* out_name);

// Once every input and the output are open, before the output is emptied or replaced: finds the
// FLAC copies, reads their metadata and checks that every copy holds the same audio format.
// Returns 0 (run.active false when FLAC has no part in the run), or -1 after an error line.
int flac_prepare(flac_run& run, g_file* h_files, const name_row* names, uint64_t count, const char* out_name);

// Once the output has been taken over: starts the decoding threads and the encoder (writing to
// `out_fd`). Returns 0, or -1 after an error line.
int flac_start(flac_run& run, const name_row* names, uint64_t count, int out_fd, const char* out_name,
               uint64_t block_size);

// The part of the next `n` bytes of stream `s` (input i at i + 1, the output at 0) that its
// digest covers, as an offset into those bytes and a length; advances the stream's offset.
void flac_digest_span(flac_run& run, uint64_t s, uint64_t n, uint64_t* from, uint64_t* len);

// One line for each FLAC copy that lost samples or whose audio misses its MD5.
void flac_print_losses(const flac_run& run, const name_row* names, uint64_t count);

// Ends the decoding threads and the encoder.
void flac_close(flac_run& run, uint64_t count);
