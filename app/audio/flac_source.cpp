#include "audio/flac_source.h"

#include <FLAC/metadata.h>
#include <FLAC/stream_decoder.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "audio/flac_callbacks.h"
#include "audio/wav_header.h"
#include "base/coding.h"
#include "base/read_at.h"

using namespace flac_callbacks;

namespace {

const char* format_words(uint32_t rate, uint32_t channels, uint32_t bits, char* out, size_t size) {
    snprintf(out, size, "%u Hz, %u channel%s, %u bits", rate, channels, channels == 1 ? "" : "s", bits);
    return out;
}

// True when the signature is followed by the header of a metadata block of a known type other
// than STREAMINFO, which must come first: a FLAC stream that lacks it, not some other file.
bool starts_with_other_block(int fd, uint64_t start) {
    uint8_t head[5];
    if (read_at(fd, head, sizeof head, start) != static_cast<int64_t>(sizeof head)) return false;
    const unsigned type = head[4] & 0x7F;
    return type >= FLAC__METADATA_TYPE_PADDING && type <= FLAC__METADATA_TYPE_PICTURE;
}

const uint64_t ID3_HEADER_SIZE = 10;
const unsigned MAX_ID3_TAGS = 4;  // tags stacked before the stream; more is no tagged FLAC file

// The bytes an ID3v2 tag takes, its header included, or 0 when `h` is no ID3v2 tag header: "ID3",
// a version and revision other than 0xFF, flags, and a size of four bytes of seven bits each.
uint64_t id3v2_size(const uint8_t* h) {
    if (memcmp(h, "ID3", 3) != 0 || h[3] == 0xFF || h[4] == 0xFF) return 0;
    uint64_t size = 0;
    for (int k = 6; k < 10; k++) {
        if (h[k] & 0x80) return 0;
        size = size << 7 | h[k];
    }
    const bool footer = (h[5] & 0x10) != 0;
    return ID3_HEADER_SIZE + size + (footer ? ID3_HEADER_SIZE : 0);
}

bool is_silent(const int32_t* const* samples, uint32_t channels, uint32_t length) {
    for (uint32_t c = 0; c < channels; c++) {
        for (uint32_t u = 0; u < length; u++) {
            if (samples[c][u] != 0) return false;
        }
    }
    return true;
}

// What a STREAMINFO block says of the audio.
flac_format format_of(const FLAC__StreamMetadata_StreamInfo& s) {
    flac_format f;
    f.sample_rate = s.sample_rate;
    f.channels = s.channels;
    f.bits = s.bits_per_sample;
    f.total_samples = s.total_samples;
    f.max_blocksize = s.max_blocksize;
    memcpy(f.md5, s.md5sum, 16);
    return f;
}

}  // namespace

void put_wav_header(uint8_t* out, uint32_t sample_rate, uint32_t channels, uint64_t data_bytes) {
    // Sizes past what 32 bits hold are written as 0xFFFFFFFF, which readers take as "to the end".
    const uint32_t data = data_bytes > 0xFFFFFFFFull - 36 ? 0xFFFFFFFFu : static_cast<uint32_t>(data_bytes);
    const uint32_t riff = data == 0xFFFFFFFFu ? 0xFFFFFFFFu : data + 36;
    memcpy(out, "RIFF", 4);
    store32(out + 4, riff);
    memcpy(out + 8, "WAVEfmt ", 8);
    store32(out + 16, 16);
    store16(out + 20, 1);
    store16(out + 22, static_cast<uint16_t>(channels));
    store32(out + 24, sample_rate);
    store32(out + 28, sample_rate * channels * 2);
    store16(out + 32, static_cast<uint16_t>(channels * 2));
    store16(out + 34, 16);
    memcpy(out + 36, "data", 4);
    store32(out + 40, data);
}

bool has_flac_signature(const uint8_t* bytes, uint64_t n) { return n >= 4 && memcmp(bytes, "fLaC", 4) == 0; }

int64_t flac_stream_start(int fd) {
    // Direct I/O reads only aligned blocks into aligned memory: it is off while the heads are read.
    const int flags = fcntl(fd, F_GETFL);
    const bool direct = flags != -1 && (flags & O_DIRECT) != 0;
    if (direct) fcntl(fd, F_SETFL, flags & ~O_DIRECT);
    int64_t start = -1;
    uint64_t at = 0;
    for (unsigned tags = 0; tags <= MAX_ID3_TAGS; tags++) {
        uint8_t head[ID3_HEADER_SIZE];
        const int64_t got = read_at(fd, head, sizeof head, at);
        if (got >= 4 && has_flac_signature(head, static_cast<uint64_t>(got)))
            start = static_cast<int64_t>(at);
        const uint64_t size = got == static_cast<int64_t>(sizeof head) ? id3v2_size(head) : 0;
        if (start >= 0 || size == 0) break;
        at += size;
    }
    if (direct) fcntl(fd, F_SETFL, flags);
    return start;
}

void flac_free_tags(FLAC__StreamMetadata** tags, unsigned count) {
    for (unsigned t = 0; t < count; t++) FLAC__metadata_object_delete(tags[t]);
}

void flac_source::fail(const char* why) {
    if (failed_) return;  // the first reason is the one worth telling
    snprintf(why_text_, sizeof why_text_, "%s", why);
    why_ = why_text_;
    failed_ = true;
}

int flac_source::open(int fd, bool keep_tags, uint64_t start) {
    fd_ = fd;
    keep_tags_ = keep_tags;
    // The decoder reads on from the descriptor's position (an ID3v2 tag in front is passed over),
    // pieces of any size that direct I/O could not deliver: it reads through the page cache.
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1 && (flags & O_DIRECT)) fcntl(fd, F_SETFL, flags & ~O_DIRECT);
    if (lseek(fd, static_cast<off_t>(start), SEEK_SET) < 0) {
        why_ = strerror(errno);
        return -1;
    }
    decoder_ = FLAC__stream_decoder_new();
    if (!decoder_) {
        why_ = "out of memory for its decoder";
        return -1;
    }
    FLAC__stream_decoder_set_md5_checking(decoder_, true);
    if (keep_tags) {
        FLAC__stream_decoder_set_metadata_respond(decoder_, FLAC__METADATA_TYPE_VORBIS_COMMENT);
        FLAC__stream_decoder_set_metadata_respond(decoder_, FLAC__METADATA_TYPE_PICTURE);
    }
    if (FLAC__stream_decoder_init_stream(decoder_, read_callback, nullptr, tell_callback, nullptr, nullptr,
                                         write_callback, metadata_callback, error_callback,
                                         this) != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
        why_ = "its decoder cannot start";
        return -1;
    }
    const bool read = FLAC__stream_decoder_process_until_end_of_metadata(decoder_);
    if (read_errno_ != 0) {
        why_ = strerror(read_errno_);
        return -1;
    }
    FLAC__stream_decoder_get_decode_position(decoder_, &frame_end);
    if (!read || failed_ || !have_info_) {
        why_ = starts_with_other_block(fd, start) ? "its FLAC stream has no STREAMINFO block"
                                                  : "not a FLAC stream after its signature";
        return -1;
    }
    if (format_.bits != 16) {
        snprintf(why_text_, sizeof why_text_, "%u-bit samples; only 16-bit audio can be voted", format_.bits);
        why_ = why_text_;
        return -1;
    }
    if (format_.total_samples == 0) {
        why_ = "its STREAMINFO does not say how many samples the stream holds";
        return -1;
    }
    return 0;
}

void flac_source::on_metadata(const FLAC__StreamMetadata* block) {
    if (block->type == FLAC__METADATA_TYPE_STREAMINFO && span_) {
        piece_format_ = format_of(block->data.stream_info);
        have_piece_info_ = true;
        return;
    }
    if (block->type == FLAC__METADATA_TYPE_STREAMINFO) {
        format_ = format_of(block->data.stream_info);
        file_total_ = format_.total_samples;
        have_info_ = true;
        return;
    }
    if (!keep_tags_ || tag_count_ == sizeof tags_ / sizeof tags_[0]) return;
    FLAC__StreamMetadata* copy = FLAC__metadata_object_clone(block);
    if (copy) tags_[tag_count_++] = copy;
}

void flac_source::on_error(int status) {
    // libFLAC hands over a frame that fails its CRC as silence, and once it finds the next frame
    // after a sync error or a frame missing, the frames it skipped as silence too (these come
    // without a byte read for them): the silent frames that follow an error are the lost ones.
    // (An older libFLAC that skips them leaves a gap, filled in on_frame.)
    (void)status;
    if (seeking_) return;  // the search for a frame passes over others; they are not this copy's
    error_since_frame_ = true;
    if (!have_info_) fail("not a FLAC stream after its signature");
}

int flac_source::on_read(uint8_t* buffer, size_t* bytes) {
    for (;;) {
        const ssize_t got = ::read(fd_, buffer, *bytes);
        if (got > 0) {
            *bytes = static_cast<size_t>(got);
            bytes_read += static_cast<uint64_t>(got);
            return FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
        }
        if (got == 0) {
            *bytes = 0;
            return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
        }
        if (errno == EINTR) continue;
        read_errno_ = errno;
        *bytes = 0;
        return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
    }
}

int flac_source::on_seek(uint64_t offset) {
    if (lseek(fd_, static_cast<off_t>(file_start_ + offset), SEEK_SET) < 0)
        return FLAC__STREAM_DECODER_SEEK_STATUS_ERROR;
    bytes_read = offset;
    return FLAC__STREAM_DECODER_SEEK_STATUS_OK;
}

FLAC__StreamMetadata** flac_source::tags(unsigned* count) {
    *count = tag_count_;
    tag_count_ = 0;
    return tags_;
}

int flac_source::start(uint64_t block_size, const uint8_t* header, uint64_t limit) {
    block_size_ = block_size;
    limit_ = limit < format_.total_samples ? limit : format_.total_samples;
    span_limit_ = limit_;
    memcpy(header_, header, sizeof header_);
    for (ring_slot& s : ring_) {
        s.data = new (std::nothrow) uint8_t[block_size];
        if (!s.data) {
            why_ = "out of memory for its blocks";
            return -1;
        }
    }
    const int error = pthread_create(&thread_, nullptr, decode_thread, this);
    if (error != 0) {
        snprintf(why_text_, sizeof why_text_, "cannot start its decoding thread: %s", strerror(error));
        why_ = why_text_;
        return -1;
    }
    thread_running_ = true;
    return 0;
}

void* flac_source::decode_thread(void* self) {
    static_cast<flac_source*>(self)->decode();
    return nullptr;
}

// Waits for a free slot of the ring and makes it the one being filled. False when the block loop
// no longer wants this copy.
bool flac_source::take_slot() {
    pthread_mutex_lock(&mutex_);
    while (filled_ == RING_BLOCKS && !stopping_) pthread_cond_wait(&changed_, &mutex_);
    const bool go = !stopping_;
    pthread_mutex_unlock(&mutex_);
    ring_[fill_].len = 0;
    ring_[fill_].ranges = 0;
    filling_ = go;
    return go;
}

void flac_source::hand_over_slot() {
    pthread_mutex_lock(&mutex_);
    filled_++;
    fill_ = (fill_ + 1) % RING_BLOCKS;
    filling_ = false;
    pthread_cond_broadcast(&changed_);
    pthread_mutex_unlock(&mutex_);
}

// Appends bytes to the stream, slot by slot; `lost` marks them absent, each lost stretch exactly.
bool flac_source::put_bytes(const uint8_t* bytes, uint64_t n, bool lost) {
    while (n > 0) {
        if (!filling_ && !take_slot()) return false;
        ring_slot& s = ring_[fill_];
        const uint64_t k = n < block_size_ - s.len ? n : block_size_ - s.len;
        if (bytes) {
            memcpy(s.data + s.len, bytes, k);
            bytes += k;
        } else {
            memset(s.data + s.len, 0, k);
        }
        if (lost) {
            if (s.ranges > 0 && s.range[s.ranges - 1].hi == s.len) {
                s.range[s.ranges - 1].hi = s.len + k;
            } else if (s.ranges < s.range.size()) {
                s.range[s.ranges++] = absent_range{s.len, s.len + k};
            } else {
                s.range.push_back(absent_range{s.len, s.len + k});
                s.ranges++;
            }
        }
        s.len += k;
        n -= k;
        if (s.len == block_size_) hand_over_slot();
    }
    return true;
}

bool flac_source::put_silence(uint64_t samples, bool lost) {
    return put_bytes(nullptr, samples * format_.channels * 2, lost);
}

// Fills `samples` lost samples (of about `frames` frames) with silence and counts them.
bool flac_source::note_lost(uint64_t samples, uint64_t frames) {
    if (samples == 0) return true;
    if (losses_.samples == 0)
        losses_.first = static_cast<uint64_t>(static_cast<int64_t>(position_) + stream_shift_);
    losses_.samples += samples;
    losses_.frames += frames;
    position_ += samples;
    return put_silence(samples, true);
}

bool flac_source::on_frame(uint64_t first, uint32_t length, uint32_t channels, uint32_t bits, uint32_t rate,
                           const int32_t* const* samples, bool made_up) {
    if (channels != format_.channels || bits != format_.bits || rate != format_.sample_rate ||
        first + length > file_total_) {
        char said[64], found[64], text[256];
        snprintf(text, sizeof text,
                 "the frame at sample %llu (%s, %u samples) contradicts its STREAMINFO (%s, %llu samples)",
                 static_cast<unsigned long long>(first),
                 format_words(rate, channels, bits, found, sizeof found), length,
                 format_words(format_.sample_rate, format_.channels, format_.bits, said, sizeof said),
                 static_cast<unsigned long long>(format_.total_samples));
        fail(text);
        return false;
    }
    if (pending_silence_ > 0 && !commit_silence(made_up)) return false;
    if (first >= limit_) return false;  // the output ends before this frame: decoding stops
    if (first + length > limit_) length = static_cast<uint32_t>(limit_ - first);
    if (first + length <= position_) return true;  // a frame found twice after a sync error
    const uint64_t skip = first < position_ ? position_ - first : 0;
    if (first > position_) {
        const uint64_t gap = first - position_;
        const uint64_t per_frame = format_.max_blocksize > 0 ? format_.max_blocksize : length;
        if (!note_lost(gap, (gap + per_frame - 1) / per_frame)) return false;
    }
    if (made_up || (error_since_frame_ && is_silent(samples, channels, length))) {
        // Real silence right after an error is taken for lost too: the other copies hold it.
        return note_lost(length - skip, 1);
    }
    error_since_frame_ = false;
    if (is_silent(samples, channels, length)) {
        // Held back: when libFLAC finds a frame missing, it hands over silence for it first and
        // only the next made-up frame shows it.
        pending_silence_ = length - skip;
        return true;
    }
    // 16-bit samples, interleaved, little-endian: a WAV file's data.
    uint8_t pcm[4096];
    const uint64_t frame_bytes = 2ull * channels;
    const uint64_t per_chunk = sizeof pcm / frame_bytes;
    for (uint64_t t = skip; t < length; t += per_chunk) {
        const uint64_t m = length - t < per_chunk ? length - t : per_chunk;
        uint8_t* p = pcm;
        if (channels == 2) {  // CD audio: a loop the compiler can widen
            const int32_t *left = samples[0], *right = samples[1];
            for (uint64_t u = t; u < t + m; u++, p += 4) {
                store16(p, static_cast<uint16_t>(left[u]));
                store16(p + 2, static_cast<uint16_t>(right[u]));
            }
        } else {
            for (uint64_t u = t; u < t + m; u++) {
                for (uint32_t c = 0; c < channels; c++, p += 2)
                    store16(p, static_cast<uint16_t>(samples[c][u]));
            }
        }
        if (!put_bytes(pcm, m * frame_bytes, false)) return false;
    }
    position_ += length - skip;
    return true;
}

// The silent frame held back: lost when a made-up frame follows it, else real silence.
bool flac_source::commit_silence(bool lost) {
    const uint64_t n = pending_silence_;
    pending_silence_ = 0;
    if (lost) return note_lost(n, 1);
    position_ += n;
    return put_silence(n, false);
}

bool flac_source::stopped() {
    pthread_mutex_lock(&mutex_);
    const bool stop = stopping_;
    pthread_mutex_unlock(&mutex_);
    return stop;
}

void flac_source::decode() {
    const bool going = put_bytes(header_, sizeof header_, false);
    if (span_) {
        if (going) decode_span();
    } else {
        decode_whole(going);
    }
    pthread_mutex_lock(&mutex_);
    done_ = true;
    pthread_cond_broadcast(&changed_);
    pthread_mutex_unlock(&mutex_);
}

void flac_source::decode_whole(bool going) {
    while (going && !failed_) {
        if (!FLAC__stream_decoder_process_single(decoder_)) break;
        going = FLAC__stream_decoder_get_state(decoder_) != FLAC__STREAM_DECODER_END_OF_STREAM;
    }
    if (read_errno_ != 0) fail(strerror(read_errno_));
    // A copy the block loop stopped reading (the output ends before it) lost nothing of its tail.
    if (!failed_ && !stopped()) {
        if (pending_silence_ > 0) commit_silence(false);
        // A copy cut short: its tail is lost, in frames of the stream's largest size.
        const uint64_t tail = limit_ > position_ ? limit_ - position_ : 0;
        const uint64_t per_frame = format_.max_blocksize > 0 ? format_.max_blocksize : 4096;
        note_lost(tail, (tail + per_frame - 1) / per_frame);
        // The MD5 covers the whole stream: it says nothing of a copy decoded only in part.
        const bool md5_ok = FLAC__stream_decoder_finish(decoder_) || limit_ < format_.total_samples;
        losses_.md5_mismatch = !md5_ok && losses_.samples == 0;
        if (filling_ && ring_[fill_].len > 0) hand_over_slot();
    }
}

int64_t flac_source::read_block(uint8_t* block, block_absence& absent, uint64_t input) {
    absent.clear(input);
    pthread_mutex_lock(&mutex_);
    while (filled_ == 0 && !done_) pthread_cond_wait(&changed_, &mutex_);
    const bool have = filled_ > 0;
    const bool failed = failed_;
    pthread_mutex_unlock(&mutex_);
    if (!have) return failed ? -1 : 0;
    const ring_slot& s = ring_[take_];
    memcpy(block, s.data, s.len);
    for (unsigned r = 0; r < s.ranges; r++) absent.add(input, s.range[r].lo, s.range[r].hi);
    const int64_t len = static_cast<int64_t>(s.len);
    pthread_mutex_lock(&mutex_);
    filled_--;
    take_ = (take_ + 1) % RING_BLOCKS;
    pthread_cond_broadcast(&changed_);
    pthread_mutex_unlock(&mutex_);
    return len;
}

void flac_source::close() {
    if (thread_running_) {
        pthread_mutex_lock(&mutex_);
        stopping_ = true;
        pthread_cond_broadcast(&changed_);
        pthread_mutex_unlock(&mutex_);
        pthread_join(thread_, nullptr);
        thread_running_ = false;
    }
    if (decoder_) {
        FLAC__stream_decoder_delete(decoder_);
        decoder_ = nullptr;
    }
    for (ring_slot& s : ring_) {
        delete[] s.data;
        s.data = nullptr;
    }
    for (unsigned t = 0; t < tag_count_; t++) FLAC__metadata_object_delete(tags_[t]);
    tag_count_ = 0;
}
