#pragma once
// The program driver's helpers: opening and closing the files, the block table, the output
// safety check and the statistics lines.

#include <cstdint>

#include "g_file_io.h"
#include "globals.h"

// Points pointer i at base + (i + 1) * block_size for i < count: block 0 is the output block.
void assign_buffers(uint8_t* base, uint64_t block_size, uint64_t count, uint8_t** pointers);

// Writes "[<name right-aligned in 24 columns>] OK|FAIL" on standard error. 0 when open, else -1.
int print_file_open_status(g_file* file, const char* name);

// Opens the inputs in order with a status line each, stopping at the first that fails (-1).
// When all are open, writes an empty line on standard error and returns 0.
int openFiles(g_file* files, const name_row* names, uint64_t count);

// openFiles without the empty line, for a caller that has more to say about the inputs first.
int open_inputs(g_file* files, const name_row* names, uint64_t count);

// Closes the output, then inputs 0 to count - 1.
void close_files(uint64_t count, g_file* files, g_file& output);

// Refuses an output that is one of the inputs (same file), which opening it would truncate.
// Prints an error line and returns -1 in that case, else 0.
int check_output_is_not_an_input(const char* out_name, const name_row* names, uint64_t count);

// The two statistics lines after a run.
void print_statistics(uint64_t cycles, int64_t elapsed_ns, uint64_t disputed_bytes);
