#include "audio/flac_source.h"

// The span stage of a flac_source: a copy made of pieces of several WAV and FLAC files (a rip read
// across its track files), each piece read or decoded into the one stream the vote reads, and the
// stretches no piece holds marked absent.

#include <FLAC/metadata.h>
#include <FLAC/stream_decoder.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "audio/flac_callbacks.h"
#include "audio/wav_header.h"
#include "base/coding.h"
#include "base/read_at.h"

using namespace flac_callbacks;

// The span's pieces: a piece's reason names its file, for the copy is named by the span.
void flac_source::fail_piece(const std::string& path, const char* why) { fail((path + ": " + why).c_str()); }

int flac_source::open_span(const audio_span& span, bool keep_tags) {
    span_ = true;
    span_pieces_ = span;
    keep_tags_ = keep_tags;
    format_.sample_rate = span.rate;
    format_.channels = span.channels;
    format_.bits = 16;
    format_.total_samples = span.frames();
    format_.max_blocksize = 0;
    if (keep_tags && !span.tags_from.empty() && read_span_tags(span.tags_from) != 0) return -1;
    return 0;
}

// Keeps the Vorbis comments and pictures of the FLAC file `path`.
int flac_source::read_span_tags(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        snprintf(why_text_, sizeof why_text_, "%s: %s", path.c_str(), strerror(errno));
        why_ = why_text_;
        return -1;
    }
    const int64_t start = flac_stream_start(fd);
    FLAC__StreamDecoder* d = start >= 0 ? FLAC__stream_decoder_new() : nullptr;
    fd_ = fd;
    bytes_read = 0;
    if (d && lseek(fd, start, SEEK_SET) == start) {
        FLAC__stream_decoder_set_metadata_respond(d, FLAC__METADATA_TYPE_VORBIS_COMMENT);
        FLAC__stream_decoder_set_metadata_respond(d, FLAC__METADATA_TYPE_PICTURE);
        if (FLAC__stream_decoder_init_stream(d, read_callback, nullptr, tell_callback, nullptr, nullptr,
                                             write_callback, metadata_callback, error_callback,
                                             this) == FLAC__STREAM_DECODER_INIT_STATUS_OK)
            FLAC__stream_decoder_process_until_end_of_metadata(d);
    }
    if (d) FLAC__stream_decoder_delete(d);
    ::close(fd);
    fd_ = -1;
    return 0;
}

void flac_source::decode_span() {
    uint64_t at = 0;  // frames of the span delivered
    for (const span_piece& p : span_pieces_.pieces) {
        const uint64_t n = p.frames < span_limit_ - at ? p.frames : span_limit_ - at;
        if (n == 0 || failed_) break;
        stream_shift_ = static_cast<int64_t>(at) - static_cast<int64_t>(p.first);
        const bool going = p.path.empty() ? put_silence(n, true) : decode_piece(p, at, n);
        if (!going) break;
        at += n;
    }
    if (!failed_ && !stopped() && filling_ && ring_[fill_].len > 0) hand_over_slot();
}

bool flac_source::decode_piece(const span_piece& p, uint64_t at, uint64_t n) {
    (void)at;
    const int fd = ::open(p.path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        fail_piece(p.path, strerror(errno));
        if (fd >= 0) ::close(fd);
        return false;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    const int64_t flac_at = flac_stream_start(fd);
    const bool going = flac_at >= 0 ? decode_flac_piece(fd, static_cast<uint64_t>(flac_at), size, p, n)
                                    : read_wav_piece(fd, size, p, n);
    ::close(fd);
    fd_ = -1;
    return going && !failed_;
}

// A WAV piece: its frames read from the data chunk; what the file no longer holds is lost.
bool flac_source::read_wav_piece(int fd, uint64_t size, const span_piece& p, uint64_t n) {
    const wav_header h = read_wav_header(fd, size);
    if (!h.valid || h.bits_per_sample != 16 || (h.format != 1 && h.format != 0xFFFE)) {
        fail_piece(p.path, "not a WAV file of 16-bit samples");
        return false;
    }
    if (h.channels != format_.channels || h.sample_rate != format_.sample_rate) {
        fail_piece(p.path, "its rate or channels differ from the other pieces'");
        return false;
    }
    const uint64_t frame = 2ull * h.channels;
    const uint64_t end = wav_data_end(h, size);
    position_ = p.first;
    uint8_t chunk[1 << 16];
    for (uint64_t left = n; left > 0;) {
        const uint64_t from = h.data_offset + position_ * frame;
        const uint64_t want = std::min<uint64_t>(left, sizeof chunk / frame) * frame;
        const uint64_t there = from < end ? std::min(want, end - from) / frame * frame : 0;
        const int64_t got = there > 0 ? read_at(fd, chunk, there, from) : 0;
        if (got < 0) {
            fail_piece(p.path, strerror(errno));
            return false;
        }
        const uint64_t frames = static_cast<uint64_t>(got) / frame;
        if (frames == 0) return note_lost(left, 1);  // the file was cut since the disc looked at it
        if (!put_bytes(chunk, frames * frame, false)) return false;
        position_ += frames;
        left -= frames;
    }
    return true;
}

// A decoder on the piece's FLAC stream, its metadata read and checked; null after fail().
FLAC__StreamDecoder* flac_source::start_piece_decoder(int fd, uint64_t start, const span_piece& p) {
    fd_ = fd;
    file_start_ = start;
    bytes_read = 0;
    have_piece_info_ = false;
    FLAC__StreamDecoder* d = FLAC__stream_decoder_new();
    if (!d || lseek(fd, static_cast<off_t>(start), SEEK_SET) < 0 ||
        FLAC__stream_decoder_init_stream(d, read_callback, seek_callback, tell_callback, length_callback,
                                         eof_callback, write_callback, metadata_callback, error_callback,
                                         this) != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
        if (d) FLAC__stream_decoder_delete(d);
        fail_piece(p.path, "its decoder cannot start");
        return nullptr;
    }
    const bool read = FLAC__stream_decoder_process_until_end_of_metadata(d);
    FLAC__stream_decoder_get_decode_position(d, &frame_end);
    const flac_format& f = piece_format_;
    const char* wrong = !read || !have_piece_info_ ? "not a FLAC stream after its signature"
                        : f.bits != 16             ? "not 16-bit samples"
                        : f.channels != format_.channels || f.sample_rate != format_.sample_rate
                            ? "its rate or channels differ from the other pieces'"
                            : nullptr;
    if (wrong) {
        FLAC__stream_decoder_delete(d);
        fail_piece(p.path, wrong);
        return nullptr;
    }
    file_total_ = f.total_samples != 0 ? f.total_samples : UINT64_MAX;
    format_.max_blocksize = f.max_blocksize;
    return d;
}

// A FLAC piece: decoded from its first frame, found by the decoder's seek; where the seek fails
// (a damaged stream), decoded from the start, the frames before the piece passed over.
bool flac_source::decode_flac_piece(int fd, uint64_t start, uint64_t size, const span_piece& p, uint64_t n) {
    file_size_ = size;
    FLAC__StreamDecoder* d = start_piece_decoder(fd, start, p);
    if (!d) return false;
    position_ = p.first;
    limit_ = p.first + n;
    error_since_frame_ = false;
    pending_silence_ = 0;
    if (p.first > 0) {
        seeking_ = true;
        const bool sought = FLAC__stream_decoder_seek_absolute(d, p.first);
        seeking_ = false;
        if (!sought && !failed_) {
            FLAC__stream_decoder_delete(d);
            d = start_piece_decoder(fd, start, p);
            if (!d) return false;
        }
    }
    while (!failed_) {
        if (!FLAC__stream_decoder_process_single(d)) break;
        if (FLAC__stream_decoder_get_state(d) == FLAC__STREAM_DECODER_END_OF_STREAM) break;
    }
    FLAC__stream_decoder_delete(d);
    if (read_errno_ != 0) fail_piece(p.path, strerror(read_errno_));
    if (failed_ || stopped()) return false;
    if (pending_silence_ > 0 && !commit_silence(false)) return false;
    // A file cut short: the rest of the piece is lost.
    const uint64_t tail = limit_ > position_ ? limit_ - position_ : 0;
    const uint64_t per_frame = format_.max_blocksize > 0 ? format_.max_blocksize : 4096;
    return note_lost(tail, (tail + per_frame - 1) / per_frame);
}
