// The map of disputed runs alone: the words that the vote hands over for a block with damage
// spread like the sparse-damage case of bench/run.sh (one byte in a thousand in each of three
// copies: Arg 333), written to /dev/null. Reports the output bytes covered per second, to set against the
// word scan's rate (scan_bench) for the cost that --map adds to such a run.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "run/dispute_map.h"
#include "run/files.h"

namespace {

const uint64_t BLOCK = 0x200000;

void BM_MapSparseBlock(benchmark::State& state) {
    const uint64_t every = static_cast<uint64_t>(state.range(0));  // one disputed byte per `every` bytes
    dispute_map map;
    g_file file;
    if (open_emptied(file, "/dev/null") != 0 || map.open(file) != 0) state.SkipWithError("cannot open /dev/null");
    uint64_t words[3] = {0, 0, 0};
    uint64_t offset = 0;
    for (auto _ : state) {
        for (uint64_t at = every / 2; at < BLOCK; at += every) {
            const uint64_t byte = at % 8;
            words[1] = 0x5Aull << (8 * byte);
            const word_verdict v{offset + at - byte, 3, words, 0, static_cast<uint8_t>(1u << byte), 0,
                                 {2, 2, 2, 2, 2, 2, 2, 2}, nullptr, 8};
            map.add(v);
        }
        offset += BLOCK;
    }
    map.finish(0);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * BLOCK));
}

}  // namespace

BENCHMARK(BM_MapSparseBlock)->Arg(1000)->Arg(333)->Arg(100);

BENCHMARK_MAIN();
