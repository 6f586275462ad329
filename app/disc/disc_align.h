#pragma once
// Every rip's read offset, found on the disc as one stream. A rip has offset N against the
// reference when its frame p + N holds the reference's frame p; the reference is the alignment
// most rips share (on a tie, the one of the earliest rip), and the disc's tracks are cut where the
// reference's tracks begin. Windows of one rip (the anchor: the first rip that places most others)
// are sought in every other rip's stream, a few on every track; a rip's offset is the shift most
// windows find, confirmed on two tracks at least; where later windows find another shift, the
// offset changes there (a drive that dropped or repeated frames), the place of the change found
// to the frame as --align finds it, and a stretch that cannot be placed is left out.

#include <cstdint>
#include <string>
#include <vector>

#include "cli/disc_line.h"
#include "disc/disc_stream.h"

// Offsets are sought within this many frames either way: two drives at the far ends of the
// offsets drives have (five CD sectors each way) lie this far apart.
const int64_t DISC_MAX_SHIFT = 2 * 2940;

// From reference frame `from` on (the first segment from the start), the rip's frame p + shift
// holds the reference's frame p; where `placed` is false the rip holds nothing known there.
struct rip_segment {
    int64_t from = 0;
    int64_t shift = 0;
    bool placed = true;
};

struct rip_alignment {
    bool placed = false;    // false: no convincing offset; the rip sits out
    bool measured = false;  // false: the disc had nothing to measure by; taken as 0
    std::vector<rip_segment> segments;
};

struct disc_alignment {
    size_t reference = 0;       // the rip whose tracks' starts are the cuts
    std::vector<size_t> group;  // the rips that share its alignment, in order
    std::vector<rip_alignment> rips;
    std::vector<int64_t> cut;  // track k's first frame in the reference's stream; cut[M] its end
};

// Finds every rip's offset. Returns 0, or -1 with `why` set when a file could not be read.
int align_disc(const disc_streams& streams, disc_alignment& alignment, std::string& why);

// Every rip taken where it lies (offset 0): for a disc whose audio is not 16-bit stereo.
void align_in_place(const disc_streams& streams, disc_alignment& alignment);

// The line of rip r: "rip5: read offset -420 frames against the reference (rip1 rip2 rip4)", or
// "rip5: no convincing offset: it sits out".
std::string alignment_line(const disc_line& line, const disc_streams& streams, const disc_alignment& a,
                           size_t r);

// The span of rip r for track k (0-based), cut `cut_shift` frames later than the reference's
// cuts: the frames of its stream that hold the reference's frames, absent where it holds none.
// `held` gets the frames it holds.
audio_span track_span(const disc_streams& streams, const disc_alignment& a, size_t r, size_t k,
                      int64_t cut_shift, uint64_t& held);
