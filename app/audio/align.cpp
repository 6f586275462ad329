#include "audio/align.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "audio/align_segments.h"
#include "audio/wav_header.h"
#include "base/app_error.h"
#include "base/coding.h"
#include "base/read_at.h"

namespace {

const uint64_t CANDIDATE_WINDOWS = 48;  // places of input 0 looked at for probe windows
const uint64_t KEYS_PER_PROBE = 16;     // 8-byte keys per window for the coarse search
const uint64_t VERIFIED_SHIFTS = 4;     // best coarse shifts measured on every probed byte
const double MIN_AGREE = 0.90;
const double MIN_LEAD = 0.25;
const int16_t QUIET = 32;  // keys whose samples all lie within this are skipped

// 16-bit samples when frames are whole samples, single bytes otherwise.
uint64_t sample_step(uint64_t unit) { return unit % 2 == 0 ? 2 : 1; }

// A key made of near-silence matches at many shifts by chance and only adds noise.
bool is_quiet_key(const uint8_t* key, uint64_t unit) {
    if (sample_step(unit) == 1) return memcmp(key, key + 1, 7) == 0;
    for (int j = 0; j < 8; j += 2) {
        const int16_t v = load_sample16(key + j);
        if (v > QUIET || v < -QUIET) return false;
    }
    return true;
}

// Bytes either way that the search covers: ALIGN_MAX_SHIFT_FRAMES frames, and never less than
// that many CD frames.
uint64_t max_shift_bytes(uint64_t unit) { return ALIGN_MAX_SHIFT_FRAMES * std::max<uint64_t>(unit, 4); }

// The copy's data around each probe window, from `margin` bytes before to `margin` bytes after,
// as far as the copy has data there.
struct copy_windows {
    uint64_t margin;
    uint64_t stride;  // bytes per window in `bytes`
    std::vector<uint8_t> bytes;
    uint64_t lo[ALIGN_MAX_PROBES], hi[ALIGN_MAX_PROBES];  // the valid part of each
};

bool read_copy_windows(copy_windows& cw, const align_probes& p, const align_region& r) {
    cw.margin = max_shift_bytes(p.unit);
    cw.stride = p.window + 2 * cw.margin;
    cw.bytes.assign(cw.stride * p.count, 0);
    for (uint64_t k = 0; k < p.count; k++) {
        const uint64_t start = p.pos[k] > cw.margin ? p.pos[k] - cw.margin : 0;  // data offset
        const uint64_t end = std::min(r.len, p.pos[k] + p.window + cw.margin);
        cw.lo[k] = cw.hi[k] = start + cw.margin - p.pos[k];
        if (end <= start) continue;
        const int64_t got = read_at(r.fd, &cw.bytes[k * cw.stride + cw.lo[k]], end - start, r.offset + start);
        if (got < 0) return false;
        cw.hi[k] = cw.lo[k] + static_cast<uint64_t>(got);
    }
    return true;
}

// Coarse search: for every shift, how many 8-byte keys of the probes the copy holds exactly there.
void count_key_hits(const align_probes& p, const copy_windows& cw, std::vector<uint32_t>& hits) {
    const uint64_t unit = p.unit, spacing = p.window / KEYS_PER_PROBE;
    for (uint64_t k = 0; k < p.count; k++) {
        const uint8_t* region = &cw.bytes[k * cw.stride];
        for (uint64_t j = 0; j < KEYS_PER_PROBE; j++) {
            const uint64_t o = j * spacing / unit * unit;
            if (o + 8 > p.window || is_quiet_key(p.bytes[k] + o, unit)) continue;
            const uint64_t key = load64(p.bytes[k] + o);
            // Slot t is the shift t * unit - margin; the copy holds it at region offset o + t * unit.
            uint64_t t = cw.lo[k] > o ? (cw.lo[k] - o + unit - 1) / unit : 0;
            for (; t < hits.size() && o + t * unit + 8 <= cw.hi[k]; t++) {
                if (load64(region + o + t * unit) == key) hits[t]++;
            }
        }
    }
}

// The share of probed bytes that agree with the copy at `shift`; *available counts the bytes
// the copy has there.
double agreement(const align_probes& p, const copy_windows& cw, int64_t shift, uint64_t* available) {
    uint64_t same = 0, seen = 0;
    for (uint64_t k = 0; k < p.count; k++) {
        const uint8_t* region = &cw.bytes[k * cw.stride];
        const int64_t base = static_cast<int64_t>(cw.margin) + shift;
        const uint64_t from = std::max<int64_t>(0, static_cast<int64_t>(cw.lo[k]) - base);
        const int64_t to_signed =
            std::min<int64_t>(static_cast<int64_t>(p.window), static_cast<int64_t>(cw.hi[k]) - base);
        const uint64_t to = to_signed > 0 ? static_cast<uint64_t>(to_signed) : 0;
        for (uint64_t j = from; j < to; j++) same += p.bytes[k][j] == region[base + static_cast<int64_t>(j)];
        if (to > from) seen += to - from;
    }
    *available = seen;
    return seen ? static_cast<double>(same) / static_cast<double>(seen) : 0.0;
}

// The slots with the most key hits, best first; slots without hits are left out.
std::vector<uint64_t> best_slots(const std::vector<uint32_t>& hits) {
    std::vector<uint64_t> best;
    for (uint64_t round = 0; round < VERIFIED_SHIFTS; round++) {
        uint64_t top = hits.size();
        for (uint64_t t = 0; t < hits.size(); t++) {
            if (hits[t] == 0 || std::find(best.begin(), best.end(), t) != best.end()) continue;
            if (top == hits.size() || hits[t] > hits[top]) top = t;
        }
        if (top == hits.size()) break;
        best.push_back(top);
    }
    return best;
}

// Size and, for a WAV file, the data chunk of an open file.
struct geometry {
    uint64_t size = 0;
    wav_header wav;
};

geometry read_geometry(int fd) {
    geometry g;
    struct stat st;
    if (fstat(fd, &st) != 0) return g;
    if (st.st_size > 0) g.size = static_cast<uint64_t>(st.st_size);
    if (g.size == 0 && S_ISBLK(st.st_mode)) {
        // A device tells its size only by its end; nothing has been read, so back to the start.
        const off_t end = lseek(fd, 0, SEEK_END);
        if (end > 0) g.size = static_cast<uint64_t>(end);
        lseek(fd, 0, SEEK_SET);
    }
    g.wav = read_wav_header(fd, g.size);
    if (g.wav.valid && g.wav.data_offset > g.size) g.wav.valid = false;
    return g;
}

uint64_t data_len_of(const geometry& g) { return wav_data_end(g.wav, g.size) - g.wav.data_offset; }

// Clears O_DIRECT on a descriptor for reads at any offset; returns the flags it had (-1: unknown).
int drop_direct(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1 && (flags & O_DIRECT)) fcntl(fd, F_SETFL, flags & ~O_DIRECT);
    return flags;
}

void restore_flags(int fd, int flags) {
    if (flags != -1 && (flags & O_DIRECT)) fcntl(fd, F_SETFL, flags);
}

// ---- the aligned reads ----

struct span {
    uint64_t lo, hi;  // block-relative
};

span clip(int64_t lo, int64_t hi, uint64_t pos, uint64_t len) {
    const int64_t a = std::max<int64_t>(lo, static_cast<int64_t>(pos));
    const int64_t b = std::min<int64_t>(hi, static_cast<int64_t>(pos + len));
    if (b <= a) return span{0, 0};
    return span{static_cast<uint64_t>(a) - pos, static_cast<uint64_t>(b) - pos};
}

// The part of input 0's block that copy c holds over segment k: its data, shifted onto input 0's
// data, as far as the segment reaches. The rest (input 0's header and trailing chunks, unplaced
// segments, wherever the copy's data have not begun or have ended) it lacks.
span segment_span(const align_plan& plan, const align_copy& c, uint32_t k) {
    const align_segment& seg = c.segments[k];
    const int64_t n = seg.shift;
    const uint64_t seg_end = k + 1 < c.segment_count ? c.segments[k + 1].from : plan.out_data_len;
    const int64_t q_lo = std::max<int64_t>(static_cast<int64_t>(seg.from), -n);
    const int64_t q_hi = std::min<int64_t>(static_cast<int64_t>(std::min(seg_end, plan.out_data_len)),
                                           static_cast<int64_t>(c.data_len) - n);
    const int64_t d0 = static_cast<int64_t>(plan.data_offset0);
    return clip(d0 + q_lo, d0 + q_hi, plan.block_pos, plan.block_len);
}

// The whole held part of an in-place copy (one placed segment).
span copy_span(const align_plan& plan, const align_copy& c) { return segment_span(plan, c, 0); }

// File offset of the copy's byte for input 0's offset p inside its data chunk, at `shift`.
uint64_t data_file_offset(const align_plan& plan, const align_copy& c, uint64_t p, int64_t shift) {
    return static_cast<uint64_t>(static_cast<int64_t>(c.data_offset + p - plan.data_offset0) + shift);
}

// Adds the span s of the block, which copy c holds from its file offset `file_off` on, to
// plan.held, less the copy's lost stretches.
void hold(align_plan& plan, const align_copy& c, span s, uint64_t file_off) {
    align_hold(plan.held, c.lost, s.lo, s.hi, file_off);
}

// Outside plan.held copy i lacks the block (see align_mark_gaps). Empties plan.held.
void mark_gaps(align_plan& plan, uint64_t i, uint8_t* block, const uint8_t* block0) {
    align_mark_gaps(plan.absent, i, plan.held, block, block0, plan.block_len);
}

bool digest_on(const align_plan& plan) { return plan.crypt && plan.crypt->enabled; }

// Feeds the copy's file bytes from hashed_to up to `end` (or its end of file), read on the side.
bool feed_from_file(align_plan& plan, uint64_t i, int fd, uint64_t end) {
    uint8_t* chunk = plan.side_chunk;
    align_copy& c = plan.copies[i];
    while (c.hashed_to < end) {
        const int64_t got =
            read_at(fd, chunk, std::min<uint64_t>(sizeof plan.side_chunk, end - c.hashed_to), c.hashed_to);
        if (got < 0) return false;
        if (got == 0) break;
        plan.crypt->hash_data(i + 1, chunk, static_cast<unsigned long>(got));
        c.hashed_to += static_cast<uint64_t>(got);
    }
    return true;
}

// Feeds the copy's file bytes [off, off + n), held at `bytes`, keeping file order: what lies
// before hashed_to was fed already, a gap before `off` is read from the file first.
bool feed(align_plan& plan, uint64_t i, int fd, uint64_t off, const uint8_t* bytes, uint64_t n) {
    if (!digest_on(plan) || n == 0) return true;
    align_copy& c = plan.copies[i];
    if (off > c.hashed_to && !feed_from_file(plan, i, fd, off)) return false;
    if (off + n <= c.hashed_to) return true;
    const uint64_t skip = c.hashed_to > off ? c.hashed_to - off : 0;
    plan.crypt->hash_data(i + 1, bytes + skip, static_cast<unsigned long>(n - skip));
    c.hashed_to = off + n;
    return true;
}

int64_t failed(g_file& file) {
    file.read_error = static_cast<uint32_t>(errno);
    return -1;
}

// Reads one span of the block from `file_off`; returns the bytes held (short at end of file).
int64_t read_span(align_plan& plan, uint64_t i, g_file& file, uint8_t* block, span s, uint64_t file_off) {
    if (s.hi <= s.lo) return 0;
    const int64_t got = read_at(file.descriptor, block + s.lo, s.hi - s.lo, file_off);
    if (got < 0) return -1;
    if (!feed(plan, i, file.descriptor, file_off, block + s.lo, static_cast<uint64_t>(got))) return -1;
    return got;
}

int64_t read_shifted(align_plan& plan, uint64_t i, g_file& file, uint8_t* block, const uint8_t* block0) {
    const align_copy& c = plan.copies[i];
    plan.held.clear();
    for (uint32_t k = 0; k < c.segment_count; k++) {
        if (!c.segments[k].placed) continue;
        span data = segment_span(plan, c, k);
        if (data.hi <= data.lo) continue;
        const uint64_t file_off = data_file_offset(plan, c, plan.block_pos + data.lo, c.segments[k].shift);
        const int64_t got = read_span(plan, i, file, block, data, file_off);
        if (got < 0) return failed(file);
        data.hi = data.lo + static_cast<uint64_t>(got);
        hold(plan, c, data, file_off);
    }
    mark_gaps(plan, i, block, block0);
    return static_cast<int64_t>(plan.block_len);
}

// A copy whose data lie where input 0's do is read like any input, so that O_DIRECT still serves.
int64_t read_in_place(align_plan& plan, uint64_t i, g_file& file, uint8_t* block, uint64_t size,
                      const uint8_t* block0) {
    const int64_t got = file.read(reinterpret_cast<char*>(block), size);
    if (got < 0) return -1;
    const uint64_t n = static_cast<uint64_t>(got);
    if (!feed(plan, i, file.descriptor, plan.block_pos, block, n)) return failed(file);
    span data = copy_span(plan, plan.copies[i]);
    data.hi = std::min(data.hi, std::max(data.lo, n));
    plan.held.clear();
    hold(plan, plan.copies[i], data, plan.block_pos + data.lo);
    mark_gaps(plan, i, block, block0);
    return static_cast<int64_t>(plan.block_len);
}

// After input 0's last block: the rest of the copy goes to its digest.
int64_t finish_copy(align_plan& plan, uint64_t i, g_file& file, uint8_t* block, uint64_t size) {
    if (!digest_on(plan)) return 0;
    if (!plan.copies[i].in_place)
        return feed_from_file(plan, i, file.descriptor, UINT64_MAX) ? 0 : failed(file);
    for (;;) {
        const int64_t got = file.read(reinterpret_cast<char*>(block), size);
        if (got <= 0) return got;
        plan.crypt->hash_data(i + 1, block, static_cast<unsigned long>(got));
    }
}

// After the output's last block: the rest of input 0, which is longer than the output, goes to
// its digest (the block loop has waited for the digest's earlier blocks).
int64_t finish_first(align_plan& plan, g_file& file, uint8_t* block, uint64_t size) {
    if (!digest_on(plan)) return 0;
    for (;;) {
        const int64_t got = file.read(reinterpret_cast<char*>(block), size);
        if (got <= 0) return got;
        plan.crypt->hash_data(1, block, static_cast<unsigned long>(got));
    }
}

// A decoded input 0's lost stretches within the `n` bytes of its block that it read.
void mark_lost_first(align_plan& plan, uint64_t n) {
    const std::vector<absent_range>* lost = plan.copies[0].lost;
    if (!lost) return;
    const uint64_t pos = plan.block_pos;
    auto r = std::lower_bound(lost->begin(), lost->end(), pos,
                              [](const absent_range& x, uint64_t v) { return x.hi <= v; });
    for (; r != lost->end() && r->lo < pos + n; ++r)
        plan.absent.add(0, std::max(r->lo, pos) - pos, std::min(r->hi, pos + n) - pos);
}

// Input 0's block, as read; the block's length is the output's. Where the output's data run on
// past input 0's own (a first copy shorter than most), input 0 is absent from there; the block
// loop marks it absent past what it read too.
int64_t read_first(align_plan& plan, g_file& file, uint8_t* block, uint64_t size) {
    plan.block_pos += plan.block_len;
    plan.absent.clear(0);
    const bool done = plan.out_len != UINT64_MAX && plan.block_pos >= plan.out_len;
    const int64_t got = done ? 0 : file.read(reinterpret_cast<char*>(block), size);
    if (got < 0) {
        plan.block_len = 0;
        return got;
    }
    const uint64_t n = static_cast<uint64_t>(got);
    plan.block_len = plan.out_len == UINT64_MAX ? n : std::min(size, plan.out_len - plan.block_pos);
    if (done) return finish_first(plan, file, block, size);
    if (plan.copies[0].audio_digest && !feed(plan, 0, file.descriptor, plan.block_pos, block, n))
        return failed(file);
    mark_lost_first(plan, std::min(n, plan.block_len));
    const uint64_t data_end0 = plan.data_offset0 + plan.data_len0;
    if (plan.out_data_len > plan.data_len0 && data_end0 < plan.block_pos + std::min(n, plan.block_len)) {
        const uint64_t from = data_end0 > plan.block_pos ? data_end0 - plan.block_pos : 0;
        plan.absent.add(0, from, plan.block_len);
    }
    return got;
}

}  // namespace

bool align_is_informative(const uint8_t* w, uint64_t n, uint64_t unit) {
    const uint64_t step = sample_step(unit);
    uint64_t samples = 0, changes = 0;
    for (uint64_t j = unit; j + step <= n; j += step) {
        samples++;
        // Without a call per sample: every audio run's probe passes here.
        const bool same = step == 2 ? load16(w + j) == load16(w + j - unit) : w[j] == w[j - unit];
        changes += !same;
    }
    return samples > 0 && changes * 4 >= samples * 3;
}

int align_take_probes(align_probes& p, const align_region& r0, uint64_t unit) {
    p.unit = unit ? unit : 2;
    p.count = 0;
    p.window = std::min(ALIGN_PROBE_BYTES, r0.len) / p.unit * p.unit;
    if (p.window < 64) return 0;
    const uint64_t span_end = r0.len - p.window;  // the last start a window can have
    std::vector<uint64_t> usable;
    uint8_t w[ALIGN_PROBE_BYTES];
    for (uint64_t k = 0; k < CANDIDATE_WINDOWS; k++) {
        const uint64_t pos = span_end * (2 * k + 1) / (2 * CANDIDATE_WINDOWS) / p.unit * p.unit;
        if (!usable.empty() && pos < usable.back() + p.window) continue;
        const int64_t got = read_at(r0.fd, w, p.window, r0.offset + pos);
        if (got < 0) return errno;
        if (static_cast<uint64_t>(got) == p.window && align_is_informative(w, p.window, p.unit))
            usable.push_back(pos);
    }
    const uint64_t take = std::min<uint64_t>(ALIGN_MAX_PROBES, usable.size());
    for (uint64_t k = 0; k < take; k++) {
        p.pos[k] = usable[k * usable.size() / take];
        if (read_at(r0.fd, p.bytes[k], p.window, r0.offset + p.pos[k]) != static_cast<int64_t>(p.window)) {
            p.count = 0;
            return errno ? errno : EIO;
        }
        p.count = k + 1;
    }
    return 0;
}

align_result align_find_shift(const align_probes& p, const align_region& r) {
    align_result result;
    if (p.count == 0 || r.len == 0) return result;
    copy_windows cw;
    if (!read_copy_windows(cw, p, r)) return result;
    std::vector<uint32_t> hits(2 * cw.margin / p.unit + 1, 0);
    count_key_hits(p, cw, hits);

    uint64_t best_available = 0;
    bool have_best = false;
    for (uint64_t t : best_slots(hits)) {
        const int64_t shift = static_cast<int64_t>(t * p.unit) - static_cast<int64_t>(cw.margin);
        uint64_t available;
        const double share = agreement(p, cw, shift, &available);
        if (!have_best || share > result.agree) {
            if (have_best) result.runner_up = std::max(result.runner_up, result.agree);
            result.agree = share;
            result.shift = shift;
            best_available = available;
            have_best = true;
        } else {
            result.runner_up = std::max(result.runner_up, share);
        }
    }
    // Two windows' worth of bytes (or half of all, with fewer windows) must be there to judge, so
    // that a copy that ends early can still be placed but is never matched on a sliver.
    const bool enough = best_available >= std::min(2 * p.window, p.count * p.window / 2);
    result.convincing =
        have_best && enough && result.agree >= MIN_AGREE && result.agree - result.runner_up >= MIN_LEAD;
    if (!result.convincing) result.shift = 0;
    return result;
}

double align_agreement_at(const align_probes& p, const align_region& r, int64_t shift, uint64_t* available) {
    uint64_t same = 0, seen = 0;
    uint8_t bytes[ALIGN_PROBE_BYTES];
    for (uint64_t k = 0; k < p.count; k++) {
        const int64_t at = static_cast<int64_t>(p.pos[k]) + shift;  // the copy's data offset
        const int64_t lo = std::max<int64_t>(at, 0);
        const int64_t hi =
            std::min<int64_t>(at + static_cast<int64_t>(p.window), static_cast<int64_t>(r.len));
        if (hi <= lo) continue;
        const int64_t got =
            read_at(r.fd, bytes, static_cast<uint64_t>(hi - lo), r.offset + static_cast<uint64_t>(lo));
        if (got <= 0) continue;
        for (int64_t j = 0; j < got; j++) same += bytes[j] == p.bytes[k][lo - at + j];
        seen += static_cast<uint64_t>(got);
    }
    *available = seen;
    return seen ? static_cast<double>(same) / static_cast<double>(seen) : 0.0;
}

bool align_agrees(const align_probes& p, double agree, uint64_t available) {
    return available >= std::min(2 * p.window, p.count * p.window / 2) && agree >= MIN_AGREE;
}

int align_check_inputs(const name_row* names, uint64_t count) {
    for (uint64_t i = 0; i < count; i++) {
        struct stat st;
        const bool stdio = !g_file::disallow_stdio && g_file::is_stdio(names[i]);
        if ((stdio ? fstat(0, &st) : stat(names[i], &st)) != 0) continue;  // the open will report it
        if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) continue;
        app_error("read", names[i],
                  S_ISDIR(st.st_mode) ? "a directory cannot be aligned"
                                      : "a pipe, terminal or standard input cannot be aligned (it cannot be "
                                        "read by position)");
        return -1;
    }
    return 0;
}

void align_prepare(align_plan& plan, g_file* files, const name_row* names, uint64_t count, G_CRYPT* crypt) {
    plan.count = count;
    plan.crypt = crypt;
    plan.block_pos = plan.block_len = 0;
    int flags[MAX_INPUTS];
    for (uint64_t i = 0; i < count; i++) flags[i] = drop_direct(files[i].descriptor);

    for (uint64_t i = 0; i < count; i++) plan.absent.clear(i);
    plan.copies[0] = align_copy();
    const geometry g0 = read_geometry(files[0].descriptor);
    plan.wav = g0.wav.valid;
    plan.unit = plan.wav ? g0.wav.block_align : 2;
    plan.data_offset0 = plan.wav ? g0.wav.data_offset : 0;
    plan.data_len0 = plan.wav ? data_len_of(g0) : g0.size;
    plan.out_data_len = plan.data_len0;
    plan.out_len = UINT64_MAX;
    plan.rate = plan.wav ? g0.wav.sample_rate : 0;
    align_probes& probes = plan.probes;
    const align_region region0{files[0].descriptor, plan.data_offset0, plan.data_len0};
    align_take_probes(probes, region0, plan.unit);

    for (uint64_t i = 1; i < count; i++) {
        const geometry g = read_geometry(files[i].descriptor);
        align_copy& c = plan.copies[i];
        const bool wav = plan.wav && g.wav.valid;
        c = align_copy();
        c.data_offset = wav ? g.wav.data_offset : 0;
        c.data_len = wav ? data_len_of(g) : g.size;
        const align_region region{files[i].descriptor, c.data_offset, c.data_len};
        const align_result r = align_find_shift(probes, region);
        align_find_segments(region0, region, plan.unit, r, c);
        c.shift = c.segments[0].shift;
        c.in_place = c.segment_count == 1 && c.segments[0].placed &&
                     static_cast<int64_t>(c.data_offset) + c.shift == static_cast<int64_t>(plan.data_offset0);
        align_print_segments(names[i], plan, c);
        if (c.in_place) restore_flags(files[i].descriptor, flags[i]);
    }
    restore_flags(files[0].descriptor, flags[0]);
}

void align_hold(std::vector<absent_range>& held, const std::vector<absent_range>* lost, uint64_t lo,
                uint64_t hi, uint64_t file_off) {
    if (hi <= lo) return;
    uint64_t at = lo;
    if (lost) {
        // File offset = block offset + delta.
        const int64_t delta = static_cast<int64_t>(file_off) - static_cast<int64_t>(lo);
        auto r = std::lower_bound(lost->begin(), lost->end(), file_off,
                                  [](const absent_range& x, uint64_t v) { return x.hi <= v; });
        for (; r != lost->end(); ++r) {
            const int64_t a = static_cast<int64_t>(r->lo) - delta, b = static_cast<int64_t>(r->hi) - delta;
            if (a >= static_cast<int64_t>(hi)) break;
            const uint64_t from = static_cast<uint64_t>(std::max<int64_t>(a, static_cast<int64_t>(at)));
            if (from > at) held.push_back(absent_range{at, from});
            at =
                std::max<uint64_t>(at, static_cast<uint64_t>(std::min<int64_t>(b, static_cast<int64_t>(hi))));
        }
    }
    if (at < hi) held.push_back(absent_range{at, hi});
}

void align_mark_gaps(block_absence& absent, uint64_t i, std::vector<absent_range>& held, uint8_t* block,
                     const uint8_t* block0, uint64_t len) {
    uint64_t at = 0;
    const auto gap = [&](uint64_t lo, uint64_t hi) {
        if (hi <= lo) return;
        absent.add(i, lo, hi);
        if (block != block0) memcpy(block + lo, block0 + lo, hi - lo);
    };
    for (const absent_range& h : held) {
        gap(at, h.lo);
        at = std::max(at, h.hi);
    }
    gap(at, len);
    held.clear();
}

void align_use_decoded(align_plan& plan, uint64_t i, const std::vector<absent_range>* lost) {
    align_copy& c = plan.copies[i];
    c.lost = lost;
    c.audio_digest = true;
    c.hashed_to = i == 0 ? plan.data_offset0 : c.data_offset;
}

void align_set_length(align_plan& plan, uint64_t out_len, uint64_t out_data_len) {
    plan.out_len = out_len;
    plan.out_data_len = out_data_len;
}

int64_t align_read_block(align_plan& plan, uint64_t i, g_file& file, uint8_t* block, uint64_t size,
                         const uint8_t* block0) {
    if (i == 0) return read_first(plan, file, block, size);
    plan.absent.clear(i);
    if (plan.block_len == 0) return finish_copy(plan, i, file, block, size);
    if (plan.copies[i].in_place) return read_in_place(plan, i, file, block, size, block0);
    return read_shifted(plan, i, file, block, block0);
}

bool align_feeds_digest(const align_plan* plan, uint64_t i) {
    return plan && (i > 0 || plan->copies[0].audio_digest);
}
