#include "vote/block_vote.h"

#include <cstring>

#include "vote/word_bits.h"

void block_vote::start(uint64_t count, uint8_t* const* blocks, bool samples, glyph_writer* glyphs,
                       scan_method forced) {
    tally_start(tally, count, glyphs);
    scan.start(count, blocks, forced);
    sample_mode = samples;
    three_by_words = true;
    map = verdict_listener();
    doubts = nullptr;
    cd = nullptr;
    cd_tables.reset();
    in0_start = 0;
    out_offset = 0;
    absent = nullptr;
    absent_inputs_ = 0;
    memset(absent_mask_, 0, sizeof absent_mask_);
    blocks_ = blocks;
}

// Lists the inputs that lack some stretch of this block; all others hold every byte.
void block_vote::gather_absent() {
    for (uint64_t k = 0; k < absent_inputs_; k++) absent_mask_[absent_input_[k]] = 0;
    absent_inputs_ = 0;
    if (!absent) return;
    for (uint64_t i = 0; i < tally.count; i++) {
        absent_input_[absent_inputs_] = static_cast<uint16_t>(i);
        absent_inputs_ += absent->n[i] != 0;
    }
}

// Every input's absent bytes in word w, or null when every input holds the whole word.
const uint8_t* block_vote::word_absence(uint64_t w) {
    bool any = false;
    for (uint64_t k = 0; k < absent_inputs_; k++) {
        const uint64_t i = absent_input_[k];
        absent_mask_[i] = absent->byte_mask(i, w * 8);
        any = any || absent_mask_[i] != 0;
    }
    return any ? absent_mask_ : nullptr;
}

bool block_vote::vote(uint64_t block_len) {
    const uint64_t words = (block_len + 7) / 8;
    const scan_method m = scan.finish(block_len);
    const uint64_t block_start = out_offset;
    out_offset += block_len;
    if (!scan.any_disputed(m, words)) return false;
    patches = 0;
    gather_absent();
    if (m == scan_method::masks && tally.count == 3 && !sample_mode && three_by_words && !cd &&
        absent_inputs_ == 0) {
        vote_three(words, block_len, block_start);
    } else {
        glyph_writer& glyphs = *tally.glyphs;
        glyphs.put_text("<\n");
        if (map || doubts || cd || absent_inputs_ != 0) {
            vote_noted(m, words, block_len, block_start);
        } else if (sample_mode) {
            scan.for_each_disputed_word(m, words, [&](uint64_t w, uint64_t w0, const word_diffs& d) {
                note(w, vote_samples(tally, blocks_, block_len, w * 8, w0, d), w0);
            });
        } else {
            scan.for_each_disputed_word(m, words, [&](uint64_t w, uint64_t w0, const word_diffs& d) {
                note(w, vote_bytes(tally, w0, d), w0);
            });
            tally_settle(tally);
        }
    }
    for (uint64_t k = 0; k < patches; k++) store_word(blocks_[0] + patch_index[k] * 8ull, patch_word[k]);
    return true;
}

// The vote of the disputed words by any rule, with every decision handed to the map if there is
// one, and the absent copies left out where they lack bytes.
void block_vote::vote_noted(scan_method m, uint64_t words, uint64_t block_len, uint64_t block_start) {
    const cd_block b = {blocks_, tally.count, block_len, in0_start, cd};
    scan.fetch_ahead = cd != nullptr;
    scan.for_each_disputed_word(m, words, [&](uint64_t w, uint64_t w0, const word_diffs& d) {
        word_notes notes = {};
        const uint8_t* lacking = absent_inputs_ != 0 ? word_absence(w) : nullptr;
        uint64_t voted;
        if (cd) {
            // The notes only serve a listener; unheard, filling them is work the byte vote does not do.
            voted = cd_vote_word(b, w * 8, tally.total_hits, tally.pos_hits, tally.disputed_bytes,
                                 *tally.glyphs, *cd_tables, map || doubts ? &notes : nullptr, lacking, &d);
        } else if (lacking) {
            voted = sample_mode
                        ? vote_samples_absent(tally, blocks_, block_len, w * 8, w0, d, lacking, &notes)
                        : vote_bytes_absent(tally, w0, d, lacking, &notes);
        } else if (sample_mode) {
            voted = vote_samples(tally, blocks_, block_len, w * 8, w0, d, &notes);
        } else {
            voted = vote_bytes(tally, w0, d, &notes);
        }
        note(w, voted, w0);
        if ((!map && !doubts) || (notes.disputed | notes.undisputed) == 0)
            return;  // nobody listens, or all agree
        for (uint64_t i = 0; i < tally.count; i++) map_words_[i] = w0;
        for (uint64_t e = 0; e < d.n; e++) map_words_[d.input[e]] = d.word[e];
        map_word(w, voted, notes, block_len, block_start, lacking);
    });
    scan.fetch_ahead = false;
    tally_settle(tally);
}

// Hands the map one voted word; every input's word is in map_words_.
void block_vote::map_word(uint64_t w, uint64_t voted, const word_notes& notes, uint64_t block_len,
                          uint64_t block_start, const uint8_t* lacking) {
    word_verdict v;
    v.offset = block_start + w * 8;
    v.count = tally.count;
    v.words = map_words_;
    v.voted = voted;
    v.disputed = notes.disputed;
    v.guessed = notes.guessed;
    v.absent = lacking;
    for (unsigned b = 0; b < 8; b++) v.holders[b] = notes.holders[b];
    v.valid = block_len - w * 8 < 8 ? block_len - w * 8 : 8;
    v.scored = notes.scored;
    v.margin = notes.margin;
    if (doubts && v.disputed) doubts->add(v);
    // The map lists every position where the copies disagree, also where -a's screening left
    // the vote no dispute.
    v.disputed = static_cast<uint8_t>(v.disputed | notes.undisputed);
    if (map) map(v);
}

// ---- A specialised path: three inputs by bytes ----
//
// With three copies a disputed byte is either held by two of them or by none twice, so whole
// words can be decided at once from the byte masks of the three pairs. This is the rules of
// vote_bytes for three inputs, with the hit scores held in registers (the glyph writer's char
// stores could alias the tally); the vote fuzzers compare it with the general path.

namespace {

struct three_words {
    uint64_t w0, w1, w2;
};

// Votes the disputed bytes of a word one at a time, in order: used for a word with a byte on
// which all three copies differ, where the choice depends on the scores so far.
__attribute__((noinline)) uint64_t vote_three_bytewise(glyph_writer& glyphs, uint64_t* hits,
                                                       const three_words& v, uint64_t disputed, uint64_t z01,
                                                       uint64_t z02, uint64_t z12) {
    uint64_t out = v.w0;
    while (disputed != 0) {
        const unsigned b = static_cast<unsigned>(__builtin_ctzll(disputed)) / 8;
        const uint64_t bit = 0x80ull << (8 * b);
        disputed &= disputed - 1;
        uint64_t from;  // the word whose byte wins
        if (z01 & bit) {
            hits[0]++;
            hits[1]++;
            from = v.w0;
            glyphs.put('#');
        } else if (z02 & bit) {
            hits[0]++;
            hits[2]++;
            from = v.w0;
            glyphs.put('#');
        } else if (z12 & bit) {
            hits[1]++;
            hits[2]++;
            from = v.w1;
            glyphs.put('#');
        } else {
            uint64_t winner = 0;
            if (hits[1] > hits[winner]) winner = 1;
            if (hits[2] > hits[winner]) winner = 2;
            glyphs.put_index(winner);
            from = winner == 0 ? v.w0 : winner == 1 ? v.w1 : v.w2;
        }
        const uint64_t m = 0xFFull << (8 * b);
        out = (out & ~m) | (from & m);
    }
    return out;
}

// What the three-input vote decided in a word, from its byte masks: where two copies agreed,
// two held the value; elsewhere the value was guessed.
word_notes three_notes(uint64_t disputed, uint64_t agreed) {
    word_notes notes = {};
    for (unsigned b = 0; b < 8; b++) {
        if (!((disputed >> (8 * b + 7)) & 1)) continue;
        const bool pair = (agreed >> (8 * b + 7)) & 1;
        notes.disputed = static_cast<uint8_t>(notes.disputed | 1u << b);
        if (!pair) notes.guessed = static_cast<uint8_t>(notes.guessed | 1u << b);
        notes.holders[b] = pair ? 2 : 1;
    }
    return notes;
}

}  // namespace

// Adds the eight byte lanes of `lanes` (each at most 255).
inline uint64_t lane_sum(uint64_t lanes) {
    const uint64_t pairs = (lanes & 0x00FF00FF00FF00FFull) + ((lanes >> 8) & 0x00FF00FF00FF00FFull);
    return (pairs * 0x0001000100010001ull) >> 48;
}

// Counts per byte lane: each word adds 0 or 1 to a lane, so the lanes are added to the totals
// before any of them can pass 255.
struct three_counts {
    uint64_t hits[3];
    uint64_t disputed;
    uint64_t lanes[3];
    uint64_t disputed_lanes;
    unsigned words;

    void fold() {
        for (unsigned i = 0; i < 3; i++) {
            hits[i] += lane_sum(lanes[i]);
            lanes[i] = 0;
        }
        disputed += lane_sum(disputed_lanes);
        disputed_lanes = 0;
        words = 0;
    }
};

void block_vote::vote_three(uint64_t words, uint64_t block_len, uint64_t block_start) {
    // Everything the loop updates is kept in locals: the glyphs are char stores, which the
    // compiler must assume change any member.
    glyph_writer& glyphs = *tally.glyphs;
    uint8_t* const b0 = blocks_[0];
    const uint8_t* const b1 = blocks_[1];
    const uint8_t* const b2 = blocks_[2];
    const bool to_map = map || doubts;
    three_counts n = {{tally.total_hits[0], tally.total_hits[1], tally.total_hits[2]},
                      tally.disputed_bytes,
                      {0, 0, 0},
                      0,
                      0};
    const size_t CHUNK_GLYPHS = 64 * 8 + 8;  // 64 words of eight "#", and the eight-byte store
    glyphs.put_text("<\n");                  // the first disputed word is met at once
    // Eight steps' masks at a time: bit j of the combined 64-bit mask is word 64 * c + j.
    for (uint64_t c = 0; c * 64 < words; c++) {
        // The blocks sit in the last-level cache at best: ask for the lines that hold disputed
        // words two chunks ahead, each line once. Where most lines hold one, the processor's own
        // prefetching of the sequence serves better.
        if ((c + 2) * 64 < words) {
            const uint64_t ahead = scan.mask_chunk(1, c + 2, words) | scan.mask_chunk(2, c + 2, words);
            const uint64_t lines = nonzero_bytes(ahead);
            for (uint64_t l = count_bytes(lines) <= 3 ? lines : 0; l != 0; l &= l - 1) {
                const uint64_t o = (c + 2) * 512 + static_cast<uint64_t>(__builtin_ctzll(l)) / 8 * 64;
                __builtin_prefetch(b0 + o);
                __builtin_prefetch(b1 + o);
                __builtin_prefetch(b2 + o);
            }
        }
        uint64_t m = scan.mask_chunk(1, c, words) | scan.mask_chunk(2, c, words);
        if (m == 0) continue;
        // A fold inside a chunk leaves up to 63 of its words uncounted: keep a chunk's margin.
        if (n.words > 255 - 2 * 64) n.fold();
        n.words += 64;
        char* g = glyphs.reserve(CHUNK_GLYPHS);
        while (m != 0) {
            const uint64_t w = c * 64 + static_cast<uint64_t>(__builtin_ctzll(m));
            m &= m - 1;
            three_words v;
            v.w0 = load_word(b0 + w * 8);
            v.w1 = load_word(b1 + w * 8);
            v.w2 = load_word(b2 + w * 8);
            const uint64_t x01 = v.w0 ^ v.w1;
            const uint64_t x02 = v.w0 ^ v.w2;
            const uint64_t disputed = nonzero_bytes(x01 | x02);
            const uint64_t z01 = ~nonzero_bytes(x01) & HIGH1;
            const uint64_t z02 = ~nonzero_bytes(x02) & HIGH1;
            const uint64_t z12 = ~nonzero_bytes(v.w1 ^ v.w2) & HIGH1;
            n.disputed_lanes += disputed >> 7;
            uint64_t voted;
            if ((disputed & ~(z01 | z02 | z12)) != 0) {
                n.fold();
                glyphs.commit(g);
                voted = vote_three_bytewise(glyphs, n.hits, v, disputed, z01, z02, z12);
                g = glyphs.reserve(CHUNK_GLYPHS);
            } else {
                // Every disputed byte is held by two copies: "#" each, and both of them score.
                n.lanes[0] += (disputed & (z01 | z02)) >> 7;
                n.lanes[1] += (disputed & (z01 | z12)) >> 7;
                n.lanes[2] += (disputed & (z02 | z12)) >> 7;
                const uint64_t eight = 0x2323232323232323ull;  // "########"
                memcpy(g, &eight, sizeof eight);
                g += count_bytes(disputed);
                // Where inputs 1 and 2 agree against input 0 their byte wins; elsewhere input 0's.
                voted = v.w0 ^ (x01 & byte_mask(disputed & z12));
            }
            // Bytes are voted on their own: the word can take its voted value at once.
            store_word(b0 + w * 8, voted);
            if (to_map) {
                glyphs.commit(g);
                map_words_[0] = v.w0;
                map_words_[1] = v.w1;
                map_words_[2] = v.w2;
                map_word(w, voted, three_notes(disputed, z01 | z02 | z12), block_len, block_start);
                g = glyphs.reserve(CHUNK_GLYPHS);
            }
        }
        glyphs.commit(g);
    }
    n.fold();
    tally.total_hits[0] = n.hits[0];
    tally.total_hits[1] = n.hits[1];
    tally.total_hits[2] = n.hits[2];
    tally.disputed_bytes = n.disputed;
}
