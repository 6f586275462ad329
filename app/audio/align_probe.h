#pragma once
// The probe before the vote of an audio run without --align: a copy whose audio lies elsewhere
// than the others' (a drive with another read offset, another recording) would be voted sample
// against unrelated sample. Every copy is read at the same few windows of the audio, spread over
// it as --align spreads its probes; windows of digital silence and other near-constant stretches
// are left out, for they agree at every shift. The alignment most copies share is the
// reference, and a copy that disagrees with it at over a quarter of the samples both hold is a
// suspect, for --align's shift search (audio/align.h) to place.

#include <cstdint>
#include <vector>

#include "audio/align.h"

// A copy agrees with the reference when at least this share of the probed samples agree.
const double PROBE_AGREE = 0.75;

// The same windows of every copy's audio.
struct align_probe_set {
    uint64_t unit = 4;                    // bytes of one frame: windows start on whole frames
    uint64_t window = 0;                  // bytes of each window
    uint64_t count = 0;                   // windows, up to ALIGN_MAX_PROBES
    uint64_t pos[ALIGN_MAX_PROBES] = {};  // audio offset of each window
    uint64_t copies = 0;
    std::vector<uint8_t> bytes;   // copy i's window k at (i * count + k) * window
    std::vector<uint8_t> usable;  // 1 when copy i's window k was read whole and tells shifts apart

    uint8_t* window_of(uint64_t i, uint64_t k) { return &bytes[(i * count + k) * window]; }
    const uint8_t* window_of(uint64_t i, uint64_t k) const { return &bytes[(i * count + k) * window]; }
};

// Places up to ALIGN_MAX_PROBES windows of ALIGN_PROBE_BYTES (fewer, and smaller, in short
// audio) evenly over `audio_len` bytes of audio, for `copies` copies; none when the audio is
// shorter than a window of 64 bytes.
void align_probe_place(align_probe_set& s, uint64_t copies, uint64_t audio_len, uint64_t unit);

// Notes what copy i's window k got: `got` bytes read into window_of(i, k) (-1: a failed read).
void align_probe_note(align_probe_set& s, uint64_t i, uint64_t k, int64_t got);

struct align_probe_verdict {
    bool decided = false;    // at least two copies share an alignment: a reference was found
    uint64_t reference = 0;  // the first copy of the alignment most copies share (on a tie, the earliest)
    uint64_t sharing = 0;    // copies that share it
    std::vector<uint8_t> suspect;  // 1: disagrees with the reference at over a quarter of the samples
    std::vector<double> agree;     // each copy's share of samples that agree with the reference
};

// Groups the copies by agreement (PROBE_AGREE of the samples that both hold in usable windows,
// two windows' worth at least) and judges each against the largest group's first copy. A copy
// that shares too few usable windows with the reference is no suspect.
align_probe_verdict align_probe_judge(const align_probe_set& s);
