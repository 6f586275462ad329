#pragma once
// Everything a command line asks of a run besides its names: the classic switches as parsed
// (which the classic code reads through the process-wide globals, set from here in one place) and
// the switches copyvote added. Each added switch is recognised only by its exact name; every other
// argument keeps its classic meaning, so a command line without them behaves as before.

#include <cstdint>

#include "audio/track_checksums.h"
#include "base/coding.h"

// A checksum of the output's audio that it must match (--expect KIND:HEX).
struct expected_sum {
    char kind[8];       // arv1, arv2, crc32, md2, md4, md5, sha1, sha256, sha384 or sha512
    int algo;           // the libgcrypt digest of a digest kind; 0 for the others
    uint8_t value[64];  // the expected bytes (a 32-bit sum: its value most significant byte first)
    unsigned length;    // bytes in `value`

    // The value of a 32-bit sum (arv1, arv2, crc32).
    uint32_t sum32() const { return load_be32(value); }
};

const unsigned MAX_EXPECTED = 16;

struct run_options {
    // Classic switches.
    bool sample_vote = false;  // -a: vote 16-bit samples with corrected-sample screening
    bool direct_io = false;    // -b: open the inputs with O_DIRECT
    uint32_t digest_alg = 0;   // the last digest switch's libgcrypt algorithm; 0: no digest

    // Added switches.
    const char* map_name = nullptr;      // --map FILE: where the copies disagreed, as a table
    bool map_missing_name = false;       // --map was the last argument
    const char* report_name = nullptr;   // --report FILE: the run's record as JSON
    const char* picture_name = nullptr;  // --picture FILE: a picture of the damage as SVG
    bool help = false;                   // --help
    bool version = false;                // --version
    bool align = false;                  // --align: find each copy's read offset and vote aligned
    bool cd = false;                     // --cd: the sample vote made for CD audio
    bool disc = false;                   // --disc: the names are rip folders of a whole disc

    // Checksums of the restored audio and what they must match.
    bool ar = false;                      // --ar: print AccurateRip v1, v2 and CRC32
    track_position track;                 // --track N/M; 0/0 when not given
    expected_sum expected[MAX_EXPECTED];  // --expect KIND:HEX, in the order given
    unsigned expected_count = 0;
    const char* response_name = nullptr;  // --accuraterip FILE: a database response file
    // The first switch whose value could not be taken, and that value (null: it was the last
    // argument); refused with a clear error before anything is opened.
    const char* bad_switch = nullptr;
    const char* bad_value = nullptr;

    // The name of the vote the options select, as the map's comment line gives it.
    const char* vote_name() const;

    // True when the output's checksums are to be computed and printed.
    bool wants_checksums() const { return ar || expected_count > 0 || response_name; }
};

// Takes argv[i] into `options` if it is an added switch (consuming argv[i + 1] for one that takes
// a value, by advancing i). Returns false for every other argument.
bool take_added_switch(run_options& options, int argc, char** argv, int& i);

// Refuses a switch whose value could not be taken, two --expect values of one kind that differ
// (no output could match both) and --accuraterip without --track: prints one "copyvote: ..." line
// and returns -1 then, else 0.
int check_switch_values(const run_options& options);

// Sets the process-wide switches that the classic vote and the input opening read
// (AUDIOCD_IGNORE_CORRECTED, DW_READ_FLAGS) from the parsed classic switches. Only sets: a switch
// that is off leaves its global as it was.
void apply_classic_switches(const run_options& options);
