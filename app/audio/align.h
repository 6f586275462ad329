#pragma once
// --align: copies of one track ripped with different drive read offsets hold the same audio
// shifted by a whole number of frames, so a byte-by-byte vote would compare unrelated samples.
// Before the vote this unit finds, for every input i > 0, the shift N at which it agrees with
// input 0 (the copy's data byte q + N holds input 0's data byte q), says so on standard error,
// and then delivers each block of the copy from its shifted place.
//
// Geometry: the output keeps input 0's header and chunks; its length is the run's choice
// (run/length_plan.h: as long as most copies' data), input 0 absent where the output's data run
// on past its own. For a WAV input 0 the shift
// applies inside the data chunks, wherever each file's data chunk lies (its header may differ
// from input 0's); a data chunk size of 0 or 0xFFFFFFFF runs to the end of the file. A copy
// takes part only where it has data for input 0's data: over input 0's header and trailing
// chunks, before its data start and past their end it is absent (base/absent.h), so it neither
// adds a dispute nor takes a side there.
//
// Digests: with --align every input's digest covers the whole file, in file order, exactly as a
// separate digest tool would compute it; the bytes lent from input 0 are never fed.

#include <cstdint>
#include <vector>

#include "base/absent.h"
#include "base/globals.h"
#include "g_file_io.h"
#include "g_linux_crypt.h"

// Shifts are searched within this many frames either way (16-bit samples for data that is not
// WAV: the same number of bytes as that many CD frames).
const uint64_t ALIGN_MAX_SHIFT_FRAMES = 4096;
// Input 0's probe windows: at most this many, of this many bytes each.
const uint64_t ALIGN_MAX_PROBES = 16;
const uint64_t ALIGN_PROBE_BYTES = 4096;

// A byte range of an open file that holds the samples (a WAV data chunk, or the whole file).
struct align_region {
    int fd = -1;
    uint64_t offset = 0;  // file offset of the first data byte
    uint64_t len = 0;     // data bytes from there
};

// Windows of input 0 that can tell shifts apart: spread over its data, digital silence and
// other near-constant stretches left out.
struct align_probes {
    uint64_t unit = 2;               // bytes of one frame: shifts are whole multiples of it
    uint64_t window = 0;             // bytes of each window
    uint64_t count = 0;              // windows taken, up to ALIGN_MAX_PROBES
    uint64_t pos[ALIGN_MAX_PROBES];  // data offset of each window
    uint8_t bytes[ALIGN_MAX_PROBES][ALIGN_PROBE_BYTES];  // its bytes
};

// The outcome of one copy's search.
struct align_result {
    bool convincing = false;  // the shift below was found on strong evidence
    int64_t shift = 0;        // N in bytes; 0 when not convincing
    double agree = 0;         // share of probed bytes that agree at the best shift
    double runner_up = 0;     // the same at the best other shift that the coarse search found
};

// True when the window of `n` bytes (frames of `unit` bytes) can tell shifts apart: nearly every
// sample differs from its channel's sample a frame earlier (digital silence and other constant
// stretches agree with themselves at every shift).
bool align_is_informative(const uint8_t* w, uint64_t n, uint64_t unit);

// Takes up to ALIGN_MAX_PROBES windows of input 0's data `r0` (frames of `unit` bytes).
// Returns 0, or the errno value of a failed read (the probes are then empty).
int align_take_probes(align_probes& probes, const align_region& r0, uint64_t unit);

// Finds the shift of the copy whose data is `r` against the probes: a coarse count of exact
// 8-byte matches over every shift within ALIGN_MAX_SHIFT_FRAMES frames, then the share of all
// probed bytes that agree at the few best shifts. Convincing only when at least 90 % of the bytes
// that the copy has agree (two windows' worth at least) and no other shift comes within 25
// points. No probes, or a failed read: not convincing.
align_result align_find_shift(const align_probes& probes, const align_region& r);

// A stretch of input 0's data over which a copy has one shift, from its start to the next
// segment's (the last to the end of the data).
struct align_segment {
    uint64_t from = 0;   // input 0's data offset where it begins
    int64_t shift = 0;   // N, bytes
    bool placed = true;  // false: the copy could not be placed here and sits out the vote
};

const uint64_t ALIGN_MAX_SEGMENTS = 32;

// The share of the probes' bytes that the copy `r` holds at `shift` (bytes of the copy that lie
// outside its data do not count); *available gets the bytes compared. 0 when none could be read.
double align_agreement_at(const align_probes& probes, const align_region& r, int64_t shift,
                          uint64_t* available);

// True when an agreement of `agree` over `available` bytes of `probes` places a copy convincingly
// without a rival shift: enough bytes, and at least the share the search asks for.
bool align_agrees(const align_probes& probes, double agree, uint64_t available);

struct align_copy {
    align_segment segments[ALIGN_MAX_SEGMENTS];
    uint32_t segment_count = 0;
    int64_t shift = 0;         // N, bytes, of the first segment
    uint64_t data_offset = 0;  // file offset of the copy's data
    uint64_t data_len = 0;
    bool in_place = true;    // one placed segment whose data lie where input 0's do: plain reads serve
    uint64_t hashed_to = 0;  // file offset up to which its digest has been fed
    // A FLAC copy decoded into a WAV file for the run (align_use_decoded): its lost stretches
    // (file offsets, in order), absent wherever it is read, and a digest of its audio only.
    const std::vector<absent_range>* lost = nullptr;
    bool audio_digest = false;
};

struct align_plan {
    uint64_t count = 0;
    uint64_t unit = 2;
    bool wav = false;           // input 0 is a WAV file: shifts are counted in frames
    uint32_t rate = 0;          // its frames per second (0: not WAV), for the times of the report
    uint64_t data_offset0 = 0;  // input 0's data chunk
    uint64_t data_len0 = 0;
    // The output: its data bytes (where the copies' data are clipped) and all its bytes (input 0's
    // blocks are cut there or run on, input 0 absent past its end); UINT64_MAX: input 0's length.
    uint64_t out_data_len = 0;
    uint64_t out_len = UINT64_MAX;
    uint64_t block_pos = 0;  // input 0's offset of the block being read
    uint64_t block_len = 0;  // what input 0 delivered for it
    G_CRYPT* crypt = nullptr;
    align_copy copies[MAX_INPUTS];
    block_absence absent;            // what each copy lacks of the current block, for the vote
    std::vector<absent_range> held;  // the stretches of the block that the copy being read holds
    align_probes probes;             // input 0's windows, while the shifts are searched
    uint8_t side_chunk[1 << 16];     // bytes read on the side for a shifted copy's digest
};

// Refuses --align when an input cannot be read by position (standard input, a pipe, a terminal,
// a FIFO, a directory): prints "copyvote: read <name>: <reason>" on standard error and returns
// -1; else 0.
int align_check_inputs(const name_row* names, uint64_t count);

// Finds every copy's shift against input 0 and prints a line on standard error for each copy
// that is shifted or has no convincing shift. Copies read with O_DIRECT whose data do not lie
// where input 0's do are switched to cached reads. REQUIRES: all `count` inputs open and
// positionally readable, nothing read from them yet.
void align_prepare(align_plan& plan, g_file* files, const name_row* names, uint64_t count, G_CRYPT* crypt);

// Input i (input 0 too) is a FLAC copy decoded into the WAV file it stands for (its descriptor
// now reads that file): the stretches `lost` (file offsets of that file, in order; kept by the
// caller for the run) are absent wherever the copy is read, and its digest covers its audio
// only, as FLAC copies' digests do. REQUIRES: align_prepare done, nothing read yet.
void align_use_decoded(align_plan& plan, uint64_t i, const std::vector<absent_range>* lost);

// Appends to `held` the stretch [lo, hi) of a block that a copy holds from its file offset
// `file_off` on, less its `lost` stretches (file offsets, in order; null: none), so that `held`
// lists what the copy holds in block order.
void align_hold(std::vector<absent_range>& held, const std::vector<absent_range>* lost, uint64_t lo,
                uint64_t hi, uint64_t file_off);

// Outside the stretches of `held` (in block order) input i lacks the first `len` bytes of its
// block: those stretches are marked absent, each exactly, and take `block0`'s bytes (input 0's
// block; nothing is copied when the block is input 0's), so that the copy alone makes no word
// disputed. Empties `held`.
void align_mark_gaps(block_absence& absent, uint64_t i, std::vector<absent_range>& held, uint8_t* block,
                     const uint8_t* block0, uint64_t len);

// Sets the output's length once the run has chosen it (by default input 0's): `out_len` bytes in
// all, `out_data_len` of them data. REQUIRES: align_prepare done, nothing read yet.
void align_set_length(align_plan& plan, uint64_t out_len, uint64_t out_data_len);

// One block of input i for the block loop, from `file` into `block` (`size` bytes, the block
// loop's request). Input 0 is read as usual and must be read first in every block: the block is
// the output's next block (up to `size` bytes), input 0 marked absent where the output's data run
// on past its own (the block loop marks it absent past what it read). Input i > 0 then delivers
// exactly the block's length, taken from its shifted place, the gaps filled from `block0` (input
// 0's block, unchanged since its read) and marked absent in plan.absent. Once the output is
// complete, each input feeds the rest of its file to its digest and delivers 0. Returns the byte
// count, or -1 with errno in file.read_error.
int64_t align_read_block(align_plan& plan, uint64_t i, g_file& file, uint8_t* block, uint64_t size,
                         const uint8_t* block0);

// True when the plan feeds input i's digest itself (every i > 0, and input 0 when it is a decoded
// FLAC copy), so the block loop must not.
bool align_feeds_digest(const align_plan* plan, uint64_t i);
