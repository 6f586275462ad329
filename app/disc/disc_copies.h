#pragma once
// The copies a track's run gets: every placed rip that holds at least half of the track, read
// from its true place. A rip whose frames of the track are exactly its own file of the track is
// handed over as that file; any other (read at another offset, crossing into a neighbouring
// track's file, lacking part of the track) as a span file (audio/audio_span.h) written in OUTDIR
// for the run and removed after it. The rip that names the track comes first: a FLAC output
// takes its tags from the first copy.

#include <cstdint>
#include <string>
#include <vector>

#include "cli/disc_line.h"
#include "disc/disc_align.h"
#include "disc/disc_plan.h"
#include "disc/disc_stream.h"

struct voted_copy {
    size_t rip = 0;
    std::string path;      // the rip's file, or the span file written for it
    bool scratch = false;  // a span file, to be removed after the run
};

// Where track k (0-based) is cut: `cut_shift` frames later than the reference's tracks begin.
struct track_cut {
    size_t track = 0;
    int64_t cut_shift = 0;
};

// Fills `copies` for the track. Returns 0, or the errno value of a span file that could not be
// written (those written are removed then).
int track_copies(const disc_line& line, const disc_plan& plan, const disc_streams& streams,
                 const disc_alignment& alignment, track_cut cut, std::vector<voted_copy>& copies);

// Removes the span files among `copies`.
void remove_scratch_copies(const std::vector<voted_copy>& copies);
