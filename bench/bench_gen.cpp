// Makes the benchmark's input copies quickly: one base stream, written once per copy with that
// copy's own damage.
//
//   bench_gen bytes SIZE RATE SEED FILE...
//       SIZE bytes of random data; in each copy a share RATE of the bytes (0.001 = 0.1 %) is
//       replaced by a different value at places drawn independently for that copy.
//   bench_gen audio SIZE RATE SEED FILE...
//       SIZE bytes of 16-bit little-endian stereo that sounds like music (two drifting tones and
//       a little noise); in each copy a share RATE of the samples is damaged: every second damaged
//       sample is interpolated as a drive conceals a read error (the floor mean of its two
//       neighbouring 16-bit samples), the others take a random value.
//
// RATE 0 writes identical copies. The same arguments always give the same files.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const size_t CHUNK = 4u << 20;

// xoshiro256**: fast, and good enough that the vote sees no pattern in the data.
struct rng {
    uint64_t s[4];

    explicit rng(uint64_t seed) {
        for (uint64_t& word : s) {
            seed += 0x9E3779B97F4A7C15ull;
            uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            word = z ^ (z >> 31);
        }
    }
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t next() {
        const uint64_t result = rotl(s[1] * 5, 7) * 9;
        const uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = rotl(s[3], 45);
        return result;
    }
    // Uniform in [0, n), n > 0.
    uint64_t below(uint64_t n) { return static_cast<uint64_t>((static_cast<unsigned __int128>(next()) * n) >> 64); }
};

// Where one copy's next damage falls: gaps drawn uniformly from 1 .. 2/rate - 1, so that on
// average a share `rate` of the units is hit, each place independent of the other copies.
struct damage_walk {
    rng r;
    uint64_t max_gap;  // 0: no damage
    uint64_t next_unit;

    damage_walk(uint64_t seed, double rate) : r(seed), max_gap(0), next_unit(UINT64_MAX) {
        if (rate > 0) {
            const double gap = 2.0 / rate - 1.0;
            max_gap = gap < 1.0 ? 1 : static_cast<uint64_t>(gap);
            next_unit = r.below(max_gap);
        }
    }
    void advance() { next_unit += 1 + r.below(max_gap); }
};

void fill_random(rng& r, uint8_t* p, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const uint64_t v = r.next();
        memcpy(p + i, &v, 8);
    }
    if (i < n) {
        const uint64_t v = r.next();
        memcpy(p + i, &v, n - i);
    }
}

uint16_t sample_at(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

void put_sample(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>(v >> 8);
}

// Two slowly drifting tones per channel plus a little noise, by rotation recurrences (no
// trigonometry per sample).
struct audio_source {
    double c1, s1, c2, s2;      // oscillator states
    double k1c, k1s, k2c, k2s;  // rotation per frame
    rng noise;
    uint64_t frame;

    explicit audio_source(uint64_t seed)
        : c1(1), s1(0), c2(1), s2(0), noise(seed ^ 0xA5A5A5A5ull), frame(0) {
        const double two_pi = 6.283185307179586;
        k1c = std::cos(two_pi * 441.0 / 44100.0);
        k1s = std::sin(two_pi * 441.0 / 44100.0);
        k2c = std::cos(two_pi * 1234.5 / 44100.0);
        k2s = std::sin(two_pi * 1234.5 / 44100.0);
    }
    static int16_t clip(double v) {
        if (v > 32767.0) return 32767;
        if (v < -32768.0) return -32768;
        return static_cast<int16_t>(std::lrint(v));
    }
    // Fills n 16-bit little-endian samples (n even: left, right, left, ...).
    void fill(uint8_t* out, size_t n) {
        for (size_t i = 0; i + 1 < n; i += 2) {
            double t = c1 * k1c - s1 * k1s;
            s1 = c1 * k1s + s1 * k1c;
            c1 = t;
            t = c2 * k2c - s2 * k2s;
            s2 = c2 * k2s + s2 * k2c;
            c2 = t;
            if ((++frame & 0xFFFF) == 0) {  // keep the amplitudes from drifting away
                double m = std::sqrt(c1 * c1 + s1 * s1);
                c1 /= m;
                s1 /= m;
                m = std::sqrt(c2 * c2 + s2 * s2);
                c2 /= m;
                s2 /= m;
            }
            const double n1 = static_cast<double>(static_cast<int>(noise.below(65)) - 32);
            const double n2 = static_cast<double>(static_cast<int>(noise.below(65)) - 32);
            put_sample(out + 2 * i, static_cast<uint16_t>(clip(9000.0 * s1 + 5000.0 * s2 + n1)));
            put_sample(out + 2 * i + 2, static_cast<uint16_t>(clip(7000.0 * c1 + 6000.0 * s2 + n2)));
        }
    }
};

bool write_all(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Damages the bytes of one chunk (units are bytes).
void damage_bytes(damage_walk& walk, uint8_t* chunk, uint64_t first, size_t n) {
    while (walk.next_unit < first + n) {
        chunk[walk.next_unit - first] ^= static_cast<uint8_t>(1 + walk.r.below(255));
        walk.advance();
    }
}

// Damages the samples of one chunk (units are samples). `base` holds the undamaged chunk with
// one sample before it (base[-2..-1]) and one after it, for the interpolation.
void damage_samples(damage_walk& walk, uint8_t* chunk, const uint8_t* base, uint64_t first, size_t n_samples,
                    uint64_t total_samples) {
    while (walk.next_unit < first + n_samples) {
        const uint64_t unit = walk.next_unit;
        const size_t at = static_cast<size_t>(unit - first) * 2;
        const uint16_t old = sample_at(chunk + at);
        uint16_t v;
        if ((walk.r.next() & 1) && unit > 0 && unit + 1 < total_samples) {
            v = static_cast<uint16_t>((sample_at(base + at - 2) + sample_at(base + at + 2)) / 2);
        } else {
            v = static_cast<uint16_t>(walk.r.next());
        }
        if (v == old) v = static_cast<uint16_t>(v + 7);
        put_sample(chunk + at, v);
        walk.advance();
    }
}

int usage() {
    fprintf(stderr, "usage: bench_gen bytes|audio SIZE RATE SEED FILE...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) return usage();
    const bool audio = strcmp(argv[1], "audio") == 0;
    if (!audio && strcmp(argv[1], "bytes") != 0) return usage();
    const uint64_t size = strtoull(argv[2], nullptr, 10);
    const double rate = strtod(argv[3], nullptr);
    const uint64_t seed = strtoull(argv[4], nullptr, 10);
    const int copies = argc - 5;
    if (audio && size % 4 != 0) {
        fprintf(stderr, "bench_gen: audio SIZE must be a multiple of 4\n");
        return 2;
    }

    std::vector<int> fds;
    std::vector<damage_walk> walks;
    for (int c = 0; c < copies; c++) {
        const int fd = open(argv[5 + c], O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0) {
            perror(argv[5 + c]);
            return 1;
        }
        fds.push_back(fd);
        walks.emplace_back(seed * 1000003u + static_cast<uint64_t>(c) + 1, rate);
    }

    // The base chunk sits between a guard sample before and one after it (audio interpolation).
    std::vector<uint8_t> base_store(CHUNK + 8, 0);
    uint8_t* base = base_store.data() + 4;
    std::vector<uint8_t> copy(CHUNK);
    rng data_rng(seed);
    audio_source source(seed);
    const uint64_t total_samples = size / 2;
    if (audio) source.fill(base, 2);  // the first frame, looked ahead

    for (uint64_t done = 0; done < size;) {
        const size_t n = static_cast<size_t>(size - done < CHUNK ? size - done : CHUNK);
        if (audio) {
            // base[0..3] already holds this chunk's first frame; generate the rest and one frame
            // of look-ahead behind it.
            source.fill(base + 4, n / 2);
        } else {
            fill_random(data_rng, base, n);
        }
        for (int c = 0; c < copies; c++) {
            memcpy(copy.data(), base, n);
            if (audio) {
                damage_samples(walks[c], copy.data(), base, done / 2, n / 2, total_samples);
            } else {
                damage_bytes(walks[c], copy.data(), done, n);
            }
            if (!write_all(fds[c], copy.data(), n)) {
                perror(argv[5 + c]);
                return 1;
            }
        }
        if (audio) {
            memcpy(base - 4, base + n - 4, 4);  // the last frame becomes the guard before
            memcpy(base, base + n, 4);          // the look-ahead frame becomes the first
        }
        done += n;
    }
    for (int fd : fds) {
        if (close(fd) != 0) return 1;
    }
    return 0;
}
