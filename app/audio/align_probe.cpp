#include "audio/align_probe.h"

#include <algorithm>

#include "base/coding.h"

namespace {

const uint64_t MIN_WINDOW = 64;

struct pair_share {
    bool known = false;  // enough samples compared to judge
    double agree = 0;
};

// The share of 16-bit samples (bytes, when frames are odd) that copies a and b hold alike over
// the windows usable in both.
pair_share compare(const align_probe_set& s, uint64_t a, uint64_t b) {
    const uint64_t step = s.unit % 2 == 0 ? 2 : 1;
    uint64_t same = 0, seen = 0;
    for (uint64_t k = 0; k < s.count; k++) {
        if (!s.usable[a * s.count + k] || !s.usable[b * s.count + k]) continue;
        const uint8_t* x = s.window_of(a, k);
        const uint8_t* y = s.window_of(b, k);
        // Compared a sample (or byte) at a time without a call per sample: a probe runs on every
        // audio run, and this was most of its cost.
        if (step == 2) {
            for (uint64_t j = 0; j + 2 <= s.window; j += 2) same += load16(x + j) == load16(y + j);
        } else {
            for (uint64_t j = 0; j < s.window; j++) same += x[j] == y[j];
        }
        seen += s.window;
    }
    pair_share p;
    p.known = seen >= std::min(2 * s.window, s.count * s.window / 2) && seen > 0;
    p.agree = seen ? static_cast<double>(same * step) / static_cast<double>(seen) : 0.0;
    return p;
}

}  // namespace

void align_probe_place(align_probe_set& s, uint64_t copies, uint64_t audio_len, uint64_t unit) {
    s.unit = unit ? unit : 4;
    s.copies = copies;
    s.window = std::min(ALIGN_PROBE_BYTES, audio_len) / s.unit * s.unit;
    s.count = s.window < MIN_WINDOW ? 0 : ALIGN_MAX_PROBES;
    const uint64_t last = s.count ? audio_len - s.window : 0;  // the last start a window can have
    for (uint64_t k = 0; k < s.count; k++) s.pos[k] = last * (2 * k + 1) / (2 * s.count) / s.unit * s.unit;
    s.bytes.assign(copies * s.count * s.window, 0);
    s.usable.assign(copies * s.count, 0);
}

void align_probe_note(align_probe_set& s, uint64_t i, uint64_t k, int64_t got) {
    s.usable[i * s.count + k] =
        got == static_cast<int64_t>(s.window) && align_is_informative(s.window_of(i, k), s.window, s.unit);
}

align_probe_verdict align_probe_judge(const align_probe_set& s) {
    align_probe_verdict v;
    const uint64_t n = s.copies;
    v.suspect.assign(n, 0);
    v.agree.assign(n, 0.0);
    // Each copy not yet in a group starts one with every ungrouped copy that agrees with it; the
    // first largest group is the reference's. The copies left once a group can no longer be
    // outnumbered need not be compared.
    std::vector<uint8_t> grouped(n, 0);
    uint64_t left = n;
    for (uint64_t r = 0; r < n && left > v.sharing; r++) {
        if (grouped[r]) continue;
        uint64_t size = 1;
        grouped[r] = 1;
        for (uint64_t i = r + 1; i < n; i++) {
            if (grouped[i]) continue;
            const pair_share p = compare(s, r, i);
            if (p.known && p.agree >= PROBE_AGREE) grouped[i] = 1, size++;
        }
        left -= size;
        if (size > v.sharing) v.reference = r, v.sharing = size;
    }
    v.decided = v.sharing >= 2;
    if (!v.decided) return v;
    for (uint64_t i = 0; i < n; i++) {
        if (i == v.reference) {
            v.agree[i] = 1.0;
            continue;
        }
        const pair_share p = compare(s, v.reference, i);
        v.agree[i] = p.agree;
        v.suspect[i] = p.known && p.agree < PROBE_AGREE;
    }
    return v;
}
