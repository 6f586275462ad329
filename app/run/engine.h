#pragma once
// The restoration engine: reads all inputs in lock-step block by block, votes every block into
// the output block, writes it, keeps the digests current, draws the progress line and prints
// the hit-score report at the end.

#include <cstdint>

#include "audio/align.h"
#include "audio/track_checksums.h"
#include "base/globals.h"
#include "g_file_io.h"
#include "g_linux_crypt.h"
#include "run/dispute_map.h"
#include "run/flac_run.h"
#include "run/length_plan.h"
#include "run/placement.h"
#include "run/run_record.h"
#include "vote/doubt_list.h"

const int64_t NOT_READ_AHEAD = -2;

// What the added switches ask of the engine beyond the classic vote; nothing when null.
struct engine_extras {
    dispute_map* map = nullptr;   // --map: every disputed word is handed to it
    bool cd = false;              // --cd: samples voted by the rule made for CD audio
    align_plan* align = nullptr;  // --align: every input's blocks are read through the plan
    // Input 0's first block when it was read before the loop (a stream checked for --cd before the
    // output was emptied): its length, already in the block, or -1 for a failed read (errno in
    // the handle's read_error).
    int64_t first_block_read = NOT_READ_AHEAD;
    // With --ar and the checks that need them: the output's audio is fed to these as it is
    // written (finish() is left to the caller).
    track_checksums* sums = nullptr;
    // A repair of the track may follow the vote: every disputed word is noted here.
    doubt_list* doubts = nullptr;
    // Called once the loop has ended and every digest job is done, before the report: the last
    // moment the output can still change what the report says of it. `io_failed`: a read or write
    // failed.
    void (*before_report)(void* context, bool io_failed) = nullptr;
    void* report_context = nullptr;
    // FLAC copies or a FLAC output: FLAC copies are read through their decoders, what they lost
    // is left out of the vote, digests cover audio only, and a FLAC output is encoded.
    flac_run* flac = nullptr;
    // The run's record: every input's hit score is left there; with a tally, the tally hears
    // every disputed word too.
    run_record* record = nullptr;
    verdict_tally* tally = nullptr;
    // An audio run: the output's length chosen from every copy's (the blocks are cut to it, a copy
    // that ends early is absent past its end), and the frames no copy holds counted.
    length_plan* lengths = nullptr;
    // An audio run without --align whose probe found misplaced copies: those are read from their
    // shifted place (run/placement.h).
    placement* placed = nullptr;
};

// What the block loop came to.
struct engine_result {
    uint64_t disputed = 0;   // disputed output bytes (also process's return value)
    bool io_failed = false;  // a read or write failed and ended the loop early
};

// Runs the whole restoration once. REQUIRES: 1 <= count <= MAX_INPUTS, every handle open, the
// blocks distinct and block_size bytes each, block_size a multiple of 8 and at most 2 MiB, crypt
// with count + 1 slots when enabled. `out_block` is not used: the voted block is left in input 0's
// block, which saves copying it. Leaves every file open. Returns the number of disputed output
// bytes; a failed read or write ends the loop and is reported by an error line. With `result`,
// the count and whether a read or write failed are left there too.
uint64_t process(uint64_t count, g_file* h_files, g_file& h_out, uint8_t* out_block, uint8_t** in_blocks,
                 uint64_t block_size, const name_row* names, const char* out_name, G_CRYPT& crypt,
                 const engine_extras* extras = nullptr, engine_result* result = nullptr);

// True when a read of the open `file` delivers a whole block unless the data end there (a regular
// file, a block device); false for a stream (a pipe, FIFO or terminal), read until full.
bool delivers_whole_blocks(const g_file& file);

// Reads a block of `size` bytes from a stream (a pipe, FIFO or terminal delivers less than a block
// per read although more will follow) until it is full or the stream ends. Returns the count, or
// -1 with errno in file.read_error.
int64_t read_stream_block(g_file& file, uint8_t* block, uint64_t size);

// Reads the time-stamp counter (or, off x86, a nanosecond clock).
uint64_t read_cycle_counter();
