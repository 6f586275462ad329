#include "run/dispute_map.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run/files.h"
#include "test_support.h"

namespace {

using testing_support::read_file;
using testing_support::ScopedTempDir;

const uint64_t MiB2 = 2 * 1024 * 1024;

// One disputed word: `differs[i]` marks the bytes where input i holds another value than the
// voted one, and `holders` copies hold the voted value at every byte.
struct word_spec {
    uint64_t offset;
    uint8_t disputed, guessed;
    std::vector<uint8_t> differs;
    uint16_t holders = 2;
    uint64_t valid = 8;
};

wav_header wav(uint16_t channels, uint32_t rate, uint64_t data_offset, uint64_t data_size) {
    return wav_header{true, 1, channels, rate, 0, static_cast<uint16_t>(2 * channels), 16, data_offset, data_size};
}

// The run lines and total line that the words make, with the statistics count `disputed`.
std::string map_of(const wav_header& layout, const std::vector<word_spec>& specs, uint64_t disputed,
                   const std::string& path) {
    dispute_map map;
    g_file file;
    EXPECT_EQ(open_emptied(file, path.c_str()), 0);
    EXPECT_EQ(map.open(file), 0);
    map.set_layout(layout);
    const uint64_t voted = 0x8877665544332211ull;
    for (const word_spec& s : specs) {
        std::vector<uint64_t> words(s.differs.size(), voted);
        for (size_t i = 0; i < words.size(); i++)
            for (int b = 0; b < 8; b++) words[i] ^= static_cast<uint64_t>(s.differs[i] >> b & 1) << (8 * b + 7);
        word_verdict v{s.offset, words.size(), words.data(), voted, s.disputed, s.guessed, {}, nullptr, s.valid};
        for (uint16_t& h : v.holders) h = s.holders;
        map.add(v);
    }
    map.finish(disputed);
    map.finish(disputed + 1);  // a second call writes nothing
    EXPECT_EQ(map.close(), 0u);
    return read_file(path);
}

TEST(DisputeMap, MergesDisputedBytesIntoRunsWithTheirColumns) {
    std::vector<uint8_t> many(300, 0);
    many[69] = 0x01;
    many[299] = 0x01;
    const struct {
        const char* name;
        wav_header layout;  // default: not WAV
        std::vector<word_spec> words;
        uint64_t disputed;
        std::string rows;
    } cases[] = {
        {"one byte; words with a clean word between", {}, {{0, 0x80, 0, {1 << 7, 0, 0}}, {16, 0x01, 0, {0, 0, 1}}}, 2,
         "7\t1\t0\t2\t0\t\t\n16\t1\t0\t2\t2\t\t\n# total\t2\t0\t2\n"},
        {"across words: guessed, weakest and lost of both", {},
         {{8, 0xC0, 0, {0x80, 0, 0}, 3}, {16, 0x07, 0x04, {0, 0, 0x02}, 1}}, 5,
         "14\t5\t1\t1\t0,2\t\t\n# total\t5\t1\t1\n"},
        {"a gap inside a word splits runs and their lost lists", {}, {{0, 0xC3, 0x80, {0x01, 0x80, 0}}}, 4,
         "0\t2\t0\t2\t0\t\t\n6\t2\t1\t2\t1\t\t\n# total\t4\t1\t2\n"},
        {"across a block boundary", {}, {{MiB2 - 8, 0xF0, 0, {0, 0x10, 0}}, {MiB2, 0x0F, 0, {0x08, 0, 0}}}, 8,
         "2097148\t8\t0\t2\t0,1\t\t\n# total\t8\t0\t1\n"},
        {"bytes past the end of the file join no run", {}, {{24, 0xFF, 0xFF, {0xFF, 0, 0}, 1, 3}}, 8,
         "24\t3\t3\t1\t0\t\t\n# total\t8\t3\t1\n"},
        {"a sample loses by either byte", {}, {{0, 0x0C, 0, {0, 0x08, 0}}}, 2, "2\t2\t0\t2\t1\t\t\n# total\t2\t0\t1\n"},
        {"inputs beyond 64, holders beyond 255", {}, {{0, 0x01, 0, many, 298}}, 1,
         "0\t1\t0\t298\t69,299\t\t\n# total\t1\t0\t1\n"},
        {"CD time past an hour, truncated", wav(2, 44100, 44, 1ull << 31),
         {{44 + 4 * (44100ull * 3725 + 1000), 0x01, 0, {1, 0, 0}}}, 1,
         "657094044\t1\t0\t2\t0\t62:05.022\t62:05:01\n# total\t1\t0\t1\n"},
        {"WAV header bytes and bytes past the data chunk have no time", wav(2, 44100, 44, 64),
         {{40, 0x01, 0, {1, 0, 0}}, {112, 0x01, 0, {1, 0, 0}}}, 2,
         "40\t1\t0\t2\t0\t\t\n112\t1\t0\t2\t0\t\t\n# total\t2\t0\t2\n"},
        {"other audio has time but no CD time; an unset data size reaches the end", wav(1, 48000, 100, 0xFFFFFFFFu),
         {{100 + 2 * 48000 * 61 + 2 * 47, 0x01, 0, {1, 0, 0}}}, 1,
         "5856194\t1\t0\t2\t0\t01:01.000\t\n# total\t1\t0\t1\n"},
    };
    ScopedTempDir dir;
    for (const auto& c : cases) EXPECT_EQ(map_of(c.layout, c.words, c.disputed, dir.file("map.tsv")), c.rows) << c.name;
}

TEST(DisputeMap, AFailedWriteIsReportedByClose) {
    dispute_map map;
    g_file file;
    ASSERT_EQ(open_emptied(file, "/dev/full"), 0);
    ASSERT_EQ(map.open(file), 0);
    map.finish(0);
    EXPECT_EQ(map.close(), static_cast<uint32_t>(ENOSPC));
}

}  // namespace
