#pragma once
// A few stretches of a FLAC copy's audio, read where they lie: libFLAC seeks to the first sample
// of each and decodes only the frames that hold it. The probe that looks for a misplaced copy
// before the vote reads a FLAC copy this way, so that a good copy costs a few frames decoded,
// not a pass over the file. The samples come as a WAV file's data: 16-bit, interleaved,
// little-endian.
//
// The file is read by position only (the descriptor's file position is never moved), so this
// can run beside the copy's own decoder (audio/flac_source.h) on the same descriptor.

#include <FLAC/stream_decoder.h>

#include <cstdint>

class flac_window {
  public:
    flac_window() = default;
    ~flac_window() { close(); }
    flac_window(const flac_window&) = delete;
    flac_window& operator=(const flac_window&) = delete;

    // Reads the metadata of the FLAC stream on `fd` that starts at file offset `start`
    // (flac_stream_start). Returns 0, or -1 when it cannot be decoded.
    int open(int fd, uint64_t start);

    // Decodes the audio bytes [pos, pos + n) into `dst` (pos counted from the first sample's first
    // byte, a whole number of frames). Returns the bytes delivered (fewer at the stream's end), or
    // -1 when the stretch cannot be told: a seek or a frame that failed, a frame lost to damage.
    int64_t read(uint8_t* dst, uint64_t n, uint64_t pos);

    void close();

    uint32_t channels() const { return channels_; }
    uint64_t total_samples() const { return total_; }

    // Called by libFLAC; public only for the callbacks.
    int on_read(uint8_t* buffer, size_t* bytes);
    bool on_frame(uint64_t first, uint32_t length, uint32_t channels, const int32_t* const* samples);
    int fd_ = -1;
    uint64_t start_ = 0;  // file offset of the stream
    uint64_t at_ = 0;     // stream offset of the next read
    uint64_t size_ = 0;   // stream bytes
    bool failed_ = false;
    uint32_t channels_ = 0;
    uint64_t total_ = 0;

  private:
    FLAC__StreamDecoder* decoder_ = nullptr;
    // The stretch being decoded: samples [want_, want_ + frames_) into dst_; got_ of them so far.
    uint8_t* dst_ = nullptr;
    uint64_t want_ = 0;
    uint64_t frames_ = 0;
    uint64_t got_ = 0;
};
