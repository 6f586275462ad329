#pragma once
// Where each copy's audio lies, in an audio run without --align. Before the vote every copy is
// probed against the others (audio/align_probe.h): a copy that disagrees with the alignment most
// copies share at over a quarter of the probed samples is searched as --align searches
// (audio/align.h, audio/align_segments.h) against that alignment's first copy, the reference. A
// line on standard error says what was found; the copy is then read from its shifted place, or
// sits out the vote (absent) wherever it has none, and the map and the run's record note it.
// Every other copy is read as it always is, and a run whose copies all agree reads nothing but
// the probe's few windows more.
//
// Positions are those of the voted stream (the FLAC layout in runs with FLAC copies, else input
// 0's): only the audio moves; the header and anything after the audio stay where every copy has
// them. A shift N counts in the audio, as --align's does: the copy's audio byte q + N holds the
// reference's byte q, and the reference sits where the vote expects it.

#include <cstdint>
#include <memory>
#include <vector>

#include "audio/align.h"
#include "audio/align_segments.h"
#include "audio/flac_window.h"
#include "base/absent.h"
#include "base/globals.h"
#include "cli/run_options.h"
#include "g_file_io.h"
#include "run/dispute_map.h"
#include "run/flac_run.h"
#include "run/length_plan.h"

struct placed_copy {
    bool moved = false;  // read from its shifted place through placement_read
    align_copy where;    // its segments, in the reference's audio offsets
    align_region audio;  // where its audio is read by position (fd -1: not yet)
    int flags = -1;      // its descriptor's flags before the probe (direct I/O is off for reads by position)
    std::unique_ptr<flac_window> window;  // a FLAC copy's windows, for the probe
    flac_decoded decoded;                 // a FLAC copy decoded whole, for the search and the shifted reads
};

struct placement {
    uint64_t count = 0;
    uint64_t audio_lo = 0;   // voted stream offset of the audio's first byte
    uint64_t audio_len = 0;  // bytes of the output's audio
    align_units units;       // frames of the voted audio, for the lines
    bool any_moved = false;
    std::unique_ptr<placed_copy[]> copy;
    std::vector<absent_range> held;  // what the copy being read holds of its block
};

// True for a run whose copies are probed: an audio run (run/length_plan.h) without --align whose
// inputs can all be read by position (regular files, block devices). REQUIRES: every input open.
bool placement_wanted(const run_options& options, g_file* files, uint64_t count);

// Probes every copy, searches the suspects and prints a line for each copy found misplaced:
// "[name] misplaced: shifted by N bytes (F frames); voted aligned", "[name] misplaced and no
// shift found: it sits out", or, for a copy whose shift changes part way, "[name] misplaced: its
// shift changes part way; voted aligned where it is placed" and --align's line for each segment.
// Does nothing unless `lengths` chose the output's length. REQUIRES: every input open, `flac`
// prepared, nothing read yet. Returns 0, or -1 after an error line (a FLAC copy that cannot be
// decoded for the search, "copyvote: decode <name>: <reason>").
int place_copies(placement& p, g_file* files, const name_row* names, uint64_t count, const flac_run& flac,
                 const length_plan& lengths, const char* out_name);

// True when input i is read from its shifted place.
inline bool placement_moves(const placement* p, uint64_t i) { return p && p->any_moved && p->copy[i].moved; }

// Input i's block of the voted stream [block_start, block_start + len), read as usual into `block`
// (`got` bytes), gets the copy's audio from its shifted place; what it lacks there is marked
// absent in `absent` (cleared first for input i) and, for i > 0, takes `block0`'s bytes. Returns
// `len`, or -1 with errno set when a read failed.
int64_t placement_read(placement& p, uint64_t i, uint8_t* block, uint64_t got, uint64_t block_start,
                       uint64_t len, const uint8_t* block0, block_absence& absent);

// "# shift <input> <output offset> <shift in bytes | not placed>" in the map for each segment of
// every copy that was found misplaced.
void placement_note_map(const placement& p, dispute_map& map);

// "# shift <input> <output offset> <shift in bytes | not placed>" for each of copy `c`'s
// segments, whose offsets count from the audio's start at output offset `audio_lo`.
void note_copy_segments(dispute_map& map, uint64_t input, const align_copy& c, uint64_t audio_lo);
