#include "audio/wav_header.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/coding.h"
#include "base/read_at.h"

namespace {

bool is_tag(const uint8_t* p, const char* tag) { return memcmp(p, tag, 4) == 0; }

void read_fmt(wav_header& h, const uint8_t* body) {
    h.format = load16(body);
    h.channels = load16(body + 2);
    h.sample_rate = load32(body + 4);
    h.byte_rate = load32(body + 8);
    h.block_align = load16(body + 12);
    h.bits_per_sample = load16(body + 14);
}

// Where the walk reads from: the head of a file in memory, or an open file by position. Each
// gives `n` bytes at `at`, or false; the walk never asks beyond the size it was given.
struct memory_source {
    const uint8_t* bytes;
    bool get(uint64_t at, uint8_t* dst, uint64_t n) const {
        memcpy(dst, bytes + at, n);
        return true;
    }
};

struct file_source {
    int fd;
    bool get(uint64_t at, uint8_t* dst, uint64_t n) const {
        return read_at(fd, dst, n, at) == static_cast<int64_t>(n);
    }
};

// Walks the chunks of the first `n` bytes: each a 4-byte tag, a 4-byte size, the body, padded
// to an even length. Only the chunk headers and the fmt body are read.
// What the walk met, for saying what is wrong with a header.
struct chunks_seen {
    bool fmt = false;
    bool data = false;
    bool fmt_after_data = false;
};

// `seen`, when given, asks the walk to go on past the data chunk to find a fmt chunk behind it.
template <typename Source>
wav_header walk_chunks(const Source& src, uint64_t n, chunks_seen* seen = nullptr) {
    wav_header h;
    uint8_t head[12];
    if (n < 12 || !src.get(0, head, 12) || !is_tag(head, "RIFF") || !is_tag(head + 8, "WAVE")) return h;
    chunks_seen local;
    chunks_seen& s = seen ? *seen : local;
    for (uint64_t at = 12; at + 8 <= n;) {
        uint8_t chunk[8];
        if (!src.get(at, chunk, 8)) return h;
        const uint64_t size = load32(chunk + 4);
        const uint64_t body = at + 8;
        if (is_tag(chunk, "fmt ")) {
            s.fmt_after_data = s.data;
            if (s.data) return h;
            uint8_t fmt[16];
            if (size < 16 || body + 16 > n || !src.get(body, fmt, 16)) return h;
            read_fmt(h, fmt);
            s.fmt = true;
        } else if (is_tag(chunk, "data") && !s.data) {
            h.data_offset = body;
            h.data_size = size;
            h.valid = s.fmt && h.channels > 0 && h.block_align > 0;
            s.data = true;
            if (h.valid || !seen || s.fmt) return h;
        }
        at = body + size + (size & 1);
    }
    return h;
}

}  // namespace

wav_header parse_wav_header(const uint8_t* bytes, uint64_t n) {
    const memory_source src = {bytes};
    return walk_chunks(src, n);
}

wav_header read_wav_header(int fd, uint64_t size) {
    // Direct I/O reads only aligned blocks into aligned memory: it is off while the chunk headers
    // are read one by one.
    const int flags = fcntl(fd, F_GETFL);
    const bool direct = flags != -1 && (flags & O_DIRECT) != 0;
    if (direct) fcntl(fd, F_SETFL, flags & ~O_DIRECT);
    const file_source src = {fd};
    const wav_header h = walk_chunks(src, size);
    if (direct) fcntl(fd, F_SETFL, flags);
    return h;
}

const char* wav_fault(const uint8_t* bytes, uint64_t n) {
    const memory_source src = {bytes};
    chunks_seen seen;
    const wav_header h = walk_chunks(src, n, &seen);
    if (seen.fmt_after_data) return "its fmt chunk comes after its data chunk";
    if (!seen.data)
        return seen.fmt ? "its data chunk cannot be found" : "it has neither a fmt nor a data chunk";
    if (!seen.fmt) return "it has no fmt chunk";
    if (h.block_align == 0) return "its fmt chunk states a frame size (block align) of 0";
    if (h.channels == 0) return "its fmt chunk states 0 channels";
    if (h.bits_per_sample % 8 == 0 && h.block_align != h.channels * h.bits_per_sample / 8) {
        return "its frame size (block align) does not fit its channels and sample size";
    }
    return nullptr;
}

uint64_t wav_data_end(const wav_header& h, uint64_t file_size) {
    const bool open_ended = h.data_size == 0 || h.data_size == 0xFFFFFFFFu;
    if (open_ended || h.data_size > file_size - std::min(h.data_offset, file_size)) return file_size;
    return h.data_offset + h.data_size;
}

bool wav_is_16bit_pcm(const wav_header& h) {
    return h.valid && h.bits_per_sample == 16 && (h.format == 1 || h.format == 0xFFFE) &&
           h.block_align == 2 * h.channels;
}

bool wav_is_cd_audio(const wav_header& h) {
    return wav_is_16bit_pcm(h) && h.channels == 2 && h.sample_rate == 44100;
}
