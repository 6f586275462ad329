#include "audio/wav_header.h"

#include <cstring>

namespace {

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

bool is_tag(const uint8_t* p, const char* tag) { return memcmp(p, tag, 4) == 0; }

void read_fmt(wav_header& h, const uint8_t* body) {
    h.format = le16(body);
    h.channels = le16(body + 2);
    h.sample_rate = le32(body + 4);
    h.byte_rate = le32(body + 8);
    h.block_align = le16(body + 12);
    h.bits_per_sample = le16(body + 14);
}

}  // namespace

wav_header parse_wav_header(const uint8_t* bytes, uint64_t n) {
    wav_header h;
    if (n < 12 || !is_tag(bytes, "RIFF") || !is_tag(bytes + 8, "WAVE")) return h;
    bool have_fmt = false;
    uint64_t at = 12;
    // Each chunk: a 4-byte tag, a 4-byte size, the body, padded to an even length.
    while (at + 8 <= n) {
        const uint8_t* chunk = bytes + at;
        const uint64_t size = le32(chunk + 4);
        const uint64_t body = at + 8;
        if (is_tag(chunk, "fmt ")) {
            if (size < 16 || body + 16 > n) return h;
            read_fmt(h, bytes + body);
            have_fmt = true;
        } else if (is_tag(chunk, "data")) {
            h.data_offset = body;
            h.data_size = size;
            h.valid = have_fmt && h.channels > 0 && h.block_align > 0;
            return h;
        }
        at = body + size + (size & 1);
    }
    return h;
}

bool wav_is_16bit_pcm(const wav_header& h) {
    return h.valid && h.bits_per_sample == 16 && (h.format == 1 || h.format == 0xFFFE) &&
           h.block_align == 2 * h.channels;
}

bool wav_is_cd_audio(const wav_header& h) {
    return wav_is_16bit_pcm(h) && h.channels == 2 && h.sample_rate == 44100;
}
