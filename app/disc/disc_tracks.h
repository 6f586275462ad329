#pragma once
// The tracks of a disc voted, each as a run of its own: its copies written (span files where they
// cross files), its command line, its run started and followed, its record read back and its lines
// printed. Two tracks' runs go on at once; their lines come in the order of the tracks.

#include <vector>

#include "disc/disc_state.h"

// Votes every track of the plan, cut where `s.cut_shift` says. Stops starting tracks once an
// ending signal is noted; those started are seen to their end. One result per track finished.
std::vector<track_result> vote_tracks(disc_state& s);
