#pragma once
// Shared by the two vote fuzz targets: decodes an input into a run of 1 to 32 copies and a
// few blocks, and votes them block by block through vote_block, as the engine does, with the
// glyphs collected in memory.
//
// Input: byte 0 gives the number of copies (1 + low four bits, plus 16 with bit 6: many
// copies that differ from copy 0 at one byte take another way through the vote) and two modes:
// bit 4 has every copy compared with copy 0 right after its "read", as the block loop does,
// with copies that delivered more than the shortest one; bits 5 and 7 together, with at most 8
// copies, put 2 MiB of zero bytes in front of the first block's data, so that the block is too
// long for that comparison and the vote scans it itself (rarely, as such blocks are slow). Then, per block: one byte for the data length (1 to 48); with bit 4 one
// byte that picks the shortest copy and how much more the others delivered; then for every copy
// the data bytes up to the data length rounded up to 8 (the tail past the length is voted too,
// as the word scan does). A copy byte below 0x60 repeats copy 0's byte at that place, below 0xA0
// it is one of four small values, and otherwise itself, so that copies agree often and disagree
// in every pattern. An input of odd length is voted as the block loop votes, in place: input 0's
// block may then receive the voted words.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "glyphs.h"
#include "vote.h"

namespace vote_fuzz {

const uint64_t MAX_COPIES = 32;
const size_t MAX_BLOCKS = 8;
const uint64_t MAX_BLOCK_LEN = 48;
const uint64_t PAD = 0x200000;

inline uint64_t rounded(uint64_t len) { return (len + 7) / 8 * 8; }

struct block_data {
    uint64_t pad;                              // zero bytes in front of the data (0 or PAD)
    uint64_t block_len;                        // pad + the data length: the shortest delivered
    std::vector<uint64_t> delivered;           // what each copy delivered (>= block_len)
    std::vector<std::vector<uint8_t>> copies;  // each copy's data, the data length rounded up to 8

    uint64_t data_end() const { return rounded(block_len) - pad; }
    // Copy i's byte at block offset q (q < block_len rounded up to 8).
    uint8_t byte_at(uint64_t i, uint64_t q) const { return q < pad ? 0 : copies[i][q - pad]; }
};

struct run_data {
    uint64_t count;
    bool compare_while_reading;
    bool in_place;
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
    run.in_place = size % 2 == 1;
    size_t at = 1;
    while (at < size && run.blocks.size() < MAX_BLOCKS) {
        block_data block;
        const bool padded = (data[0] & 0xA0) == 0xA0 && run.count <= 8 && run.blocks.empty();
        block.pad = padded ? PAD : 0;
        const uint64_t len = 1 + data[at++] % MAX_BLOCK_LEN;
        block.block_len = block.pad + len;
        block.delivered.assign(run.count, block.block_len);
        if (run.compare_while_reading) {
            if (at == size) break;
            const uint8_t x = data[at++];
            for (uint64_t i = 0; i < run.count; i++) {
                if (i != x % run.count) block.delivered[i] += (x / 16 + i) % 16;
            }
        }
        const uint64_t end = rounded(len);
        if (size - at < run.count * end) break;
        block.copies.assign(run.count, std::vector<uint8_t>(end));
        for (uint64_t i = 0; i < run.count; i++) {
            for (uint64_t q = 0; q < end; q++) block.copies[i][q] = decode_byte(data[at++], i, block.copies[0][q]);
        }
        run.blocks.push_back(block);
    }
    return !run.blocks.empty();
}

// What the vote of one block produced, for the data part of the block.
struct block_result {
    std::vector<uint8_t> out;  // the voted data, data_end() bytes
    std::string glyphs;
    bool clean_block;
};

// One library call rather than a loop, which the fuzzer's comparison tracing would slow down
// a hundredfold over 2 MiB.
inline bool all_zero(const uint8_t* p, uint64_t n) { return n == 0 || (p[0] == 0 && memcmp(p, p + 1, n - 1) == 0); }

// Votes the blocks of a run one after another with one vote_state, so that hit scores carry
// over. Every buffer is a heap block of its exact size (what the copy delivered, rounded up to
// 8), so that a read or write past a block is caught. Bytes a copy delivered beyond the block
// length rounded up get a pattern of their own: nothing may depend on them. `after_block` sees
// the state and the result of each block.
template <typename AfterBlock>
void vote_run(const run_data& run, bool sample_mode, AfterBlock after_block) {
    static vote_state s;
    char* text = nullptr;
    size_t text_len = 0;
    FILE* stream = open_memstream(&text, &text_len);
    if (!stream) abort();
    glyph_writer* glyphs = new glyph_writer(stream);
    std::vector<uint8_t*> in_blocks(run.count, nullptr);
    vote_start(s, run.count, in_blocks.data(), nullptr, sample_mode, glyphs);

    size_t printed = 0;
    for (const block_data& block : run.blocks) {
        const uint64_t end = rounded(block.block_len);
        for (uint64_t i = 0; i < run.count; i++) {
            const uint64_t size = rounded(block.delivered[i]);
            in_blocks[i] = static_cast<uint8_t*>(malloc(size));
            memset(in_blocks[i], 0, block.pad);
            memcpy(in_blocks[i] + block.pad, block.copies[i].data(), block.data_end());
            for (uint64_t q = end; q < size; q++) in_blocks[i][q] = static_cast<uint8_t>(i * 37 + q);
        }
        uint8_t* out_block = static_cast<uint8_t*>(malloc(end));
        memset(out_block, 0xEE, end);
        s.out_block = out_block;
        if (run.compare_while_reading) {
            // As the block loop does: each copy compared with copy 0 over the shortest length
            // delivered so far, right after it was read.
            vote_begin_block(s);
            uint64_t len = block.delivered[0];
            for (uint64_t i = 1; i < run.count; i++) {
                if (block.delivered[i] < len) len = block.delivered[i];
                vote_scan_input(s, i, len);
            }
        }
        s.block_len = block.block_len;
        s.clean_block = true;
        s.out_filled = false;
        if (run.in_place) {
            vote_block_in_place(s);
        } else {
            vote_block(s);
        }
        glyphs->flush();

        block_result result;
        const uint8_t* voted = s.out_filled ? out_block : in_blocks[0];
        FUZZ_CHECK(all_zero(voted, block.pad));
        result.out.assign(voted + block.pad, voted + end);
        result.glyphs.assign(text + printed, text_len - printed);
        printed = text_len;
        result.clean_block = s.clean_block;
        // A block the vote left to input 0 had no disputed word; the inputs stay untouched,
        // except input 0's when it was voted in place.
        if (!s.out_filled && !run.in_place) FUZZ_CHECK(s.clean_block && result.glyphs.empty());
        for (uint64_t i = run.in_place ? 1 : 0; i < run.count; i++) {
            FUZZ_CHECK(all_zero(in_blocks[i], block.pad));
            FUZZ_CHECK(memcmp(in_blocks[i] + block.pad, block.copies[i].data(), block.data_end()) == 0);
        }
        after_block(s, block, result);

        for (uint64_t i = 0; i < run.count; i++) free(in_blocks[i]);
        free(out_block);
    }
    delete glyphs;
    fclose(stream);
    free(text);
}

// True when all copies hold the same 8 bytes at data offset w.
inline bool word_agrees(const block_data& block, uint64_t w) {
    for (const std::vector<uint8_t>& copy : block.copies) {
        if (memcmp(copy.data() + w, block.copies[0].data() + w, 8) != 0) return false;
    }
    return true;
}

// The reference decision at one disputed position, by direct counting: each copy's hits are
// how many other copies hold its value; the lowest-indexed member of the largest group wins;
// when no two agree, the copy with the best hit score so far does (lowest index on ties).
// Returns the winning copy and appends its glyph.
inline uint64_t reference_decide(const std::vector<uint32_t>& values, uint64_t* total_hits, std::string& glyphs) {
    const uint64_t count = values.size();
    std::vector<uint64_t> hits(count, 0);
    for (uint64_t i = 0; i < count; i++) {
        for (uint64_t j = 0; j < count; j++) {
            if (j != i && values[j] == values[i]) hits[i]++;
        }
    }
    uint64_t winner = 0;
    for (uint64_t i = 0; i < count; i++) {
        total_hits[i] += hits[i];
        if (hits[i] > hits[winner]) winner = i;
    }
    if (hits[winner] > 0) {
        glyphs += '#';
        return winner;
    }
    winner = 0;
    for (uint64_t i = 1; i < count; i++) {
        if (total_hits[i] > total_hits[winner]) winner = i;
    }
    glyphs += std::to_string(winner) + ".";
    return winner;
}

inline bool all_equal(const std::vector<uint32_t>& values) {
    for (uint32_t v : values) {
        if (v != values[0]) return false;
    }
    return true;
}

}  // namespace vote_fuzz
