#pragma once
// The voting rules written out plainly, position by position and counting pass by counting pass:
// the one reference that the engine's vote is checked against by the unit tests, the end-to-end
// tests and the fuzz targets. Nothing here is fast: no masks, no lists, no word-level shortcuts.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace reference_vote {

// What the vote keeps over a run.
struct tally {
    std::vector<uint64_t> hits;
    uint64_t disputed = 0;
    std::string glyphs;
    explicit tally(size_t count) : hits(count, 0) {}
};

namespace detail {

// Per input, null or one flag per byte of the block: nonzero where the input is absent.
typedef std::vector<const uint8_t*> absence;

struct block {
    const std::vector<const uint8_t*>& in;
    uint64_t len;
    bool samples;
    const absence* absent;
    // A copy takes part at a position only when it holds all of its bytes.
    bool present(size_t i, uint64_t pos) const {
        const uint8_t* a = absent ? (*absent)[i] : nullptr;
        return !a || (!a[pos] && !(samples && a[pos + 1]));
    }
    unsigned value(size_t i, uint64_t pos) const {
        return samples ? static_cast<unsigned>(in[i][pos] | in[i][pos + 1] << 8) : in[i][pos];
    }
    // A sample within 1 of the floor mean of its neighbours, both of which begin inside the block.
    bool corrected(size_t i, uint64_t p) const {
        if (!samples || p == 0 || p + 2 >= len) return false;
        const long mean = (static_cast<long>(value(i, p - 2)) + static_cast<long>(value(i, p + 2))) / 2;
        const long delta = mean - static_cast<long>(value(i, p));
        return delta >= -1 && delta <= 1;
    }
};

inline void put(uint8_t* out, uint64_t pos, unsigned v, bool samples) {
    out[pos] = static_cast<uint8_t>(v & 0xFF);
    if (samples) out[pos + 1] = static_cast<uint8_t>(v >> 8);
}

// The vote of one position of a disputed word whose first `d` inputs hold equal words, among the
// inputs present there (as though the others were not in the run).
inline void vote_position(tally& t, const block& b, uint64_t pos, size_t d, uint8_t* out) {
    std::vector<size_t> in;  // the present inputs; in[first] is the last of them before input d
    size_t first = 0;
    for (size_t i = 0; i < b.in.size(); i++) {
        if (!b.present(i, pos)) continue;
        if (i < d) first = in.size();
        in.push_back(i);
    }
    const size_t n = in.size();
    if (n == 0) return put(out, pos, b.value(0, pos), b.samples);  // input 0 holds the fill (silence)
    std::vector<uint64_t> count(n, 0);
    count[first] = first;
    bool differs = false;
    for (size_t k = first; k + 1 < n; k++) {
        if (b.corrected(in[k], pos)) {
            t.glyphs += ' ';
            continue;
        }
        for (size_t j = k + 1; j < n; j++) {
            if (b.value(in[j], pos) == b.value(in[k], pos)) {
                count[j] = ++count[k];
            } else {
                differs = true;
            }
        }
        if (!differs) return put(out, pos, b.value(in[k], pos), b.samples);
    }
    if (!differs) return put(out, pos, b.value(in[n >= 2 ? n - 2 : 0], pos), b.samples);
    t.disputed += b.samples ? 2 : 1;
    for (size_t k = 0; k < first; k++) count[k] = count[first];
    size_t winner = 0;
    for (size_t k = 0; k < n; k++) {
        t.hits[in[k]] += count[k];
        if (count[k] > count[winner]) winner = k;
    }
    if (count[winner] > 0) {
        t.glyphs += '#';
    } else {
        winner = 0;
        for (size_t k = 1; k < n; k++) {
            if (t.hits[in[k]] > t.hits[in[winner]]) winner = k;
        }
        t.glyphs += std::to_string(in[winner]) + ".";
    }
    put(out, pos, b.value(in[winner], pos), b.samples);
}

}  // namespace detail

// Votes one block of block_len bytes: in[i] is input i's block, readable up to block_len rounded
// up to 8. Writes that many bytes to `out`, adds to the tally and returns true when the block had
// a disputed word ("<\n" is then in the glyphs before its first glyph). With `absent`, the
// flagged bytes of each input are not there; they must hold what fill_absent puts there (input 0:
// the first present copy's byte or 0; the others: input 0's).
inline bool vote_block(tally& t, const std::vector<const uint8_t*>& in, uint64_t block_len, bool samples,
                       uint8_t* out, const detail::absence* absent = nullptr) {
    const detail::block b{in, block_len, samples, absent};
    const uint64_t end = (block_len + 7) / 8 * 8;
    bool disputed = false;
    for (uint64_t w = 0; w < end; w += 8) {
        size_t d = 1;
        while (d < in.size() && memcmp(in[d] + w, in[0] + w, 8) == 0) d++;
        if (d == in.size()) {
            memcpy(out + w, in[0] + w, 8);
            continue;
        }
        if (!disputed) t.glyphs += "<\n";
        disputed = true;
        for (uint64_t pos = w; pos < w + 8; pos += samples ? 2 : 1) detail::vote_position(t, b, pos, d, out);
    }
    return disputed;
}

// A whole run as the block loop makes it, for files read in blocks of `block_size` bytes: the
// output file, the progress line from "processing:" to the final line break, the hit scores and
// the disputed-byte count.
struct run_result {
    std::string output;
    std::string progress;
    std::vector<uint64_t> hits;
    uint64_t disputed = 0;
};

inline run_result vote_run(const std::vector<std::string>& files, bool samples, size_t block_size = 2 * 1024 * 1024) {
    const size_t n = files.size();
    tally t(n);
    t.glyphs = "processing:\n";
    run_result r;
    std::vector<std::string> blocks(n, std::string(block_size, '\0'));
    std::vector<const uint8_t*> in(n);
    std::string out(block_size, '\0');
    const size_t line_limit = 80 / (n + 1);
    size_t line_blocks = 0;
    for (size_t start = 0;; start += block_size) {
        size_t len = block_size;
        for (size_t i = 0; i < n; i++) {
            const size_t got = files[i].size() > start ? std::min(block_size, files[i].size() - start) : 0;
            if (got > 0) {
                blocks[i] = files[i].substr(start, got);
                blocks[i].resize(block_size, '\0');
            }
            in[i] = reinterpret_cast<const uint8_t*>(blocks[i].data());
            len = std::min(len, got);
            t.glyphs += '.';
        }
        uint8_t* voted = reinterpret_cast<uint8_t*>(&out[0]);
        if (len > 0 && vote_block(t, in, len, samples, voted)) {
            t.glyphs += "\n\n";
            line_blocks = 0;
        } else {
            t.glyphs += '|';
            if (++line_blocks >= line_limit) {
                t.glyphs += '\n';
                line_blocks = 0;
            }
        }
        if (len == 0) break;
        r.output.append(out, 0, len);
    }
    t.glyphs += '\n';
    r.progress = t.glyphs;
    r.hits = t.hits;
    r.disputed = t.disputed;
    return r;
}

}  // namespace reference_vote
