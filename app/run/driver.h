#pragma once
// The program driver's helpers: opening and closing the files, the block table, the output
// safety check and the statistics lines.

#include <cstdint>

#include "run/dispute_map.h"
#include "g_file_io.h"
#include "base/globals.h"

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

// Refuses, before anything is created, truncated or written, an output that is the same file
// as one of the inputs, or as standard error when that is not a terminal. Files are compared
// by identity (device and inode) where they exist, "-", "con" and "CON" standing for
// descriptor 0 as an input and descriptor 1 as the output; a missing output is compared by its
// absolute path with the inputs that are missing too. Only regular files, block devices and
// FIFOs count: a character device such as a terminal carries reading and writing apart.
// Prints an error line and returns -1 in that case, else 0.
int check_output_is_not_an_input(const char* out_name, const name_row* names, uint64_t count);

// Opens the map of --map for `map_name`, after refusing (with an error line like the one above)
// a map that is one of the inputs or the output, before anything is truncated; a map created here
// and then found to be one of them is removed again. A map on standard output ("-", "con", "CON")
// is refused when the output is there too. Returns 0, or -1 after an error line (g_file prints
// the one of a failed open).
int open_map(dispute_map& map, const char* map_name, const char* out_name, const name_row* names,
             uint64_t count);

// True when the output is standard output: by a standard-stream name, or by identity under any
// other name (/dev/stdout, a file that standard output is redirected to). The program's own
// standard-output text must then go elsewhere.
bool output_is_standard_output(const char* out_name);

// Empties the output once every input has opened, so that a run that stops earlier leaves an
// existing output as it was. Only a regular file opened by name is truncated: a standard stream,
// a FIFO or a device has nothing to truncate. Returns 0, or -1 after an error line.
int empty_output(g_file& output, const char* out_name);

// The two statistics lines after a run.
void print_statistics(uint64_t cycles, int64_t elapsed_ns, uint64_t disputed_bytes);

// Refuses -a together with --cd, which are two different sample votes: prints an error line and
// returns -1 then, else 0.
int check_cd_switches(bool cd, bool sample_mode);

// Refuses a first input that is a WAV file --cd cannot vote, before anything is opened: prints an
// error line and returns -1 then, else 0. The input is read into `scratch` (`size` bytes) when it
// is a regular file; a stream cannot be read twice and is checked by the engine at its first block.
int check_cd_first_input(const char* first_input, uint8_t* scratch, uint64_t size);
