#pragma once
// The evidence around a run: how the genuine audio near it behaves, measured on the samples all
// copies agree on (the window), and what sets a group's samples apart from the others'.
//  - the window's scales: the mean distance of an agreed sample from its neighbours' floor mean
//    and from the cubic prediction of its neighbours, and how often one is exactly the floor
//    mean or repeats the sample before;
//  - a fingerprint's share among the agreed samples at the run's length (its rarity is the log);
//  - a group's own distances, whether it differs from another group in both bytes of a sample,
//    and how many bytes near the run each copy holds against the commonest value (a burst).
// Shares are counted in a narrow window (CD_NARROW_FRAMES each way) pulled toward a wide one
// (CD_WIDE_FRAMES) with CD_PULL trials' weight, so that a short stretch of audio still gives one.

#include <cstdint>

#include "vote/cd/samples.h"
#include "vote/cd_vote.h"

// The agreed samples around a run, in the run's channel: sample k of the window lies at block
// offset first + k * step.
struct cd_window {
    uint64_t first;
    uint64_t n;
    uint64_t run_at;    // the run's first sample
    uint64_t frames;    // the run's length
    double scale;       // mean distance of an agreed sample from its neighbours' floor mean
    double scale3;      // mean distance of an agreed sample from the cubic prediction of its neighbours
    double line1;       // share of agreed samples that are their neighbours' floor mean
    double hold1;       // share of agreed samples that repeat the sample before them
    double step_scale;  // mean distance of an agreed sample from the sample before it
    // Stereo: the byte offset from a sample of the run's channel to the other channel's sample of
    // the same frame (+2 or -2), and the mean distance of the side signal (this channel less the
    // other) from its neighbours' floor mean where both channels agree; 0 and 0 otherwise.
    int64_t partner;
    double side_scale;
};

// Marks which samples of the window around the run of `frames` samples at p the n copies of
// sc.who agree on (in sc.agreed) and measures its scales and one-sample shares into w.
// REQUIRES: the run's samples are audio (r).
void cd_measure_window(const cd_block& b, const cd_audio& r, cd_scratch& sc, uint64_t n, uint64_t p,
                       uint64_t frames, cd_window& w);

// The logs of the shares of fingerprints measured for one run, each measured once: groups often
// show the same fingerprint at the same length, and with many copies there are many groups.
struct cd_rarities {
    struct {
        cd_print print;
        uint64_t len;
        double rarity;
    } known[8];
    uint64_t kept = 0;

    // ln of how often the genuine audio of window w shows `print` at length `len`.
    // REQUIRES: cd_measure_window made w and sc.agreed for this run.
    double of(const cd_block& b, const cd_audio& r, cd_scratch& sc, uint64_t n, const cd_window& w,
              cd_print print, uint64_t len);
};

// Six times the distance of v from the cubic prediction of its two neighbours each way.
inline uint64_t cd_cubic_distance6(int32_t before2, int32_t before, int32_t v, int32_t after,
                                   int32_t after2) {
    const int32_t e6 = 6 * v + before2 - 4 * before - 4 * after + after2;
    return static_cast<uint64_t>(e6 < 0 ? -e6 : e6);
}

// How far copy c's sample at q lies from the cubic prediction of its two neighbours each way.
// REQUIRES: those neighbours lie in the block.
inline double cd_cubic_distance(const cd_block& b, uint64_t c, uint64_t q) {
    const uint64_t step = cd_step(b);
    return cd_cubic_distance6(cd_sample(b, c, q - 2 * step), cd_sample(b, c, q - step), cd_sample(b, c, q),
                              cd_sample(b, c, q + step), cd_sample(b, c, q + 2 * step)) /
           6.0;
}

// The largest distance of copy c's `frames` samples from p from their neighbours' floor mean.
inline int32_t cd_run_distance(const cd_block& b, uint64_t c, uint64_t p, uint64_t frames) {
    const uint64_t step = cd_step(b);
    int32_t worst = 0;
    for (uint64_t k = 0; k < frames; k++) {
        const uint64_t q = p + k * step;
        const int32_t v = cd_sample(b, c, q);
        const int32_t m = cd_floor_mean(cd_sample(b, c, q - step), cd_sample(b, c, q + step));
        const int32_t d = v > m ? v - m : m - v;
        worst = d > worst ? d : worst;
    }
    return worst;
}

// The mean distance of copy c's side signal over the run of w (its samples less the other
// channel's, which every copy holds alike there) from the line between the side signal just
// outside the run: how well the other channel predicts the group's samples. False, with mean
// untouched, where the audio is not stereo or a copy differs in the other channel near the run.
bool cd_side_distance(const cd_block& b, const cd_scratch& sc, const cd_window& w, uint64_t c, double& mean);

// True when some sample of the run differs between copies c and o in both of its bytes: a single
// wrong byte, the commonest read error, changes one.
bool cd_both_bytes_differ(const cd_block& b, uint64_t c, uint64_t o, uint64_t p, uint64_t frames);

// Fills sc.noise: for every copy of sc.who, how many bytes near the run (32 before its frames and
// 32 after them) it holds differently from the most common value among the copies. A copy inside
// a burst of read errors shows many.
void cd_count_noise(const cd_block& b, const cd_audio& r, cd_scratch& sc, uint64_t n, uint64_t p,
                    uint64_t frames);
