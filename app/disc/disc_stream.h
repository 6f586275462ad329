#pragma once
// Each rip of a disc read as the drive read it: its track files one after another as one stream
// of frames, a track it lacks a stretch it does not hold (as long as most rips make that track).
// Stretches of such a stream, and of the disc's restored tracks, are read into memory through a
// span (audio/audio_span.h), FLAC and WAV files alike, what is not held marked so.

#include <cstdint>
#include <string>
#include <vector>

#include "audio/audio_span.h"
#include "disc/disc_plan.h"

struct rip_stream {
    std::vector<int64_t> start;           // track k's first frame in the stream; start[M] its end
    std::vector<const track_copy*> file;  // track k's file, or null where the rip lacks it
};

struct disc_streams {
    bool cd_frames = false;  // every file holds 16-bit stereo: frames of 4 bytes, which can be aligned
    uint32_t rate = 44100;
    uint32_t channels = 2;
    std::vector<uint64_t> nominal;  // track k's frames as most rips give them (on a tie, the longer)
    std::vector<rip_stream> rips;
};

// Lays out every rip of `plan` (`rips` folders) as a stream.
void build_streams(const disc_plan& plan, size_t rips, disc_streams& streams);

// Frames of a file of the disc.
uint64_t file_frames(const track_copy& c);

// The pieces of rip r's stream [from, from + n): its files where it holds them, absent elsewhere
// (before the stream's start, past its end, a track it lacks).
void add_stream_pieces(const disc_streams& s, size_t r, int64_t from, uint64_t n, audio_span& span);

// A stretch read into memory: one word per frame (the left sample in the low half), and whether
// the stretch's source held it (a lost FLAC frame, a stretch not held: not).
struct frames_read {
    std::vector<uint32_t> words;
    std::vector<uint8_t> held;
};

// Reads the pieces of `span` (16-bit stereo). Returns 0, or -1 with `why` set (a file that cannot
// be read or holds another format).
int read_frames(const audio_span& span, frames_read& out, std::string& why);
