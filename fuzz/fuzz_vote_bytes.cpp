// Fuzz target: the byte vote of 1 to 16 copies over a few blocks in a row, against a
// reference that decides every disputed byte by direct counting. Output bytes, hit scores,
// the disputed-byte count and the glyphs must all agree, block by block.

#include "vote_harness.h"

using namespace vote_fuzz;

namespace {

struct reference_state {
    uint64_t total_hits[MAX_COPIES] = {};
    uint64_t disputed_bytes = 0;
};

// Votes the data of one block by the reference rules, word by word and byte by byte (the zero
// bytes in front of it agree in every copy).
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
        for (uint64_t q = w; q < w + 8; q++) {
            std::vector<uint32_t> values(count);
            for (uint64_t i = 0; i < count; i++) values[i] = block.copies[i][q];
            if (all_equal(values)) {
                r.out[q] = static_cast<uint8_t>(values[0]);
                continue;
            }
            ref.disputed_bytes++;
            r.out[q] = static_cast<uint8_t>(values[reference_decide(values, ref.total_hits, r.glyphs)]);
        }
    }
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    run_data run;
    if (!decode(data, size, run)) return 0;
    reference_state ref;
    vote_run(run, false, [&](const vote_state& s, const block_data& block, const block_result& got) {
        const block_result want = reference_block(ref, block);
        FUZZ_CHECK(got.out == want.out);
        FUZZ_CHECK(got.glyphs == want.glyphs);
        FUZZ_CHECK(got.clean_block == want.clean_block);
        FUZZ_CHECK(s.disputed_bytes == ref.disputed_bytes);
        for (uint64_t i = 0; i < run.count; i++) FUZZ_CHECK(s.total_hits[i] == ref.total_hits[i]);
    });
    return 0;
}
