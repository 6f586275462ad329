// demo_audio: the test material of `make demo`.
//
//   demo_audio synth OUT.wav [SECONDS]
//       writes SECONDS (default 4) of 16-bit 44.1 kHz stereo tones as a WAV file.
//   demo_audio damage [--seed N] ORIGINAL.wav COPY...
//       writes damaged copies of ORIGINAL the way rips of a scratched CD come out.
//   demo_audio explain [--numbers] ORIGINAL.wav RESTORED.wav
//       says what kind of damage is left in a restored file; --numbers prints only the three
//       counts (differing samples, concealed ones among them, those that pass -a's test).
//
// The damage copies what drives do: every read has its own random byte errors in bursts,
// a drive sometimes misreads a spot the same way twice, and where a scratch defeats error
// correction the drive conceals it by replacing the sample with the mean of the same
// channel's previous and next sample, at the same place in most reads. The random numbers
// come from a fixed-seed generator so that every run of the demo shows the same data.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "material.h"

namespace {

constexpr uint32_t kRate = 44100;
constexpr uint16_t kChannels = 2;
constexpr uint16_t kBits = 16;
constexpr size_t kHeaderBytes = 44;
constexpr size_t kFrameBytes = kChannels * kBits / 8;

// How much damage each copy gets. Small enough that the vote's glyphs fit a screen.
constexpr unsigned kBurstsPerCopy = 8;
constexpr unsigned kMaxBurstBytes = 12;
constexpr unsigned kSharedErrors = 4;
constexpr unsigned kMaxSharedBytes = 3;
constexpr unsigned kConcealedSamples = 24;

void put_tag(Bytes& out, const char* tag) { out.insert(out.end(), tag, tag + 4); }

int16_t get_sample(const Bytes& wav, size_t offset) {
    return static_cast<int16_t>(static_cast<uint16_t>(wav[offset] | (wav[offset + 1] << 8)));
}

uint16_t get_u16(const Bytes& wav, size_t offset) {
    return static_cast<uint16_t>(wav[offset] | (wav[offset + 1] << 8));
}

void set_sample(Bytes& wav, size_t offset, int16_t value) {
    const uint16_t u = static_cast<uint16_t>(value);
    wav[offset] = static_cast<uint8_t>(u);
    wav[offset + 1] = static_cast<uint8_t>(u >> 8);
}

// True when `wav` has the 44-byte header that synth writes and whole frames after it.
bool is_demo_wav(const Bytes& wav, const char* path) {
    const bool ok = wav.size() > kHeaderBytes + 2 * kFrameBytes && std::memcmp(wav.data(), "RIFF", 4) == 0 &&
                    std::memcmp(wav.data() + 8, "WAVE", 4) == 0 &&
                    std::memcmp(wav.data() + 36, "data", 4) == 0 &&
                    (wav.size() - kHeaderBytes) % kFrameBytes == 0;
    if (!ok) std::fprintf(stderr, "%s: not a 16-bit stereo WAV file made by demo_audio synth\n", path);
    return ok;
}

// Two chords, one per channel, that swell and fade, so that neighbouring samples differ
// the way music does and the two channels carry different signals.
int16_t tone(unsigned channel, uint32_t frame) {
    static const double kLeft[] = {220.0, 277.18, 329.63};
    static const double kRight[] = {146.83, 369.99, 440.0};
    const double* freqs = channel == 0 ? kLeft : kRight;
    const double t = static_cast<double>(frame) / kRate;
    const double pi = 3.14159265358979323846;
    const double swell = 0.6 + 0.4 * std::sin(2 * pi * 0.25 * t + channel);
    double v = 0;
    for (int i = 0; i < 3; ++i) v += std::sin(2 * pi * freqs[i] * t) / 3;
    return static_cast<int16_t>(std::lround(v * swell * 20000));
}

Bytes make_wav(uint32_t seconds) {
    const uint32_t frames = seconds * kRate;
    const uint32_t data_bytes = frames * static_cast<uint32_t>(kFrameBytes);
    Bytes wav;
    wav.reserve(kHeaderBytes + data_bytes);
    put_tag(wav, "RIFF");
    put_le32(wav, 36 + data_bytes);
    put_tag(wav, "WAVE");
    put_tag(wav, "fmt ");
    put_le32(wav, 16);  // size of the PCM format chunk
    put_le16(wav, 1);   // PCM
    put_le16(wav, kChannels);
    put_le32(wav, kRate);
    put_le32(wav, kRate * static_cast<uint32_t>(kFrameBytes));  // bytes per second
    put_le16(wav, static_cast<uint16_t>(kFrameBytes));          // bytes per frame
    put_le16(wav, kBits);
    put_tag(wav, "data");
    put_le32(wav, data_bytes);
    for (uint32_t f = 0; f < frames; ++f)
        for (unsigned c = 0; c < kChannels; ++c) put_le16(wav, static_cast<uint16_t>(tone(c, f)));
    return wav;
}

// What a drive puts in place of an unreadable sample: the mean of the same channel's
// previous and next sample, which in interleaved stereo lie one frame (4 bytes) away.
int16_t concealed_value(const Bytes& original, size_t offset) {
    const int32_t prev = get_sample(original, offset - kFrameBytes);
    const int32_t next = get_sample(original, offset + kFrameBytes);
    return static_cast<int16_t>((prev + next) >> 1);
}

// The test that copyvote -a makes: the 16-bit value, read unsigned, within 1 of the floor
// mean of the 16-bit values right before and after it in the file.
bool passes_a_test(uint16_t before, uint16_t value, uint16_t after) {
    const int32_t d = (int32_t{before} + after) / 2 - value;
    return d >= -1 && d <= 1;
}

bool passes_a_test_at(const Bytes& wav, size_t offset) {
    return passes_a_test(get_u16(wav, offset - 2), get_u16(wav, offset), get_u16(wav, offset + 2));
}

void xor_burst(Bytes& copy, size_t offset, size_t len, Rng& rng) {
    for (size_t i = 0; i < len; ++i) copy[offset + i] ^= rng.nonzero_byte();
}

void add_random_bursts(Bytes& copy, Rng& rng) {
    for (unsigned b = 0; b < kBurstsPerCopy; ++b) {
        const size_t len = rng.between(1, kMaxBurstBytes);
        const size_t offset = rng.between(kHeaderBytes, copy.size() - len);
        xor_burst(copy, offset, len, rng);
    }
}

// The same wrong bytes at the same place in two different copies.
void add_shared_errors(std::vector<Bytes>& copies, Rng& rng) {
    for (unsigned e = 0; e < kSharedErrors; ++e) {
        const size_t a = rng.below(copies.size());
        const size_t b = (a + rng.between(1, copies.size() - 1)) % copies.size();
        const size_t len = rng.between(1, kMaxSharedBytes);
        const size_t offset = rng.between(kHeaderBytes, copies[a].size() - len);
        for (size_t i = 0; i < len; ++i) {
            const uint8_t flip = rng.nonzero_byte();
            copies[a][offset + i] ^= flip;
            copies[b][offset + i] ^= flip;
        }
    }
}

// Picks `m` different copies out of `n`.
std::vector<size_t> pick_copies(size_t n, size_t m, Rng& rng) {
    std::vector<size_t> all(n);
    for (size_t i = 0; i < n; ++i) all[i] = i;
    for (size_t i = 0; i < m; ++i) std::swap(all[i], all[i + rng.below(n - i)]);
    all.resize(m);
    return all;
}

struct ConcealStats {
    unsigned sites = 0;
    unsigned in_most_copies = 0;  // concealed in more than half of the copies
    unsigned a_detectable = 0;    // the concealed value passes -a's test at its place
};

// Concealed samples at the same places in several copies (2 up to all but one).
ConcealStats add_concealed_samples(const Bytes& original, std::vector<Bytes>& copies, Rng& rng) {
    ConcealStats stats;
    const size_t frames = (original.size() - kHeaderBytes) / kFrameBytes;
    std::set<size_t> used;
    while (stats.sites < kConcealedSamples) {
        const size_t frame = rng.between(1, frames - 2);
        const size_t offset = kHeaderBytes + frame * kFrameBytes + 2 * rng.below(kChannels);
        const int16_t value = concealed_value(original, offset);
        if (value == get_sample(original, offset) || !used.insert(offset).second) continue;
        const size_t m = rng.between(2, copies.size() - 1);
        for (size_t c : pick_copies(copies.size(), m, rng)) set_sample(copies[c], offset, value);
        ++stats.sites;
        if (2 * m > copies.size()) ++stats.in_most_copies;
        if (passes_a_test(get_u16(original, offset - 2), static_cast<uint16_t>(value),
                          get_u16(original, offset + 2)))
            ++stats.a_detectable;
    }
    return stats;
}

int cmd_synth(int argc, char** argv) {
    if (argc < 3 || argc > 4) return 2;
    const long seconds = argc == 4 ? std::strtol(argv[3], nullptr, 10) : 4;
    if (seconds < 1 || seconds > 60) {
        std::fprintf(stderr, "demo_audio: SECONDS must be 1 to 60\n");
        return 2;
    }
    return write_file(argv[2], make_wav(static_cast<uint32_t>(seconds))) ? 0 : 1;
}

int cmd_damage(int argc, char** argv) {
    int arg = 2;
    uint64_t seed = 2024;
    if (argc > 3 && std::strcmp(argv[arg], "--seed") == 0) {
        seed = std::strtoull(argv[arg + 1], nullptr, 10);
        arg += 2;
    }
    if (argc - arg < 4) return 2;  // the original and at least three copies
    const char* original_path = argv[arg++];
    const int ncopies = argc - arg;
    Bytes original;
    if (!read_file(original_path, original) || !is_demo_wav(original, original_path)) return 1;
    Rng rng{seed};
    std::vector<Bytes> copies(static_cast<size_t>(ncopies), original);
    for (Bytes& copy : copies) add_random_bursts(copy, rng);
    add_shared_errors(copies, rng);
    const ConcealStats cs = add_concealed_samples(original, copies, rng);
    for (int i = 0; i < ncopies; ++i)
        if (!write_file(argv[arg + i], copies[static_cast<size_t>(i)])) return 1;
    std::printf("Damage (seed %llu), as on rips of a scratched CD:\n", static_cast<unsigned long long>(seed));
    std::printf("  - %u bursts of 1 to %u random bytes in each copy, at places of its own;\n", kBurstsPerCopy,
                kMaxBurstBytes);
    std::printf("  - %u spots of 1 to %u bytes misread the same way by two copies;\n", kSharedErrors,
                kMaxSharedBytes);
    std::printf("  - %u samples concealed by the drive (replaced by the mean of the same channel's\n"
                "    previous and next sample), each in 2 to %d copies at the same place;\n"
                "    %u of them in %d or more copies, where the concealed value outvotes the true one.\n",
                cs.sites, ncopies - 1, cs.in_most_copies, ncopies / 2 + 1);
    std::printf("    %u of the concealed values happen to pass the test that -a makes.\n", cs.a_detectable);
    return 0;
}

int cmd_explain(int argc, char** argv) {
    const bool numbers = argc == 5 && std::strcmp(argv[2], "--numbers") == 0;
    if (argc != 4 && !numbers) return 2;
    const char* original_path = argv[argc - 2];
    const char* restored_path = argv[argc - 1];
    Bytes original, restored;
    if (!read_file(original_path, original) || !is_demo_wav(original, original_path) ||
        !read_file(restored_path, restored))
        return 1;
    if (restored.size() != original.size()) {
        std::fprintf(stderr, "%s: %zu bytes long, the original has %zu\n", restored_path, restored.size(),
                     original.size());
        return 1;
    }
    unsigned samples = 0, concealed = 0, detectable = 0;
    for (size_t p = 0; p + 2 <= original.size(); p += 2) {
        if (get_u16(original, p) == get_u16(restored, p)) continue;
        ++samples;
        const bool inner_frame = p >= kHeaderBytes + kFrameBytes && p + kFrameBytes + 2 <= original.size();
        if (inner_frame && get_sample(restored, p) == concealed_value(original, p)) ++concealed;
        if (inner_frame && passes_a_test_at(restored, p)) ++detectable;
    }
    if (numbers) {
        std::printf("%u %u %u\n", samples, concealed, detectable);
        return 0;
    }
    if (samples == 0) {
        std::printf("%s: every sample equals the original's.\n", restored_path);
        return 0;
    }
    std::printf("%s: %u samples differ from the original; %u of them hold the drive's\n"
                "  concealment value (mean of the same channel's neighbours), and %u of them are\n"
                "  within 1 of the mean of the 16-bit values right before and after them in the file.\n",
                restored_path, samples, concealed, detectable);
    return 0;
}

void usage() {
    std::fprintf(stderr,
                 "usage: demo_audio synth OUT.wav [SECONDS]\n"
                 "       demo_audio damage [--seed N] ORIGINAL.wav COPY1 COPY2 COPY3 [COPY...]\n"
                 "       demo_audio explain [--numbers] ORIGINAL.wav RESTORED.wav\n");
}

}  // namespace

int main(int argc, char** argv) {
    int rc = 2;
    if (argc >= 2 && std::strcmp(argv[1], "synth") == 0) rc = cmd_synth(argc, argv);
    else if (argc >= 2 && std::strcmp(argv[1], "damage") == 0) rc = cmd_damage(argc, argv);
    else if (argc >= 2 && std::strcmp(argv[1], "explain") == 0) rc = cmd_explain(argc, argv);
    if (rc == 2) usage();
    return rc;
}
