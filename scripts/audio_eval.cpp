// audio_eval: the material and the scoring of `make audio-eval`.
//
//   audio_eval music OUT.wav CHANNELS SECONDS SEED
//       writes synthesized music as a 16-bit 44.1 kHz WAV file: a plucked melody, a bass, a pad
//       and hi-hats, with a fade-in, a quiet passage, a stretch of digital silence and a fade-out.
//   audio_eval damage KIND SEED ORIGINAL.wav COPY...
//       writes damaged copies of ORIGINAL the way rips of a scratched CD come out (see below).
//   audio_eval score ORIGINAL RESTORED
//       prints the number of bytes in which RESTORED differs from ORIGINAL (a missing or extra
//       byte counts as one).
//   audio_eval bound ORIGINAL COPY...
//       prints the number of bytes that no copy holds right, which no vote can restore.
//   audio_eval overrules ORIGINAL RESTORED COPY...
//       prints the number of false overrules in RESTORED: samples of the audio where three or
//       more copies agree on the genuine value, no other group of copies is larger, and RESTORED
//       holds a value that fewer copies hold.
//
// Damage, per MiB of audio data. Every kind lies over bursts of 2 to 200 bytes in which about
// half of the bytes are wrong and single wrong bytes, in every copy. Then, by KIND:
//   samples  single samples concealed in one copy, and in 2 to n - 1 of the n copies at one
//            place; misreads that give two copies the same wrong bytes
//   interp   runs of 2 to 8 samples of one channel interpolated, in one copy or in 2 to n - 1
//   hold     runs of 1 to 4 samples of one channel holding the sample before, likewise
//   mute     2 to 32 frames muted in every channel, in one copy or in two
//   mix      a badly scratched disc: all of the above, and scratch sites where each copy reads
//            right, interpolates, holds, mutes or returns garbage, each copy by itself
//   silence  misreads shared by two copies in digital silence, and the damage of `samples`
//   header   two copies damaged in different bytes of one 16-bit unit of the WAV header, and
//            the damage of `samples`
// A drive conceals a single sample by writing the floor mean of the same channel's previous and
// next sample. All numbers come from a fixed-seed generator, so every run makes the same copies.
// The damage itself lives in damage.h, which disc_material shares.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "damage.h"
#include "material.h"

#include "audio/wav_header.h"

namespace {

const uint32_t RATE = 44100;

using namespace damage;

// Single concealed samples per MiB of a copy, in the `samples` kind.
const double LONE_CONCEALED = rates().lone_concealed;

Bytes wav_bytes(const std::vector<int16_t>& samples, uint16_t channels) {
    const uint32_t data = static_cast<uint32_t>(samples.size() * 2);
    Bytes out;
    out.insert(out.end(), {'R', 'I', 'F', 'F'});
    put_le32(out, 36 + data);
    out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put_le32(out, 16);
    put_le16(out, 1);
    put_le16(out, channels);
    put_le32(out, RATE);
    put_le32(out, RATE * 2u * channels);
    put_le16(out, static_cast<uint16_t>(2 * channels));
    put_le16(out, 16);
    out.insert(out.end(), {'d', 'a', 't', 'a'});
    put_le32(out, data);
    for (int16_t s : samples) put_le16(out, static_cast<uint16_t>(s));
    return out;
}

// ---- Music ----

const double PI = 3.14159265358979323846;

double note_hz(int semitones_from_a4) { return 440.0 * std::pow(2.0, semitones_from_a4 / 12.0); }

// Loudness over the track: fade-in, full, a quiet passage, full, silence, fade-out.
double envelope(double t, double len) {
    // Short material (while tuning) keeps the same shape: fades of a tenth of its length at most.
    const double in = std::min(3.0, len / 10), out = std::min(4.0, len / 10);
    if (t < in) return t / in;
    if (t > len - out) return std::max(0.0, (len - t) / out);
    const double u = t / len;
    if (u > 0.35 && u < 0.5) return 0.03;  // quiet passage (about -30 dB)
    if (u > 0.7 && u < 0.72) return 0.0;   // digital silence between movements
    return 1.0;
}

struct voice {
    double pan;  // 0 left .. 1 right
    double level;
};

// One frame of every instrument, as values around [-1, 1] per channel.
void music_frame(double t, Rng& noise, double hat_env, double out[2]) {
    static const int MELODY[] = {0, 3, 7, 10, 12, 10, 7, 5, 3, 5, 7, 3};
    static const int BASS[] = {-24, -24, -19, -17};
    const double beat = 0.25;
    const int step = static_cast<int>(t / beat);
    const double in_step = t - step * beat;
    // Plucked melody: decaying harmonics.
    const double f = note_hz(MELODY[step % 12]);
    double pluck = 0;
    for (int h = 1; h <= 5; h++) pluck += std::sin(2 * PI * f * h * t) * std::exp(-in_step * (4.0 + 3 * h)) / h;
    // Bass: two-bar pattern with a soft attack.
    const double fb = note_hz(BASS[(step / 8) % 4]);
    const double bass = std::sin(2 * PI * fb * t) * (1 - std::exp(-in_step * 40)) * 0.9;
    // Pad: detuned sines with a slow swell.
    const double swell = 0.5 + 0.5 * std::sin(2 * PI * 0.1 * t);
    const double pad = (std::sin(2 * PI * 261.6 * t) + std::sin(2 * PI * 262.9 * t) + std::sin(2 * PI * 392.4 * t)) *
                       swell / 3;
    // Hi-hat: noise bursts on the off-beats.
    const double hat = (noise.unit() * 2 - 1) * hat_env;
    const voice v[4] = {{0.3, 0.35}, {0.5, 0.45}, {0.7, 0.25}, {0.8, 0.12}};
    const double sig[4] = {pluck, bass, pad, hat};
    out[0] = out[1] = 0;
    for (int i = 0; i < 4; i++) {
        out[0] += sig[i] * v[i].level * (1 - v[i].pan) * 2;
        out[1] += sig[i] * v[i].level * v[i].pan * 2;
    }
}

std::vector<int16_t> synth_music(uint16_t channels, double seconds, uint64_t seed) {
    Rng rng{seed};
    const uint64_t frames = static_cast<uint64_t>(seconds * RATE);
    std::vector<int16_t> samples;
    samples.reserve(frames * channels);
    const double tempo = 0.9 + 0.2 * rng.unit();  // each seed plays at its own speed
    for (uint64_t i = 0; i < frames; i++) {
        const double t = static_cast<double>(i) / RATE;
        const double tt = t * tempo;
        const double off = std::fmod(tt, 0.25) - 0.125;
        const double hat_env = off >= 0 ? std::exp(-off * 60) : 0;
        double frame[2];
        music_frame(tt, rng, hat_env, frame);
        const double env = envelope(t, seconds) * 9000;
        for (uint16_t c = 0; c < channels; c++) {
            const double x = channels == 1 ? (frame[0] + frame[1]) / 2 : frame[c];
            // TPDF dither of one step, as a mastered recording has.
            const double dither = env > 0 ? rng.unit() - rng.unit() : 0;
            samples.push_back(static_cast<int16_t>(std::lround(std::max(-32768.0, std::min(32767.0, x * env + dither)))));
        }
    }
    return samples;
}

int cmd_music(int argc, char** argv) {
    if (argc != 6) return 2;
    const int channels = std::atoi(argv[3]);
    const double seconds = std::atof(argv[4]);
    if ((channels != 1 && channels != 2) || seconds < 1 || seconds > 3600) {
        std::fprintf(stderr, "audio_eval music: CHANNELS 1 or 2, SECONDS 1 to 3600\n");
        return 2;
    }
    const std::vector<int16_t> s = synth_music(static_cast<uint16_t>(channels), seconds, std::strtoull(argv[5], nullptr, 10));
    return write_file(argv[2], wav_bytes(s, static_cast<uint16_t>(channels))) ? 0 : 1;
}

// ---- Damage (damage.h) ----

bool audio_of(const Bytes& wav, const char* path, audio& a) {
    const wav_header h = parse_wav_header(wav.data(), wav.size());
    if (!wav_is_16bit_pcm(h)) {
        std::fprintf(stderr, "%s: not a 16-bit PCM WAV file\n", path);
        return false;
    }
    a.begin = h.data_offset;
    a.frame = h.block_align;
    const size_t size = std::min<size_t>(wav.size() - a.begin, h.data_size);
    a.end = a.begin + size / a.frame * a.frame;
    if (a.end - a.begin < 64 * a.frame) {
        std::fprintf(stderr, "%s: too short\n", path);
        return false;
    }
    return true;
}

int cmd_damage(int argc, char** argv) {
    if (argc < 8) return 2;  // a kind, a seed, the original and at least three copies
    const std::string kind = argv[2];
    Rng rng{std::strtoull(argv[3], nullptr, 10)};
    Bytes original;
    audio a;
    if (!read_file(argv[4], original) || !audio_of(original, argv[4], a)) return 1;
    std::vector<Bytes> copies(static_cast<size_t>(argc - 5), original);
    // Every kind lies over the same background of bursts and byte errors in each copy.
    for (Bytes& c : copies) damage_copy(c, original, a, rng, kind == "samples" ? LONE_CONCEALED : 0);
    if (kind == "samples") {
        damage_shared(copies, original, a, rng);
    } else if (kind == "interp") {
        conceal_runs(copies, original, a, INTERPOLATE, 10, 30, rng);
    } else if (kind == "hold") {
        conceal_runs(copies, original, a, HOLD, 10, 30, rng);
    } else if (kind == "mute") {
        conceal_runs(copies, original, a, MUTE, 2, 6, rng);
    } else if (kind == "mix") {
        conceal_runs(copies, original, a, INTERPOLATE, 5, 10, rng);
        conceal_runs(copies, original, a, HOLD, 5, 10, rng);
        conceal_runs(copies, original, a, MUTE, 1, 2, rng);
        damage_shared(copies, original, a, rng);
        scratches(copies, original, a, 30, rng);
    } else if (kind == "silence") {
        silence_misreads(copies, original, a, 20, rng);
        damage_shared(copies, original, a, rng);
    } else if (kind == "header") {
        header_damage(copies, rng);
        damage_shared(copies, original, a, rng);
    } else {
        std::fprintf(stderr, "audio_eval damage: unknown kind %s\n", kind.c_str());
        return 2;
    }
    for (size_t i = 0; i < copies.size(); i++) {
        if (!write_file(argv[5 + i], copies[i])) return 1;
    }
    return 0;
}

// The bytes that no copy holds right: no vote can restore them.
int cmd_bound(int argc, char** argv) {
    if (argc < 4) return 2;
    Bytes original;
    if (!read_file(argv[2], original)) return 1;
    std::vector<Bytes> copies(static_cast<size_t>(argc - 3));
    for (size_t i = 0; i < copies.size(); i++) {
        if (!read_file(argv[3 + i], copies[i])) return 1;
    }
    uint64_t wrong = 0;
    for (size_t q = 0; q < original.size(); q++) {
        bool held = false;
        for (const Bytes& c : copies) held = held || (q < c.size() && c[q] == original[q]);
        wrong += !held;
    }
    std::printf("%llu\n", static_cast<unsigned long long>(wrong));
    return 0;
}

// The copies that hold the 16-bit sample `v` at offset p.
uint64_t holders(const std::vector<Bytes>& copies, size_t p, int16_t v) {
    uint64_t n = 0;
    for (const Bytes& c : copies) n += p + 2 <= c.size() && get_sample(c, p) == v;
    return n;
}

// Samples where a smaller group overruled three or more copies holding the genuine value.
int cmd_overrules(int argc, char** argv) {
    if (argc < 5) return 2;
    Bytes original, restored;
    audio a;
    if (!read_file(argv[2], original) || !audio_of(original, argv[2], a) || !read_file(argv[3], restored)) {
        return 1;
    }
    std::vector<Bytes> copies(static_cast<size_t>(argc - 4));
    for (size_t i = 0; i < copies.size(); i++) {
        if (!read_file(argv[4 + i], copies[i])) return 1;
    }
    uint64_t wrong = 0;
    for (size_t p = a.begin; p + 2 <= a.end && p + 2 <= restored.size(); p += 2) {
        const int16_t genuine = get_sample(original, p), voted = get_sample(restored, p);
        if (voted == genuine) continue;
        const uint64_t right = holders(copies, p, genuine);
        if (right < 3 || holders(copies, p, voted) >= right) continue;
        bool largest = true;
        for (const Bytes& c : copies) largest = largest && holders(copies, p, get_sample(c, p)) <= right;
        wrong += largest;
    }
    std::printf("%llu\n", static_cast<unsigned long long>(wrong));
    return 0;
}

int cmd_score(int argc, char** argv) {
    if (argc != 4) return 2;
    Bytes original, restored;
    if (!read_file(argv[2], original) || !read_file(argv[3], restored)) return 1;
    const size_t common = std::min(original.size(), restored.size());
    uint64_t wrong = std::max(original.size(), restored.size()) - common;
    for (size_t i = 0; i < common; i++) wrong += original[i] != restored[i];
    std::printf("%llu\n", static_cast<unsigned long long>(wrong));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int rc = 2;
    if (argc >= 2 && std::strcmp(argv[1], "music") == 0) rc = cmd_music(argc, argv);
    else if (argc >= 2 && std::strcmp(argv[1], "damage") == 0) rc = cmd_damage(argc, argv);
    else if (argc >= 2 && std::strcmp(argv[1], "score") == 0) rc = cmd_score(argc, argv);
    else if (argc >= 2 && std::strcmp(argv[1], "bound") == 0) rc = cmd_bound(argc, argv);
    else if (argc >= 2 && std::strcmp(argv[1], "overrules") == 0) rc = cmd_overrules(argc, argv);
    if (rc == 2) {
        std::fprintf(stderr, "usage: audio_eval music OUT.wav CHANNELS SECONDS SEED\n"
                             "       audio_eval damage KIND SEED ORIGINAL.wav COPY1 COPY2 COPY3 [COPY...]\n"
                             "       audio_eval score ORIGINAL RESTORED\n"
                             "       audio_eval bound ORIGINAL COPY...\n"
                             "       audio_eval overrules ORIGINAL RESTORED COPY...\n"
                             "KIND: samples interp hold mute mix silence header\n");
    }
    return rc;
}
