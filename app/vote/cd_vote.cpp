#include "vote/cd_vote.h"

#include <cstdio>
#include <cstring>

#include "audio/wav_header.h"
#include "base/app_error.h"
#include "base/coding.h"
#include "base/globals.h"
#include "vote/word_bits.h"

namespace {

// Up to this many copies are compared pair by pair: the tables of cd_scratch would cost a cache
// miss per copy at every disputed sample.
const uint64_t PAIRWISE_COPIES = 16;

inline uint16_t key(int16_t v) { return static_cast<uint16_t>(v); }

inline int16_t load_sample(const uint8_t* block, uint64_t p) { return load_sample16(block + p); }

inline int32_t distance(int16_t a, int16_t b) {
    const int32_t d = static_cast<int32_t>(a) - b;
    return d < 0 ? -d : d;
}

inline int32_t floor_mean(const cd_sample& s) {
    const int32_t sum = static_cast<int32_t>(s.prev) + s.next;
    return (sum - (sum & 1)) / 2;  // rounded down, also below zero
}

// True when every copy holding `held` holds exactly its own neighbours' floor mean.
bool held_is_exact_mean(const cd_sample* c, uint64_t count, int16_t held) {
    for (uint64_t i = 0; i < count; i++) {
        if (c[i].value == held && !cd_is_exact_mean(c[i])) return false;
    }
    return true;
}

// Whether copy i's value looks genuine next to the concealed-looking `held` and lies close enough
// to overrule it (see the header).
bool may_overrule(const cd_scratch& sc, const cd_sample* c, uint64_t i, const uint64_t* hits, int16_t held,
                  uint64_t held_size, bool held_exact) {
    const cd_sample& s = c[i];
    const int32_t d = distance(s.value, held);
    const bool genuine =
        sc.group_plain[i] || (held_exact && d == 1 && s.has_neighbours && !cd_is_exact_mean(s));
    if (!genuine) return false;
    if (hits[i] > 0) return d <= CD_PAIR_DISTANCE;
    return d <= (held_size <= 2 ? CD_LONE_DISTANCE : CD_LONE_DISTANCE_MANY);
}

// The copy whose group overrules the concealed-looking `held`, or count when none may.
uint64_t find_overruling(const cd_scratch& sc, const cd_sample* c, uint64_t count, const uint64_t* hits,
                         int16_t held, uint64_t held_size) {
    const bool held_exact = held_is_exact_mean(c, count, held);
    uint64_t best = count;
    for (uint64_t i = 0; i < count; i++) {
        if (c[i].value == held || !may_overrule(sc, c, i, hits, held, held_size, held_exact)) continue;
        if (best == count || hits[i] > hits[best] ||
            (hits[i] == hits[best] && distance(c[i].value, held) < distance(c[best].value, held))) {
            best = i;
        }
    }
    return best;
}

// Fills hits[i] with the number of other copies holding copy i's value and sc.group_plain[i].
void count_groups(cd_scratch& sc, const cd_sample* c, uint64_t count, uint64_t* hits) {
    if (count <= PAIRWISE_COPIES) {
        bool plain[PAIRWISE_COPIES];
        for (uint64_t i = 0; i < count; i++) plain[i] = !cd_looks_concealed(c[i]);
        for (uint64_t i = 0; i < count; i++) {
            hits[i] = 0;
            sc.group_plain[i] = plain[i];
            for (uint64_t j = 0; j < count; j++) {
                if (j == i || c[j].value != c[i].value) continue;
                hits[i]++;
                sc.group_plain[i] = sc.group_plain[i] || plain[j];
            }
        }
        return;
    }
    for (uint64_t i = 0; i < count; i++) {
        sc.group[key(c[i].value)]++;
        if (!cd_looks_concealed(c[i])) sc.plain[key(c[i].value)]++;
    }
    for (uint64_t i = 0; i < count; i++) {
        hits[i] = sc.group[key(c[i].value)] - 1u;
        sc.group_plain[i] = sc.plain[key(c[i].value)] != 0;
    }
    for (uint64_t i = 0; i < count; i++) sc.group[key(c[i].value)] = sc.plain[key(c[i].value)] = 0;
}

// The samples of the current block that are audio, as offsets into the block: [lo, hi).
struct audio_range {
    uint64_t lo;
    uint64_t hi;
};

audio_range audio_of_block(const cd_block& b) {
    const cd_layout& l = *b.layout;
    audio_range r = {0, 0};
    // After an odd short read, the block's even offsets are no longer sample starts.
    if (b.block_start % 2 != 0 || l.data_end <= b.block_start) return r;
    r.lo = l.data_begin > b.block_start ? l.data_begin - b.block_start : 0;
    const uint64_t end = l.data_end - b.block_start;
    r.hi = end < b.block_len ? end : b.block_len;
    if (r.lo > r.hi) r.lo = r.hi;
    return r;
}

bool all_copies_agree(const cd_block& b, uint64_t p) {
    const int16_t s0 = load_sample(b.in_blocks[0], p);
    for (uint64_t i = 1; i < b.count; i++) {
        if (load_sample(b.in_blocks[i], p) != s0) return false;
    }
    return true;
}

// Copy `from`'s sample at p into s, with its neighbours when the sample may be tested.
void take_sample(cd_sample& s, const cd_block& b, const audio_range& r, uint64_t p, uint64_t from) {
    const uint64_t step = 2 * b.layout->channels;
    const uint8_t* block = b.in_blocks[from];
    s.has_neighbours = p >= r.lo + step && p + step + 2 <= r.hi;
    s.value = load_sample(block, p);
    s.prev = s.has_neighbours ? load_sample(block, p - step) : 0;
    s.next = s.has_neighbours ? load_sample(block, p + step) : 0;
}

void gather_samples(cd_scratch& sc, const cd_block& b, const audio_range& r, uint64_t p) {
    for (uint64_t i = 0; i < b.count; i++) take_sample(sc.samples[i], b, r, p, i);
}

// What was decided at one sample: whose value, how, and how many copies held it.
struct cd_pick {
    uint64_t winner;
    cd_outcome outcome;
    uint64_t holders;
    int16_t value;
};

// The rule among every copy at p; false when they all agree.
bool decide_all(cd_scratch& sc, const cd_block& b, const audio_range& r, uint64_t p, uint64_t* total_hits,
                uint64_t* pos_hits, cd_pick& pick) {
    if (all_copies_agree(b, p)) return false;
    gather_samples(sc, b, r, p);
    const cd_decision d = cd_decide(sc.samples, b.count, total_hits, pos_hits, sc);
    for (uint64_t i = 0; i < b.count; i++) total_hits[i] += pos_hits[i];
    pick = {d.winner, d.outcome, pos_hits[d.winner] + 1, sc.samples[d.winner].value};
    return true;
}

// The rule among the copies that hold the sample at p (bits `bits` of the word clear in
// absent[i]); false when they all agree.
bool decide_present(cd_scratch& sc, const cd_block& b, const audio_range& r, uint64_t p, const uint8_t* absent,
                    unsigned bits, uint64_t* total_hits, cd_pick& pick) {
    uint64_t n = 0;
    bool differs = false;
    const int16_t s0 = load_sample(b.in_blocks[0], p);
    for (uint64_t i = 0; i < b.count; i++) {
        if (absent[i] & bits) continue;
        sc.present[n++] = static_cast<uint16_t>(i);
        differs = differs || load_sample(b.in_blocks[i], p) != s0;
    }
    if (!differs) return false;
    for (uint64_t k = 0; k < n; k++) {
        take_sample(sc.samples[k], b, r, p, sc.present[k]);
        sc.present_totals[k] = total_hits[sc.present[k]];
    }
    const cd_decision d = cd_decide(sc.samples, n, sc.present_totals, sc.present_hits, sc);
    for (uint64_t k = 0; k < n; k++) total_hits[sc.present[k]] += sc.present_hits[k];
    pick = {sc.present[d.winner], d.outcome, sc.present_hits[d.winner] + 1, sc.samples[d.winner].value};
    return true;
}

void put_decision_glyph(glyph_writer& glyphs, const cd_pick& d) {
    if (d.outcome == CD_MAJORITY) {
        glyphs.put('#');
    } else if (d.outcome == CD_OVERRULED) {
        glyphs.put(CD_OVERRULED_GLYPH);
    } else {
        glyphs.put_index(d.winner);
    }
}

}  // namespace

int cd_layout_from_header(const uint8_t* bytes, uint64_t n, cd_layout& layout) {
    const wav_header h = parse_wav_header(bytes, n);
    if (!h.valid) {
        // A file that calls itself WAV but whose data cannot be found is not raw audio either.
        if (n >= 12 && memcmp(bytes, "RIFF", 4) == 0 && memcmp(bytes + 8, "WAVE", 4) == 0) return -1;
        layout = cd_layout();
        return 0;
    }
    if (!wav_is_16bit_pcm(h) || h.data_offset % 2 != 0) return -1;
    layout.channels = h.channels;
    layout.data_begin = h.data_offset;
    layout.data_end = wav_data_end(h, UINT64_MAX);
    return 0;
}

void cd_print_refusal(const char* name, const uint8_t* bytes, uint64_t n) {
    const wav_header h = parse_wav_header(bytes, n);
    const char* fault = wav_fault(bytes, n);
    char reason[160];
    if (fault) {
        snprintf(reason, sizeof reason, "%s", fault);
    } else if (h.data_offset % 2 != 0) {
        snprintf(reason, sizeof reason, "its samples start at an odd offset");
    } else {
        snprintf(reason, sizeof reason, "it holds %u-bit samples of format %u; --cd votes 16-bit integer samples only",
                 static_cast<unsigned>(h.bits_per_sample), static_cast<unsigned>(h.format));
    }
    app_error("vote --cd", name, reason);
}

bool cd_looks_concealed(const cd_sample& s) {
    if (!s.has_neighbours) return false;
    const int32_t delta = floor_mean(s) - s.value;
    return delta >= -1 && delta <= 1;
}

bool cd_is_exact_mean(const cd_sample& s) { return s.has_neighbours && floor_mean(s) == s.value; }

cd_decision cd_decide(const cd_sample* c, uint64_t count, const uint64_t* total_hits, uint64_t* hits,
                      cd_scratch& sc) {
    count_groups(sc, c, count, hits);
    cd_decision d = {0, CD_MAJORITY};
    for (uint64_t i = 1; i < count; i++) {
        if (hits[i] > hits[d.winner]) d.winner = i;
    }
    if (hits[d.winner] == 0) d = {best_scored(total_hits, count), CD_BEST_SCORED};
    if (sc.group_plain[d.winner]) return d;
    const int16_t held = c[d.winner].value;
    const uint64_t other = find_overruling(sc, c, count, hits, held, hits[d.winner] + 1);
    if (other == count) return d;
    for (uint64_t i = 0; i < count; i++) {
        if (c[i].value == held) hits[i] = 0;
    }
    return {other, CD_OVERRULED};
}

uint64_t cd_vote_word(const cd_block& b, uint64_t w, uint64_t* total_hits, uint64_t* pos_hits,
                      uint64_t& disputed_bytes, glyph_writer& glyphs, cd_scratch& sc, word_notes* notes,
                      const uint8_t* absent) {
    uint64_t out = load_word(b.in_blocks[0] + w);
    const audio_range r = audio_of_block(b);
    for (unsigned index = 0; index < 4; index++) {
        const uint64_t p = w + 2 * index;
        const unsigned bits = 3u << (2 * index);
        cd_pick d;
        if (absent ? !decide_present(sc, b, r, p, absent, bits, total_hits, d)
                   : !decide_all(sc, b, r, p, total_hits, pos_hits, d)) {
            continue;
        }
        disputed_bytes += 2;
        put_decision_glyph(glyphs, d);
        if (notes) {
            notes->disputed = static_cast<uint8_t>(notes->disputed | bits);
            if (d.outcome == CD_BEST_SCORED) notes->guessed = static_cast<uint8_t>(notes->guessed | bits);
            notes->holders[2 * index] = notes->holders[2 * index + 1] = static_cast<uint16_t>(d.holders);
        }
        const unsigned shift = 16 * index;
        out = (out & ~(0xFFFFull << shift)) | static_cast<uint64_t>(key(d.value)) << shift;
    }
    return out;
}
