#pragma once
// The command line: input names (plain or wildcard), -o, -a, -b and the digest switches.

#include <cstdint>

#include "cli/run_options.h"
#include "g_linux_crypt.h"
#include "base/globals.h"

// init_file_list's result when a name does not fit in a row of NAME_SIZE bytes (an input name,
// a wildcard match, the -o name or the default output name): the run is refused with the
// error line that has been printed, before anything is opened.
const int LIST_REFUSED = -2;

// Parses argv into the name table, the count and the output name, sets the global switches and,
// when a digest switch is present, initialises `crypt` with count + 1 slots.
// Returns 0 when 3 to MAX_INPUTS names were collected, -1 with count 0 when fewer were, and
// LIST_REFUSED (with the count of the names stored so far) when a name is too long.
// With `added`, the added switches (and the value of one that takes a value) are taken into it
// instead of being read as names; without it every argument keeps its classic meaning.
int init_file_list(name_row* names, uint64_t& count, char* out_name, int argc, char** argv, G_CRYPT& crypt,
                   added_switches* added = nullptr);

// The same parse without printing anything or touching a digest set, so that the driver knows
// before its first line of text where the output will be. Leaves in `out_name` the output
// name that init_file_list will use (empty when it will use none) and returns 0, or
// LIST_REFUSED when init_file_list will refuse a name. `names` is overwritten.
int preview_output_name(name_row* names, char* out_name, int argc, char** argv, added_switches* added);
