#pragma once
// The fingerprints a drive's concealment leaves in a copy (vote/cd_vote.h tells them): whether
// a copy's samples over a run lie on the floor line between its own samples just outside, repeat
// the sample before, or are zero in every channel. The evidence stage asks the same questions of
// the agreed samples around a run to learn how common each fingerprint is there.

#include <cstdint>

#include "vote/cd/samples.h"
#include "vote/cd_vote.h"

// True when copy c's `frames` samples of one channel from p lie on the floor line from x0 (the
// sample before them) to x1 (the sample after). REQUIRES: the samples lie in the block.
inline bool cd_on_line(const cd_block& b, uint64_t c, uint64_t p, uint64_t frames, int32_t x0, int32_t x1) {
    const uint64_t step = cd_step(b);
    for (uint64_t k = 1; k <= frames; k++) {
        // |x1 - x0| * k stays below 2^20: 32 bits divide faster.
        const int32_t v =
            x0 + cd_floor_div32((x1 - x0) * static_cast<int32_t>(k), static_cast<int32_t>(frames + 1));
        if (cd_sample(b, c, p + (k - 1) * step) != v) return false;
    }
    return true;
}

// True when copy c's `frames` samples of one channel from p all equal x0.
inline bool cd_held(const cd_block& b, uint64_t c, uint64_t p, uint64_t frames, int32_t x0) {
    for (uint64_t k = 0; k < frames; k++) {
        if (cd_sample(b, c, p + k * cd_step(b)) != x0) return false;
    }
    return true;
}

// True when every channel of the `frames` frames from the one holding p is zero in copy c (and
// they all lie in the block's audio r).
bool cd_muted(const cd_block& b, const cd_audio& r, uint64_t c, uint64_t p, uint64_t frames);

// How many frames the stretch of frames that are zero in every channel of copy c and holds the
// run of `frames` samples at p spans, the run's own included, up to CD_MAX_RUN (the longest muting
// a drive makes). REQUIRES: the run's frames are muted in c.
uint64_t cd_mute_span(const cd_block& b, const cd_audio& r, uint64_t c, uint64_t p, uint64_t frames);

// The fingerprint of copy c over the run of `frames` samples at p, and in `len` the length at
// which its rarity is to be measured (a line may reach past the run). CD_PRINT_NONE where the
// samples just outside the run are not audio.
cd_print cd_fingerprint_in(const cd_block& b, const cd_audio& r, uint64_t c, uint64_t p, uint64_t frames,
                           uint64_t& len);

// cd_may_show_print's test of a sample v between the samples before and after it.
inline bool cd_may_be_print(int32_t before, int32_t v, int32_t after) {
    const int32_t bend = after - 2 * v + before;
    return v == 0 || v == before || (bend >= -1 && bend <= 1);
}

// False when copy c's sample at p can be part of no fingerprint (or its neighbours are not
// audio): on a floor line consecutive steps differ by at most 1, a held sample repeats the one
// before it, a muted one is 0. Most disputed samples are a lone copy's read error against a
// majority, which this clears at once.
inline bool cd_may_show_print(const cd_block& b, const cd_audio& r, uint64_t c, uint64_t p) {
    const uint64_t step = cd_step(b);
    if (p < step || !cd_is_audio(r, p - step) || !cd_is_audio(r, p + step)) return false;
    return cd_may_be_print(cd_sample(b, c, p - step), cd_sample(b, c, p), cd_sample(b, c, p + step));
}
