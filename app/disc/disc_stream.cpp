#include "disc/disc_stream.h"

#include <algorithm>
#include <map>
#include <memory>

#include "audio/flac_source.h"
#include "base/absent.h"
#include "base/coding.h"

namespace {

const uint64_t CD_FRAME_BYTES = 4;
const uint64_t READ_BLOCK = 1u << 20;  // bytes a read of a stretch takes at once

// The frames most copies of the track give it; on a tie the longer.
uint64_t most_given(const disc_track& t) {
    std::map<uint64_t, size_t> count;
    for (const track_copy& c : t.copies) count[file_frames(c)]++;
    uint64_t best = 0;
    size_t most = 0;
    for (const auto& e : count) {
        if (e.second >= most) best = e.first, most = e.second;
    }
    return best;
}

// Frames that the block's absent ranges touch (block offsets; the block's byte `skip` is audio
// frame `first`) are not held.
void mark_absent(const block_absence& absent, uint64_t skip, uint64_t first, frames_read& out) {
    for (uint32_t r = 0; r < absent.n[0]; r++) {
        const absent_range& a = absent.range[0][r];
        if (a.hi <= skip) continue;
        const uint64_t lo = (std::max(a.lo, skip) - skip) / CD_FRAME_BYTES;
        const uint64_t hi = (a.hi - skip + CD_FRAME_BYTES - 1) / CD_FRAME_BYTES;
        for (uint64_t f = first + lo; f < first + hi && f < out.held.size(); f++) out.held[f] = 0;
    }
}

}  // namespace

uint64_t file_frames(const track_copy& c) {
    return c.info.frame_bytes != 0 ? c.info.audio_bytes / c.info.frame_bytes : 0;
}

void build_streams(const disc_plan& plan, size_t rips, disc_streams& s) {
    s.cd_frames = true;
    bool first = true;
    for (const disc_track& t : plan.tracks) {
        for (const track_copy& c : t.copies) {
            if (c.info.frame_bytes != CD_FRAME_BYTES || c.info.channels != 2 ||
                (!first && c.info.rate != s.rate))
                s.cd_frames = false;
            if (first) s.rate = c.info.rate, first = false;
        }
    }
    const size_t m = plan.tracks.size();
    s.nominal.assign(m, 0);
    for (size_t k = 0; k < m; k++) s.nominal[k] = most_given(plan.tracks[k]);
    s.rips.assign(rips, rip_stream());
    for (rip_stream& r : s.rips) {
        r.start.assign(m + 1, 0);
        r.file.assign(m, nullptr);
    }
    for (size_t k = 0; k < m; k++) {
        for (const track_copy& c : plan.tracks[k].copies) s.rips[c.rip].file[k] = &c;
    }
    for (rip_stream& r : s.rips) {
        for (size_t k = 0; k < m; k++) {
            const uint64_t n = r.file[k] ? file_frames(*r.file[k]) : s.nominal[k];
            r.start[k + 1] = r.start[k] + static_cast<int64_t>(n);
        }
    }
}

void add_stream_pieces(const disc_streams& s, size_t r, int64_t from, uint64_t n, audio_span& span) {
    const rip_stream& rs = s.rips[r];
    int64_t at = from;
    const int64_t end = from + static_cast<int64_t>(n);
    while (at < end) {
        // The track of the stream that frame `at` falls in, or none before the start / past the end.
        const auto next = std::upper_bound(rs.start.begin(), rs.start.end(), at);
        if (next == rs.start.begin() || next == rs.start.end()) {
            const int64_t until = next == rs.start.begin() ? std::min(end, rs.start.front()) : end;
            span.add_absent(static_cast<uint64_t>(until - at));
            at = until;
            continue;
        }
        const size_t k = static_cast<size_t>(next - rs.start.begin()) - 1;
        const int64_t until = std::min(end, *next);
        const uint64_t len = static_cast<uint64_t>(until - at);
        if (rs.file[k]) {
            span.add(rs.file[k]->path, static_cast<uint64_t>(at - rs.start[k]), len);
        } else {
            span.add_absent(len);
        }
        at = until;
    }
}

int read_frames(const audio_span& span, frames_read& out, std::string& why) {
    const uint64_t frames = span.frames();
    out.words.assign(frames, 0);
    out.held.assign(frames, 1);
    std::unique_ptr<flac_source> source(new flac_source);
    std::unique_ptr<block_absence> absent(new block_absence);
    uint8_t header[FLAC_WAV_HEADER_SIZE];
    put_wav_header(header, span.rate, span.channels, frames * CD_FRAME_BYTES);
    if (source->open_span(span, false) != 0 || source->start(READ_BLOCK, header, frames) != 0) {
        why = source->why();
        return -1;
    }
    std::vector<uint8_t> block(READ_BLOCK);
    uint64_t pos = 0;  // stream offset of the block, the header included
    for (;;) {
        const int64_t got = source->read_block(block.data(), *absent, 0);
        if (got < 0) {
            why = source->why();
            return -1;
        }
        if (got == 0) break;
        const uint64_t n = static_cast<uint64_t>(got);
        const uint64_t skip = pos < FLAC_WAV_HEADER_SIZE ? std::min(n, FLAC_WAV_HEADER_SIZE - pos) : 0;
        const uint64_t first = (pos + skip - FLAC_WAV_HEADER_SIZE) / CD_FRAME_BYTES;
        for (uint64_t b = skip; b + CD_FRAME_BYTES <= n; b += CD_FRAME_BYTES) {
            const uint64_t f = first + (b - skip) / CD_FRAME_BYTES;
            if (f < frames) out.words[f] = load32(block.data() + b);
        }
        mark_absent(*absent, skip, first, out);
        pos += n;
    }
    return 0;
}
