#pragma once
// The repair of a voted track that does not match what was expected: the doubtful frames are
// noted while the vote runs (every disputed word, as the map gets it), and when the finished
// track's checksums miss, the repair search picks the copies' values at some of them that make the
// track match, which are then written into the output.

#include <cstdint>
#include <string>
#include <vector>

#include "audio/ar_response.h"
#include "audio/repair_search.h"
#include "audio/track_checksums.h"
#include "cli/run_options.h"
#include "g_file_io.h"
#include "g_linux_crypt.h"
#include "run/dispute_map.h"
#include "vote/doubt_list.h"

// What the repair came to, for the line after the verdict.
struct repair_outcome {
    bool tried = false;                     // the track missed and the search ran
    bool found = false;                     // the output was changed and now matches everything expected
    bool refused = false;                   // a combination matched the sums but a digest refuted it
    bool overflowed = false;                // more words were disputed than noted for the search
    std::string not_tried;                  // why the search did not run, when it did not
    uint64_t doubtful = 0;                  // doubtful frames
    repair_result search;                   // what the search came to (its changes are written, not kept)
    std::vector<uint64_t> changed_offsets;  // output offsets of the frames changed
    uint64_t changed_samples = 0;
};

// Disputed words noted for a repair at most (about 12 MiB); a run with more notes the first ones.
const uint64_t MOST_DOUBTS = 1 << 17;

// The libgcrypt digests among the expected values, into `algos` (room for MAX_EXPECTED). Returns
// how many.
unsigned expected_digests(const run_options& options, int* algos);

// Everything the repair works on, owned by the run.
struct repair_job {
    const run_options* options;
    const ar_response* response;  // null without --accuraterip
    const doubt_list* doubts;
    track_checksums* sums;  // finished; replaced by the repaired output's when a repair holds
    g_file* output;
    G_CRYPT* crypt;    // the report's digests: the output's slot is fed again after a repair
    dispute_map* map;  // null, or the map, which gets one comment line per changed frame
    // The output's bytes its digest covers (with FLAC in the run, only the audio).
    uint64_t digest_lo = 0;
    uint64_t digest_hi = UINT64_MAX;
    // Where the output's descriptor stood in its file when the run began to write (-1: it has no
    // position, as a pipe): the repair writes frames by their offset from the start of the file.
    int64_t output_start = 0;
};

// Searches the doubtful frames for values that make the finished output match what was expected
// and, when one combination does, writes it into the output (which must be a regular file that the
// run wrote from its first byte, not in append mode), reads
// the output back to check every expected value, digests included, and keeps the change only when
// it holds. REQUIRES: the output not verified as it stands.
repair_outcome repair_output(repair_job& job);

// The line after the verdict: what was changed where, or why nothing was.
void print_repair(const char* out_name, const repair_outcome& outcome, const track_checksums& sums);

// That line's text after the name ("repaired: ..." or "not repaired: ...").
std::string repair_text(const repair_outcome& outcome, const track_checksums& sums);

// The target of the search from what the user expects; false when nothing expected is a
// checksum the search can use (AccurateRip or CRC32) or the sums do not apply.
bool repair_target_from(const run_options& options, const ar_response* response, const track_checksums& sums,
                        track_position pos, repair_target& target);
