#pragma once
// The disc's true offset from a response file. AccurateRip sums are of audio read at the drive's
// true offset, so when rips that share a drive offset are restored, the tracks cut where the
// reference's begin match nothing. The restored disc is then shifted as a whole within
// DISC_TRUE_SHIFT frames either way, every track's v1 and v2 computed for every shift in one pass
// (v1 and the exact sum of the products slide from shift to shift; v2, the products' low halves
// plus their high halves, is pinned down to a window of the track's length by that sum, and is
// computed in full only at the few shifts where that window holds an entry).
//
// A restored track often keeps a few wrong frames, so that it matches at no shift as it stands.
// Its run's record lists the frames it was least sure of and the other words the copies give them
// (run/run_record.h), and at every shift each of those words is tried too: a single change moves
// v1 by low32(index * (new - old)), one addition and one look-up; v2 is tried in full where the
// sum of the products puts it near an entry. Two changes are tried on v1 by a look-up of what the
// second must add, and count only when v2 matches as well (64 bits compared, not 32).
//
// A shift is taken when it verifies at least two tracks, no other shift verifies as many, and the
// chance that so many tracks match by accident at some shift, counted over every shift, entry and
// tried change compared, stays below DISC_SHIFT_CHANCE.

#include <cstdint>
#include <string>
#include <vector>

#include "disc/disc_align.h"
#include "disc/disc_stream.h"
#include "run/run_record.h"

// Five CD sectors: the offsets drives and pressings are known to have.
const int64_t DISC_TRUE_SHIFT = 2940;
const double DISC_SHIFT_CHANCE = 1e-6;

struct shift_verdict {
    bool found = false;
    int64_t offset = 0;   // N: the disc's frame p + N holds the reference's frame p
    size_t verified = 0;  // tracks verified at that offset
    size_t needed = 2;    // tracks a shift must verify for the bound on chance
    double chance = 0;    // the bound on an accidental match of `needed` tracks
};

// Looks for the offset at which the restored tracks (`outputs[k]`: track k's file, empty when
// none was written; each as long as the reference cuts it) verify against the response file's
// bytes, trying the other words of the frames `doubtful[k]` lists (track k's run's record; frames
// from the track's start; none when the list is shorter). Returns 0, or -1 with `why` set when an
// output or the response file cannot be read.
int find_true_offset(const disc_streams& streams, const disc_alignment& alignment,
                     const std::vector<std::string>& outputs,
                     const std::vector<std::vector<doubtful_frame>>& doubtful, const std::string& response,
                     shift_verdict& verdict, std::string& why);
