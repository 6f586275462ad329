#pragma once
// The lines after the statistics that say whether the restored track is right: its checksums,
// then the verdict against what the user expected (--expect, --accuraterip).

#include "audio/ar_response.h"
#include "audio/track_checksums.h"
#include "cli/run_options.h"
#include "run/run_record.h"

// "[<name>] AccurateRip v1 <hex> v2 <hex>, CRC32 <hex>" on the program's standard output, or the
// line saying that they do not apply to this audio. REQUIRES: sums finished.
void print_checksums(const char* out_name, const track_checksums& sums);

// True when the output matches every --expect value and, with a response file, one of its
// entries (as v1 or v2). Nothing expected: true.
bool verified(const run_options& options, const track_checksums& sums, const ar_response* response);

// "[<name>] verified: ..." or "[<name>] not verified: ...", naming what matched and what did
// not. Prints nothing when nothing was expected.
void print_verdict(const char* out_name, const run_options& options, const track_checksums& sums,
                   const ar_response* response);

// The checksums and the verdict into the run's record of the track: the sums where they apply,
// "verified", "not verified" or "unchecked" (nothing expected) with the verdict line's text as the
// note, and the confidence and index of the best matching entry of a response file.
void record_verdict(track_record& t, const run_options& options, const track_checksums& sums,
                    const ar_response* response);
