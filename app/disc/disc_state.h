#pragma once
// The state of a whole-disc run that its stages share: how each track came out, and what the run
// knows of the disc while it votes it.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/disc_line.h"
#include "disc/disc_align.h"
#include "disc/disc_plan.h"
#include "disc/disc_stream.h"
#include "g_console.h"
#include "run/run_record.h"

enum track_kind { VERIFIED, RESTORED, NOT_VERIFIED, LEFT_OUT, FAILED };

struct track_result {
    track_kind kind = LEFT_OUT;
    size_t copies = 0;
    track_record figures;              // what the track's run came to, read back from its report
    std::vector<input_record> inputs;  // its copies as its run saw them
    uint64_t channels = 2;
};

struct disc_state {
    const disc_line& line;
    disc_plan& plan;
    bool progress;             // standard error is a terminal
    uint64_t total_bytes = 0;  // audio of the tracks that are voted
    uint64_t done_bytes = 0;   // of the tracks finished
    disc_streams streams;      // every rip as one stream
    disc_alignment alignment;  // every rip's offset, the cuts
    int64_t cut_shift = 0;     // the tracks are cut this many frames later than the reference's
    std::string response;      // the response file's bytes
};

// "1 sample", "3 samples".
inline std::string samples(uint64_t n) { return std::to_string(n) + (n == 1 ? " sample" : " samples"); }

// The rips are read as streams and the tracks cut at the reference's places: every disc of 16-bit
// stereo audio. Other audio is voted file by file, as the rips hold it.
inline bool aligned(const disc_state& s) { return s.streams.cd_frames; }

// The bytes of the track's audio that its run votes.
inline uint64_t track_bytes(const disc_state& s, const disc_track& t) {
    if (!aligned(s)) return t.copies.empty() ? 0 : t.copies[0].info.audio_bytes;
    const size_t k = t.number - 1;
    return static_cast<uint64_t>(s.alignment.cut[k + 1] - s.alignment.cut[k]) * 4;
}

inline std::string position(const disc_state& s, const disc_track& t) {
    return std::to_string(t.number) + "/" + std::to_string(s.plan.tracks.size());
}

inline FILE* out() { return con_out(); }
