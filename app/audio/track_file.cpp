#include "audio/track_file.h"

#include <strings.h>

#include <cstring>
#include <vector>

#include "audio/flac_source.h"
#include "audio/wav_header.h"
#include "base/coding.h"
#include "base/read_at.h"

namespace {

// FLAC's canonical WAV header, which a FLAC copy is voted behind.
const uint64_t FLAC_VOTED_HEADER = 44;
const uint32_t MAX_TRACK_NUMBER = 99;
const uint32_t MAX_COMMENT_BLOCK = 1u << 24;

// The number a tag value starts with ("7", "07/12"); 0 when it starts with none or is too big.
uint32_t leading_number(const char* text, size_t n) {
    uint32_t value = 0;
    size_t k = 0;
    for (; k < n && text[k] >= '0' && text[k] <= '9'; k++) {
        value = value * 10 + static_cast<uint32_t>(text[k] - '0');
        if (value > MAX_TRACK_NUMBER) return 0;
    }
    return k == 0 ? 0 : value;
}

// TRACKNUMBER from a Vorbis comment block's body.
uint32_t comment_track_number(const uint8_t* body, uint64_t n) {
    if (n < 8) return 0;
    uint64_t at = 4 + static_cast<uint64_t>(load32(body));
    if (at + 4 > n) return 0;
    const uint32_t count = load32(body + at);
    at += 4;
    static const char KEY[] = "TRACKNUMBER=";
    const size_t key_length = sizeof KEY - 1;
    for (uint32_t c = 0; c < count && at + 4 <= n; c++) {
        const uint64_t length = load32(body + at);
        at += 4;
        if (at + length > n) return 0;
        const char* text = reinterpret_cast<const char*>(body + at);
        if (length > key_length && strncasecmp(text, KEY, key_length) == 0) {
            return leading_number(text + key_length, length - key_length);
        }
        at += length;
    }
    return 0;
}

// STREAMINFO's layout: 20 bits rate, 3 bits channels - 1, 5 bits bits - 1, 36 bits samples.
void take_streaminfo(const uint8_t* s, track_file_info& info) {
    const uint32_t channels = ((s[12] >> 1) & 7u) + 1;
    const uint32_t bits = (((s[12] & 1u) << 4) | (s[13] >> 4)) + 1;
    const uint64_t samples = static_cast<uint64_t>(s[13] & 0x0Fu) << 32 | load_be32(s + 14);
    info.frame_bytes = channels * ((bits + 7) / 8);
    info.rate = load_be32(s + 10) >> 12;
    info.channels = channels;
    info.audio_bytes = samples * info.frame_bytes;
    info.data_offset = FLAC_VOTED_HEADER;
}

// Walks the metadata blocks behind the signature at offset `start`.
void read_flac(int fd, uint64_t size, uint64_t start, track_file_info& info) {
    uint64_t at = start + 4;
    for (bool last = false; !last && at + 4 <= size;) {
        uint8_t head[4];
        if (read_at(fd, head, 4, at) != 4) return;
        last = (head[0] & 0x80u) != 0;
        const uint32_t type = head[0] & 0x7Fu;
        const uint32_t length = load_be24(head + 1);
        at += 4;
        if ((type == 0 && length >= 34) || (type == 4 && length <= MAX_COMMENT_BLOCK)) {
            std::vector<uint8_t> body(length);
            if (read_at(fd, body.data(), length, at) != static_cast<int64_t>(length)) return;
            if (type == 0) take_streaminfo(body.data(), info);
            if (type == 4) info.track_number = comment_track_number(body.data(), length);
        }
        at += length;
    }
}

bool may_precede_number(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == ' ' || c == '_' || c == '-';
}

}  // namespace

track_file_info read_track_file(int fd, uint64_t size) {
    track_file_info info;
    uint8_t head[12] = {};
    if (read_at(fd, head, sizeof head, 0) < 4) return info;
    const int64_t flac_start = flac_stream_start(fd);
    if (flac_start >= 0) {
        info.audio = true;
        info.flac = true;
        read_flac(fd, size, static_cast<uint64_t>(flac_start), info);
        return info;
    }
    if (memcmp(head, "RIFF", 4) != 0 || memcmp(head + 8, "WAVE", 4) != 0) return info;
    const wav_header h = read_wav_header(fd, size);
    if (!h.valid) return info;
    info.audio = true;
    info.data_offset = h.data_offset;
    info.audio_bytes = wav_data_end(h, size) - h.data_offset;
    info.frame_bytes = h.block_align;
    info.rate = h.sample_rate;
    info.channels = h.channels;
    return info;
}

uint32_t name_track_number(const char* name) {
    size_t k = 0;
    while (may_precede_number(name[k])) k++;
    return leading_number(name + k, strlen(name + k));
}
