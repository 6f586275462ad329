#pragma once
// The differential check of the vote, shared by the two vote fuzz targets (bytes and samples):
// decodes an input into a run of 1 to 32 copies over a few blocks, votes it by every way the
// engine can take — each scan method (masks, lists, direct), lists that run out of room early,
// three inputs with and without whole-word decisions — and compares every block of every way
// with the reference vote: output bytes, glyphs, hit scores and the disputed-byte count, bit for
// bit, the hit scores carrying over from block to block.
//
// Input: byte 0 gives the number of copies (1 + low four bits, plus 16 with bit 6) and bit 4 has
// every copy compared with copy 0 right after its "read", as the block loop does, with copies
// that delivered more than the shortest one. Then, per block: one byte for the length (1 to 48);
// with bit 4 one byte that picks the shortest copy and how much more the others delivered; then
// for every copy the bytes up to the length rounded up to 8 (the tail past the length is voted
// too). A copy byte below 0x60 repeats copy 0's byte at that place, below 0xA0 it is one of four
// small values, and otherwise itself, so that copies agree often and disagree in every pattern;
// small values next to each other make the sample screening fire often.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "vote/block_vote.h"
#include "fuzz_check.h"
#include "vote/glyphs.h"
#include "reference_vote.h"

namespace vote_fuzz {

const uint64_t MAX_BLOCKS = 8;
const uint64_t MAX_BLOCK_LEN = 48;

inline uint64_t rounded(uint64_t len) { return (len + 7) / 8 * 8; }

struct block_data {
    uint64_t block_len;                        // the shortest length delivered
    std::vector<uint64_t> delivered;           // what each copy delivered (>= block_len)
    std::vector<std::vector<uint8_t>> copies;  // each copy's bytes, block_len rounded up to 8
};

struct run_data {
    uint64_t count;
    bool compare_while_reading;
    std::vector<block_data> blocks;
};

inline uint8_t decode_byte(uint8_t d, uint64_t copy, uint8_t copy0_byte) {
    if (copy > 0 && d < 0x60) return copy0_byte;
    if (d < 0xA0) return static_cast<uint8_t>(d % 4);
    return d;
}

inline bool decode(const uint8_t* data, size_t size, run_data& run) {
    if (size < 2) return false;
    run.count = 1 + (data[0] & 15) + ((data[0] & 0x40) ? 16 : 0);
    run.compare_while_reading = (data[0] & 0x10) != 0;
    size_t at = 1;
    while (at < size && run.blocks.size() < MAX_BLOCKS) {
        block_data block;
        block.block_len = 1 + data[at++] % MAX_BLOCK_LEN;
        block.delivered.assign(run.count, block.block_len);
        if (run.compare_while_reading) {
            if (at == size) break;
            const uint8_t x = data[at++];
            for (uint64_t i = 0; i < run.count; i++) {
                if (i != x % run.count) block.delivered[i] += (x / 16 + i) % 16;
            }
        }
        const uint64_t end = rounded(block.block_len);
        if (size - at < run.count * end) break;
        block.copies.assign(run.count, std::vector<uint8_t>(end));
        for (uint64_t i = 0; i < run.count; i++) {
            for (uint64_t q = 0; q < end; q++) block.copies[i][q] = decode_byte(data[at++], i, block.copies[0][q]);
        }
        run.blocks.push_back(block);
    }
    return !run.blocks.empty();
}

// One way through the engine's vote, with its glyphs collected in memory.
struct way {
    scan_method method;
    bool three_by_words;
    uint32_t entry_capacity;  // 0: the scan's own
};

inline std::vector<way> every_way(uint64_t count, bool samples) {
    std::vector<way> ways = {{scan_method::automatic, true, 0}, {scan_method::lists, true, 0},
                             {scan_method::direct, true, 0},    {scan_method::lists, true, 3}};
    ways.push_back({scan_method::lists, true, static_cast<uint32_t>(count)});  // runs out in the first words
    if (count <= word_scan::MASK_INPUTS) ways.push_back({scan_method::masks, true, 0});
    if (count == 3 && !samples) ways.push_back({scan_method::masks, false, 0});
    return ways;
}

// Votes the run by one way and checks each block against the reference. Every buffer is a heap
// block of its exact size (what the copy delivered, rounded up to 8), so that a read or write
// past a block is caught; bytes a copy delivered beyond the block length rounded up get a pattern
// of their own, on which nothing may depend.
inline void check_way(const run_data& run, bool samples, const way& w, block_vote& state) {
    char* text = nullptr;
    size_t text_len = 0;
    FILE* stream = open_memstream(&text, &text_len);
    if (!stream) abort();
    std::unique_ptr<glyph_writer> glyphs(new glyph_writer(stream));
    block_vote* v = &state;
    std::vector<uint8_t*> in(run.count, nullptr);
    v->start(run.count, in.data(), samples, glyphs.get(), w.method);
    v->three_by_words = w.three_by_words;
    if (w.entry_capacity) v->scan.entry_capacity = w.entry_capacity;
    reference_vote::tally ref(run.count);

    size_t printed = 0;
    for (const block_data& block : run.blocks) {
        const uint64_t end = rounded(block.block_len);
        for (uint64_t i = 0; i < run.count; i++) {
            const uint64_t size = rounded(block.delivered[i]);
            in[i] = static_cast<uint8_t*>(malloc(size));
            memcpy(in[i], block.copies[i].data(), end);
            for (uint64_t q = end; q < size; q++) in[i][q] = static_cast<uint8_t>(i * 37 + q);
        }
        if (run.compare_while_reading) {
            v->begin_block();
            uint64_t len = block.delivered[0];
            for (uint64_t i = 1; i < run.count; i++) {
                len = block.delivered[i] < len ? block.delivered[i] : len;
                v->input_read(i, len);
            }
        }
        const bool disputed = v->vote(block.block_len);
        glyphs->flush();

        std::vector<const uint8_t*> copies;
        for (const std::vector<uint8_t>& c : block.copies) copies.push_back(c.data());
        std::vector<uint8_t> want(end);
        const size_t ref_printed = ref.glyphs.size();
        FUZZ_CHECK(disputed == reference_vote::vote_block(ref, copies, block.block_len, samples, want.data()));
        FUZZ_CHECK(memcmp(in[0], want.data(), end) == 0);
        FUZZ_CHECK(std::string(text + printed, text_len - printed) == ref.glyphs.substr(ref_printed));
        printed = text_len;
        FUZZ_CHECK(v->tally.disputed_bytes == ref.disputed);
        for (uint64_t i = 0; i < run.count; i++) FUZZ_CHECK(v->tally.total_hits[i] == ref.hits[i]);
        // Only input 0's block receives the voted words.
        for (uint64_t i = 1; i < run.count; i++) FUZZ_CHECK(memcmp(in[i], block.copies[i].data(), end) == 0);
        for (uint64_t i = 0; i < run.count; i++) free(in[i]);
    }
    glyphs.reset();
    fclose(stream);
    free(text);
}

inline int check_every_way(const uint8_t* data, size_t size, bool samples) {
    run_data run;
    if (!decode(data, size, run)) return 0;
    // The vote's state is large: one is made for the whole fuzzing session, and start() makes it
    // new for each run.
    static block_vote* state = new block_vote;
    for (const way& w : every_way(run.count, samples)) check_way(run, samples, w, *state);
    return 0;
}

}  // namespace vote_fuzz
