// The word scan alone, over in-memory blocks on which every copy agrees, against memcmp of the
// same blocks (input 0 against each other input). Both report the bytes of all copies per second.
// The blocks are 2 MiB each, as in the program, so with many copies they no longer fit in the
// caches and both measure the memory.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "vote/glyphs.h"
#include "vote/block_vote.h"

namespace {

const uint64_t BLOCK = 0x200000;

// `count` identical blocks of random bytes in one 2 MiB-aligned area, as the program lays them out.
struct blocks {
    uint8_t* area;
    std::vector<uint8_t*> in;
    uint8_t* out;

    explicit blocks(uint64_t count) : area(static_cast<uint8_t*>(aligned_alloc(BLOCK, BLOCK * (count + 1)))) {
        out = area;
        uint64_t x = 0x243F6A8885A308D3ull;
        for (uint64_t i = 0; i < BLOCK; i += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            memcpy(area + BLOCK + i, &x, 8);
        }
        for (uint64_t i = 0; i < count; i++) {
            in.push_back(area + BLOCK * (i + 1));
            if (i > 0) memcpy(in[i], in[0], BLOCK);
        }
    }
    ~blocks() { free(area); }
};

void report(benchmark::State& state, uint64_t count) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(count * BLOCK));
}

void BM_WordScan(benchmark::State& state) {
    const uint64_t count = static_cast<uint64_t>(state.range(0));
    blocks b(count);
    static glyph_writer glyphs(stderr);
    std::unique_ptr<block_vote> vote(new block_vote);
    vote->start(count, b.in.data(), false, &glyphs);
    for (auto _ : state) {
        // As the block loop does it: each input is compared with input 0 after its read, then
        // the block is voted (for equal blocks, nothing is left to do).
        vote->begin_block();
        for (uint64_t i = 1; i < count; i++) vote->input_read(i, BLOCK);
        if (vote->vote(BLOCK)) state.SkipWithError("the scan found a dispute in equal blocks");
        benchmark::ClobberMemory();
    }
    report(state, count);
}

void BM_Memcmp(benchmark::State& state) {
    const uint64_t count = static_cast<uint64_t>(state.range(0));
    blocks b(count);
    for (auto _ : state) {
        int differ = 0;
        for (uint64_t i = 1; i < count; i++) differ |= memcmp(b.in[0], b.in[i], BLOCK);
        benchmark::DoNotOptimize(differ);
        benchmark::ClobberMemory();
    }
    report(state, count);
}

}  // namespace

BENCHMARK(BM_WordScan)->Arg(3)->Arg(5)->Arg(64);
BENCHMARK(BM_Memcmp)->Arg(3)->Arg(5)->Arg(64);

BENCHMARK_MAIN();
