#include "vote/doubt_list.h"

#include <algorithm>

namespace {

const unsigned MAX_CANDIDATES = 16;  // words tried per frame

uint16_t sample(uint32_t frame, unsigned channel) { return static_cast<uint16_t>(frame >> (16 * channel)); }

uint32_t frame_of(uint64_t word, unsigned half) { return static_cast<uint32_t>(word >> (32 * half)); }

void add_unique(std::vector<uint16_t>& set, uint16_t v) {
    if (std::find(set.begin(), set.end(), v) == set.end()) set.push_back(v);
}

void add_candidate(repair_frame& f, uint32_t w) {
    if (w == f.voted || f.words.size() >= MAX_CANDIDATES) return;
    if (std::find(f.words.begin(), f.words.end(), w) == f.words.end()) f.words.push_back(w);
}

// The words frame `half` of `w` could hold: each copy's frame as it stands first, then every other
// mix of the copies' left and right samples.
repair_frame candidates(const doubt_list::word& w, unsigned half) {
    repair_frame f;
    f.voted = frame_of(w.voted, half);
    std::vector<uint16_t> left{sample(f.voted, 0)}, right{sample(f.voted, 1)};
    for (unsigned k = 0; k < w.count; k++) {
        const uint32_t copy = frame_of(w.values[k], half);
        add_candidate(f, copy);
        add_unique(left, sample(copy, 0));
        add_unique(right, sample(copy, 1));
    }
    for (uint16_t l : left) {
        for (uint16_t r : right) add_candidate(f, static_cast<uint32_t>(r) << 16 | l);
    }
    return f;
}

struct ranked {
    unsigned rank;  // 0: no majority; else the fewest copies behind a value
    uint64_t offset;
    repair_frame frame;
};

}  // namespace

void doubt_list::start(uint64_t most) {
    limit = most;
    words.reserve(most);
}

void doubt_list::add(const word_verdict& v) {
    if (words.size() >= limit) {
        overflowed = overflowed || limit > 0;
        return;
    }
    word w;
    w.offset = v.offset;
    w.voted = v.voted;
    w.guessed = v.guessed;
    w.disputed = v.disputed;
    w.weakest = UINT16_MAX;
    for (unsigned b = 0; b < 8; b++) {
        if (w.disputed >> b & 1) w.weakest = std::min(w.weakest, v.holders[b]);
    }
    w.count = 0;
    for (uint64_t i = 0; i < v.count && w.count < MAX_VALUES; i++) {
        if (v.words[i] == v.voted ||
            std::find(w.values, w.values + w.count, v.words[i]) != w.values + w.count)
            continue;
        w.values[w.count++] = v.words[i];
    }
    words.push_back(w);
}

void doubt_list::frames(uint64_t audio_begin, uint64_t audio_end, std::vector<repair_frame>& out,
                        std::vector<uint64_t>& offsets) const {
    std::vector<ranked> all;
    for (const word& w : words) {
        for (unsigned half = 0; half < 2; half++) {
            const uint64_t at = w.offset + 4 * half;
            const unsigned bytes = (w.disputed >> (4 * half)) & 0xF;
            if (bytes == 0 || at < audio_begin || at + 4 > audio_end || (at - audio_begin) % 4 != 0) continue;
            ranked r{(w.guessed >> (4 * half) & 0xF) ? 0u : w.weakest, at, candidates(w, half)};
            r.frame.index = (at - audio_begin) / 4 + 1;
            if (!r.frame.words.empty()) all.push_back(r);
        }
    }
    std::stable_sort(all.begin(), all.end(),
                     [](const ranked& a, const ranked& b) { return a.rank < b.rank; });
    for (const ranked& r : all) {
        out.push_back(r.frame);
        offsets.push_back(r.offset);
    }
}
