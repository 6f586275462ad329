// The repair search on 10,000 (and 300) doubtful frames of a track of about three minutes, three candidate
// words each: the worst case, where the wanted values are out of reach and the search runs until
// its bound (with CRC32 alone, and with CRC32 and v2, whose far larger chance bound leaves the
// time bound to stop it), and a case whose three wrong frames are found among the larger
// combinations; then a response file of 47,000 values against up to 262,144 frames of 16
// candidates. Setting up the arrays is not timed.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "audio/repair_search.h"

namespace {

const uint64_t TRACK_FRAMES = 8000000;
const size_t WORDS = 3;

struct material {
    std::vector<repair_frame> frames;
    repair_target target;
};

// `wrong` frames (by rank) take their first candidate in the original; the target is then the
// voted sums moved by exactly those changes, or random values when `wrong` is empty.
material make(size_t doubtful, bool crc, bool v2, const std::vector<size_t>& wrong) {
    std::mt19937 gen(5);
    auto rng = [&] { return static_cast<uint32_t>(gen()); };
    material m;
    repair_target& t = m.target;
    t.frames = TRACK_FRAMES;
    t.first_counted = 5 * 588;
    t.last_counted = TRACK_FRAMES - 5 * 588;
    t.voted_v1 = rng(), t.voted_v2 = rng(), t.voted_crc32 = rng();
    t.want_crc32 = crc, t.want_v2 = v2;
    t.v2 = rng(), t.crc32 = rng();
    for (size_t r = 0; r < doubtful; r++) {
        repair_frame f{1 + r * (TRACK_FRAMES / doubtful), rng(), {}};
        for (size_t k = 0; k < WORDS; k++) f.words.push_back(rng());
        m.frames.push_back(f);
    }
    if (!wrong.empty()) t.v2 = t.voted_v2, t.crc32 = t.voted_crc32;
    for (size_t r : wrong) {
        const repair_frame& f = m.frames[r];
        t.v2 += ar_v2_term(f.index, f.words[0]) - ar_v2_term(f.index, f.voted);
        t.crc32 ^= crc32_xor_effect(TRACK_FRAMES * 4, (f.index - 1) * 4, f.words[0] ^ f.voted);
    }
    return m;
}

void run(benchmark::State& state, const material& m, bool expect_found) {
    repair_result r;
    for (auto _ : state) {
        r = repair_search(m.frames, m.target);
        benchmark::DoNotOptimize(r);
    }
    if (r.found != expect_found) state.SkipWithError("unexpected outcome");
    state.counters["tried"] = static_cast<double>(r.tried);
    state.counters["bound_reached"] = r.bound_reached;
    state.counters["work"] = static_cast<double>(r.work);
}

size_t doubtful(const benchmark::State& state) { return static_cast<size_t>(state.range(0)); }

// A response file of 47,000 one-track records (about 1 MB, the most copyvote reads) against
// `doubtful` frames of 16 candidates each, as eight damaged copies give them; with CRC32 too when
// `crc`. Its values are looked up by value: the work is the candidates and the values, not their
// product.
material response(size_t doubtful, bool crc) {
    material m = make(doubtful, crc, false, {});
    std::mt19937 gen(9);
    for (repair_frame& f : m.frames) {
        while (f.words.size() < 16) f.words.push_back(static_cast<uint32_t>(gen()));
    }
    for (uint32_t k = 0; k < 47000; k++) m.target.ar_any.push_back(static_cast<uint32_t>(gen()));
    return m;
}

void BM_RepairOutOfReachCrc(benchmark::State& state) { run(state, make(doubtful(state), true, false, {}), false); }
void BM_RepairOutOfReachCrcV2(benchmark::State& state) { run(state, make(doubtful(state), true, true, {}), false); }
void BM_RepairThreeFramesCrcV2(benchmark::State& state) {
    run(state, make(doubtful(state), true, true, {5, 100, 150}), true);
}
void BM_RepairResponse47000(benchmark::State& state) { run(state, response(doubtful(state), false), false); }
void BM_RepairResponse47000Crc(benchmark::State& state) { run(state, response(doubtful(state), true), false); }

}  // namespace

// 10,000 frames is the size the search must answer within a second; 300 lets it reach larger
// combinations, whose hash tables no longer fit the caches.
BENCHMARK(BM_RepairOutOfReachCrc)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RepairOutOfReachCrcV2)->Arg(10000)->Arg(300)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RepairThreeFramesCrcV2)->Arg(10000)->Arg(300)->Unit(benchmark::kMillisecond);
// 262,144 frames: the most the run notes (131,072 disputed 8-byte words).
BENCHMARK(BM_RepairResponse47000)->Arg(10000)->Arg(262144)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RepairResponse47000Crc)->Arg(10000)->Arg(262144)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
