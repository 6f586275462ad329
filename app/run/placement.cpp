#include "run/placement.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "audio/align_probe.h"
#include "audio/align_segments.h"
#include "base/app_error.h"
#include "base/read_at.h"
#include "g_console.h"

namespace {

bool readable_by_position(const g_file& file) {
    struct stat st;
    return fstat(file.descriptor, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
}

// Reads by position need the page cache: direct I/O is off while the copy is probed, and stays
// off for a copy read from its shifted place.
int drop_direct(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1 && (flags & O_DIRECT)) fcntl(fd, F_SETFL, flags & ~O_DIRECT);
    return flags;
}

void restore_direct(int fd, int flags) {
    if (flags != -1 && (flags & O_DIRECT)) fcntl(fd, F_SETFL, flags);
}

// Where copy i's audio lies in the layout the run votes: a FLAC copy's is decoded (its windows
// for the probe); a WAV copy beside FLAC ones is read from its own data chunk; otherwise the
// copy's bytes from the voted audio's offset on.
void find_audio(placed_copy& c, uint64_t i, const g_file& file, const flac_run& flac,
                const length_plan& lengths) {
    const uint64_t bytes = lengths.copy[i].frames * lengths.frame_bytes;
    c.flags = drop_direct(file.descriptor);
    if (flac.source[i]) {
        c.window.reset(new flac_window);
        const int64_t start = flac_stream_start(file.descriptor);
        if (start < 0 || c.window->open(file.descriptor, static_cast<uint64_t>(start)) != 0) c.window.reset();
        return;
    }
    const uint64_t base = flac_relaid(flac, i) ? flac.data_at[i] : lengths.audio_lo;
    c.audio = align_region{file.descriptor, base, bytes};
}

int64_t read_window(placed_copy& c, uint8_t* dst, uint64_t n, uint64_t pos) {
    if (c.window) return c.window->read(dst, n, pos);
    if (c.audio.fd < 0) return -1;
    if (pos >= c.audio.len) return 0;
    return read_at(c.audio.fd, dst, std::min(n, c.audio.len - pos), c.audio.offset + pos);
}

// A FLAC copy is decoded whole before it is searched or read by position. Returns 0, or -1 after
// an error line.
int make_readable(placed_copy& c, const g_file& file, const char* name, const length_plan& lengths,
                  uint64_t i, const char* out_name) {
    if (c.audio.fd >= 0) return 0;
    std::string why;
    if (flac_decode_whole(c.decoded, file.descriptor, false, out_name, why) != 0) {
        app_error("decode", name, why.c_str());
        return -1;
    }
    c.window.reset();
    c.audio = align_region{c.decoded.fd, FLAC_WAV_HEADER_SIZE, lengths.copy[i].frames * lengths.frame_bytes};
    c.where.lost = &c.decoded.lost;
    return 0;
}

void print_found(const placement& p, const char* name, const align_copy& c) {
    align_put_name(name);
    if (c.segment_count == 1 && !c.segments[0].placed) {
        con_printf(stderr, "misplaced and no shift found: it sits out\n");
        return;
    }
    if (c.segment_count == 1) {
        char text[96];
        align_shift_text(p.units, c.segments[0].shift, text, sizeof text);
        con_printf(stderr, "misplaced: %s; voted aligned\n", text);
        return;
    }
    con_printf(stderr, "misplaced: its shift changes part way; voted aligned where it is placed\n");
    align_print_segment_lines(name, p.units, c);
}

// Searches copy i against the reference r as --align searches, and says what was found. A copy
// found where the vote expects it after all (damage that fooled the probe) stays as it is.
int search(placement& p, uint64_t i, uint64_t r, g_file* files, const name_row* names,
           const length_plan& lengths, const char* out_name, align_probes& probes) {
    placed_copy& c = p.copy[i];
    if (make_readable(p.copy[r], files[r], names[r], lengths, r, out_name) != 0) return -1;
    if (make_readable(c, files[i], names[i], lengths, i, out_name) != 0) return -1;
    const align_region& ref = p.copy[r].audio;
    if (probes.count == 0) align_take_probes(probes, ref, p.units.unit);
    const align_result whole = align_find_shift(probes, c.audio);
    const std::vector<absent_range>* lost = c.where.lost;
    c.where = align_copy();
    c.where.lost = lost;
    align_find_segments(ref, c.audio, p.units.unit, whole, c.where);
    c.where.shift = c.where.segments[0].shift;
    const align_segment& first = c.where.segments[0];
    c.moved = !(c.where.segment_count == 1 && first.placed && first.shift == 0);
    if (c.moved) print_found(p, names[i], c.where);
    p.any_moved = p.any_moved || c.moved;
    return 0;
}

// The copy the suspects are searched against: the reference, or, when that is a FLAC copy, a
// copy that shares its alignment and is read by position as it is (no decoding needed).
uint64_t searched_against(const placement& p, const align_probe_verdict& v) {
    if (p.copy[v.reference].audio.fd >= 0) return v.reference;
    for (uint64_t i = 0; i < p.count; i++) {
        if (v.agree[i] >= PROBE_AGREE && p.copy[i].audio.fd >= 0) return i;
    }
    return v.reference;
}

// The probe: every copy's windows, and the verdict on them.
align_probe_verdict probe(placement& p, uint64_t count) {
    std::unique_ptr<align_probe_set> set(new align_probe_set);
    align_probe_place(*set, count, p.audio_len, p.units.unit);
    for (uint64_t i = 0; i < count; i++) {
        for (uint64_t k = 0; k < set->count; k++)
            align_probe_note(*set, i, k,
                             read_window(p.copy[i], set->window_of(i, k), set->window, set->pos[k]));
    }
    return align_probe_judge(*set);
}

}  // namespace

bool placement_wanted(const run_options& options, g_file* files, uint64_t count) {
    bool any_flac = false;
    for (uint64_t i = 0; i < count; i++) {
        if (!readable_by_position(files[i])) return false;
        any_flac = any_flac || flac_stream_start(files[i].descriptor) >= 0;
    }
    return !options.align && is_audio_run(options, any_flac);
}

int place_copies(placement& p, g_file* files, const name_row* names, uint64_t count, const flac_run& flac,
                 const length_plan& lengths, const char* out_name) {
    if (!lengths.audio || !lengths.cuts || lengths.frame_bytes == 0) return 0;
    p.count = count;
    p.audio_lo = lengths.audio_lo;
    p.audio_len = lengths.out_frames * lengths.frame_bytes;
    p.units = align_units{true, lengths.frame_bytes, lengths.rate};
    p.copy.reset(new placed_copy[count]);
    for (uint64_t i = 0; i < count; i++) find_audio(p.copy[i], i, files[i], flac, lengths);
    const align_probe_verdict v = probe(p, count);
    int status = 0;
    if (v.decided) {
        const uint64_t r = searched_against(p, v);
        std::unique_ptr<align_probes> probes(new align_probes);
        for (uint64_t i = 0; i < count && status == 0; i++) {
            if (v.suspect[i]) status = search(p, i, r, files, names, lengths, out_name, *probes);
        }
    }
    for (uint64_t i = 0; i < count; i++) {
        placed_copy& c = p.copy[i];
        c.window.reset();
        if (!c.moved) restore_direct(files[i].descriptor, c.flags);
    }
    return status;
}

int64_t placement_read(placement& p, uint64_t i, uint8_t* block, uint64_t got, uint64_t block_start,
                       uint64_t len, const uint8_t* block0, block_absence& absent) {
    const placed_copy& c = p.copy[i];
    absent.clear(i);
    p.held.clear();
    const uint64_t end = block_start + len, held_end = block_start + std::min(got, len);
    const uint64_t audio_hi = p.audio_lo + p.audio_len;
    // Before and after the audio the copy holds what it read, in place.
    const uint64_t head_end = std::min(held_end, p.audio_lo);
    if (head_end > block_start) p.held.push_back(absent_range{0, head_end - block_start});
    const uint64_t a_lo = std::max(block_start, p.audio_lo), a_hi = std::min(end, audio_hi);
    for (uint32_t k = 0; k < c.where.segment_count && a_lo < a_hi; k++) {
        const align_segment& seg = c.where.segments[k];
        if (!seg.placed) continue;
        // The segment's audio offsets within the block, where the copy has audio at its shift.
        const uint64_t seg_end = k + 1 < c.where.segment_count ? c.where.segments[k + 1].from : UINT64_MAX;
        const int64_t lo =
            std::max({static_cast<int64_t>(a_lo - p.audio_lo), static_cast<int64_t>(seg.from), -seg.shift});
        const int64_t hi = std::min({static_cast<int64_t>(a_hi - p.audio_lo),
                                     static_cast<int64_t>(std::min<uint64_t>(seg_end, INT64_MAX)),
                                     static_cast<int64_t>(c.audio.len) - seg.shift});
        if (hi <= lo) continue;
        const uint64_t at = p.audio_lo + static_cast<uint64_t>(lo) - block_start;  // block offset
        const uint64_t from = c.audio.offset + static_cast<uint64_t>(lo + seg.shift);
        const int64_t n = read_at(c.audio.fd, block + at, static_cast<uint64_t>(hi - lo), from);
        if (n < 0) return -1;
        align_hold(p.held, c.where.lost, at, at + static_cast<uint64_t>(n), from);
    }
    const uint64_t tail_lo = std::max(block_start, audio_hi);
    if (held_end > tail_lo) p.held.push_back(absent_range{tail_lo - block_start, held_end - block_start});
    align_mark_gaps(absent, i, p.held, block, block0, len);
    return static_cast<int64_t>(len);
}

void note_copy_segments(dispute_map& map, uint64_t input, const align_copy& c, uint64_t audio_lo) {
    for (uint32_t k = 0; k < c.segment_count; k++) {
        const align_segment& seg = c.segments[k];
        const std::string text = "shift\t" + std::to_string(input) + "\t" +
                                 std::to_string(audio_lo + seg.from) + "\t" +
                                 (seg.placed ? std::to_string(seg.shift) : std::string("not placed"));
        map.add_comment(text.c_str());
    }
}

void placement_note_map(const placement& p, dispute_map& map) {
    for (uint64_t i = 0; i < p.count && p.any_moved; i++) {
        if (p.copy[i].moved) note_copy_segments(map, i, p.copy[i].where, p.audio_lo);
    }
}
