// The vote at disputed bytes, seen from outside: restored bytes, glyphs, hit scores, best marks.

#include <gtest/gtest.h>

#include "e2e_util.h"
#include "test_support.h"

using namespace e2e;
using testing_support::random_bytes;

namespace {

// Progress of inputs that fit in one block and have disputes: the block's dots, "<", the vote's
// glyphs and an empty line, then the empty block that ends the loop. Only for fewer than 39
// inputs, where two clean blocks never fill a line.
std::string one_disputed_block(size_t inputs, const std::string& votes) {
    return dots(inputs) + "<\n" + votes + "\n\n" + dots(inputs) + "|";
}

// `count` copies of `base` whose byte at `pos` takes the given values, one per copy.
std::vector<std::string> copies_with(const std::string& base, size_t pos, const std::vector<unsigned char>& values) {
    std::vector<std::string> copies;
    for (unsigned char v : values) copies.push_back(with_bytes(base, {{pos, v}}));
    return copies;
}

}  // namespace

TEST(ByteVote, FiveCopiesTakeTheLargestGroup) {
    const std::string base = random_bytes(100, 1);
    RestoreCase c;
    c.inputs = copies_with(base, 37, {7, 9, 7, 9, 9});
    c.glyphs = one_disputed_block(5, "#");
    c.hits = {1, 2, 1, 2, 2};
    c.output = with_bytes(base, {{37, 9}});
    c.disputed = 1;
    expect_restore(c);
}

TEST(ByteVote, FourCopiesInTwoEqualGroupsTakeInputZero) {
    const std::string base = random_bytes(100, 2);
    RestoreCase c;
    c.inputs = copies_with(base, 51, {7, 9, 7, 9});
    c.glyphs = one_disputed_block(4, "#");
    c.hits = {1, 1, 1, 1};
    c.output = with_bytes(base, {{51, 7}});
    c.disputed = 1;
    expect_restore(c);
}

TEST(ByteVote, CopiesSharingTheWordOfInputZeroAreCounted) {
    // Inputs 0 and 1 hold the same word; only input 2 differs.
    const std::string base = random_bytes(100, 3);
    RestoreCase c;
    c.inputs = copies_with(base, 0, {5, 5, 6});
    c.glyphs = one_disputed_block(3, "#");
    c.hits = {1, 1, 0};
    c.output = with_bytes(base, {{0, 5}});
    c.disputed = 1;
    expect_restore(c);
}

TEST(ByteVote, EqualGroupsTakeTheGroupWithTheLowestIndex) {
    // Groups {1, 4} and {2, 3} are equal; input 0 stands alone.
    const std::string base = random_bytes(100, 4);
    RestoreCase c;
    c.inputs = copies_with(base, 99, {8, 2, 1, 1, 2});
    c.glyphs = one_disputed_block(5, "#");
    c.hits = {0, 1, 1, 1, 1};
    c.output = with_bytes(base, {{99, 2}});
    c.disputed = 1;
    expect_restore(c);
}

TEST(ByteVote, NoAgreementTakesTheInputWithTheBestScoreSoFar) {
    // Two earlier disputes leave input 2 with the highest score; at byte 30 all copies differ.
    const std::string base = random_bytes(100, 5);
    const std::vector<std::vector<unsigned char>> values = {{4, 5, 1}, {6, 6, 2}, {6, 5, 3}};
    RestoreCase c;
    for (const auto& v : values) c.inputs.push_back(with_bytes(base, {{10, v[0]}, {20, v[1]}, {30, v[2]}}));
    c.glyphs = one_disputed_block(3, "##2.");
    c.hits = {1, 1, 2};
    c.output = with_bytes(base, {{10, 6}, {20, 5}, {30, 3}});
    c.disputed = 3;
    expect_restore(c);
}

TEST(ByteVote, AllCopiesDifferentFromTheStartTakeInputZeroUntilOneScores) {
    const std::string base = random_bytes(64, 6);
    const std::vector<std::vector<unsigned char>> values = {{1, 4, 7, 1}, {2, 5, 8, 2}, {3, 6, 8, 3}};
    RestoreCase c;
    for (const auto& v : values) c.inputs.push_back(with_bytes(base, {{0, v[0]}, {9, v[1]}, {17, v[2]}, {25, v[3]}}));
    c.glyphs = one_disputed_block(3, "0.0.#1.");
    c.hits = {0, 1, 1};
    c.output = with_bytes(base, {{0, 1}, {9, 4}, {17, 8}, {25, 2}});
    c.disputed = 4;
    expect_restore(c);
}

TEST(ByteVote, IndexGlyphOfAnInputAboveNinePrintsAllDigits) {
    // Twelve copies: inputs 10 and 11 agree at byte 0, inputs 9 and 11 at byte 8, none at byte 16.
    const std::string base = random_bytes(40, 7);
    RestoreCase c;
    for (size_t i = 0; i < 12; i++) {
        const unsigned char at0 = i >= 10 ? 99 : static_cast<unsigned char>(i + 1);
        const unsigned char at8 = static_cast<unsigned char>(i == 11 ? 59 : 50 + i);
        c.inputs.push_back(with_bytes(base, {{0, at0}, {8, at8}, {16, static_cast<unsigned char>(100 + i)}}));
    }
    c.glyphs = one_disputed_block(12, "##11.");
    c.hits = {0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 2};
    c.output = with_bytes(base, {{0, 99}, {8, 59}, {16, 111}});
    c.disputed = 3;
    expect_restore(c);
}

TEST(ByteVote, OnlyTheDisputedBytesOfAWordAreCountedAndOneMarkPerBlock) {
    // Word 40: byte 41 splits 5,5,6,6 and byte 43 is 1,1,1,2 (inputs 0 and 1 share the word);
    // word 80 of the same block: 3,4,4,4. Every other byte agrees.
    const std::string base = random_bytes(120, 8);
    const std::vector<std::vector<unsigned char>> values = {{5, 1, 3}, {5, 1, 4}, {6, 1, 4}, {6, 2, 4}};
    RestoreCase c;
    for (const auto& v : values) c.inputs.push_back(with_bytes(base, {{41, v[0]}, {43, v[1]}, {80, v[2]}}));
    c.glyphs = one_disputed_block(4, "###");
    c.hits = {3, 5, 5, 3};
    c.output = with_bytes(base, {{41, 5}, {43, 1}, {80, 4}});
    c.disputed = 3;
    expect_restore(c);
}

TEST(ByteVote, EqualCopiesMarkEveryInputBest) {
    const std::string base = random_bytes(1000, 9);
    RestoreCase c;
    c.inputs = {base, base, base};
    c.glyphs = "...|...|";
    c.hits = {0, 0, 0};
    c.output = base;
    expect_restore(c);
}
