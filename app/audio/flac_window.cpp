#include "audio/flac_window.h"

#include <sys/stat.h>

#include <cstring>

#include "base/coding.h"
#include "base/read_at.h"

namespace {

flac_window& self_of(void* client) { return *static_cast<flac_window*>(client); }

FLAC__StreamDecoderReadStatus read_callback(const FLAC__StreamDecoder*, FLAC__byte buffer[], size_t* bytes,
                                            void* client) {
    return static_cast<FLAC__StreamDecoderReadStatus>(self_of(client).on_read(buffer, bytes));
}

FLAC__StreamDecoderSeekStatus seek_callback(const FLAC__StreamDecoder*, FLAC__uint64 offset, void* client) {
    self_of(client).at_ = offset;
    return FLAC__STREAM_DECODER_SEEK_STATUS_OK;
}

FLAC__StreamDecoderTellStatus tell_callback(const FLAC__StreamDecoder*, FLAC__uint64* offset, void* client) {
    *offset = self_of(client).at_;
    return FLAC__STREAM_DECODER_TELL_STATUS_OK;
}

FLAC__StreamDecoderLengthStatus length_callback(const FLAC__StreamDecoder*, FLAC__uint64* length,
                                                void* client) {
    *length = self_of(client).size_;
    return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
}

FLAC__bool eof_callback(const FLAC__StreamDecoder*, void* client) {
    const flac_window& w = self_of(client);
    return w.at_ >= w.size_;
}

FLAC__StreamDecoderWriteStatus write_callback(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                              const FLAC__int32* const buffer[], void* client) {
    const FLAC__FrameHeader& h = frame->header;
    const uint64_t first = h.number_type == FLAC__FRAME_NUMBER_TYPE_SAMPLE_NUMBER
                               ? h.number.sample_number
                               : static_cast<uint64_t>(h.number.frame_number) * h.blocksize;
    const bool go = self_of(client).on_frame(first, h.blocksize, h.channels, buffer);
    return go ? FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE : FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
}

void metadata_callback(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* block, void* client) {
    if (block->type != FLAC__METADATA_TYPE_STREAMINFO) return;
    flac_window& w = self_of(client);
    w.channels_ = block->data.stream_info.channels;
    w.total_ = block->data.stream_info.total_samples;
}

// A frame that fails its CRC comes as silence and a lost one is skipped: either way the stretch
// being decoded cannot be told.
void error_callback(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* client) {
    self_of(client).failed_ = true;
}

}  // namespace

int flac_window::open(int fd, uint64_t start) {
    struct stat st;
    if (fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_size) < start) return -1;
    fd_ = fd;
    start_ = start;
    size_ = static_cast<uint64_t>(st.st_size) - start;
    at_ = 0;
    decoder_ = FLAC__stream_decoder_new();
    if (!decoder_) return -1;
    if (FLAC__stream_decoder_init_stream(decoder_, read_callback, seek_callback, tell_callback,
                                         length_callback, eof_callback, write_callback, metadata_callback,
                                         error_callback, this) != FLAC__STREAM_DECODER_INIT_STATUS_OK)
        return -1;
    failed_ = false;
    if (!FLAC__stream_decoder_process_until_end_of_metadata(decoder_) || failed_) return -1;
    return channels_ > 0 && total_ > 0 ? 0 : -1;
}

int flac_window::on_read(uint8_t* buffer, size_t* bytes) {
    const int64_t got = read_at(fd_, buffer, *bytes, start_ + at_);
    if (got < 0) {
        *bytes = 0;
        return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
    }
    *bytes = static_cast<size_t>(got);
    at_ += static_cast<uint64_t>(got);
    return got == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM
                    : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
}

bool flac_window::on_frame(uint64_t first, uint32_t length, uint32_t channels,
                           const int32_t* const* samples) {
    if (channels != channels_ || !dst_) return false;
    const uint64_t from = want_ + got_;  // the next sample the stretch needs
    if (first > from) {
        failed_ = true;  // a frame skipped
        return false;
    }
    for (uint64_t u = from - first; u < length && got_ < frames_; u++, got_++) {
        uint8_t* p = dst_ + got_ * 2 * channels;
        for (uint32_t c = 0; c < channels; c++) store16(p + 2 * c, static_cast<uint16_t>(samples[c][u]));
    }
    return true;
}

int64_t flac_window::read(uint8_t* dst, uint64_t n, uint64_t pos) {
    if (!decoder_) return -1;
    const uint64_t frame_bytes = 2ull * channels_;
    want_ = pos / frame_bytes;
    if (want_ >= total_) return 0;
    frames_ = n / frame_bytes;
    if (frames_ > total_ - want_) frames_ = total_ - want_;
    got_ = 0;
    dst_ = dst;
    failed_ = false;
    bool ok = FLAC__stream_decoder_seek_absolute(decoder_, want_);
    while (ok && !failed_ && got_ < frames_ &&
           FLAC__stream_decoder_get_state(decoder_) != FLAC__STREAM_DECODER_END_OF_STREAM)
        ok = FLAC__stream_decoder_process_single(decoder_);
    dst_ = nullptr;
    if (!ok || failed_ || got_ < frames_) {
        // A failed seek leaves the decoder waiting for a flush before it can seek again.
        FLAC__stream_decoder_flush(decoder_);
        return -1;
    }
    return static_cast<int64_t>(got_ * frame_bytes);
}

void flac_window::close() {
    if (decoder_) FLAC__stream_decoder_delete(decoder_);
    decoder_ = nullptr;
}
