#include "audio/track_checksums.h"

#include <cstdlib>
#include <cstring>

#include "audio/wav_header.h"
#include "base/coding.h"

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
    const bool open_ended = h.data_size == 0 || h.data_size == 0xFFFFFFFFu;
    audio_end = open_ended ? UINT64_MAX : h.data_offset + h.data_size;
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
        // Every frame counts and nothing is kept: the plain sums, which the compiler vectorises.
        uint64_t i = frames;
        uint32_t s1 = 0, s2 = 0;
        for (uint64_t k = 0; k < whole; k += 4) {
            const uint64_t p = ++i * load32(data + k);
            s1 += static_cast<uint32_t>(p);
            s2 += static_cast<uint32_t>(p) + static_cast<uint32_t>(p >> 32);
        }
        frames = i;
        v1 += s1;
        v2 += s2;
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

const uint8_t* track_checksums::digest(int algo) const {
    return md_ ? gcry_md_read(md_, algo) : nullptr;
}
