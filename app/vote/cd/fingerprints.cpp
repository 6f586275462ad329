#include "vote/cd/fingerprints.h"

bool cd_muted(const cd_block& b, const cd_audio& r, uint64_t c, uint64_t p, uint64_t frames) {
    const uint64_t from = cd_frame_start(b, p), to = from + frames * cd_step(b);
    if (from < r.lo || to > r.hi) return false;
    for (uint64_t q = from; q < to; q++) {
        if (b.in_blocks[c][q] != 0) return false;
    }
    return true;
}

uint64_t cd_mute_span(const cd_block& b, const cd_audio& r, uint64_t c, uint64_t p, uint64_t frames) {
    const uint64_t step = cd_step(b);
    uint64_t span = frames, back = 0, on = 0;
    bool before = true, after = true;  // the stretch may still reach further that way
    while (span < CD_MAX_RUN && (before || after)) {
        if (before) {
            before = p >= (back + 1) * step && cd_muted(b, r, c, p - (back + 1) * step, 1);
            if (before) back++, span++;
        }
        if (after && span < CD_MAX_RUN) {
            after = cd_muted(b, r, c, p + (frames + on) * step, 1);
            if (after) on++, span++;
        }
    }
    return span;
}

namespace {

// True when copy c's sample at q bends by at most 1 against its neighbours, as every sample of
// a floor line does.
bool straight_at(const cd_block& b, uint64_t c, uint64_t q) {
    const uint64_t step = cd_step(b);
    const int32_t bend = cd_sample(b, c, q - step) - 2 * cd_sample(b, c, q) + cd_sample(b, c, q + step);
    return bend >= -1 && bend <= 1;
}

// A line that holds the run: the copy's concealed stretch may reach past the disputed run where
// another copy splits the copies differently. Tries the stretches of at most CD_MAX_LINE samples
// that hold the run and reach only over disputed samples, shortest first, and returns the length
// of the first on the line, or 0. (Samples that every copy agrees on are the genuine signal's:
// a line through them is no concealment.)
uint64_t line_around(const cd_block& b, const cd_audio& r, uint64_t c, uint64_t p, uint64_t frames) {
    const uint64_t step = cd_step(b);
    // The run's samples must bend by at most 1, and the stretch can reach only over samples that
    // do (whose neighbours beyond are audio, to end the line on).
    for (uint64_t k = 0; k < frames; k++) {
        if (!straight_at(b, c, p + k * step)) return 0;
    }
    uint64_t before = 0, after_run = 0;  // samples just before and after the run it can reach over
    while (before + frames < CD_MAX_LINE && p >= (before + 2) * step &&
           cd_is_audio(r, p - (before + 2) * step) && straight_at(b, c, p - (before + 1) * step)) {
        before++;
    }
    while (after_run + frames < CD_MAX_LINE && cd_is_audio(r, p + (frames + after_run + 1) * step) &&
           straight_at(b, c, p + (frames + after_run) * step)) {
        after_run++;
    }
    for (uint64_t len = frames; len <= CD_MAX_LINE && len <= frames + before + after_run; len++) {
        for (uint64_t back = 0; back <= len - frames && back <= before; back++) {
            if (len - frames - back > after_run) continue;
            const uint64_t from = p - back * step, after = from + len * step;
            if (!cd_is_audio(r, from - step) || !cd_is_audio(r, after)) continue;
            if (cd_on_line(b, c, from, len, cd_sample(b, c, from - step), cd_sample(b, c, after))) return len;
        }
    }
    return 0;
}

}  // namespace

cd_print cd_fingerprint_in(const cd_block& b, const cd_audio& r, uint64_t c, uint64_t p, uint64_t frames,
                           uint64_t& len) {
    const uint64_t step = cd_step(b);
    len = frames;
    if (p < step || !cd_is_audio(r, p - step) || !cd_is_audio(r, p + frames * step)) return CD_PRINT_NONE;
    const int32_t x0 = cd_sample(b, c, p - step);
    if (cd_muted(b, r, c, p, frames)) return CD_PRINT_MUTE;
    if (frames <= CD_MAX_LINE && (len = line_around(b, r, c, p, frames)) != 0) return CD_PRINT_LINE;
    len = frames;
    if (frames <= CD_MAX_HOLD && cd_held(b, c, p, frames, x0)) return CD_PRINT_HOLD;
    return CD_PRINT_NONE;
}

cd_print cd_fingerprint(const cd_block& b, uint64_t c, uint64_t p, uint64_t frames) {
    uint64_t len;
    return cd_fingerprint_in(b, cd_audio_of_block(b), c, p, frames, len);
}
