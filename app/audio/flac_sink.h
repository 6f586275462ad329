#pragma once
// The voted audio written as FLAC with libFLAC: compression level 5, the STREAMINFO's total and
// MD5 filled in when the encoder finishes (it seeks back to the start of the file), and the tags
// handed over placed after it.
//
// The voted stream is what the vote made of the copies as WAV files: only its bytes in the
// audio window [audio_lo, audio_hi) are samples and are encoded; the header around them is not.

#include <FLAC/stream_encoder.h>

#include <cstddef>
#include <cstdint>

struct flac_sink_layout {
    uint32_t sample_rate = 0;
    uint32_t channels = 0;
    uint64_t audio_lo = 0;  // stream offsets of the samples
    uint64_t audio_hi = 0;
};

class flac_sink {
  public:
    flac_sink() = default;
    ~flac_sink() { close(); }
    flac_sink(const flac_sink&) = delete;
    flac_sink& operator=(const flac_sink&) = delete;

    // Starts the encoder writing to descriptor `fd` (at its start) for blocks of up to
    // `block_size` bytes. The sink takes the `count` tags (Vorbis comment, pictures) and frees
    // them. Returns 0, or -1 with the reason in why().
    int start(int fd, const flac_sink_layout& layout, uint64_t block_size, FLAC__StreamMetadata** tags,
              unsigned count);

    // Encodes the samples among the next `len` bytes of the voted stream. False after a failure
    // (why(); a failed write leaves its errno in write_errno).
    bool write(const uint8_t* data, uint64_t len);

    // Encodes what is left and fills in the STREAMINFO. False after a failure, as write().
    bool finish();

    // Frees the encoder, whether or not it finished.
    void close();

    const char* why() const { return why_; }
    int write_errno = 0;

    // Called by libFLAC; public only for the callbacks.
    int on_write(const uint8_t* bytes, size_t n);
    int fd() const { return fd_; }

  private:
    bool encode(const uint8_t* bytes, uint64_t n);
    bool failed(const char* why);

    FLAC__StreamEncoder* encoder_ = nullptr;
    int fd_ = -1;
    flac_sink_layout layout_;
    uint64_t offset_ = 0;         // voted-stream bytes seen so far
    int32_t* samples_ = nullptr;  // one block's samples for the encoder
    uint8_t carry_[16] = {};      // the start of a sample frame cut by the end of a block
    unsigned carried_ = 0;
    FLAC__StreamMetadata* tags_[16] = {};
    unsigned tag_count_ = 0;
    const char* why_ = "";
};
