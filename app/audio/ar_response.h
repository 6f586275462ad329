#pragma once
// A database response file of AccurateRip sums, as rippers cache them: one or more records, each
// a track count byte, three little-endian 32-bit disc ids, then per track a confidence byte, the
// track's sum and a second sum, both little-endian 32-bit. One record per pressing of the disc.

#include <cstdint>
#include <string>
#include <vector>

struct ar_entry {
    uint8_t confidence;  // how many submissions agreed on this sum
    uint32_t sum;        // the track's AccurateRip sum (v1 or v2)
};

// The ids a record is filed under: the disc's track count and three 32-bit ids.
struct ar_disc_ids {
    uint32_t tracks = 0;
    uint32_t id1 = 0, id2 = 0, id3 = 0;
};

struct ar_response {
    uint64_t records = 0;
    std::vector<ar_entry> entries;  // the wanted track's entry of every record that has it
    std::vector<ar_disc_ids> ids;   // every record's ids, in file order
};

// The ids of an audio disc whose tracks are `frames[k]` frames long (588 frames a sector, a
// partial sector counting whole): track k starts at sector o(k), o(1) = 0, o(k+1) = o(k) +
// length(k), the lead-out at o(M+1). id1 = sum of o(k) for k = 1..M+1; id2 = sum of max(o(k), 1)
// * k for k = 1..M+1; id3 = (sum over k = 1..M of the decimal digit sum of (o(k) + 150) / 75)
// mod 255 in the top byte, then (o(M+1) + 150) / 75 - (o(1) + 150) / 75 seconds shifted by 8,
// then M; all modulo 2^32. The 150 sectors are the lead-in every disc starts with.
ar_disc_ids disc_ids_from_lengths(const std::vector<uint64_t>& frames);

// "TT-XXXXXXXX-XXXXXXXX-XXXXXXXX": the track count (decimal, 3 digits) and the ids in hex.
std::string format_disc_ids(const ar_disc_ids& ids);

// Parses the `n` bytes of a response file, keeping entry `track` (1-based) of every record.
// Returns 0, or -1 with `why` set to what is wrong (empty, cut short).
int parse_ar_response(const uint8_t* bytes, uint64_t n, uint32_t track, ar_response& response,
                      const char** why);
