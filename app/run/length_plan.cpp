#include "run/length_plan.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "audio/wav_header.h"
#include "base/play_time.h"
#include "g_console.h"

namespace {

const uint64_t CD_FRAME_BYTES = 4;  // raw data in an audio run are taken as CD audio
const uint32_t CD_RATE = 44100;

// The size of an open file that a read cannot change: a regular file's, a block device's. False
// for a stream, whose length is known only once it has been read.
bool known_size(int fd, uint64_t* size) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    if (S_ISREG(st.st_mode)) {
        *size = static_cast<uint64_t>(st.st_size);
        return true;
    }
    if (!S_ISBLK(st.st_mode)) return false;
    // A device tells its size only by its end; nothing has been read, so back to the start.
    const off_t end = lseek(fd, 0, SEEK_END);
    if (end < 0 || lseek(fd, 0, SEEK_SET) != 0) return false;
    *size = static_cast<uint64_t>(end);
    return true;
}

uint64_t saturating_minus(uint64_t a, uint64_t b) { return a > b ? a - b : 0; }

// With FLAC copies every copy is voted behind the one header: its stream's bytes are known.
void measure_flac_run(length_plan& plan, const flac_run& flac, uint64_t count) {
    plan.audio_lo = FLAC_WAV_HEADER_SIZE;
    plan.frame_bytes = 2ull * flac.out_layout.channels;
    plan.rate = flac.out_layout.sample_rate;
    for (uint64_t i = 0; i < count; i++) {
        const uint64_t bytes = flac.audio_hi[i + 1];
        plan.copy[i] = copy_extent{(bytes - FLAC_WAV_HEADER_SIZE) / plan.frame_bytes, bytes};
    }
    plan.cuts = true;
}

// With --align every copy's data are measured by its own header; the output keeps input 0's
// header, and its trailing chunks when its data are as long as the output's.
void measure_aligned(length_plan& plan, align_plan& align, g_file* files, uint64_t count) {
    uint64_t size0 = 0;
    if (!known_size(files[0].descriptor, &size0)) return;
    plan.audio_lo = align.data_offset0;
    plan.frame_bytes = align.wav ? align.unit : CD_FRAME_BYTES;
    plan.rate = align.rate ? align.rate : CD_RATE;
    for (uint64_t i = 0; i < count; i++) {
        const uint64_t data = i == 0 ? align.data_len0 : align.copies[i].data_len;
        plan.copy[i] = copy_extent{data / plan.frame_bytes, data};
    }
    const copy_extent out = choose_length(plan.copy, count);
    const uint64_t trailing = saturating_minus(size0, align.data_offset0 + align.data_len0);
    plan.out_frames = out.frames;
    plan.out_bytes = align.data_offset0 + out.bytes + (out.bytes == align.data_len0 ? trailing : 0);
    align_set_length(align, plan.out_bytes, out.bytes);
    plan.cuts = true;
}

// Copies voted byte by byte in input 0's layout: each is measured by its own WAV header, or by
// input 0's where it has none (an empty copy, a cut header), or as raw CD audio.
void measure_in_place(length_plan& plan, g_file* files, uint64_t count) {
    uint64_t sizes[MAX_INPUTS];
    for (uint64_t i = 0; i < count; i++) {
        if (!known_size(files[i].descriptor, &sizes[i])) return;
    }
    const wav_header h0 = read_wav_header(files[0].descriptor, sizes[0]);
    const bool wav = h0.valid && h0.block_align > 0;
    plan.audio_lo = wav ? h0.data_offset : 0;
    plan.frame_bytes = wav ? h0.block_align : CD_FRAME_BYTES;
    plan.rate = wav && h0.sample_rate > 0 ? h0.sample_rate : CD_RATE;
    const uint64_t data_end0 = wav ? wav_data_end(h0, UINT64_MAX) : UINT64_MAX;
    for (uint64_t i = 0; i < count; i++) {
        const uint64_t size = sizes[i];
        const wav_header h = i == 0 ? h0 : read_wav_header(files[i].descriptor, size);
        const uint64_t data =
            h.valid && h.block_align > 0
                ? saturating_minus(wav_data_end(h, size), h.data_offset) / h.block_align
                : saturating_minus(std::min(size, data_end0), plan.audio_lo) / plan.frame_bytes;
        plan.copy[i] = copy_extent{data, size};
    }
    plan.cuts = true;
}

}  // namespace

copy_extent choose_length(const copy_extent* copies, uint64_t count) {
    copy_extent best = copies[0];
    uint64_t best_votes = 0;
    for (uint64_t i = 0; i < count; i++) {
        uint64_t votes = 0;
        for (uint64_t k = 0; k < count; k++) votes += copies[k].frames == copies[i].frames;
        if (votes > best_votes || (votes == best_votes && copies[i].frames > best.frames)) {
            best = copies[i];
            best_votes = votes;
        }
    }
    best_votes = 0;
    copy_extent out = best;
    for (uint64_t i = 0; i < count; i++) {
        if (copies[i].frames != best.frames) continue;
        uint64_t votes = 0;
        for (uint64_t k = 0; k < count; k++)
            votes += copies[k].frames == best.frames && copies[k].bytes == copies[i].bytes;
        if (votes > best_votes || (votes == best_votes && copies[i].bytes < out.bytes)) {
            out = copies[i];
            best_votes = votes;
        }
    }
    return out;
}

bool is_audio_run(const run_options& options, bool any_flac_copy) {
    return any_flac_copy || options.cd || options.align || options.ar || options.track.number != 0 ||
           options.response_name != nullptr;
}

void plan_lengths(length_plan& plan, const run_options& options, g_file* files, uint64_t count,
                  flac_run& flac, align_plan* align) {
    plan.audio = is_audio_run(options, flac.any_source);
    if (!plan.audio) return;
    if (flac.any_source) {
        measure_flac_run(plan, flac, count);
    } else if (align) {
        measure_aligned(plan, *align, files, count);
    } else {
        measure_in_place(plan, files, count);
    }
    if (!plan.cuts) return;
    if (!align) {
        const copy_extent out = choose_length(plan.copy, count);
        plan.out_frames = out.frames;
        plan.out_bytes = out.bytes;
    }
    if (flac.active) flac_set_length(flac, plan.out_bytes);
    if (!flac.absent && !align) plan.own_absence.reset(new block_absence());
}

void note_unheld(length_plan& plan, uint64_t lo, uint64_t hi) {
    if (hi <= plan.audio_lo || plan.frame_bytes == 0) return;
    lo = std::max(lo, plan.audio_lo) - plan.audio_lo;
    hi -= plan.audio_lo;
    uint64_t first = lo / plan.frame_bytes;
    const uint64_t end = (hi + plan.frame_bytes - 1) / plan.frame_bytes;
    if (plan.unheld > 0 && first < plan.unheld_to) first = plan.unheld_to;  // a frame split by a block
    if (end <= first) return;
    if (plan.places && (plan.unheld == 0 || first != plan.unheld_to))
        plan.places->note_frame(doubt_kind::no_copy, first);
    if (plan.unheld == 0) plan.first_unheld = first;
    plan.unheld += end - first;
    plan.unheld_to = end;
}

void print_short_copies(const length_plan& plan, const name_row* names, uint64_t count) {
    if (!plan.cuts) return;
    FILE* out = con_out();
    for (uint64_t i = 0; i < count; i++) {
        const uint64_t frames = plan.copy[i].frames;
        if (frames >= plan.out_frames) continue;
        const uint64_t fewer = plan.out_frames - frames;
        con_printf(out, "[");
        con_put_right(out, names[i], NAME_COLUMNS);
        con_printf(out, "] ends %llu frame%s before the others, at %s\n",
                   static_cast<unsigned long long>(fewer), fewer == 1 ? "" : "s",
                   play_time_of(frames, plan.rate).text);
    }
}

void print_unheld(const length_plan& plan, const char* out_name) {
    if (plan.unheld == 0) return;
    fputc('[', stderr);
    con_put_right(stderr, out_name, NAME_COLUMNS);
    con_printf(stderr, "] %llu frame%s%s%s)\n", static_cast<unsigned long long>(plan.unheld),
               plan.unheld == 1 ? "" : "s", UNHELD_TEXT, play_time_of(plan.first_unheld, plan.rate).text);
}
