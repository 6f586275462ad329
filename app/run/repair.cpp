#include "run/repair.h"

#include <fcntl.h>
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

// Why the repair cannot write frames back into the output, or empty when it can: frames are written
// by their offset, so the output must be a regular file that the run wrote from its first byte, and
// not in append mode, where every write lands at the end whatever its offset. Whoever opened it:
// standard output redirected into a file qualifies when it meets these.
std::string why_not_writable(const repair_job& job) {
    struct stat st;
    if (fstat(job.output->descriptor, &st) != 0 || !S_ISREG(st.st_mode)) {
        return "the output is no regular file that could be changed";
    }
    const int flags = fcntl(job.output->descriptor, F_GETFL);
    if (flags < 0 || (flags & O_APPEND) != 0) {
        return "not tried, for the output is open for appending (>>), where no frame can be written back in "
               "its place";
    }
    if (job.output_start != 0) {
        return "not tried, for the output starts at byte " + std::to_string(job.output_start) +
               " of its file, not at its beginning";
    }
    return "";
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
    o.not_tried = why_not_writable(job);
    if (!o.not_tried.empty()) return o;
    std::vector<repair_frame> frames;
    std::vector<uint64_t> offsets;
    job.doubts->frames(job.sums->audio_begin, job.sums->audio_end, frames, offsets);
    o.tried = true;
    o.doubtful = frames.size();
    o.overflowed = job.doubts->overflowed;
    const repair_result r = repair_search(frames, target);
    o.search = r;
    o.search.changes.clear();
    if (r.found && !r.changes.empty()) take(job, o, frames, offsets, r);
    note_in_map(job.map, o);
    return o;
}

namespace {

// "mm:ss.mmm" of the audio at output offset `at`.
std::string audio_time(uint64_t at, const track_checksums& sums) {
    return play_time_of((at - sums.audio_begin) / 4, 44100).text;
}

// "1 frame" or "2 frames".
std::string frames_text(uint64_t n) { return std::to_string(n) + (n == 1 ? " frame" : " frames"); }

// What the search came to where it took nothing.
std::string search_text(const repair_outcome& o) {
    const repair_result& r = o.search;
    if (r.ambiguous && r.sizes[0] == r.sizes[1]) {
        return "two combinations of the copies' values match alike; neither was taken";
    }
    if (r.ambiguous) {
        return "combinations of the copies' values at " + frames_text(r.sizes[0]) + " and at " +
               frames_text(r.sizes[1]) + " match alike; neither was taken";
    }
    if (r.frames > 0 && r.unsettled == r.frames) {
        std::string text = "what is expected cannot settle the changes at " + std::to_string(r.unsettled) +
                           (r.unsettled == 1 ? " doubtful frame" : " doubtful frames") +
                           " (they reach at most " + std::to_string(r.reach_bits) + " bits of it";
        if (r.values > 1) text += ", against " + std::to_string(r.values) + " values";
        return text + ": a match could be chance)";
    }
    std::string text = "no combination of the copies' values at " + std::to_string(o.doubtful) +
                       " doubtful frames matches (" + std::to_string(r.tried) + " tried";
    if (r.bound_reached && !r.work_reached && !o.overflowed) {
        text += ", up to the bound beyond which a match could be chance";
    } else if (r.bound_reached || o.overflowed) {
        text += ", up to the work the search may do";
    }
    if (r.short_reach > 0) {
        text += "; " + frames_text(r.short_reach) +
                " whose changes reach too few bits of a sum to be compared with it";
    }
    return text + ")";
}

std::string why_not(const repair_outcome& o) {
    if (!o.not_tried.empty()) return o.not_tried;
    if (o.refused) return "a combination matched the sums but not every expected value; the vote stays";
    return search_text(o);
}

}  // namespace

std::string repair_text(const repair_outcome& o, const track_checksums& sums) {
    if (!o.found) return "not repaired: " + why_not(o);
    std::string at;
    for (size_t k = 0; k < o.changed_offsets.size() && k < 8; k++) {
        at += (k ? ", " : "") + audio_time(o.changed_offsets[k], sums);
    }
    if (o.changed_offsets.size() > 8) at += ", ...";
    return "repaired: " + std::to_string(o.changed_samples) +
           (o.changed_samples == 1 ? " sample in " : " samples in ") + frames_text(o.changed_offsets.size()) +
           " changed to match, at " + at;
}

void print_repair(const char* out_name, const repair_outcome& o, const track_checksums& sums) {
    FILE* out = con_out();
    fputc('[', out);
    con_put_right(out, out_name, NAME_COLUMNS);
    con_printf(out, "] %s\n", repair_text(o, sums).c_str());
}
