#include "run/repair.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/coding.h"
#include "base/globals.h"
#include "base/play_time.h"
#include "base/read_at.h"
#include "g_console.h"
#include "run/files.h"
#include "run/verdict.h"

bool repair_target_from(const run_options& options, const ar_response* response, const track_checksums& sums,
                        track_position pos, repair_target& t) {
    if (!sums.applies) return false;
    t = repair_target();
    t.frames = sums.frames;
    ar_counted_range(sums.frames, pos, t.first_counted, t.last_counted);
    t.voted_v1 = sums.v1;
    t.voted_v2 = sums.v2;
    t.voted_crc32 = sums.crc32;
    for (unsigned k = 0; k < options.expected_count; k++) {
        const expected_sum& e = options.expected[k];
        const uint32_t v = e.sum32();
        if (strcmp(e.kind, "arv1") == 0) t.want_v1 = true, t.v1 = v;
        if (strcmp(e.kind, "arv2") == 0) t.want_v2 = true, t.v2 = v;
        if (strcmp(e.kind, "crc32") == 0) t.want_crc32 = true, t.crc32 = v;
    }
    if (response) {
        for (const ar_entry& entry : response->entries) t.ar_any.push_back(entry.sum);
    }
    return t.want_v1 || t.want_v2 || t.want_crc32 || !t.ar_any.empty();
}

namespace {

const uint64_t READ_BACK_CHUNK = 1 << 20;

bool output_is_regular(const g_file& output) {
    struct stat st;
    return fstat(output.descriptor, &st) == 0 && S_ISREG(st.st_mode);
}

// Writes the 32-bit word `w` at `offset` of the output. False when the write failed.
bool write_frame(g_file& output, uint64_t offset, uint32_t w) {
    uint8_t bytes[4];
    store32(bytes, w);
    return pwrite(output.descriptor, bytes, 4, static_cast<off_t>(offset)) == 4;
}

// Reads the output back from the start and feeds `sums` (started like the run's) and, when the
// report has digests, the output's slot from scratch. False when it cannot be read.
bool read_back(const repair_job& job, track_checksums& sums) {
    g_file reader;
    if (reopen_for_reading(*job.output, reader) != 0) return false;
    std::vector<uint8_t> chunk(READ_BACK_CHUNK);
    if (job.crypt->enabled) gcry_md_reset(job.crypt->ctx[0]);
    uint64_t offset = 0;
    for (;;) {
        const int64_t got = read_at(reader.descriptor, chunk.data(), chunk.size(), offset);
        if (got < 0) return false;
        if (got == 0) break;
        const uint64_t n = static_cast<uint64_t>(got);
        if (offset == 0) sums.set_layout(chunk.data(), n);
        sums.feed(offset, chunk.data(), n);
        const uint64_t lo = offset > job.digest_lo ? offset : job.digest_lo;
        const uint64_t hi = offset + n < job.digest_hi ? offset + n : job.digest_hi;
        if (job.crypt->enabled && lo < hi) job.crypt->hash_data(0, chunk.data() + (lo - offset), hi - lo);
        offset += n;
    }
    sums.finish();
    return true;
}

// The search's changes written into the output (or, with `undo`, the voted words back).
bool apply(repair_job& job, const std::vector<repair_frame>& frames, const std::vector<uint64_t>& offsets,
           const repair_result& r, bool undo) {
    bool written = true;
    for (const repair_change& c : r.changes) {
        written =
            write_frame(*job.output, offsets[c.frame], undo ? frames[c.frame].voted : c.word) && written;
    }
    return written;
}

unsigned samples_changed(const std::vector<repair_frame>& frames, const repair_result& r) {
    unsigned n = 0;
    for (const repair_change& c : r.changes) {
        const uint32_t d = frames[c.frame].voted ^ c.word;
        n += (d & 0xFFFF) != 0;
        n += (d >> 16) != 0;
    }
    return n;
}

// Applies a combination the search found and keeps it only when the output read back is verified.
void take(repair_job& job, repair_outcome& o, const std::vector<repair_frame>& frames,
          const std::vector<uint64_t>& offsets, const repair_result& r) {
    gcry_md_hd_t saved = nullptr;
    if (job.crypt->enabled && gcry_md_copy(&saved, job.crypt->ctx[0]) != 0) return;
    track_checksums repaired;
    int algos[MAX_EXPECTED];
    const unsigned n = expected_digests(*job.options, algos);
    const bool held = repaired.start(job.options->track, algos, n) == 0 &&
                      apply(job, frames, offsets, r, false) && read_back(job, repaired) &&
                      verified(*job.options, repaired, job.response);
    if (!held) {
        apply(job, frames, offsets, r, true);
        if (saved) std::swap(saved, job.crypt->ctx[0]);
        o.refused = true;
    } else {
        job.sums->adopt(repaired);
        o.found = true;
        o.changed_samples = samples_changed(frames, r);
        for (const repair_change& c : r.changes) o.changed_offsets.push_back(offsets[c.frame]);
    }
    if (saved) gcry_md_close(saved);
}

void note_in_map(dispute_map* map, const repair_outcome& o) {
    if (!map) return;
    for (uint64_t offset : o.changed_offsets) {
        const std::string text = "repaired\t" + std::to_string(offset) + "\t4";
        map->add_comment(text.c_str());
    }
}

}  // namespace

unsigned expected_digests(const run_options& options, int* algos) {
    unsigned n = 0;
    for (unsigned k = 0; k < options.expected_count; k++) {
        if (options.expected[k].algo != 0) algos[n++] = options.expected[k].algo;
    }
    return n;
}

repair_outcome repair_output(repair_job& job) {
    repair_outcome o;
    repair_target target;
    if (!repair_target_from(*job.options, job.response, *job.sums, job.options->track, target)) {
        o.not_tried = "nothing expected is an AccurateRip or CRC32 sum of this audio";
        return o;
    }
    if (!output_is_regular(*job.output)) {
        o.not_tried = "the output is no regular file that could be changed";
        return o;
    }
    std::vector<repair_frame> frames;
    std::vector<uint64_t> offsets;
    job.doubts->frames(job.sums->audio_begin, job.sums->audio_end, frames, offsets);
    o.tried = true;
    o.doubtful = frames.size();
    const repair_result r = repair_search(frames, target);
    o.bound_reached = r.bound_reached || job.doubts->overflowed;
    o.ambiguous = r.ambiguous;
    o.tried_combinations = r.tried;
    o.bound = r.bound;
    if (r.found && !r.changes.empty()) take(job, o, frames, offsets, r);
    note_in_map(job.map, o);
    return o;
}

namespace {

// "mm:ss.mmm" of the audio at output offset `at`.
std::string audio_time(uint64_t at, const track_checksums& sums) {
    return play_time_of((at - sums.audio_begin) / 4, 44100).text;
}

std::string why_not(const repair_outcome& o) {
    if (o.not_tried) return o.not_tried;
    if (o.ambiguous) return "two combinations of the copies' values match alike; neither was taken";
    if (o.refused) return "a combination matched the sums but not every expected value; the vote stays";
    std::string text = "no combination of the copies' values at " + std::to_string(o.doubtful) +
                       " doubtful frames matches (" + std::to_string(o.tried_combinations) + " tried";
    // The search stops at the chance bound, or earlier at the work it may do in about a second.
    if (o.bound_reached && o.tried_combinations >= o.bound / 2) {
        text += ", up to the bound beyond which a match could be chance";
    } else if (o.bound_reached) {
        text += ", up to the work the search may do";
    }
    return text + ")";
}

}  // namespace

std::string repair_text(const repair_outcome& o, const track_checksums& sums) {
    if (!o.found) return "not repaired: " + why_not(o);
    std::string at;
    for (size_t k = 0; k < o.changed_offsets.size() && k < 8; k++) {
        at += (k ? ", " : "") + audio_time(o.changed_offsets[k], sums);
    }
    if (o.changed_offsets.size() > 8) at += ", ...";
    return "repaired: " + std::to_string(o.changed_samples) + " samples in " +
           std::to_string(o.changed_offsets.size()) + " frames changed to match, at " + at;
}

void print_repair(const char* out_name, const repair_outcome& o, const track_checksums& sums) {
    FILE* out = con_out();
    fputc('[', out);
    con_put_right(out, out_name, NAME_COLUMNS);
    con_printf(out, "] %s\n", repair_text(o, sums).c_str());
}
