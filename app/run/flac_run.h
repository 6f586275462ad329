#pragma once
// The FLAC side of a run: the copies that are FLAC streams, decoded as the WAV files they stand
// for (audio/flac_source.h), what they lost, and an output written as FLAC (audio/flac_sink.h).
// With WAV copies only and an output whose name does not end in ".flac", none of this is used and
// the run is what it always was.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/flac_sink.h"
#include "audio/flac_source.h"
#include "base/absent.h"
#include "base/globals.h"
#include "cli/run_options.h"
#include "g_file_io.h"

// A FLAC copy decoded whole for a run that reads it by position (--align, or a copy the probe
// before the vote found misplaced): an unnamed scratch file holding the WAV file it stands for,
// the canonical header and then its samples, lost stretches silent. The system removes the file
// once its last descriptor is closed, however the run ends; the copy is never held in memory.
struct flac_decoded {
    std::unique_ptr<flac_source> source;    // the copy's format and losses, final once decoded
    int fd = -1;                            // the scratch file (owned), or -1 once handed on
    std::vector<absent_range> lost;         // its lost stretches: scratch file offsets, in order
    FLAC__StreamMetadata** tags = nullptr;  // input 0's tags for a FLAC output (owned until taken)
    unsigned tag_count = 0;

    flac_decoded() = default;
    ~flac_decoded();
    flac_decoded(const flac_decoded&) = delete;
    flac_decoded& operator=(const flac_decoded&) = delete;
};

// Decodes the FLAC copy on `fd` whole into a scratch file (see flac_decoded) in the folder of
// `near_name` (the output; $TMPDIR or /tmp when that is standard output or has no room for one).
// With `keep_tags` its Vorbis comments and pictures are kept. Returns 0, or -1 with the reason in
// `why`. The descriptor's file position is as it was.
int flac_decode_whole(flac_decoded& d, int fd, bool keep_tags, const char* near_name, std::string& why);

struct flac_run {
    bool active = false;      // a FLAC copy, or a FLAC output: digests cover audio only
    bool any_source = false;  // some copy is a FLAC stream
    std::unique_ptr<flac_source> source[MAX_INPUTS];  // null for the other copies
    std::unique_ptr<block_absence> absent;            // what the FLAC copies lost of the current block
    bool encoding = false;                            // the output is written as FLAC
    flac_sink sink;
    flac_sink_layout out_layout;
    // Each stream's audio window (input i at i + 1, the output at 0) and the bytes of it read.
    uint64_t audio_lo[MAX_INPUTS + 1];
    uint64_t audio_hi[MAX_INPUTS + 1];
    uint64_t offset[MAX_INPUTS + 1];
    // With FLAC copies every copy is voted in one layout: the header below, then its audio. A WAV
    // copy's audio is read from its own data chunk (at data_at[i]), whatever chunks come before.
    uint8_t header[FLAC_WAV_HEADER_SIZE] = {};
    uint64_t data_at[MAX_INPUTS];
    uint64_t read_to[MAX_INPUTS];  // stream bytes of such a copy delivered so far
    uint64_t out_data_end = 0;     // without FLAC copies: where input 0's header says its data end
    // With --align: each FLAC copy decoded whole, its input's descriptor reading the scratch file.
    flac_decoded decoded[MAX_INPUTS];
    bool any_decoded = false;
    // A FLAC output that a repair may change: the voted stream goes to an unnamed scratch file
    // (`voted`, in the voted layout) and is encoded once the checks are done with it.
    bool deferred = false;
    g_file voted;
    uint64_t block_size = 0;  // the encoder's largest write
};

// True when `out_name` ends in ".flac" (any case): the output is then written as FLAC.
bool names_flac_output(const char* out_name);

// Before anything is opened: refuses copies that flac_prepare would refuse. Returns 0, or -1
// after an error line.
int flac_check_before_opening(const run_options& options, const name_row* names, uint64_t count,
                              const char* out_name);

// With --align, once every input is open: decodes each FLAC copy whole (flac_decode_whole, near
// the output `out_name`) and makes its input's descriptor read the scratch file, a WAV file that
// --align reads by position; run.decoded keeps what was lost. Returns 0, or -1 after an error
// line ("copyvote: decode <name>: <reason>").
int flac_decode_for_align(flac_run& run, g_file* files, const name_row* names, uint64_t count,
                          const char* out_name);

// With --align and a decoded input 0: its header (which the output keeps) is made to state the
// output's `data_bytes` of audio. Returns 0, or an errno value.
int flac_fit_decoded_header(const flac_run& run, int fd0, uint64_t data_bytes);

// Once every input and the output are open, before the output is emptied or replaced: finds the
// FLAC copies, reads their metadata and checks that every copy holds the same audio format.
// Returns 0 (run.active false when FLAC has no part in the run), or -1 after an error line.
int flac_prepare(flac_run& run, g_file* h_files, const name_row* names, uint64_t count, const char* out_name);

// Input i's FLAC decoder, whether it decodes block by block or decoded the copy whole; null for
// a copy that is no FLAC stream.
inline const flac_source* flac_copy_source(const flac_run& run, uint64_t i) {
    return run.source[i] ? run.source[i].get() : run.decoded[i].source.get();
}

// True when input i is a WAV copy voted in the layout of FLAC copies (flac_read_wav reads it).
inline bool flac_relaid(const flac_run& run, uint64_t i) { return run.any_source && !run.source[i]; }

// Sets the voted stream's length, `out_bytes` (the output's header and audio), once the run has
// chosen it: the header every copy is voted behind, and the output's audio window.
void flac_set_length(flac_run& run, uint64_t out_bytes);

// The next block of input i, a WAV copy voted in the layout of FLAC copies, read from `fd` into
// `block` (`size` bytes): the run's header, then its audio. Returns the count (0 at the end), or
// -1 with errno set.
int64_t flac_read_wav(flac_run& run, uint64_t i, int fd, uint8_t* block, uint64_t size);

// Once the output has been taken over: starts the decoding threads and the encoder (writing to
// `out_fd`). Returns 0, or -1 after an error line.
int flac_start(flac_run& run, const name_row* names, uint64_t count, int out_fd, const char* out_name,
               uint64_t block_size);

// For a FLAC output that a repair may change, before the output is taken over: opens the unnamed
// scratch file the voted stream is written to (in the output's folder, else $TMPDIR or /tmp),
// which the system removes however the run ends. Returns 0, or -1 after an error line.
int flac_defer_encoding(flac_run& run, const char* out_name);

// Writes `len` bytes of the voted stream to the scratch file of a deferred encoding. False with
// errno set when it cannot.
bool flac_keep_voted(flac_run& run, const uint8_t* data, uint64_t len);

// Encodes the scratch file of a deferred encoding into the output and finishes the encoder.
// Returns 0, or -1 after an error line ("copyvote: write <out_name>: <reason>").
int flac_encode_deferred(flac_run& run, const char* out_name);

// The part of the next `n` bytes of stream `s` (input i at i + 1, the output at 0) that its
// digest covers, as an offset into those bytes and a length; advances the stream's offset.
void flac_digest_span(flac_run& run, uint64_t s, uint64_t n, uint64_t* from, uint64_t* len);

// Ends the decoding threads (the losses are then final) and prints one line for each FLAC copy
// (decoded whole or not) that lost samples or whose audio misses its MD5.
void flac_print_losses(flac_run& run, const name_row* names, uint64_t count);

// True when the regular file `name` holds a FLAC stream (behind ID3v2 tags or not); false for
// anything else and for a name that cannot be looked into now.
bool names_flac_copy(const char* name);

// Ends the decoding threads and the encoder.
void flac_close(flac_run& run, uint64_t count);
