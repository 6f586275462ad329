#pragma once
// The restoration engine: reads all inputs in lock-step block by block, votes every block into
// the output block, writes it, keeps the digests current, draws the progress line and prints
// the hit-score report at the end.

#include <cstdint>

#include "audio/align.h"
#include "run/dispute_map.h"
#include "g_file_io.h"
#include "g_linux_crypt.h"
#include "base/globals.h"

// What the added switches ask of the engine beyond the classic vote; nothing when null.
struct engine_extras {
    dispute_map* map = nullptr;   // --map: every disputed word is handed to it
    bool cd = false;              // --cd: samples voted by the rule made for CD audio
    align_plan* align = nullptr;  // --align: every input's blocks are read through the plan
};

// What the block loop came to.
struct engine_result {
    uint64_t disputed = 0;    // disputed output bytes (also process's return value)
    bool io_failed = false;   // a read or write failed and ended the loop early
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

// Reads the time-stamp counter (or, off x86, a nanosecond clock).
uint64_t read_cycle_counter();
