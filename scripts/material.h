#pragma once
// Shared by the material programs (demo_audio, audio_eval, align_material, disc_material): the random numbers,
// little-endian writers and whole-file reads and writes. splitmix64 is tiny and, unlike the standard distributions,
// gives the same numbers on every machine, so that a seed names the same material everywhere.

#include <cstdint>
#include <cstdio>
#include <vector>

using Bytes = std::vector<uint8_t>;

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

// Appends v little-endian, as WAV headers and 16-bit samples store it.
inline void put_le16(Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

inline void put_le32(Bytes& out, uint32_t v) {
    put_le16(out, static_cast<uint16_t>(v));
    put_le16(out, static_cast<uint16_t>(v >> 16));
}

// Reads a whole file into `data`; false, after a message on standard error, when it cannot.
inline bool read_file(const char* path, Bytes& data) {
    FILE* f = std::fopen(path, "rb");
    if (!f) {
        std::perror(path);
        return false;
    }
    data.clear();
    uint8_t chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + got);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    if (!ok) std::fprintf(stderr, "%s: read error\n", path);
    return ok;
}

// Writes `data` as the whole file; false, after a message on standard error, when it cannot.
inline bool write_file(const char* path, const Bytes& data) {
    FILE* f = std::fopen(path, "wb");
    if (!f) {
        std::perror(path);
        return false;
    }
    const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    if (std::fclose(f) != 0 || !ok) {
        std::fprintf(stderr, "%s: write error\n", path);
        return false;
    }
    return true;
}
