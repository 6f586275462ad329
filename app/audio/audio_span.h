#pragma once
// A stretch of audio made of pieces of several files: the frames a rip holds of one track of a
// disc, read as the drive read them, where they cross into the neighbouring tracks' files, and
// what the rip does not hold at all. A whole-disc run writes one as a small text file (a span
// file) that a track's run takes as a copy: flac_source reads it as the WAV stream it stands
// for, the stretches the rip does not hold marked absent.
//
// The file: the line "copyvote span 1", then "rate R", "channels C", optionally "tags N:PATH"
// (the FLAC file whose tags a FLAC output takes), then one line per piece in order: "file FIRST
// FRAMES N:PATH" (FRAMES frames of PATH's audio from its frame FIRST, 0-based) or "absent
// FRAMES". A path is given by its length in bytes, so that it may hold any byte.

#include <cstdint>
#include <string>
#include <vector>

// The line a span file starts with, newline included.
extern const char SPAN_SIGNATURE[];
const uint64_t SPAN_SIGNATURE_SIZE = 16;

struct span_piece {
    std::string path;     // a WAV or FLAC file; empty: frames the rip does not hold
    uint64_t first = 0;   // its first frame (0-based) in the file's audio
    uint64_t frames = 0;  // frames of the stream it gives
};

struct audio_span {
    uint32_t rate = 44100;
    uint32_t channels = 2;
    std::string tags_from;  // a FLAC file whose Vorbis comments and pictures go with the audio
    std::vector<span_piece> pieces;

    // Frames of the whole stretch.
    uint64_t frames() const;
    // Appends a piece, joining it to the last one when it continues it.
    void add(const std::string& path, uint64_t first, uint64_t frames);
    void add_absent(uint64_t frames) { add("", 0, frames); }
};

// True when the first `n` bytes start with the span signature.
bool has_span_signature(const uint8_t* bytes, uint64_t n);

// The text of a span file.
std::string span_text(const audio_span& span);

// Parses the text of a span file. Returns 0, or -1 with `why` set.
int parse_span_text(const std::string& text, audio_span& span, const char** why);
