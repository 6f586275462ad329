// Fuzz target: the sample vote (-a) of 1 to 16 copies over a few blocks in a row.
//
// Whatever the corrected-sample screening decides, these hold for every block: a word on
// which all copies agree is copied unchanged; every output sample is the sample of some copy
// at that place; the disputed-byte count grows by 2 per "#" or "<index>." glyph; an index
// glyph names an existing copy; hit scores never fall; "<\n" opens exactly the blocks with a
// disputed word. As long as no copy has been screened in the run, the vote must also equal
// the direct-counting reference at sample level, hit scores included.

#include "vote_harness.h"

using namespace vote_fuzz;

namespace {

// Copy i's sample at block offset p.
uint32_t sample_at(const block_data& block, uint64_t i, uint64_t p) {
    return block.byte_at(i, p) | (block.byte_at(i, p + 1) << 8);
}

uint32_t data_sample(const std::vector<uint8_t>& data, uint64_t p) { return data[p] | (data[p + 1] << 8); }

// The screening test: a sample within 1 of the rounded-down mean of its two neighbours, made
// only where both neighbours begin inside the block.
bool is_corrected(const block_data& block, uint64_t i, uint64_t p) {
    if (p == 0 || p + 2 >= block.block_len) return false;
    const int64_t mean = (static_cast<int64_t>(sample_at(block, i, p - 2)) + sample_at(block, i, p + 2)) / 2;
    const int64_t delta = mean - static_cast<int64_t>(sample_at(block, i, p));
    return delta >= -1 && delta <= 1;
}

uint64_t first_differing_copy(const block_data& block, uint64_t w) {
    for (uint64_t i = 1; i < block.copies.size(); i++) {
        if (memcmp(block.copies[i].data() + w, block.copies[0].data() + w, 8) != 0) return i;
    }
    return block.copies.size();
}

// True when some copy that the vote tests (from the word's first differing copy minus one up
// to the last but one) would be screened somewhere in a disputed word of the block.
bool block_has_screening(const block_data& block) {
    const uint64_t count = block.copies.size();
    for (uint64_t w = 0; w < block.data_end(); w += 8) {
        const uint64_t d = first_differing_copy(block, w);
        if (d == count) continue;
        for (uint64_t p = block.pad + w; p < block.pad + w + 8; p += 2) {
            for (uint64_t k = d - 1; k + 1 < count; k++) {
                if (is_corrected(block, k, p)) return true;
            }
        }
    }
    return false;
}

struct reference_state {
    uint64_t total_hits[MAX_COPIES] = {};
    uint64_t disputed_bytes = 0;
};

block_result reference_block(reference_state& ref, const block_data& block) {
    const uint64_t count = block.copies.size();
    const uint64_t end = block.data_end();
    block_result r;
    r.out.assign(end, 0);
    r.clean_block = true;
    for (uint64_t w = 0; w < end; w += 8) {
        if (word_agrees(block, w)) {
            memcpy(r.out.data() + w, block.copies[0].data() + w, 8);
            continue;
        }
        if (r.clean_block) r.glyphs += "<\n";
        r.clean_block = false;
        for (uint64_t p = w; p < w + 8; p += 2) {
            std::vector<uint32_t> values(count);
            for (uint64_t i = 0; i < count; i++) values[i] = data_sample(block.copies[i], p);
            uint64_t from = 0;
            if (!all_equal(values)) {
                ref.disputed_bytes += 2;
                from = reference_decide(values, ref.total_hits, r.glyphs);
            }
            r.out[p] = static_cast<uint8_t>(values[from] & 0xFF);
            r.out[p + 1] = static_cast<uint8_t>(values[from] >> 8);
        }
    }
    return r;
}

void check_invariants(const vote_state& s, const block_data& block, const block_result& got, uint64_t disputed_before,
                      const std::vector<uint64_t>& hits_before) {
    const uint64_t count = block.copies.size();
    const uint64_t end = block.data_end();
    bool any_disputed_word = false;
    for (uint64_t w = 0; w < end; w += 8) {
        if (word_agrees(block, w)) {
            FUZZ_CHECK(memcmp(got.out.data() + w, block.copies[0].data() + w, 8) == 0);
            continue;
        }
        any_disputed_word = true;
        for (uint64_t p = w; p < w + 8; p += 2) {
            bool from_some_copy = false;
            for (uint64_t i = 0; i < count; i++) from_some_copy = from_some_copy || data_sample(got.out, p) == data_sample(block.copies[i], p);
            FUZZ_CHECK(from_some_copy);
        }
    }
    FUZZ_CHECK(got.clean_block == !any_disputed_word);
    FUZZ_CHECK(any_disputed_word == (got.glyphs.compare(0, 2, "<\n") == 0));
    FUZZ_CHECK(s.disputed_bytes >= disputed_before && (s.disputed_bytes - disputed_before) % 2 == 0);

    uint64_t decisions = 0;
    const std::string body = any_disputed_word ? got.glyphs.substr(2) : got.glyphs;
    for (size_t at = 0; at < body.size(); at++) {
        const char c = body[at];
        if (c == '#') {
            decisions++;
        } else if (c >= '0' && c <= '9') {
            const size_t dot = body.find('.', at);
            FUZZ_CHECK(dot != std::string::npos);
            FUZZ_CHECK(std::stoull(body.substr(at, dot - at)) < count);
            decisions++;
            at = dot;
        } else {
            FUZZ_CHECK(c == ' ');
        }
    }
    FUZZ_CHECK(decisions * 2 == s.disputed_bytes - disputed_before);
    for (uint64_t i = 0; i < count; i++) FUZZ_CHECK(s.total_hits[i] >= hits_before[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    run_data run;
    if (!decode(data, size, run)) return 0;
    reference_state ref;
    bool screened = false;
    uint64_t disputed_before = 0;
    std::vector<uint64_t> hits_before(run.count, 0);
    vote_run(run, true, [&](const vote_state& s, const block_data& block, const block_result& got) {
        check_invariants(s, block, got, disputed_before, hits_before);
        disputed_before = s.disputed_bytes;
        hits_before.assign(s.total_hits, s.total_hits + run.count);

        screened = screened || block_has_screening(block);
        if (screened) return;
        const block_result want = reference_block(ref, block);
        FUZZ_CHECK(got.out == want.out);
        FUZZ_CHECK(got.glyphs == want.glyphs);
        FUZZ_CHECK(s.disputed_bytes == ref.disputed_bytes);
        for (uint64_t i = 0; i < run.count; i++) FUZZ_CHECK(s.total_hits[i] == ref.total_hits[i]);
    });
    return 0;
}
