#pragma once
// --align for a copy whose read offset changes part way (a drive that drops or repeats frames):
// the copy's shift is found stretch by stretch over input 0's data, each change refined to the
// frame where it happens, and a stretch that cannot be placed convincingly is left out of the
// vote there (the copy is absent) instead of voting misplaced data.

#include <cstddef>
#include <cstdint>

#include "audio/align.h"

// Input 0's data are searched in stretches of this many frames (about 3 s of CD audio).
const uint64_t ALIGN_STRETCH_FRAMES = 3 * 44100;

// Fills c.segments from the stretch-by-stretch search of the copy `r` against input 0's data
// `r0` (frames of `unit` bytes); `whole` is the copy's search over the whole track, tried first
// on every stretch. REQUIRES: c.segment_count == 0.
void align_find_segments(const align_region& r0, const align_region& r, uint64_t unit,
                         const align_result& whole, align_copy& c);

// One line on standard error per segment of a copy that is shifted, changes its shift or cannot be
// placed ("[name] shifted by +N bytes (+F frames) from mm:ss.mmm", "[name] not placed from ...;
// it sits out the vote there", or one line for a copy placed nowhere); nothing for a copy that
// sits where input 0 is throughout.
void align_print_segments(const char* name, const align_plan& plan, const align_copy& c);

// How the lines tell shifts and places: whole frames of `unit` bytes at `rate` frames per second
// for WAV audio; 16-bit samples and byte offsets otherwise.
struct align_units {
    bool wav = true;
    uint64_t unit = 4;
    uint32_t rate = 44100;
};

// "shifted by +N bytes (+F frames)" (or "samples") into `out`.
void align_shift_text(const align_units& u, int64_t shift, char* out, size_t size);

// "[name] " on standard error, the name right-aligned as the status lines have it.
void align_put_name(const char* name);

// One line per segment of copy c, as align_print_segments prints those of a copy that changes its
// shift ("from" only when there are several).
void align_print_segment_lines(const char* name, const align_units& u, const align_copy& c);

// The segment of copy c that input 0's data offset q falls in.
const align_segment& align_segment_at(const align_copy& c, uint64_t q);
