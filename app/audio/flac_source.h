#pragma once
// A FLAC copy read as the WAV file it stands for: a canonical 44-byte header, then its samples
// decoded by libFLAC, delivered block by block as a file read would deliver them, so that the
// vote, --cd, -a, the map and the checksums see what they see of a WAV copy.
//
// Decoding runs on a thread of its own, a few blocks ahead of the block loop (a ring of
// RING_BLOCKS blocks; the copy is never held whole). A frame that fails its CRC, cannot be
// decoded or was skipped by a sync error, and the tail of a copy that ends early, are filled
// with silence for their full length, so that the copy stays aligned with the others, and are
// marked absent for the vote (base/absent.h).

#include <FLAC/stream_decoder.h>
#include <pthread.h>

#include <cstdint>
#include <string>
#include <vector>

#include "audio/audio_span.h"
#include "base/absent.h"

// The canonical WAV header that stands before a FLAC copy's samples.
const uint64_t FLAC_WAV_HEADER_SIZE = 44;

// What a FLAC copy's STREAMINFO says of its audio.
struct flac_format {
    uint32_t sample_rate = 0;
    uint32_t channels = 0;
    uint32_t bits = 0;
    uint64_t total_samples = 0;  // per channel
    uint32_t max_blocksize = 0;
    uint8_t md5[16] = {};
};

// What a copy lost, known once it has been read to its end.
struct flac_losses {
    uint64_t samples = 0;  // per channel
    uint64_t frames = 0;
    uint64_t first = 0;         // the first lost sample, when samples > 0
    bool md5_mismatch = false;  // nothing lost, yet the audio is not what its STREAMINFO's MD5 says
};

// Writes the canonical 44-byte WAV header of 16-bit PCM audio into `out`.
void put_wav_header(uint8_t* out, uint32_t sample_rate, uint32_t channels, uint64_t data_bytes);

// True when the first `n` bytes start with the FLAC signature.
bool has_flac_signature(const uint8_t* bytes, uint64_t n);

// Where the FLAC signature of the open file `fd` lies: at its start, or behind the ID3v2 tags that
// some programs put before it (each tag's size is in its 10-byte header, seven bits a byte, and a
// footer adds 10 more bytes). Returns the offset, or -1 when the file holds no FLAC stream there.
// The descriptor's flags are as they were on return.
int64_t flac_stream_start(int fd);

// Frees `count` tags handed over by flac_source::tags and not passed on.
void flac_free_tags(FLAC__StreamMetadata** tags, unsigned count);

class flac_source {
  public:
    static const unsigned RING_BLOCKS = 3;

    flac_source() = default;
    ~flac_source() { close(); }
    flac_source(const flac_source&) = delete;
    flac_source& operator=(const flac_source&) = delete;

    // Reads the metadata of the FLAC stream on descriptor `fd`, which starts at file offset
    // `start` (flac_stream_start); the descriptor is read through the page cache from then on.
    // With `keep_tags`, its Vorbis comments and pictures are kept (tags() hands them over).
    // Returns 0, or -1 with the reason in why().
    int open(int fd, bool keep_tags, uint64_t start = 0);

    // Reads the pieces of `span` (audio/audio_span.h) instead of one FLAC stream, one after
    // another as one stream: a FLAC piece decoded from its first frame on (its decoder seeks
    // there), a WAV piece read from its data chunk, a stretch the span does not hold delivered
    // as silence marked absent (no loss: the copy never held it). A piece's file is opened when
    // its turn comes; one that cannot be read or holds another format fails the copy then. With
    // `keep_tags`, the tags of span.tags_from are kept. Returns 0, or -1 with the reason in why().
    int open_span(const audio_span& span, bool keep_tags);

    // Allocates the ring of `block_size`-byte blocks and starts decoding; the stream delivered
    // begins with the FLAC_WAV_HEADER_SIZE bytes of `header` (the run's one header for every
    // copy) and holds at most `limit` samples per channel (the output's length): decoding stops
    // there, and nothing past it counts as lost. Returns 0, or -1 with the reason in why().
    int start(uint64_t block_size, const uint8_t* header, uint64_t limit);

    // The next block into `block` (block_size bytes, the last one shorter, 0 at the end), its lost
    // stretches added to input `input` of `absent` (cleared first). Returns the count, or -1 with
    // the reason in why().
    int64_t read_block(uint8_t* block, block_absence& absent, uint64_t input);

    // Ends the decoding thread and frees everything. Safe to call more than once.
    void close();

    const flac_format& format() const { return format_; }
    const flac_losses& losses() const { return losses_; }
    const char* why() const { return why_; }
    // The kept Vorbis comment and pictures; the caller takes them (frees them with
    // FLAC__metadata_object_delete).
    FLAC__StreamMetadata** tags(unsigned* count);

    // Called by libFLAC; public only for the callbacks.
    struct slot;
    int on_read(uint8_t* buffer, size_t* bytes);
    bool on_frame(uint64_t first, uint32_t length, uint32_t channels, uint32_t bits, uint32_t rate,
                  const int32_t* const* samples, bool made_up);
    uint64_t bytes_read = 0;  // of the stream, for libFLAC's decode position
    uint64_t frame_end = 0;   // the decode position after the last frame
    void on_metadata(const FLAC__StreamMetadata* block);
    void on_error(int status);
    int on_seek(uint64_t offset);
    uint64_t stream_length() const { return file_size_ - file_start_; }

  private:
    struct ring_slot {
        uint8_t* data = nullptr;
        uint64_t len = 0;
        uint32_t ranges = 0;              // lost stretches in this block: the first ones of `range`
        std::vector<absent_range> range;  // keeps its room from block to block
    };
    static void* decode_thread(void* self);
    void decode();
    bool put_bytes(const uint8_t* bytes, uint64_t n, bool lost);
    bool put_silence(uint64_t samples, bool lost);
    bool note_lost(uint64_t samples, uint64_t frames);
    bool commit_silence(bool lost);
    bool take_slot();
    void hand_over_slot();
    bool stopped();
    void fail(const char* why);
    void fail_piece(const std::string& path, const char* why);
    void decode_whole(bool going);
    void decode_span();
    bool decode_piece(const span_piece& p, uint64_t at, uint64_t n);
    bool read_wav_piece(int fd, uint64_t size, const span_piece& p, uint64_t n);
    bool decode_flac_piece(int fd, uint64_t start, uint64_t size, const span_piece& p, uint64_t n);
    FLAC__StreamDecoder* start_piece_decoder(int fd, uint64_t start, const span_piece& p);
    int read_span_tags(const std::string& path);

    FLAC__StreamDecoder* decoder_ = nullptr;
    int fd_ = -1;
    bool keep_tags_ = false;
    bool have_info_ = false;
    bool error_since_frame_ = false;  // libFLAC reported an error since the last good frame
    int read_errno_ = 0;
    flac_format format_;
    flac_losses losses_;
    FLAC__StreamMetadata* tags_[16] = {};
    unsigned tag_count_ = 0;
    const char* why_ = "";
    char why_text_[256] = "";
    uint8_t header_[FLAC_WAV_HEADER_SIZE] = {};

    // The ring: the decoder fills slot `fill_` while the block loop reads slot `take_`.
    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t changed_ = PTHREAD_COND_INITIALIZER;
    pthread_t thread_;
    bool thread_running_ = false;
    ring_slot ring_[RING_BLOCKS];
    uint64_t block_size_ = 0;
    uint64_t filled_ = 0;  // slots handed over, not yet read
    unsigned fill_ = 0, take_ = 0;
    bool filling_ = false;  // the decoder holds slot fill_
    bool done_ = false;     // the decoder has handed over its last slot (or failed)
    bool failed_ = false;
    bool stopping_ = false;         // the block loop is done with this copy (guarded by mutex_)
    uint64_t position_ = 0;         // samples put into the stream so far
    uint64_t limit_ = 0;            // samples the stream is to hold: the total, or the output's length
    uint64_t pending_silence_ = 0;  // samples of a silent frame not yet put

    // A span (open_span): its pieces, and the piece being decoded. While a piece is decoded,
    // position_ and limit_ count the piece's file's samples; stream_shift_ turns them into the
    // span's, file_total_ is the file's length (the stream's own for a single stream).
    bool span_ = false;
    audio_span span_pieces_;
    uint64_t span_limit_ = 0;
    uint64_t file_total_ = 0;
    int64_t stream_shift_ = 0;
    uint64_t file_start_ = 0;  // where the piece's FLAC stream starts in its file
    uint64_t file_size_ = 0;
    bool seeking_ = false;
    bool have_piece_info_ = false;
    flac_format piece_format_;
};
