#pragma once
// The command line: input names (plain or wildcard), -o, -a, -b and the digest switches.

#include <cstdint>

#include "added_switches.h"
#include "g_linux_crypt.h"
#include "globals.h"

// Parses argv into the name table, the count and the output name, sets the global switches and,
// when a digest switch is present, initialises `crypt` with count + 1 slots.
// Returns 0 when 3 to MAX_INPUTS names were collected. Returns -1 with count 0 when fewer were,
// and -1 with the count kept when the default output name cannot be formed (an error line has
// then been printed).
// With `added`, the added switches (and the value of one that takes a value) are taken into it
// instead of being read as names; without it every argument keeps its classic meaning.
int init_file_list(name_row* names, uint64_t& count, char* out_name, int argc, char** argv, G_CRYPT& crypt,
                   added_switches* added = nullptr);

// The output name that init_file_list will use when argv names one with -o, else null; with
// `added`, also the added switches that init_file_list will take. Lets the driver know before
// anything is printed whether the data or the map go to standard output, or whether only help
// or the version was asked for. A switch's value is never read as a switch itself.
const char* find_output_argument(int argc, char** argv, added_switches* added = nullptr);
