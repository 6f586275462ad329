// align_material: test material for --align, the way rips of one track with different drive
// read offsets come out.
//
//   align_material synth OUT.wav SECONDS [SEED]
//       writes SECONDS of 16-bit 44.1 kHz stereo that behaves like music: two seconds of digital
//       silence, then notes of a scale with overtones and their own envelopes, drum hits, a
//       quiet passage of a few seconds, and a fade-out. The header is the 44-byte one that
//       demo_audio damage accepts.
//   align_material shift BYTES IN.wav OUT.wav
//       writes IN.wav's audio as a drive reading BYTES later (BYTES > 0) or earlier delivers it:
//       OUT's data byte q + BYTES holds IN's data byte q. Past the track's start the drive reads
//       the end of the track before it (more music); past its end, the lead-out (silence).
//       The header and the length stay.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "material.h"

namespace {

const uint32_t RATE = 44100;
const size_t HEADER = 44;

Bytes header(uint32_t data_bytes) {
    Bytes h;
    const char* tags[] = {"RIFF", "WAVE", "fmt ", "data"};
    h.insert(h.end(), tags[0], tags[0] + 4);
    put_le32(h, 36 + data_bytes);
    h.insert(h.end(), tags[1], tags[1] + 4);
    h.insert(h.end(), tags[2], tags[2] + 4);
    for (uint32_t v : {16u, 1u | 2u << 16, RATE, RATE * 4, 4u | 16u << 16}) put_le32(h, v);
    h.insert(h.end(), tags[3], tags[3] + 4);
    put_le32(h, data_bytes);
    return h;
}

// Adds one note: a fundamental with two overtones under an attack-decay envelope, panned.
void add_note(std::vector<double>& mix, size_t at, size_t len, double freq, double gain, double pan) {
    for (size_t f = 0; f < len && at + f < mix.size() / 2; f++) {
        const double t = static_cast<double>(f) / RATE;
        const double env = std::min(1.0, t * 200) * std::exp(-3.0 * t);
        const double v = gain * env *
                         (std::sin(2 * M_PI * freq * t) + 0.4 * std::sin(4 * M_PI * freq * t) +
                          0.2 * std::sin(6 * M_PI * freq * t + 0.3));
        mix[2 * (at + f)] += v * (1 - pan);
        mix[2 * (at + f) + 1] += v * pan;
    }
}

void add_drum(std::vector<double>& mix, size_t at, Rng& rng) {
    for (size_t f = 0; f < RATE / 5 && at + f < mix.size() / 2; f++) {
        const double env = std::exp(-25.0 * static_cast<double>(f) / RATE);
        for (int c = 0; c < 2; c++) mix[2 * (at + f) + c] += 6000 * env * (2 * rng.unit() - 1);
    }
}

Bytes synth(uint32_t seconds, uint64_t seed) {
    const size_t frames = static_cast<size_t>(seconds) * RATE;
    std::vector<double> mix(2 * frames, 0.0);
    Rng rng{seed};
    static const double scale[] = {220.0, 246.94, 277.18, 293.66, 329.63, 369.99, 415.30, 440.0};
    const size_t start = 2 * RATE, quiet_from = frames / 3, quiet_to = quiet_from + 5 * RATE;
    for (size_t at = start; at < frames; at += RATE / 8 + rng.next() % (RATE / 3)) {
        const double gain = at >= quiet_from && at < quiet_to ? 60 : 2500 + 4000 * rng.unit();
        add_note(mix, at, RATE, scale[rng.next() % 8] * (rng.next() % 3 == 0 ? 0.5 : 1.0), gain, rng.unit());
        if ((at < quiet_from || at >= quiet_to) && rng.next() % 3 == 0) add_drum(mix, at, rng);
    }
    Bytes wav = header(static_cast<uint32_t>(4 * frames));
    const size_t fade = 3 * RATE;
    for (size_t f = 0; f < frames; f++) {
        const double g = frames - f < fade ? static_cast<double>(frames - f) / fade : 1.0;
        for (int c = 0; c < 2; c++) {
            const double v = std::max(-32768.0, std::min(32767.0, std::round(mix[2 * f + c] * g)));
            put_le16(wav, static_cast<uint16_t>(static_cast<int16_t>(v)));
        }
    }
    return wav;
}

Bytes shift(const Bytes& in, long bytes) {
    Bytes out(in.begin(), in.begin() + HEADER);
    const size_t n = in.size() - HEADER;
    const size_t k = static_cast<size_t>(std::labs(bytes));
    if (bytes >= 0) {
        // The end of the track before: another stretch of music, not the start of this one.
        const Bytes before = synth(1 + static_cast<uint32_t>(k / (4 * RATE)) + 3, 7);
        out.insert(out.end(), before.end() - static_cast<long>(k), before.end());
        out.insert(out.end(), in.begin() + HEADER, in.end() - static_cast<long>(k));
    } else {
        out.insert(out.end(), in.begin() + HEADER + static_cast<long>(k), in.end());
        out.resize(HEADER + n, 0);
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "synth") == 0) {
        const uint64_t seed = argc >= 5 ? std::strtoull(argv[4], nullptr, 10) : 1;
        return write_file(argv[2], synth(static_cast<uint32_t>(std::atoi(argv[3])), seed)) ? 0 : 1;
    }
    if (argc == 5 && std::strcmp(argv[1], "shift") == 0) {
        Bytes in;
        if (!read_file(argv[3], in) || in.size() < HEADER) {
            std::fprintf(stderr, "align_material: cannot read %s\n", argv[3]);
            return 1;
        }
        const long bytes = std::strtol(argv[2], nullptr, 10);
        if (static_cast<size_t>(std::labs(bytes)) > in.size() - HEADER) return 1;
        return write_file(argv[4], shift(in, bytes)) ? 0 : 1;
    }
    std::fprintf(stderr,
                 "usage: align_material synth OUT.wav SECONDS [SEED]\n"
                 "       align_material shift BYTES IN.wav OUT.wav\n");
    return 2;
}
