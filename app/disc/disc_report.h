#pragma once
// What a whole disc leaves in OUTDIR besides its tracks: copyvote.log (text a person reads: the
// command, the disc's ids and the response file to fetch, a block per rip with the worst one
// named, a block per track, the places to listen to again, the summary), copyvote.json (the same
// for programs, as run/run_record.h writes records) and copyvote.svg (a picture of the damage).
// Each replaces an older one whole, and none is written by a disc that did not finish.

#include <string>
#include <vector>

#include "cli/disc_line.h"
#include "disc/disc_plan.h"
#include "run/run_record.h"

// The names of the three files in OUTDIR.
extern const char* const DISC_FILES[3];

// How one track of the disc came out.
struct disc_track_outcome {
    std::string kind;                  // "verified", "restored", "not verified", "left out" or "failed"
    bool voted = false;                // its run completed and its record was read
    track_record record;               // what its run came to (when voted)
    std::vector<input_record> inputs;  // its run's copies, in the order of the track's copies
};

// The disc's ids from the track lengths as "NNN-xxxxxxxx-xxxxxxxx-xxxxxxxx", or "" when a track
// is in no rip.
std::string disc_ids_text(const disc_plan& plan);

// "disc ids NNN-...; its AccurateRip response file is dBAR-NNN-....bin" (or why they are not
// known) on the program's standard output.
void print_disc_ids(const disc_plan& plan);

// The disc's record: its ids, a rip record per rip folder (over the tracks it took part in) and a
// track record per track (left out and failed tracks as "not verified" with a note).
run_record disc_record(const disc_line& line, const disc_plan& plan,
                       const std::vector<disc_track_outcome>& tracks, const std::string& command);

// The log's text; `summary` is the summary line the disc printed.
std::string disc_log(const run_record& record, const std::vector<disc_track_outcome>& tracks,
                     const disc_plan& plan, const std::string& summary, const std::string& date);

// The picture of the disc: a row per rip, a column per track.
std::string disc_picture(const run_record& record, const std::vector<disc_track_outcome>& tracks,
                         const disc_plan& plan);

// Writes the three files into OUTDIR, each through a temporary file put in place when written.
// Returns 0, or -1 after an error line (the files written so far stay, the rest keep their old
// content).
int write_disc_files(const disc_line& line, const std::string texts[3]);
