#pragma once
// A database response file of AccurateRip sums, as rippers cache them: one or more records, each
// a track count byte, three little-endian 32-bit disc ids, then per track a confidence byte, the
// track's sum and a second sum, both little-endian 32-bit. One record per pressing of the disc.

#include <cstdint>
#include <vector>

struct ar_entry {
    uint8_t confidence;  // how many submissions agreed on this sum
    uint32_t sum;        // the track's AccurateRip sum (v1 or v2)
};

struct ar_response {
    uint64_t records = 0;
    std::vector<ar_entry> entries;  // the wanted track's entry of every record that has it
};

// Parses the `n` bytes of a response file, keeping entry `track` (1-based) of every record.
// Returns 0, or -1 with `why` set to what is wrong (empty, cut short).
int parse_ar_response(const uint8_t* bytes, uint64_t n, uint32_t track, ar_response& response, const char** why);
