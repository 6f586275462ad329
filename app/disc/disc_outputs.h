#pragma once
// Where a whole disc writes, checked before anything is written: OUTDIR and the map folder off the
// rip folders, and every file the tracks' runs write (each track's output, and its map in the map
// folder) off every file of the rip folders, off the response file, out of the rip folders and off
// each other. Files are compared by identity (device and inode, symbolic links followed), a file
// that does not exist yet by the absolute path at which it would be created.

#include <string>

#include "cli/disc_line.h"
#include "disc/disc_plan.h"

// Refuses an OUTDIR (or map folder) `dir` that is one of the rip folders or lies inside one.
// Returns 0 or -1 after a "copyvote: <what> <dir>: ..." line.
int check_out_dir(const disc_line& line, const std::string& dir, const char* what);

// Refuses the disc when a file that a voted track (one that two rips or more hold) would write
// is a file of a rip folder (whatever its kind), the response file, or a file another track writes,
// or leads into a rip folder (a symbolic link to a file there, or to a name there that does not
// exist yet). Returns 0 or -1 after a "copyvote: write ...: ...; nothing was written" line.
int check_disc_outputs(const disc_line& line, const disc_plan& plan);
