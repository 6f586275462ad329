#include "audio/flac_sink.h"

#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "base/coding.h"

namespace {

FLAC__StreamEncoderWriteStatus write_callback(const FLAC__StreamEncoder*, const FLAC__byte buffer[],
                                              size_t bytes, uint32_t, uint32_t, void* self) {
    return static_cast<FLAC__StreamEncoderWriteStatus>(
        static_cast<flac_sink*>(self)->on_write(buffer, bytes));
}

// The STREAMINFO is rewritten in place once the totals are known; an output that cannot seek (a
// pipe) keeps the one written first.
FLAC__StreamEncoderSeekStatus seek_callback(const FLAC__StreamEncoder*, FLAC__uint64 offset, void* self) {
    const int fd = static_cast<flac_sink*>(self)->fd();
    if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) != -1) return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
    return errno == ESPIPE ? FLAC__STREAM_ENCODER_SEEK_STATUS_UNSUPPORTED
                           : FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
}

FLAC__StreamEncoderTellStatus tell_callback(const FLAC__StreamEncoder*, FLAC__uint64* offset, void* self) {
    const off_t at = lseek(static_cast<flac_sink*>(self)->fd(), 0, SEEK_CUR);
    if (at == -1) {
        return errno == ESPIPE ? FLAC__STREAM_ENCODER_TELL_STATUS_UNSUPPORTED
                               : FLAC__STREAM_ENCODER_TELL_STATUS_ERROR;
    }
    *offset = static_cast<FLAC__uint64>(at);
    return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

}  // namespace

int flac_sink::on_write(const uint8_t* bytes, size_t n) {
    while (n > 0) {
        const ssize_t put = ::write(fd_, bytes, n);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            write_errno = put < 0 ? errno : EIO;
            return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
        }
        bytes += put;
        n -= static_cast<size_t>(put);
    }
    return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
}

bool flac_sink::failed(const char* why) {
    why_ = write_errno != 0 ? strerror(write_errno) : why;
    return false;
}

int flac_sink::start(int fd, const flac_sink_layout& layout, uint64_t block_size, FLAC__StreamMetadata** tags,
                     unsigned count) {
    fd_ = fd;
    layout_ = layout;
    for (unsigned t = 0; t < count && tag_count_ < sizeof tags_ / sizeof tags_[0]; t++)
        tags_[tag_count_++] = tags[t];
    samples_ = new (std::nothrow) int32_t[block_size / 2 + 8];
    encoder_ = FLAC__stream_encoder_new();
    if (!samples_ || !encoder_) return failed("out of memory for the encoder"), -1;
    const uint64_t frame_bytes = 2ull * layout.channels;
    bool set = FLAC__stream_encoder_set_channels(encoder_, layout.channels) &&
               FLAC__stream_encoder_set_bits_per_sample(encoder_, 16) &&
               FLAC__stream_encoder_set_sample_rate(encoder_, layout.sample_rate) &&
               FLAC__stream_encoder_set_compression_level(encoder_, 5) &&
               FLAC__stream_encoder_set_total_samples_estimate(
                   encoder_, (layout.audio_hi - layout.audio_lo) / frame_bytes);
    if (set && tag_count_ > 0) set = FLAC__stream_encoder_set_metadata(encoder_, tags_, tag_count_);
    if (!set) return failed("the encoder refuses the audio's format"), -1;
    const FLAC__StreamEncoderInitStatus init = FLAC__stream_encoder_init_stream(
        encoder_, write_callback, seek_callback, tell_callback, nullptr, this);
    if (init != FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
        return failed(init == FLAC__STREAM_ENCODER_INIT_STATUS_ENCODER_ERROR
                          ? FLAC__StreamEncoderStateString[FLAC__stream_encoder_get_state(encoder_)]
                          : FLAC__StreamEncoderInitStatusString[init]),
               -1;
    }
    return 0;
}

// Encodes whole sample frames of `n` bytes of audio; a frame cut by the end of the bytes waits in
// carry_ for the rest.
bool flac_sink::encode(const uint8_t* bytes, uint64_t n) {
    const uint64_t frame_bytes = 2ull * layout_.channels;
    uint64_t k = 0;
    while (carried_ > 0 && carried_ < frame_bytes && n > 0) {
        carry_[carried_++] = *bytes++;
        n--;
    }
    if (carried_ == frame_bytes) {
        for (unsigned c = 0; c < layout_.channels; c++) samples_[k++] = load_sample16(carry_ + 2 * c);
        carried_ = 0;
    }
    const uint64_t whole = n / frame_bytes * frame_bytes;
    for (uint64_t q = 0; q < whole; q += 2) samples_[k++] = load_sample16(bytes + q);
    for (uint64_t q = whole; q < n; q++) carry_[carried_++] = bytes[q];
    if (k == 0) return true;
    if (FLAC__stream_encoder_process_interleaved(encoder_, samples_,
                                                 static_cast<uint32_t>(k / layout_.channels))) {
        return true;
    }
    return failed(FLAC__StreamEncoderStateString[FLAC__stream_encoder_get_state(encoder_)]);
}

bool flac_sink::write(const uint8_t* data, uint64_t len) {
    const uint64_t start = offset_, end = offset_ + len;
    offset_ = end;
    const uint64_t lo = start > layout_.audio_lo ? start : layout_.audio_lo;
    const uint64_t hi = end < layout_.audio_hi ? end : layout_.audio_hi;
    if (lo >= hi) return true;
    return encode(data + (lo - start), hi - lo);
}

bool flac_sink::finish() {
    if (FLAC__stream_encoder_finish(encoder_)) return true;
    return failed(FLAC__StreamEncoderStateString[FLAC__stream_encoder_get_state(encoder_)]);
}

void flac_sink::close() {
    if (encoder_) FLAC__stream_encoder_delete(encoder_);
    encoder_ = nullptr;
    delete[] samples_;
    samples_ = nullptr;
    for (unsigned t = 0; t < tag_count_; t++) FLAC__metadata_object_delete(tags_[t]);
    tag_count_ = 0;
}
