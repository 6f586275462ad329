#pragma once
// What a whole-disc run reads back from one track's run: the figures of its map and the lines
// its report ends with (checksums, verdict, repair).

#include <cstdint>
#include <string>
#include <vector>

struct track_figures {
    uint64_t disputed_samples = 0;        // 16-bit samples of the audio holding a disputed byte
    uint64_t guessed_samples = 0;         // of them, those where no two copies agreed
    uint64_t disputed_bytes = 0;          // the map's total, the header's bytes included
    std::vector<std::string> guessed_at;  // the audio times of the runs with guessed bytes
    bool has_sums = false;                // the run printed its AccurateRip and CRC32 line
    std::string crc32;                    // hex, when has_sums
    bool has_verdict = false;             // the run printed a verdict line
    std::string verdict;                  // its text after "verified: " or "not verified: "
    int confidence = -1;                  // the AccurateRip confidence matched, -1: none
    std::string repair;                   // "repaired: ..." or "not repaired: ...", or empty
    std::string unheld;                   // "N frames held by no copy (first at mm:ss.mmm)", or empty
};

// Takes the runs of a map (as --map writes it) into `f`. `audio_offset` is where the audio
// starts in the voted data; `byte_vote` tells that guessed counts are bytes, of which a sample
// holds up to two (-a and --cd count two per guessed sample already).
void read_map_figures(const std::string& map, uint64_t audio_offset, bool byte_vote, track_figures& f);

// Takes the checksum, verdict and repair lines of a run's standard output into `f`.
void read_report_figures(const std::string& out, track_figures& f);

// Takes the line of a run's standard error that tells of frames no copy holds into `f`.
void read_error_figures(const std::string& err, track_figures& f);
