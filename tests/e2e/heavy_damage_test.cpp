// Copies so damaged that nearly every word of a block is disputed in every copy: the engine's
// bookkeeping of differing words overflows and the vote has to fall back to comparing the copies
// itself. The result must still be exactly what the rules give, which a direct count computes here.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "test_support.h"

namespace {

using testing_support::random_bytes;

const size_t BLOCK = 2 * 1024 * 1024;

// What the byte vote makes of equally long copies, computed position by position.
struct ReferenceRun {
    std::vector<unsigned long long> hits;
    std::string glyphs;
    std::string output;
    unsigned long long disputed = 0;
};

unsigned char byte_at(const std::string& copy, size_t q) {
    return q < copy.size() ? static_cast<unsigned char>(copy[q]) : 0;  // zero fill past a short block
}

size_t best_scored(const std::vector<unsigned long long>& hits) {
    return static_cast<size_t>(std::max_element(hits.begin(), hits.end()) - hits.begin());
}

// One disputed byte: every copy scores the number of other copies holding its value.
void vote_position(const std::vector<std::string>& copies, size_t q, ReferenceRun& run, unsigned char* out) {
    const size_t n = copies.size();
    std::vector<unsigned long long> pos(n, 0);
    for (size_t i = 0; i < n; i++)
        for (size_t j = 0; j < n; j++)
            if (i != j && byte_at(copies[i], q) == byte_at(copies[j], q)) pos[i]++;
    size_t winner = 0;
    for (size_t i = 0; i < n; i++) {
        run.hits[i] += pos[i];
        if (pos[i] > pos[winner]) winner = i;
    }
    run.disputed++;
    if (pos[winner] == 0) {
        winner = best_scored(run.hits);
        run.glyphs += std::to_string(winner) + ".";
    } else {
        run.glyphs += "#";
    }
    *out = byte_at(copies[winner], q);
}

bool word_agrees(const std::vector<std::string>& copies, size_t w) {
    for (size_t i = 1; i < copies.size(); i++)
        for (size_t q = w; q < w + 8; q++)
            if (byte_at(copies[i], q) != byte_at(copies[0], q)) return false;
    return true;
}

bool byte_agrees(const std::vector<std::string>& copies, size_t q) {
    for (size_t i = 1; i < copies.size(); i++)
        if (byte_at(copies[i], q) != byte_at(copies[0], q)) return false;
    return true;
}

// Votes one block of `len` bytes starting at `start`; returns true when it had a disputed word.
bool vote_block(const std::vector<std::string>& copies, size_t start, size_t len, ReferenceRun& run) {
    std::vector<std::string> block;
    for (const std::string& c : copies) block.push_back(c.substr(start, len));
    std::string out((len + 7) / 8 * 8, '\0');
    bool disputed = false;
    for (size_t w = 0; w < out.size(); w += 8) {
        if (word_agrees(block, w)) {
            for (size_t q = w; q < w + 8; q++) out[q] = static_cast<char>(byte_at(block[0], q));
            continue;
        }
        if (!disputed) run.glyphs += "<\n";
        disputed = true;
        for (size_t q = w; q < w + 8; q++) {
            if (byte_agrees(block, q)) out[q] = static_cast<char>(byte_at(block[0], q));
            else vote_position(block, q, run, reinterpret_cast<unsigned char*>(&out[q]));
        }
    }
    run.output += out.substr(0, len);
    return disputed;
}

ReferenceRun reference_vote(const std::vector<std::string>& copies) {
    ReferenceRun run;
    run.hits.assign(copies.size(), 0);
    const size_t line_limit = 80 / (copies.size() + 1);
    size_t line_blocks = 0;
    const size_t length = copies[0].size();
    for (size_t start = 0, len = 0;; start += len) {
        len = std::min(BLOCK, length - start);
        run.glyphs += std::string(copies.size(), '.');
        if (len != 0 && vote_block(copies, start, len, run)) {
            run.glyphs += "\n\n";
            line_blocks = 0;
        } else {
            run.glyphs += "|";
            if (++line_blocks >= line_limit) {
                run.glyphs += "\n";
                line_blocks = 0;
            }
        }
        if (len == 0) break;
    }
    return run;
}

void expect_like_reference(const std::vector<std::string>& copies) {
    const ReferenceRun ref = reference_vote(copies);
    e2e::RestoreCase c;
    c.inputs = copies;
    c.glyphs = ref.glyphs;
    c.hits = ref.hits;
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
