// Copies so damaged that nearly every word of a block is disputed in every copy: the engine's
// bookkeeping of differing words overflows and the vote has to fall back to comparing the copies
// itself. The result must still be exactly what the rules give, which a direct count computes here.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "reference_vote.h"
#include "test_support.h"

namespace {

using testing_support::random_bytes;

const size_t BLOCK = 2 * 1024 * 1024;


void expect_like_reference(const std::vector<std::string>& copies) {
    const reference_vote::run_result ref = reference_vote::vote_run(copies, false);
    e2e::RestoreCase c;
    c.inputs = copies;
    c.glyphs = ref.progress.substr(strlen("processing:\n"), ref.progress.size() - strlen("processing:\n") - 1);
    c.hits.assign(ref.hits.begin(), ref.hits.end());
    c.output = ref.output;
    c.disputed = ref.disputed;
    e2e::expect_restore(c);
}

}  // namespace

// Twelve unrelated copies: every word of every copy differs from input 0's, in both full blocks and
// in the short last one.
TEST(HeavyDamage, UnrelatedCopiesVoteExactlyByTheRules) {
    std::vector<std::string> copies;
    for (uint64_t i = 0; i < 12; i++) copies.push_back(random_bytes(2 * BLOCK + 1001, 100 + i));
    expect_like_reference(copies);
}

// Ten copies of one original in which each byte is damaged with a probability of 40 %: most
// positions still have a majority, yet almost every word is disputed in most copies.
TEST(HeavyDamage, DenselyDamagedCopiesOfOneOriginal) {
    const std::string original = random_bytes(BLOCK + 4099, 7);
    std::vector<std::string> copies;
    for (uint64_t i = 0; i < 10; i++) {
        std::string copy = original;
        const std::string noise = random_bytes(copy.size() * 2, 500 + i);
        for (size_t q = 0; q < copy.size(); q++)
            if (static_cast<unsigned char>(noise[2 * q]) < 102) copy[q] = noise[2 * q + 1];
        copies.push_back(copy);
    }
    expect_like_reference(copies);
}
