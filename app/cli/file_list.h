#pragma once
// The command line: input names (plain or wildcard), -o, -a, -b and the digest switches.

#include <cstdint>

#include "base/globals.h"
#include "cli/run_options.h"
#include "g_linux_crypt.h"

// init_file_list's result when a name does not fit in a row of NAME_SIZE bytes (an input name,
// a wildcard match, the -o name or the default output name): the run is refused with the
// error line that has been printed, before anything is opened.
const int LIST_REFUSED = -2;

// The parse itself: fills the name table, the count and the output name, and `options` with the
// switches found (added switches only when `take_added`; otherwise they are names like any other
// argument). Sets no global and touches no digest set; prints the skip messages and the error
// line of a name that is too long unless `quiet`. Returns 0 when 3 to MAX_INPUTS names were
// collected, -1 with count 0 when fewer were, and LIST_REFUSED (with the count of the names stored
// so far) when a name is too long.
int parse_command_line(name_row* names, uint64_t& count, char* out_name, int argc, char** argv,
                       run_options& options, bool take_added, bool quiet);

// The classic entry: parse_command_line, then the classic switches applied to the process-wide
// globals and, when a digest switch is present and the list is valid, `crypt` initialised with
// count + 1 slots. Returns what the parse returned. With `options`, the added switches are taken
// into it (the classic ones too) instead of being read as names.
int init_file_list(name_row* names, uint64_t& count, char* out_name, int argc, char** argv, G_CRYPT& crypt,
                   run_options* options = nullptr);

// A silent parse, so that the driver knows before its first line of text what the run asks for
// and where the output will be: `options` gets every switch, `out_name` the output name that
// init_file_list will use (empty when it will use none). Returns 0, or LIST_REFUSED when
// init_file_list will refuse a name. `names` is overwritten; no global is set.
int preview_output_name(name_row* names, char* out_name, int argc, char** argv, run_options& options);
