#include "vote/doubt_list.h"

#include <algorithm>
#include <cmath>

namespace {

const unsigned MAX_CANDIDATES = 16;  // words tried per frame

// The scale of confidence_of: guessed bytes, then the model's margins (clamped within their
// band), then the byte vote's leads.
const float GUESSED = -2e6f;
const float MOST_MARGIN = 1e6f;
const float LEADS = 2e6f;

uint16_t sample(uint32_t frame, unsigned channel) { return static_cast<uint16_t>(frame >> (16 * channel)); }

uint32_t frame_of(uint64_t word, unsigned half) { return static_cast<uint32_t>(word >> (32 * half)); }

void add_unique(std::vector<uint16_t>& set, uint16_t v) {
    if (std::find(set.begin(), set.end(), v) == set.end()) set.push_back(v);
}

void add_candidate(repair_frame& f, uint32_t w) {
    if (w == f.voted || f.words.size() >= MAX_CANDIDATES) return;
    if (std::find(f.words.begin(), f.words.end(), w) == f.words.end()) f.words.push_back(w);
}

// The words frame `half` of `w` could hold: each copy's frame as it stands first, the runner-up
// group's first, then every other mix of the copies' left and right samples.
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

// How surely byte b was chosen: the copies behind the voted value against the largest group
// behind another value (counted in one pass), or the model's margin where it scored the groups.
float byte_confidence(const word_verdict& v, unsigned b) {
    const bool scored = v.margin && (v.scored >> b & 1);
    uint16_t count[256] = {};
    const auto at = [&](uint64_t word) { return static_cast<uint8_t>(word >> (8 * b)); };
    for (uint64_t i = 0; i < v.count; i++) {
        if (!v.absent || !(v.absent[i] >> b & 1)) count[at(v.words[i])]++;
    }
    const uint8_t voted = at(v.voted);
    unsigned runner_up = 0;
    for (unsigned value = 0; value < 256; value++) {
        if (value != voted) runner_up = std::max<unsigned>(runner_up, count[value]);
    }
    return confidence_of(v.guessed >> b & 1, scored, scored ? v.margin[b] : 0, count[voted], runner_up);
}

// The copies' distinct words other than the voted one, by the copies behind them, most first.
void keep_values(doubt_list::word& w, const word_verdict& v) {
    unsigned behind[doubt_list::MAX_VALUES];
    w.count = 0;
    for (uint64_t i = 0; i < v.count && w.count < doubt_list::MAX_VALUES; i++) {
        if (v.words[i] == v.voted ||
            std::find(w.values, w.values + w.count, v.words[i]) != w.values + w.count)
            continue;
        unsigned n = 0;
        for (uint64_t j = 0; j < v.count; j++) n += v.words[j] == v.words[i];
        unsigned k = w.count++;
        for (; k > 0 && behind[k - 1] < n; k--) {
            w.values[k] = w.values[k - 1];
            behind[k] = behind[k - 1];
        }
        w.values[k] = v.words[i];
        behind[k] = n;
    }
}

struct ranked {
    float confidence;
    uint64_t offset;
    repair_frame frame;
};

}  // namespace

float confidence_of(bool guessed, bool scored, float margin, unsigned holders, unsigned runner_up) {
    if (guessed) return GUESSED;
    if (scored) return std::isnan(margin) ? 0 : std::max(-MOST_MARGIN, std::min(MOST_MARGIN, margin));
    const float lead = static_cast<float>(holders) - static_cast<float>(runner_up);
    return LEADS + 1000 * lead + static_cast<float>(std::min(holders, 999u));
}

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
    w.disputed = v.disputed;
    for (unsigned half = 0; half < 2; half++) {
        w.confidence[half] = HUGE_VALF;
        for (unsigned b = 4 * half; b < 4 * half + 4; b++) {
            if (w.disputed >> b & 1) w.confidence[half] = std::min(w.confidence[half], byte_confidence(v, b));
        }
    }
    keep_values(w, v);
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
            ranked r{w.confidence[half], at, candidates(w, half)};
            r.frame.index = (at - audio_begin) / 4 + 1;
            if (!r.frame.words.empty()) all.push_back(r);
        }
    }
    std::stable_sort(all.begin(), all.end(),
                     [](const ranked& a, const ranked& b) { return a.confidence < b.confidence; });
    for (const ranked& r : all) {
        out.push_back(r.frame);
        offsets.push_back(r.offset);
    }
}
