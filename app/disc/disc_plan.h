#pragma once
// Which files of the rip folders are copies of which track: the pairing of a whole-disc run, and
// the checks that refuse a disc before anything is written.

#include <cstdint>
#include <string>
#include <vector>

#include "audio/track_file.h"
#include "cli/disc_line.h"

struct track_copy {
    size_t rip = 0;    // index of its rip folder on the command line
    std::string path;  // folder/name
    track_file_info info;
};

struct disc_track {
    uint32_t number = 0;             // 1-based position on the disc
    std::string name;                // the output's name: the file name of copies[named]
    std::vector<track_copy> copies;  // in rip order
    size_t named = 0;                // the copy that names the track and gives a FLAC output its tags
};

struct disc_plan {
    bool by_number = true;           // paired by track numbers; else by identical names
    bool main_flac = false;          // the disc's main format (the one most rips use; FLAC on a tie)
    std::vector<disc_track> tracks;  // tracks 1 to M, a track found in no rip with no copies
};

// Lists and pairs the rips. Returns 0, or -1 after a "copyvote: ..." line: a folder named twice
// (by identity), a folder that does not exist or holds no WAV or FLAC file, two files of one rip
// with one track number, a name the track's run would take for a pattern, two copies of a track
// that are one file. Every track is named by its copy in the first rip that holds it in the
// disc's main format (the first rip that holds it when none does): a track that rip 1 lacks never
// comes out as an untagged WAV file among FLAC ones.
int plan_disc(const disc_line& line, disc_plan& plan);
