#pragma once
// One restoring run, once the command line has been read: the checks made before anything is
// opened, then the files opened, the block loop run and timed, the statistics printed. Owns
// nothing beyond the call; the driver owns the memory block, the digest set and the timer.

#include <cstdint>

#include "audio/ar_response.h"
#include "audio/track_checksums.h"
#include "base/globals.h"
#include "cli/run_options.h"
#include "g_linux_crypt.h"
#include "g_mem.h"
#include "g_timer.h"
#include "run/dispute_map.h"
#include "run/flac_run.h"
#include "run/repair.h"
#include "run/run_record.h"

// What the run checks the output against, when its checksums are asked for.
struct run_checks {
    track_checksums sums;
    ar_response response;
    bool has_response = false;
    // For a repair when the output misses: the disputed words, noted while the vote runs.
    doubt_list doubts;
    bool repairable = false;  // an AccurateRip or CRC32 value is expected
    repair_outcome repair;
    // Filled when the block loop ends, for the hook that checks and repairs the output.
    const run_options* options = nullptr;
    g_file* output = nullptr;
    G_CRYPT* crypt = nullptr;
    dispute_map* map = nullptr;
    // The output's bytes its digest covers, for the repair's read-back.
    uint64_t digest_lo = 0;
    uint64_t digest_hi = UINT64_MAX;
    int64_t output_start = 0;  // the output descriptor's position when the block loop began
    // A FLAC output encoded once the checks are done: the voted audio waits in flac->voted, where
    // the repair works, and `encode_failed` tells that its encoding failed (after an error line).
    flac_run* flac = nullptr;
    const char* out_name = nullptr;
    bool encode_failed = false;
};
#include "run/replace.h"

// What a run came to.
struct run_result {
    int status = -1;         // 0; 1 when the output is complete but not verified; -1 (exit 255)
    bool processed = false;  // every file opened and the block loop ran
    uint64_t disputed = 0;   // disputed output bytes
    bool io_failed = false;  // a read or write failed during the block loop
    uint64_t cycles = 0;     // time-stamp-counter cycles of the block loop
    int64_t elapsed_ns = 0;  // its wall time
};

// Refuses, before anything is opened, what a run with these options cannot do: standard input
// named more than once, an output that is an input, -a with --cd, inputs that --align cannot read
// by position. Prints one error line and
// returns -1 then, else 0.
int check_before_opening(const run_options& options, const name_row* names, uint64_t count,
                         const char* out_name);

// Refuses a first input that is a WAV file --cd cannot vote, before anything is opened: prints an
// error line and returns -1 then, else 0. The input is read into `scratch` (`size` bytes) when it
// is a regular file; a stream cannot be read twice and is checked by the engine at its first block.
int check_cd_first_input(const char* first_input, uint8_t* scratch, uint64_t size);

// Prepares `checks` for the run: the checksums to compute and the response file of --accuraterip,
// read whole. Returns 0, or -1 after an error line.
int prepare_checks(run_checks& checks, const run_options& options);

// Opens the map of --map into `map`: refuses a map that is an input or the output, creates it
// when missing (an existing map is kept until every input is open), and notes in `kept` whether
// it was there. Returns 0, or -1 after an error line.
int open_map(dispute_map& map, result_file& kept, const run_options& options, const char* out_name,
             const name_row* names, uint64_t count);

// Opens the output and the inputs; once all are open, empties the output and the map or moves
// them onto temporary files that replace them only when the run succeeds (run/replace.h). Runs
// the block loop (handing the map, when not null, every disputed word, and `checks`, when not
// null, the output's audio) and prints the statistics, then the checksums and the verdict.
// REQUIRES: 3 <= count <= MAX_INPUTS, `mem` holding count + 1 blocks, the checks above passed,
// `map_kept` filled by open_map when `map` is not null. Frees the memory block, closes every file
// and then replaces the old result files or removes the temporary ones.
// `record`, when not null, is filled with what the run came to (its inputs, the track, the
// verdict) and, with --report, written as JSON once the run is complete.
run_result restore(G_MEM& mem, G_CRYPT& crypt, G_TIMER& timer, const name_row* names, uint64_t count,
                   const char* out_name, const run_options& options, dispute_map* map, result_file* map_kept,
                   run_checks* checks, run_record* record = nullptr);

// Points pointer i at base + (i + 1) * block_size for i < count (the block before them is spare:
// the vote writes the voted block into input 0's).
void assign_buffers(uint8_t* base, uint64_t block_size, uint64_t count, uint8_t** pointers);

// The two statistics lines after a run.
void print_statistics(uint64_t cycles, int64_t elapsed_ns, uint64_t disputed_bytes);
