#pragma once
// The random numbers of the material generators (demo_audio, audio_eval, align_material):
// splitmix64, tiny, and unlike the standard distributions it gives the same numbers on every
// machine, so that a seed names the same material everywhere.

#include <cstdint>

struct Rng {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // A number in [0, n); n > 0.
    uint64_t below(uint64_t n) { return next() % n; }
    // A number in [lo, hi].
    uint64_t between(uint64_t lo, uint64_t hi) { return lo + below(hi - lo + 1); }
    // A number in [0, 1).
    double unit() { return static_cast<double>(next() >> 11) / 9007199254740992.0; }
    // A byte other than 0, to XOR into a byte so that it surely changes.
    uint8_t nonzero_byte() { return static_cast<uint8_t>(1 + below(255)); }
};
