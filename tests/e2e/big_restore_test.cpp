// Runs over several 2 MiB blocks: block lengths, the shortest input, partial last words, the
// line breaks of the progress line, standard input on a pipe, and a restore of damaged copies.

#include <gtest/gtest.h>

#include <random>
#include <set>

#include "e2e_util.h"
#include "test_support.h"

using namespace e2e;
using testing_support::random_bytes;
using testing_support::read_file;
using testing_support::ScopedTempDir;
using testing_support::write_file;

namespace {

const size_t MiB = 1024 * 1024;
const size_t BLOCK = 2 * MiB;

// Runs copyvote with `names` in `dir` and the default output, and checks a successful run.
void expect_run(const ScopedTempDir& dir, const std::vector<std::string>& names, const std::string& glyphs,
                const std::vector<unsigned long long>& hits, unsigned long long disputed, const std::string& output,
                const std::string& stdin_data = std::string()) {
    RunOptions options;
    options.cwd = dir.path();
    options.stdin_data = stdin_data;
    const RunResult r = run_copyvote(names, options);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, status_lines("out.wav", names) + "processing:\n" + glyphs + "\n");
    EXPECT_TRUE(ends_with_statistics(r.out, CLEAR_SCREEN + report(names, hits), disputed));
    const std::string restored = read_file(dir.file("out.wav"));
    EXPECT_EQ(restored.size(), output.size());
    EXPECT_TRUE(restored == output) << "restored bytes differ from the expected ones";
}

}  // namespace

TEST(Blocks, ThreeEqualFiveMiBInputsTakeFourBlocks) {
    const std::string data = random_bytes(5 * MiB, 20);
    RestoreCase c;
    c.inputs = {data, data, data};
    c.glyphs = "...|...|...|...|";
    c.hits = {0, 0, 0};
    c.output = data;
    expect_restore(c);
}

TEST(Blocks, TheShortestInputDecidesTheOutputLength) {
    // What the longer inputs hold past 2 500 000 bytes differs and is neither voted nor written.
    const std::string data = random_bytes(3000000, 21);
    RestoreCase c;
    c.inputs = {data, data.substr(0, 2500000), data.substr(0, 2500000) + random_bytes(500000, 22)};
    c.glyphs = "...|...|...|";
    c.hits = {0, 0, 0};
    c.output = data.substr(0, 2500000);
    expect_restore(c);
}

TEST(Blocks, AnEmptyInputGivesAnEmptyOutput) {
    const std::string data = random_bytes(5000, 23);
    RestoreCase c;
    c.inputs = {data, "", data};
    c.glyphs = "...|";
    c.hits = {0, 0, 0};
    c.output = "";
    expect_restore(c);
}

TEST(Blocks, BytesPastAShortBlockAreVotedButNotWritten) {
    // block_len 13: bytes 13 to 15 are zero in the two 13-byte inputs and hold the third input's
    // own data; they are disputed like byte 10, but only 13 bytes are written.
    const std::string base = random_bytes(13, 24);
    std::string longer = base + "\x11\x22\x33\x44\x55\x66\x77";
    longer[10] = static_cast<char>(base[10] ^ 0x5A);
    RestoreCase c;
    c.inputs = {base, base, longer};
    c.glyphs = "...<\n####\n\n...|";
    c.hits = {4, 4, 0};
    c.output = base;
    c.disputed = 4;
    expect_restore(c);
}

TEST(Blocks, BytesPastAShortBlockOfTheFirstInputLoseTheVote) {
    const std::string base = random_bytes(13, 25);
    RestoreCase c;
    c.inputs = {base + "\xAA\xBB\xCC", base, base};
    c.glyphs = "...<\n###\n\n...|";
    c.hits = {0, 3, 3};
    c.output = base;
    c.disputed = 3;
    expect_restore(c);
}

TEST(Blocks, AShortLastBlockDoesNotVoteWhatThePreviousBlockLeftInTheBuffers) {
    // The copies differ at bytes 13 to 15 of the first block; the second block has 13 bytes, so
    // those buffer positions must be zero in every input by then.
    const std::string data = random_bytes(BLOCK + 13, 26);
    std::string damaged = data;
    for (size_t p = 13; p < 16; p++) damaged[p] = static_cast<char>(data[p] ^ 0x0F);
    RestoreCase c;
    c.inputs = {data, data, damaged};
    c.glyphs = "...<\n###\n\n...|...|";
    c.hits = {3, 3, 0};
    c.output = data;
    c.disputed = 3;
    expect_restore(c);
}

TEST(ProgressLine, ThirtyNineInputsBreakTheLineAfterTwoCleanBlocks) {
    const std::string data = random_bytes(100, 27);
    RestoreCase c;
    c.inputs.assign(39, data);
    c.glyphs = dots(39) + "|" + dots(39) + "|\n";
    c.hits.assign(39, 0);
    c.output = data;
    expect_restore(c);
}

TEST(ProgressLine, FortyInputsEndTheLineAfterEveryCleanBlock) {
    const std::string data = random_bytes(100, 28);
    RestoreCase c;
    c.inputs.assign(40, data);
    c.glyphs = dots(40) + "|\n" + dots(40) + "|\n";
    c.hits.assign(40, 0);
    c.output = data;
    expect_restore(c);
}

TEST(ProgressLine, EightyInputsEndTheLineAfterEveryCleanBlock) {
    const std::string data = random_bytes(100, 29);
    RestoreCase c;
    c.inputs.assign(80, data);
    c.glyphs = dots(80) + "|\n" + dots(80) + "|\n";
    c.hits.assign(80, 0);
    c.output = data;
    expect_restore(c);
}

TEST(ProgressLine, ABlockWithDisputesStartsTheCountOfCleanBlocksAgain) {
    // 39 inputs (two clean blocks per line) over five blocks: clean, disputed, clean, clean
    // (its 100 bytes end the line), empty. One file is named 38 times, the damaged one once.
    ScopedTempDir dir;
    const std::string data = random_bytes(3 * BLOCK + 100, 30);
    std::string damaged = data;
    damaged[BLOCK + 777] = static_cast<char>(data[BLOCK + 777] ^ 0x01);
    write_file(dir.file("a.bin"), data);
    write_file(dir.file("b.bin"), damaged);
    std::vector<std::string> names(39, "a.bin");
    names[5] = "b.bin";
    std::vector<unsigned long long> hits(39, 37);
    hits[5] = 0;
    const std::string glyphs =
        dots(39) + "|" + dots(39) + "<\n#\n\n" + dots(39) + "|" + dots(39) + "|\n" + dots(39) + "|";
    expect_run(dir, names, glyphs, hits, 1, data);
}

TEST(StandardInput, APipedFirstInputIsReadInWholeBlocks) {
    // A pipe delivers at most 64 KiB per read; the copies must stay aligned all the same.
    ScopedTempDir dir;
    const std::string data = random_bytes(3 * MiB, 31);
    std::string damaged = data;
    damaged[2 * MiB + MiB / 2] = static_cast<char>(data[2 * MiB + MiB / 2] ^ 0x80);
    write_file(dir.file("a.bin"), damaged);
    write_file(dir.file("b.bin"), data);
    expect_run(dir, {"-", "a.bin", "b.bin"}, "...|...<\n#\n\n...|", {1, 0, 1}, 1, data, data);
}

TEST(StandardInput, APipedMiddleInputIsReadInWholeBlocks) {
    ScopedTempDir dir;
    const std::string data = random_bytes(3 * MiB + 5, 32);
    std::string damaged = data;
    damaged[3 * MiB] = static_cast<char>(data[3 * MiB] ^ 0x33);
    write_file(dir.file("a.bin"), data);
    write_file(dir.file("b.bin"), data);
    expect_run(dir, {"a.bin", "-", "b.bin"}, "...|...<\n#\n\n...|", {1, 0, 1}, 1, data, damaged);
}

namespace {

// Three copies of `data`, each with its own set of damaged positions (no position is damaged in
// two copies), and the progress text expected for them.
struct DamagedCopies {
    std::vector<std::string> copies;
    std::vector<unsigned long long> damage;  // damaged positions per copy
    std::string glyphs;
    unsigned long long total = 0;
};

DamagedCopies damage_copies(const std::string& data, const std::vector<size_t>& per_copy, uint64_t seed) {
    DamagedCopies d;
    std::mt19937_64 rng(seed);
    std::set<size_t> used;
    std::vector<size_t> per_block((data.size() + BLOCK - 1) / BLOCK, 0);
    for (size_t k = 0; k < per_copy.size(); k++) {
        std::string copy = data;
        size_t done = 0;
        while (done < per_copy[k]) {
            const size_t pos = static_cast<size_t>(rng() % data.size());
            if (!used.insert(pos).second) continue;
            copy[pos] = static_cast<char>(copy[pos] ^ static_cast<char>(1 + rng() % 255));
            per_block[pos / BLOCK]++;
            done++;
        }
        d.copies.push_back(copy);
        d.damage.push_back(per_copy[k]);
        d.total += per_copy[k];
    }
    for (size_t n : per_block) d.glyphs += n ? "...<\n" + std::string(n, '#') + "\n\n" : std::string("...|");
    // The inputs end inside the last block, so one more block of 0 bytes ends the loop.
    d.glyphs += "...|";
    return d;
}

}  // namespace

class DamagedRestore : public ::testing::TestWithParam<bool> {};

TEST_P(DamagedRestore, ThreeCopiesWithThousandsOfErrorsRestoreTheOriginal) {
    // Four blocks, the last one short. Every damaged position is outvoted by the two other copies,
    // so each input scores one hit for every damaged position of the other two.
    const std::string data = random_bytes(3 * BLOCK + 12345, 33);
    const DamagedCopies d = damage_copies(data, {2000, 3000, 2500}, 34);
    RestoreCase c;
    c.inputs = d.copies;
    c.glyphs = d.glyphs;
    for (unsigned long long own : d.damage) c.hits.push_back(d.total - own);
    c.output = data;
    c.disputed = d.total;
    if (GetParam()) c.extra_args = {"-b"};
    expect_restore(c);
}

INSTANTIATE_TEST_SUITE_P(CachedAndDirectReads, DamagedRestore, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Direct" : "Cached"; });
