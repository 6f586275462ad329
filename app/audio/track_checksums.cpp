#include "audio/track_checksums.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cstdlib>
#include <cstring>
#include <utility>

#include "audio/wav_header.h"
#include "base/coding.h"
#include "base/cpu.h"

namespace {

// Where every frame counts and nothing is kept, the sums reduce to two: sum of the products p
// (whose low 32 bits give v1) and sum of their high halves (which v2 adds), mod 2^64 each. Frames
// `count` from index `first` on.
void frame_sums_plain(const uint8_t* data, uint64_t count, uint64_t first, uint64_t& sum, uint64_t& high) {
    for (uint64_t k = 0; k < count; k++) {
        const uint64_t p = (first + k) * load32(data + 4 * k);
        sum += p;
        high += p >> 32;
    }
}

#if defined(__x86_64__)
// The same four frames at a time: the block was just written and sits in the caches, so this runs
// at several bytes per cycle where the plain loop manages about one.
__attribute__((target("avx2"))) void frame_sums_avx2(const uint8_t* data, uint64_t count, uint64_t first,
                                                     uint64_t& sum, uint64_t& high) {
    const uint64_t quads = count / 4;
    __m256i index = _mm256_set_epi64x(static_cast<long long>(first + 3), static_cast<long long>(first + 2),
                                      static_cast<long long>(first + 1), static_cast<long long>(first));
    const __m256i four = _mm256_set1_epi64x(4);
    __m256i s = _mm256_setzero_si256(), h = _mm256_setzero_si256();
    for (uint64_t q = 0; q < quads; q++) {
        const __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * q));
        const __m256i p = _mm256_mul_epu32(index, _mm256_cvtepu32_epi64(words));
        s = _mm256_add_epi64(s, p);
        h = _mm256_add_epi64(h, _mm256_srli_epi64(p, 32));
        index = _mm256_add_epi64(index, four);
    }
    uint64_t lanes[8];
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), s);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes + 4), h);
    sum += lanes[0] + lanes[1] + lanes[2] + lanes[3];
    high += lanes[4] + lanes[5] + lanes[6] + lanes[7];
    frame_sums_plain(data + 16 * quads, count - 4 * quads, first + 4 * quads, sum, high);
}
#endif

// REQUIRES: first + count < 2^32, which the vector path's 32-bit multiplier needs (a track of
// 2^32 frames would be 16 GiB).
void frame_sums(const uint8_t* data, uint64_t count, uint64_t first, uint64_t& sum, uint64_t& high) {
#if defined(__x86_64__)
    if (cpu_has_avx2() && first + count < (1ull << 32)) {
        frame_sums_avx2(data, count, first, sum, high);
        return;
    }
#endif
    frame_sums_plain(data, count, first, sum, high);
}

}  // namespace

void ar_counted_range(uint64_t frames, track_position pos, uint64_t& first, uint64_t& last) {
    const bool is_first = pos.number == 1;
    const bool is_last = pos.count != 0 && pos.number == pos.count;
    first = is_first ? AR_FIRST_TRACK_SKIP + 1 : 1;
    last = frames;
    if (is_last) last = frames > AR_LAST_TRACK_SKIP ? frames - AR_LAST_TRACK_SKIP : 0;
}

track_checksums::~track_checksums() {
    if (md_) gcry_md_close(md_);
    free(tail_v1_);
}

unsigned track_checksums::start(track_position pos, const int* algos, unsigned n) {
    if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
        // No digest switch has set the library up: the same set-up as for the digests.
        gcry_check_version(nullptr);
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    }
    pos_ = pos;
    uint64_t last;
    ar_counted_range(UINT64_MAX, pos, first_counted_, last);
    gcry_error_t error = gcry_md_open(&md_, GCRY_MD_CRC32, 0);
    for (unsigned k = 0; error == 0 && k < n; k++) error = gcry_md_enable(md_, algos[k]);
    if (error != 0) return error;
    if (pos.count != 0 && pos.number == pos.count) {
        tail_v1_ = static_cast<uint32_t*>(calloc(2 * AR_LAST_TRACK_SKIP, sizeof(uint32_t)));
        if (!tail_v1_) return gpg_error_from_syserror();
        tail_v2_ = tail_v1_ + AR_LAST_TRACK_SKIP;
    }
    return 0;
}

void track_checksums::set_layout(const uint8_t* head, uint64_t n) {
    const wav_header h = parse_wav_header(head, n);
    const bool riff = n >= 12 && memcmp(head, "RIFF", 4) == 0 && memcmp(head + 8, "WAVE", 4) == 0;
    if (!h.valid) {
        applies = !riff;  // raw data are taken as CD audio as they are
        audio_begin = 0;
        audio_end = riff ? 0 : UINT64_MAX;
        return;
    }
    applies = wav_is_cd_audio(h);
    audio_begin = h.data_offset;
    audio_end = wav_data_end(h, UINT64_MAX);
}

void track_checksums::add_frame(uint32_t word) {
    const uint64_t i = ++frames;
    if (i < first_counted_) return;
    const uint32_t t1 = ar_v1_term(i, word), t2 = ar_v2_term(i, word);
    v1 += t1;
    v2 += t2;
    if (tail_v1_) {
        tail_v1_[i % AR_LAST_TRACK_SKIP] = t1;
        tail_v2_[i % AR_LAST_TRACK_SKIP] = t2;
    }
}

// The frames of a run of audio bytes; a frame split between two feeds waits in carry_.
void track_checksums::feed_audio(const uint8_t* data, uint64_t n) {
    gcry_md_write(md_, data, n);
    if (!applies) return;
    while (carried_ > 0 && carried_ < 4 && n > 0) {
        carry_[carried_++] = *data++;
        n--;
    }
    if (carried_ == 4) {
        add_frame(load32(carry_));
        carried_ = 0;
    }
    const uint64_t whole = n / 4 * 4;
    if (tail_v1_ || frames + 1 < first_counted_) {
        for (uint64_t k = 0; k < whole; k += 4) add_frame(load32(data + k));
    } else {
        uint64_t sum = 0, high = 0;
        frame_sums(data, whole / 4, frames + 1, sum, high);
        frames += whole / 4;
        v1 += static_cast<uint32_t>(sum);
        v2 += static_cast<uint32_t>(sum) + static_cast<uint32_t>(high);
    }
    for (uint64_t k = whole; k < n; k++) carry_[carried_++] = data[k];
}

void track_checksums::feed(uint64_t offset, const uint8_t* data, uint64_t n) {
    const uint64_t end = offset + n;
    const uint64_t from = offset > audio_begin ? offset : audio_begin;
    const uint64_t to = end < audio_end ? end : audio_end;
    if (from < to) feed_audio(data + (from - offset), to - from);
}

void track_checksums::finish() {
    if (tail_v1_) {
        // The last frames were counted as they came; the last track leaves them out.
        const uint64_t kept = frames < AR_LAST_TRACK_SKIP ? frames : AR_LAST_TRACK_SKIP;
        for (uint64_t i = frames - kept + 1; i <= frames; i++) {
            if (i < first_counted_) continue;
            v1 -= tail_v1_[i % AR_LAST_TRACK_SKIP];
            v2 -= tail_v2_[i % AR_LAST_TRACK_SKIP];
        }
    }
    gcry_md_final(md_);
    crc32 = load32(gcry_md_read(md_, GCRY_MD_CRC32));
    crc32 = __builtin_bswap32(crc32);  // libgcrypt gives the CRC's bytes most significant first
}

void track_checksums::adopt(track_checksums& other) {
    applies = other.applies;
    audio_begin = other.audio_begin;
    audio_end = other.audio_end;
    frames = other.frames;
    v1 = other.v1;
    v2 = other.v2;
    crc32 = other.crc32;
    std::swap(md_, other.md_);
}

const uint8_t* track_checksums::digest(int algo) const { return md_ ? gcry_md_read(md_, algo) : nullptr; }
