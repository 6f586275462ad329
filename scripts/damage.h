#pragma once
// The damage that CD drives do to a rip, shared by the material programs (audio_eval damages one
// track's copies, disc_material a whole disc's rips). Everything works on the audio bytes
// [begin, end) of byte vectors of 16-bit samples; the random numbers come from the fixed-seed Rng
// of material.h, so a seed names the same damage everywhere.
//
// What a drive does:
//  - bursts of 2 to 200 bytes in which about half of the bytes are wrong, and single wrong
//    bytes, each read by itself;
//  - misreads that give two reads the same wrong bytes;
//  - concealment of a stretch it cannot read, in one of a few ways, in its copy alone or in
//    several copies at the same place (the copies that conceal a stretch alike then agree):
//     - interpolation: 1 to 8 samples of one channel replaced by the floor line between the
//       copy's samples just outside them (one sample: the floor mean of its neighbours);
//     - hold: 1 to 4 samples of one channel repeat the sample before them;
//     - muting: every channel of 2 to 32 frames is zero;
//  - garbage: random bytes where it could not read.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "material.h"

namespace damage {

// Damage per MiB of audio data, as audio_eval's kinds use it.
struct rates {
    double bursts = 6;           // per copy
    double byte_errors = 30;     // per copy
    double lone_concealed = 40;  // single samples, per copy
    double shared_misreads = 4;
    double shared_concealed = 80;
};

struct audio {
    size_t begin;  // first byte of the audio
    size_t end;    // one past its last whole frame
    size_t frame;  // bytes per frame
};

inline int16_t get_sample(const Bytes& b, size_t p) {
    return static_cast<int16_t>(static_cast<uint16_t>(b[p] | (b[p + 1] << 8)));
}

inline void set_sample(Bytes& b, size_t p, int16_t v) {
    b[p] = static_cast<uint8_t>(static_cast<uint16_t>(v));
    b[p + 1] = static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8);
}

// A number of events with the given mean per MiB of `bytes`, rounded by chance.
inline uint64_t events(double per_mib, size_t bytes, Rng& rng) {
    const double mean = per_mib * static_cast<double>(bytes) / 1048576.0;
    const uint64_t whole = static_cast<uint64_t>(mean);
    return whole + (rng.unit() < mean - static_cast<double>(whole) ? 1 : 0);
}

// A sample offset inside the audio that has both same-channel neighbours.
inline size_t inner_sample(const audio& a, Rng& rng) {
    const size_t frames = (a.end - a.begin) / a.frame;
    return a.begin + rng.between(1, frames - 2) * a.frame + 2 * rng.below(a.frame / 2);
}

// A drive conceals a single sample by writing the floor mean of the same channel's previous and
// next sample.
inline int16_t concealed_value(const Bytes& original, const audio& a, size_t p) {
    const int32_t sum =
        static_cast<int32_t>(get_sample(original, p - a.frame)) + get_sample(original, p + a.frame);
    return static_cast<int16_t>((sum - (sum & 1)) / 2);
}

// m different copies out of n.
inline std::vector<size_t> pick(size_t n, size_t m, Rng& rng) {
    std::vector<size_t> all(n);
    for (size_t i = 0; i < n; i++) all[i] = i;
    for (size_t i = 0; i < m; i++) std::swap(all[i], all[i + rng.below(n - i)]);
    all.resize(m);
    return all;
}

// Bursts and single wrong bytes of one read, then `lone_concealed` single concealed samples.
inline void damage_copy(Bytes& copy, const Bytes& original, const audio& a, Rng& rng, double lone_concealed,
                        const rates& r = rates()) {
    const size_t bytes = a.end - a.begin;
    for (uint64_t e = events(r.bursts, bytes, rng); e > 0; e--) {
        const size_t len = rng.between(2, 200);
        const size_t at = a.begin + rng.below(bytes - len);
        for (size_t i = 0; i < len; i++) {
            if (rng.below(2)) copy[at + i] ^= rng.nonzero_byte();
        }
    }
    for (uint64_t e = events(r.byte_errors, bytes, rng); e > 0; e--) {
        copy[a.begin + rng.below(bytes)] ^= rng.nonzero_byte();
    }
    for (uint64_t e = events(lone_concealed, bytes, rng); e > 0; e--) {
        const size_t p = inner_sample(a, rng);
        set_sample(copy, p, concealed_value(original, a, p));
    }
}

// Misreads of 1 to 4 bytes shared by two copies, and single samples concealed alike in 2 to
// n - 1 of the n copies.
inline void damage_shared(std::vector<Bytes>& copies, const Bytes& original, const audio& a, Rng& rng,
                          const rates& r = rates()) {
    const size_t n = copies.size();
    const size_t bytes = a.end - a.begin;
    for (uint64_t e = events(r.shared_misreads, bytes, rng); e > 0; e--) {
        const size_t len = rng.between(1, 4);
        const size_t at = a.begin + rng.below(bytes - len);
        const std::vector<size_t> who = pick(n, 2, rng);
        for (size_t i = 0; i < len; i++) {
            const uint8_t flip = rng.nonzero_byte();
            for (size_t c : who) copies[c][at + i] ^= flip;
        }
    }
    for (uint64_t e = events(r.shared_concealed, bytes, rng); e > 0; e--) {
        const size_t p = inner_sample(a, rng);
        const int16_t v = concealed_value(original, a, p);
        for (size_t c : pick(n, rng.between(2, n - 1), rng)) set_sample(copies[c], p, v);
    }
}

// ---- Concealed runs ----

// The frame index of a sample offset.
inline size_t frame_of(const audio& a, size_t p) { return (p - a.begin) / a.frame; }

// A sample offset whose channel has `before` frames before it and `after` frames after it.
inline size_t inner_run(const audio& a, size_t before, size_t after, Rng& rng) {
    const size_t frames = (a.end - a.begin) / a.frame;
    return a.begin + rng.between(before, frames - 1 - after) * a.frame + 2 * rng.below(a.frame / 2);
}

inline int64_t floor_div(int64_t n, int64_t d) { return n / d - ((n % d != 0) && ((n < 0) != (d < 0))); }

// Writes into `copy` the interpolation of `len` samples of one channel starting at p.
inline void interpolate(Bytes& copy, const Bytes& original, const audio& a, size_t p, size_t len) {
    const int64_t x0 = get_sample(original, p - a.frame);
    const int64_t x1 = get_sample(original, p + len * a.frame);
    for (size_t k = 1; k <= len; k++) {
        set_sample(copy, p + (k - 1) * a.frame,
                   static_cast<int16_t>(
                       x0 + floor_div((x1 - x0) * static_cast<int64_t>(k), static_cast<int64_t>(len + 1))));
    }
}

inline void hold(Bytes& copy, const Bytes& original, const audio& a, size_t p, size_t len) {
    const int16_t v = get_sample(original, p - a.frame);
    for (size_t k = 0; k < len; k++) set_sample(copy, p + k * a.frame, v);
}

// Mutes `len` frames from the frame holding p.
inline void mute(Bytes& copy, const audio& a, size_t p, size_t len) {
    const size_t f = a.begin + frame_of(a, p) * a.frame;
    std::fill(copy.begin() + static_cast<long>(f), copy.begin() + static_cast<long>(f + len * a.frame), 0);
}

// Random bytes over `len` samples of one channel, as a drive that returns garbage gives them.
inline void garbage(Bytes& copy, const audio& a, size_t p, size_t len, Rng& rng) {
    for (size_t k = 0; k < len; k++) {
        copy[p + k * a.frame] ^= rng.nonzero_byte();
        if (rng.below(2)) copy[p + k * a.frame + 1] ^= rng.nonzero_byte();
    }
}

enum conceal_kind { INTERPOLATE, HOLD, MUTE };

// Conceals a run at p: interpolation runs 1 to 8 samples, holds 1 to 4, mutes 2 to 32 frames.
// `len` is drawn by the caller within those limits.
inline void conceal(Bytes& copy, const Bytes& original, const audio& a, conceal_kind k, size_t p,
                    size_t len) {
    if (k == INTERPOLATE) interpolate(copy, original, a, p, len);
    if (k == HOLD) hold(copy, original, a, p, len);
    if (k == MUTE) mute(copy, a, p, len);
}

inline size_t run_length(conceal_kind k, Rng& rng) {
    return k == INTERPOLATE ? rng.between(2, 8) : k == HOLD ? rng.between(1, 4) : rng.between(2, 32);
}

// Concealed runs of kind k in one copy by itself, `per_mib` of them.
inline void conceal_lone(Bytes& copy, const Bytes& original, const audio& a, conceal_kind k, double per_mib,
                         Rng& rng) {
    for (uint64_t e = events(per_mib, a.end - a.begin, rng); e > 0; e--) {
        const size_t len = run_length(k, rng);
        conceal(copy, original, a, k, inner_run(a, 1, len + 1, rng), len);
    }
}

// Concealed runs of kind k, per MiB: `lone` in each copy by itself, `shared` in 2 to n - 1 copies
// at once (muting: in two copies).
inline void conceal_runs(std::vector<Bytes>& copies, const Bytes& original, const audio& a, conceal_kind k,
                         double lone, double shared, Rng& rng) {
    const size_t n = copies.size();
    const size_t bytes = a.end - a.begin;
    for (Bytes& c : copies) conceal_lone(c, original, a, k, lone, rng);
    for (uint64_t e = events(shared, bytes, rng); e > 0; e--) {
        const size_t len = run_length(k, rng);
        const size_t p = inner_run(a, 1, len + 1, rng);
        const size_t m = k == MUTE ? 2 : rng.between(2, n - 1);
        for (size_t c : pick(n, m, rng)) conceal(copies[c], original, a, k, p, len);
    }
}

// A badly scratched disc read n times: at every scratch site, each copy independently reads the
// run right, interpolates it, holds it, mutes it or returns garbage.
inline void scratches(std::vector<Bytes>& copies, const Bytes& original, const audio& a, double sites,
                      Rng& rng) {
    const size_t bytes = a.end - a.begin;
    for (uint64_t e = events(sites, bytes, rng); e > 0; e--) {
        const size_t len = rng.between(1, 8);
        const size_t p = inner_run(a, 1, len + 1, rng);
        for (Bytes& c : copies) {
            const uint64_t roll = rng.below(100);
            if (roll < 35) continue;
            if (roll < 60)
                interpolate(c, original, a, p, len);
            else if (roll < 75)
                hold(c, original, a, p, std::min<size_t>(len, 4));
            else if (roll < 85)
                mute(c, a, p, len + 1);
            else
                garbage(c, a, p, len, rng);
        }
    }
}

// How one drive covers what it cannot read: always the same way (a drive model conceals alike
// every time, so two drives of one model agree on their concealed values), or, for `MIXED`, as
// the scratched-disc sites above pick at random.
enum drive_habit { CONCEALS_INTERPOLATING, CONCEALS_HOLDING, CONCEALS_MUTING, MIXED };

// One drive's concealment of the run of `len` samples of one channel at p.
inline void drive_conceal(Bytes& copy, const Bytes& original, const audio& a, drive_habit h, size_t p,
                          size_t len, Rng& rng) {
    if (h == CONCEALS_INTERPOLATING)
        interpolate(copy, original, a, p, len);
    else if (h == CONCEALS_HOLDING)
        hold(copy, original, a, p, std::min<size_t>(len, 4));
    else if (h == CONCEALS_MUTING)
        mute(copy, a, p, len + 1);
    else if (rng.below(2))
        interpolate(copy, original, a, p, len);
    else
        garbage(copy, a, p, len, rng);
}

// Scratch sites on one disc read by drives of the given habits, `sites` per MiB: at each, every
// drive reads the run right with probability `right`, else covers it its own way. At `deep` of
// the sites per MiB every drive fails, so that no copy holds the run.
inline void drive_scratches(std::vector<Bytes>& copies, const Bytes& original, const audio& a,
                            const std::vector<drive_habit>& habits, double sites, double deep, double right,
                            Rng& rng) {
    const size_t bytes = a.end - a.begin;
    const uint64_t shallow = events(sites, bytes, rng);
    const uint64_t all = shallow + events(deep, bytes, rng);
    for (uint64_t e = 0; e < all; e++) {
        const size_t len = rng.between(1, 8);
        const size_t p = inner_run(a, 1, len + 2, rng);
        for (size_t c = 0; c < copies.size(); c++) {
            if (e < shallow && rng.unit() < right) continue;
            drive_conceal(copies[c], original, a, habits[c], p, len, rng);
        }
    }
}

// Misreads shared by two copies where the original is digital silence (or, when it has none, at
// random): a true 0 between neighbours 0 and 0 looks like a concealed sample.
inline void silence_misreads(std::vector<Bytes>& copies, const Bytes& original, const audio& a,
                             double per_mib, Rng& rng) {
    std::vector<size_t> silent;
    for (size_t p = a.begin + a.frame; p + a.frame < a.end; p += 2) {
        if (get_sample(original, p) == 0 && get_sample(original, p - a.frame) == 0 &&
            get_sample(original, p + a.frame) == 0) {
            silent.push_back(p);
        }
    }
    for (uint64_t e = events(per_mib, a.end - a.begin, rng); e > 0; e--) {
        const size_t p = silent.empty() ? inner_sample(a, rng) : silent[rng.below(silent.size())];
        const std::vector<size_t> who = pick(copies.size(), 2, rng);
        const uint8_t flip = rng.nonzero_byte();
        const size_t byte = rng.below(2);
        for (size_t c : who) copies[c][p + byte] ^= flip;
    }
}

// Two copies damaged in different bytes of one 16-bit unit of the WAV header; the bytes chosen
// leave the header readable (the RIFF size and the byte rate).
inline void header_damage(std::vector<Bytes>& copies, Rng& rng) {
    static const size_t UNITS[] = {4, 6, 28, 30};
    const size_t u = UNITS[rng.below(4)];
    const std::vector<size_t> who = pick(copies.size(), 2, rng);
    copies[who[0]][u] ^= rng.nonzero_byte();
    copies[who[1]][u + 1] ^= rng.nonzero_byte();
}

}  // namespace damage
