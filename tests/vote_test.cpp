#include "vote/block_vote.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "reference_vote.h"
#include "test_support.h"

namespace {

// Bytes kept readable before and after every block, so that a test can plant values where a
// faulty vote would look (before offset 0, past the rounded-up block end).
const size_t GUARD = 8;
const size_t ROOM = 64;

std::vector<uint8_t> le16(const std::vector<uint16_t>& samples) {
    std::vector<uint8_t> bytes;
    for (uint16_t s : samples) {
        bytes.push_back(static_cast<uint8_t>(s & 0xFF));
        bytes.push_back(static_cast<uint8_t>(s >> 8));
    }
    return bytes;
}

// Input blocks and a glyph stream around the vote, driven the way the block loop drives it. Every
// block is voted by each way the engine can take (each scan method, and three inputs with and
// without whole-word decisions); all must agree, and the automatic one is what the test sees.
class VoteRig {
  public:
    VoteRig(size_t count, bool sample_mode) : inputs_(count, std::vector<uint8_t>(GUARD + ROOM + GUARD, 0)) {
        for (std::vector<uint8_t>& block : inputs_) pointers_.push_back(block.data() + GUARD);
        std::vector<scan_method> methods = {scan_method::automatic, scan_method::lists, scan_method::direct};
        if (count <= word_scan::MASK_INPUTS) methods.push_back(scan_method::masks);
        for (scan_method m : methods) {
            for (bool three_by_words : {true, false}) {
                if (!three_by_words && (count != 3 || sample_mode)) continue;
                ways_.emplace_back(new Way(inputs_[0], pointers_, sample_mode, m));
                ways_.back()->v->three_by_words = three_by_words;
            }
        }
    }

    void bytes(size_t input, const std::vector<uint8_t>& data, size_t at = 0) {
        for (size_t i = 0; i < data.size(); i++) pointers_[input][at + i] = data[i];
    }
    void samples(size_t input, const std::vector<uint16_t>& data, size_t at = 0) {
        bytes(input, le16(data), at);
    }
    // The sample just before offset 0 of the block.
    void before(size_t input, uint16_t sample) {
        pointers_[input][-2] = static_cast<uint8_t>(sample & 0xFF);
        pointers_[input][-1] = static_cast<uint8_t>(sample >> 8);
    }

    // Votes one block and returns the glyphs it printed.
    std::string vote(uint64_t block_len) {
        for (std::unique_ptr<Way>& way : ways_) way->vote(inputs_[0], block_len);
        for (size_t k = 1; k < ways_.size(); k++) {
            EXPECT_EQ(ways_[0]->glyphs, ways_[k]->glyphs) << "way " << k;
            EXPECT_EQ(ways_[0]->disputed, ways_[k]->disputed) << "way " << k;
            EXPECT_EQ(ways_[0]->block0, ways_[k]->block0) << "way " << k;
            EXPECT_EQ(ways_[0]->totals(), ways_[k]->totals()) << "way " << k;
            EXPECT_EQ(ways_[0]->v->tally.disputed_bytes, ways_[k]->v->tally.disputed_bytes) << "way " << k;
        }
        return ways_[0]->glyphs;
    }

    bool clean() const { return !ways_[0]->disputed; }
    uint64_t disputed_bytes() const { return ways_[0]->v->tally.disputed_bytes; }
    uint8_t out_byte(size_t q) const { return ways_[0]->block0[GUARD + q]; }
    uint16_t out_sample(size_t p) const {
        return static_cast<uint16_t>(out_byte(p) | (out_byte(p + 1) << 8));
    }
    std::vector<uint16_t> out_samples(size_t n) const {
        std::vector<uint16_t> all;
        for (size_t i = 0; i < n; i++) all.push_back(out_sample(2 * i));
        return all;
    }
    std::vector<uint64_t> totals() const { return ways_[0]->totals(); }
    void set_totals(const std::vector<uint64_t>& totals) {
        for (std::unique_ptr<Way>& way : ways_) {
            for (size_t i = 0; i < totals.size(); i++) way->v->tally.total_hits[i] = totals[i];
        }
    }

  private:
    // One way through the vote: its own state, and its own copy of input 0's block, which the
    // vote overwrites with the voted bytes.
    struct Way {
        std::unique_ptr<block_vote> v;
        std::vector<uint8_t> block0;
        std::vector<uint8_t*> pointers;
        FILE* file;
        std::unique_ptr<glyph_writer> writer;
        std::string glyphs;
        bool disputed = false;
        size_t seen = 0;

        Way(const std::vector<uint8_t>& input0, const std::vector<uint8_t*>& in, bool sample_mode, scan_method m)
            : v(new block_vote), block0(input0), pointers(in), file(tmpfile()), writer(new glyph_writer(file)) {
            pointers[0] = block0.data() + GUARD;
            v->start(in.size(), pointers.data(), sample_mode, writer.get(), m);
        }
        ~Way() {
            writer.reset();
            fclose(file);
        }
        void vote(const std::vector<uint8_t>& input0, uint64_t block_len) {
            block0 = input0;
            disputed = v->vote(block_len);
            writer->flush();
            std::string all(static_cast<size_t>(ftell(file)), '\0');
            rewind(file);
            EXPECT_EQ(all.size(), fread(&all[0], 1, all.size(), file));
            glyphs = all.substr(seen);
            seen = all.size();
        }
        std::vector<uint64_t> totals() const {
            return std::vector<uint64_t>(v->tally.total_hits, v->tally.total_hits + v->tally.count);
        }
    };

    std::vector<std::vector<uint8_t>> inputs_;
    std::vector<uint8_t*> pointers_;
    std::vector<std::unique_ptr<Way>> ways_;
};

typedef std::vector<uint64_t> Hits;
typedef std::vector<uint16_t> Samples;

// Three inputs that agree on every sample but p = 2, where input 0 holds `s` between `prev` and
// `next` and inputs 1 and 2 hold two other values that are never corrected. Returns whether
// input 0 was passed over: its " " is the first glyph after "<\n".
bool screened(uint16_t prev, uint16_t s, uint16_t next) {
    VoteRig rig(3, true);
    const uint16_t mean = static_cast<uint16_t>((uint32_t(prev) + next) / 2);
    rig.samples(0, {prev, s, next, 0});
    rig.samples(1, {prev, static_cast<uint16_t>(mean + 20000), next, 0});
    rig.samples(2, {prev, static_cast<uint16_t>(mean + 40000), next, 0});
    const std::string glyphs = rig.vote(16);
    EXPECT_EQ("<\n", glyphs.substr(0, 2));
    return glyphs.size() > 2 && glyphs[2] == ' ';
}

}  // namespace

// ---- sample vote ----

TEST(SampleVoteTest, CorrectedCopiesAtAnAgreedPositionPrintButCountNothing) {
    // At the start of a run: the second sample is corrected in inputs 0 and 1 although all agree,
    // the fourth differs in all three copies and falls to input 0 as no one has scored yet.
    VoteRig rig(3, true);
    for (uint16_t k = 0; k < 3; k++) rig.samples(k, {100, 102, 104, static_cast<uint16_t>(k + 1)});
    EXPECT_EQ("<\n  0.", rig.vote(16));
    EXPECT_EQ((Samples{100, 102, 104, 1, 0, 0, 0, 0}), rig.out_samples(8));
    EXPECT_EQ(2u, rig.disputed_bytes());
    EXPECT_EQ((Hits{0, 0, 0}), rig.totals());
}

TEST(SampleVoteTest, PassedOverCopyLeavesTheRestUnanimousAndUncounted) {
    VoteRig rig(3, true);
    rig.samples(0, {100, 102, 104, 0});
    rig.samples(1, {100, 500, 104, 0});
    rig.samples(2, {100, 500, 104, 0});
    EXPECT_EQ("<\n ", rig.vote(16));
    EXPECT_EQ(500, rig.out_sample(2));
    EXPECT_EQ(0u, rig.disputed_bytes());
    EXPECT_EQ((Hits{0, 0, 0}), rig.totals());
}

TEST(SampleVoteTest, DisputeAfterPassOverTakesTheBestScoredInput) {
    VoteRig rig(3, true);
    rig.samples(0, {100, 102, 104, 0});
    rig.samples(1, {100, 500, 104, 0});
    rig.samples(2, {100, 501, 104, 0});
    rig.set_totals({0, 4, 9});
    EXPECT_EQ("<\n 2.", rig.vote(16));
    EXPECT_EQ(501, rig.out_sample(2));
    EXPECT_EQ(2u, rig.disputed_bytes());
    EXPECT_EQ((Hits{0, 4, 9}), rig.totals());

    // Equal scores: the lowest index wins, and a passed-over copy is not excluded from that choice.
    rig.set_totals({7, 7, 7});
    EXPECT_EQ("<\n 0.", rig.vote(16));
    EXPECT_EQ(102, rig.out_sample(2));
    EXPECT_EQ(4u, rig.disputed_bytes());
}

TEST(SampleVoteTest, CorrectedWindowIsTheFloorMeanPlusOrMinusOne) {
    struct Case {
        uint16_t prev, s, next;
        bool corrected;
    };
    const Case cases[] = {
        // Mean 101 (101.5 rounded down).
        {100, 99, 103, false},
        {100, 100, 103, true},
        {100, 101, 103, true},
        {100, 102, 103, true},
        {100, 103, 103, false},
        // Mean 102: two away on either side is not corrected.
        {100, 100, 104, false},
        {100, 101, 104, true},
        {100, 103, 104, true},
        {100, 104, 104, false},
        // Unsigned reading: 0 and 65535 average to 32767, not to 0 or -1.
        {0, 32765, 65535, false},
        {0, 32766, 65535, true},
        {0, 32767, 65535, true},
        {0, 32768, 65535, true},
        {0, 32769, 65535, false},
        {0, 0, 65535, false},
        {0, 1, 65535, false},
        {65534, 65535, 0, false},
        // The sum needs 17 bits: 65535 + 65533 averages to 65534.
        {65535, 65533, 65533, true},
        {65535, 65535, 65533, true},
        {65535, 65532, 65533, false},
        {65535, 32766, 65533, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.corrected, screened(c.prev, c.s, c.next)) << c.prev << " " << c.s << " " << c.next;
    }
}

TEST(SampleVoteTest, NeighboursMayLieInTheAdjacentWords) {
    // The first sample of the word at 8 takes its previous neighbour from the word at 0.
    VoteRig first(3, true);
    const Samples agreed = {7, 3000, 9, 100};
    for (size_t k = 0; k < 3; k++) first.samples(k, agreed);
    first.samples(0, {102, 104, 0, 0}, 8);
    first.samples(1, {500, 104, 0, 0}, 8);
    first.samples(2, {501, 104, 0, 0}, 8);
    first.set_totals({0, 1, 0});
    EXPECT_EQ("<\n 1.", first.vote(16));
    EXPECT_EQ(500, first.out_sample(8));
    EXPECT_EQ((Samples{7, 3000, 9, 100}), first.out_samples(4));

    // The last sample of the word at 0 takes its next neighbour from the word at 8.
    VoteRig last(3, true);
    last.samples(0, {1, 7000, 100, 102, 104});
    last.samples(1, {1, 7000, 100, 500, 104});
    last.samples(2, {1, 7000, 100, 501, 104});
    last.set_totals({0, 0, 1});
    EXPECT_EQ("<\n 2.", last.vote(16));
    EXPECT_EQ(501, last.out_sample(6));
}

TEST(SampleVoteTest, FirstSampleOfABlockIsNeverTested) {
    // Input 0's 600 lies exactly between the 200 planted before the block and its next neighbour.
    VoteRig rig(3, true);
    rig.before(0, 200);
    rig.samples(0, {600, 1000, 3, 7000});
    rig.samples(1, {9, 1000, 3, 7000});
    rig.samples(2, {9, 1000, 3, 7000});
    EXPECT_EQ("<\n#", rig.vote(16));
    EXPECT_EQ(9, rig.out_sample(0));
    EXPECT_EQ((Hits{0, 1, 1}), rig.totals());
}

TEST(SampleVoteTest, SampleWhoseNextNeighbourStartsPastTheBlockIsNeverTested) {
    // Even block_len 16: the last sample (p = 14) has its next neighbour past the block.
    VoteRig even(3, true);
    for (size_t k = 0; k < 3; k++) even.samples(k, {0, 0, 0, 0, 0, 5000, 100, 500, 104});
    even.samples(0, {102}, 14);
    EXPECT_EQ("<\n#", even.vote(16));
    EXPECT_EQ(500, even.out_sample(14));
    EXPECT_EQ((Hits{0, 1, 1}), even.totals());

    // block_len 14: p = 12 is the last sample inside the block and is not tested either, although its
    // neighbour at 14 lies inside the rounded-up word.
    VoteRig short_even(3, true);
    for (size_t k = 0; k < 3; k++) short_even.samples(k, {0, 0, 0, 0, 0, 100, 500, 104});
    short_even.samples(0, {102}, 12);
    EXPECT_EQ("<\n#", short_even.vote(14));
    EXPECT_EQ(500, short_even.out_sample(12));
}

TEST(SampleVoteTest, OddBlockTestsTheSampleBeforeTheLastWithTheZeroFilledByte) {
    // block_len 15: p = 12 is tested (14 < 15); its next neighbour is byte 14 with the zero byte 15
    // that the zero fill left past the end of the block.
    VoteRig rig(3, true);
    for (size_t k = 0; k < 3; k++) rig.samples(k, {0, 0, 0, 0, 0, 100, 500, 104});
    rig.samples(0, {102}, 12);
    EXPECT_EQ("<\n ", rig.vote(15));
    EXPECT_EQ(500, rig.out_sample(12));
    EXPECT_EQ(0u, rig.disputed_bytes());

    // A nonzero high byte there makes the neighbour 104 + 256: the mean moves away from 102.
    rig.bytes(0, {1}, 15);
    EXPECT_EQ("<\n##", rig.vote(15));
}

TEST(SampleVoteTest, BlockOfFourBytesOrLessTestsNothing) {
    for (uint64_t block_len = 1; block_len <= 4; block_len++) {
        VoteRig rig(3, true);
        rig.samples(0, {5, 6, 7});
        rig.samples(1, {5, 9, 7});
        rig.samples(2, {5, 9, 7});
        EXPECT_EQ("<\n#", rig.vote(block_len)) << block_len;
        EXPECT_EQ(9, rig.out_sample(2));
    }
    // From 5 bytes on, the sample at 2 has a next neighbour that begins inside the block.
    VoteRig rig(3, true);
    rig.samples(0, {5, 6, 7});
    rig.samples(1, {5, 9, 7});
    rig.samples(2, {5, 9, 7});
    EXPECT_EQ("<\n ", rig.vote(5));
}

TEST(SampleVoteTest, EveryTestedInputCorrectedWritesInputCountMinusTwo) {
    VoteRig rig(4, true);
    rig.samples(0, {100, 101, 104});
    rig.samples(1, {100, 102, 104});
    rig.samples(2, {100, 103, 104});
    rig.samples(3, {100, 500, 104});
    EXPECT_EQ("<\n   ", rig.vote(16));
    EXPECT_EQ(103, rig.out_sample(2));
    EXPECT_EQ(0u, rig.disputed_bytes());
    EXPECT_EQ((Hits{0, 0, 0, 0}), rig.totals());
}

TEST(SampleVoteTest, LastInputIsNeverTested) {
    VoteRig rig(3, true);
    rig.samples(0, {100, 50, 104});
    rig.samples(1, {100, 60, 104});
    rig.samples(2, {100, 102, 104});
    EXPECT_EQ("<\n0.", rig.vote(16));
    EXPECT_EQ(50, rig.out_sample(2));
}

TEST(SampleVoteTest, InputsBeforePrefixLastReceiveItsCount) {
    // Inputs 0 and 1 share their word (prefix_last 1), input 2 differs at p = 4.
    VoteRig rig(4, true);
    rig.samples(0, {1000, 7, 3000, 0});
    rig.samples(1, {1000, 7, 3000, 0});
    rig.samples(2, {1000, 7, 3001, 0});
    rig.samples(3, {1000, 9, 3000, 0});
    EXPECT_EQ("<\n##", rig.vote(16));
    EXPECT_EQ((Samples{1000, 7, 3000, 0}), rig.out_samples(4));
    EXPECT_EQ((Hits{4, 4, 2, 2}), rig.totals());
    EXPECT_EQ(4u, rig.disputed_bytes());
}

TEST(SampleVoteTest, PassedOverPrefixLastKeepsItsSeed) {
    // Inputs 0 and 1 share a word whose 102 is corrected: input 1 is passed over, and the seed 1
    // still credits both, so their shared value wins over the two unmatched copies.
    VoteRig rig(4, true);
    rig.samples(0, {100, 102, 104});
    rig.samples(1, {100, 102, 104});
    rig.samples(2, {100, 500, 104});
    rig.samples(3, {100, 501, 104});
    EXPECT_EQ("<\n #", rig.vote(16));
    EXPECT_EQ(102, rig.out_sample(2));
    EXPECT_EQ((Hits{1, 1, 0, 0}), rig.totals());
    EXPECT_EQ(2u, rig.disputed_bytes());
}

TEST(SampleVoteTest, PassedOverCopyIsStillMatchedInAnEarlierPass) {
    // Input 1's 500 lies between 896 and 104 (corrected); input 0's pass still counts it.
    VoteRig rig(4, true);
    rig.samples(0, {100, 500, 104});
    rig.samples(1, {896, 500, 104});
    rig.samples(2, {100, 600, 104});
    rig.samples(3, {100, 700, 104});
    EXPECT_EQ("<\n# #", rig.vote(16));
    EXPECT_EQ((Samples{100, 500, 104}), rig.out_samples(3));
    EXPECT_EQ((Hits{3, 1, 2, 2}), rig.totals());
}

TEST(SampleVoteTest, PassedOverCopyAddsNothingToLaterCopies) {
    // Input 1's 600 lies between 1096 and 104: it makes no pass, so input 2's 600 stays unmatched.
    VoteRig rig(4, true);
    rig.samples(0, {100, 500, 104});
    rig.samples(1, {1096, 600, 104});
    rig.samples(2, {100, 600, 104});
    rig.samples(3, {100, 700, 104});
    EXPECT_EQ("<\n# 0.", rig.vote(16));
    EXPECT_EQ(500, rig.out_sample(2));
    EXPECT_EQ((Hits{2, 0, 2, 2}), rig.totals());
}

TEST(SampleVoteTest, DisputedSampleCountsTwoBytesAndOneHit) {
    // Only the low byte of the sample differs: the byte vote counts 1 byte, the sample vote 2.
    for (bool sample_mode : {false, true}) {
        VoteRig rig(3, sample_mode);
        rig.samples(0, {9000, 0x1234});
        rig.samples(1, {9000, 0x1234});
        rig.samples(2, {9000, 0x1235});
        EXPECT_EQ("<\n#", rig.vote(8));
        EXPECT_EQ(0x1234, rig.out_sample(2));
        EXPECT_EQ(sample_mode ? 2u : 1u, rig.disputed_bytes());
        EXPECT_EQ((Hits{1, 1, 0}), rig.totals());
    }
}

// ---- byte vote ----

TEST(ByteVoteTest, LargestGroupWinsAndEveryMemberIsCredited) {
    struct Case {
        std::vector<uint8_t> bytes;
        uint8_t out;
        Hits hits;
    };
    const Case cases[] = {
        {{7, 9, 7, 9, 9}, 9, {1, 2, 1, 2, 2}},
        {{7, 9, 7, 9}, 7, {1, 1, 1, 1}},
        {{5, 5, 6}, 5, {1, 1, 0}},  // inputs 0 and 1 share the word: prefix_last 1
        {{4, 4, 4, 8, 4, 8}, 4, {3, 3, 3, 1, 3, 1}},
        {{6, 6, 6, 3, 3, 3}, 6, {2, 2, 2, 2, 2, 2}},
    };
    for (const Case& c : cases) {
        VoteRig rig(c.bytes.size(), false);
        for (size_t i = 0; i < c.bytes.size(); i++)
            rig.bytes(i, {0x40, 0x41, 0x42, c.bytes[i], 0x44, 0x45, 0x46, 0x47});
        EXPECT_EQ("<\n#", rig.vote(8));
        EXPECT_EQ((std::vector<uint8_t>{0x40, 0x41, 0x42, c.out, 0x44, 0x45, 0x46, 0x47}),
                  (std::vector<uint8_t>{rig.out_byte(0), rig.out_byte(1), rig.out_byte(2), rig.out_byte(3),
                                        rig.out_byte(4), rig.out_byte(5), rig.out_byte(6), rig.out_byte(7)}));
        EXPECT_EQ(c.hits, rig.totals());
        EXPECT_EQ(1u, rig.disputed_bytes());
    }
}

TEST(ByteVoteTest, NoAgreementTakesTheBestScoredInput) {
    VoteRig rig(3, false);
    rig.bytes(0, {1});
    rig.bytes(1, {2});
    rig.bytes(2, {3});
    rig.set_totals({2, 6, 6});
    EXPECT_EQ("<\n1.", rig.vote(8));
    EXPECT_EQ(2, rig.out_byte(0));
    EXPECT_EQ((Hits{2, 6, 6}), rig.totals());
    EXPECT_EQ(1u, rig.disputed_bytes());
}

TEST(ByteVoteTest, NoScoreYetTakesInputZeroUntilSomeoneScores) {
    // Byte 1 and 2: all differ, nothing scored, "0."; byte 4 gives inputs 1 and 2 a hit; byte 6
    // then goes to input 1, the lowest of the two best scores, including the hits of this word.
    VoteRig rig(3, false);
    rig.bytes(0, {0, 1, 1, 0, 5, 0, 7});
    rig.bytes(1, {0, 2, 2, 0, 6, 0, 8});
    rig.bytes(2, {0, 3, 3, 0, 6, 0, 9});
    EXPECT_EQ("<\n0.0.#1.", rig.vote(8));
    EXPECT_EQ((std::vector<uint8_t>{1, 1, 6, 8}),
              (std::vector<uint8_t>{rig.out_byte(1), rig.out_byte(2), rig.out_byte(4), rig.out_byte(6)}));
    EXPECT_EQ((Hits{0, 1, 1}), rig.totals());
    EXPECT_EQ(4u, rig.disputed_bytes());
}

TEST(ByteVoteTest, TwoInputsNeverScore) {
    VoteRig rig(2, false);
    rig.bytes(0, {1, 2, 3});
    rig.bytes(1, {1, 5, 6});
    rig.set_totals({0, 0});
    EXPECT_EQ("<\n0.0.", rig.vote(8));
    EXPECT_EQ(2, rig.out_byte(1));
    EXPECT_EQ(3, rig.out_byte(2));
    EXPECT_EQ((Hits{0, 0}), rig.totals());
}

TEST(ByteVoteTest, BytesPastAnOddBlockEndAreVotedAndCounted) {
    // block_len 13: input 2 delivered more and holds its own bytes at 13 to 15.
    VoteRig rig(3, false);
    const std::string data = testing_support::random_bytes(13, 5);
    for (size_t k = 0; k < 3; k++) rig.bytes(k, std::vector<uint8_t>(data.begin(), data.end()));
    rig.bytes(2, {1, 2, 3}, 13);
    EXPECT_EQ("<\n###", rig.vote(13));
    EXPECT_EQ(3u, rig.disputed_bytes());
    EXPECT_EQ((Hits{3, 3, 0}), rig.totals());
    for (size_t q = 0; q < 16; q++) EXPECT_EQ(q < 13 ? uint8_t(data[q]) : 0, rig.out_byte(q)) << q;
}

// ---- word scan, both modes ----

TEST(WordScanTest, BlockStartsOneLineAtItsFirstDisputedWord) {
    for (bool sample_mode : {false, true}) {
        VoteRig rig(3, sample_mode);
        const std::string data = testing_support::random_bytes(ROOM, 11);
        for (size_t k = 0; k < 3; k++) rig.bytes(k, std::vector<uint8_t>(data.begin(), data.end()));

        // A clean block prints nothing and leaves the result in input 0's block.
        EXPECT_EQ("", rig.vote(ROOM));
        EXPECT_TRUE(rig.clean());

        // Disputes in the words at 8 and 40: one "<\n" for the block, and every agreeing word copied.
        rig.bytes(2, {uint8_t(data[8] ^ 0x80), uint8_t(data[9] ^ 0x80)}, 8);
        rig.bytes(1, {uint8_t(data[46] ^ 0x80), uint8_t(data[47] ^ 0x80)}, 46);
        const std::string line = sample_mode ? "<\n##" : "<\n####";
        EXPECT_EQ(line, rig.vote(ROOM));
        EXPECT_FALSE(rig.clean());
        for (size_t q = 0; q < ROOM; q++) EXPECT_EQ(uint8_t(data[q]), rig.out_byte(q)) << q;
        EXPECT_EQ(sample_mode ? (Hits{2, 1, 1}) : (Hits{4, 2, 2}), rig.totals());

        // The next block starts its own line again.
        EXPECT_EQ(line, rig.vote(ROOM));
    }
}

// Blocks of several stretches of the lists (512 words each) come out as the rules make them, by
// every way: output, glyphs, hits and disputed bytes, over blocks that end inside a word, with
// rare and dense damage, samples on a ramp (every sample looks corrected) or random, and copies
// absent over stretches at the start, the middle and the end of a block (input 0 among them or not),
// or over dozens of stretches each (every one kept exactly; fill_absent names the bytes nobody holds).
TEST(LongBlockVoteTest, EveryWayFollowsTheRules) {
    struct Case {
        size_t count;
        bool samples;
        bool ramp;
        unsigned damage;  // of 256 bytes of each copy, about this many changed
        bool absent = false;
        bool first_absent = false;  // input 0 lacks stretches too
        size_t stretches = 0;       // 0: up to three; else this many short ones per input
    };
    // Damage 200 fills more than the glyph writer's buffer in one block of 70001 bytes.
    const Case cases[] = {{3, false, false, 2}, {3, false, false, 60}, {3, false, false, 200},
                          {9, false, false, 8}, {20, false, false, 30}, {3, true, true, 4},
                          {5, true, false, 6},  {12, true, true, 10},   {3, false, false, 60, true},
                          {5, false, false, 200, true}, {9, false, false, 8, true}, {20, false, false, 30, true},
                          {5, true, false, 6, true},    {12, true, true, 10, true},
                          {3, false, false, 60, true, true}, {5, false, false, 200, true, true},
                          {3, true, false, 6, true, true},   {5, true, true, 10, true, true},
                          {9, false, false, 8, true, true},  {3, false, false, 60, true, true, 40},
                          {5, true, false, 6, true, true, 25}};
    const uint64_t lengths[] = {9001, 4096, 700, 70001, 12290};
    std::mt19937_64 rng(7);
    for (const Case& c : cases) {
        std::vector<scan_method> methods = {scan_method::automatic, scan_method::lists, scan_method::direct};
        if (c.count <= word_scan::MASK_INPUTS) methods.push_back(scan_method::masks);
        for (scan_method m : methods) {
            const std::string what = std::to_string(c.count) + (c.samples ? " samples" : " bytes") + ", method " +
                                     std::to_string(static_cast<int>(m));
            std::unique_ptr<block_vote> v(new block_vote);
            FILE* file = tmpfile();
            std::unique_ptr<glyph_writer> writer(new glyph_writer(file));
            std::vector<std::vector<uint8_t>> blocks(c.count);
            std::vector<uint8_t*> in(c.count);
            v->start(c.count, in.data(), c.samples, writer.get(), m);
            std::unique_ptr<block_absence> absence(new block_absence());
            if (c.absent) v->absent = absence.get();
            reference_vote::tally ref(c.count);
            for (uint64_t len : lengths) {
                const size_t size = (len + 7) / 8 * 8;
                std::vector<uint8_t> base(size, 0);
                for (size_t q = 0; q < len; q++) base[q] = static_cast<uint8_t>(c.ramp ? (q % 2 ? q / 512 : q * 3) : rng());
                for (size_t i = 0; i < c.count; i++) {
                    blocks[i] = base;
                    for (size_t q = 0; q < len; q++) {
                        if (rng() % 256 < c.damage) blocks[i][q] = static_cast<uint8_t>(blocks[i][q] + 1 + rng() % 3);
                    }
                }
                std::vector<std::vector<uint8_t>> flags(c.count, std::vector<uint8_t>(size, 0));
                for (size_t i = c.first_absent ? 0 : 1; c.absent && i < c.count; i++) {
                    absence->clear(i);
                    if (c.stretches > 0) {
                        // Many short stretches in order, some touching each other.
                        std::vector<uint64_t> cut;
                        for (size_t r = 0; r < 2 * c.stretches; r++) cut.push_back(rng() % len);
                        std::sort(cut.begin(), cut.end());
                        for (size_t r = 0; r < c.stretches; r++) {
                            absence->add(i, cut[2 * r], cut[2 * r + 1]);
                            for (uint64_t q = cut[2 * r]; q < cut[2 * r + 1]; q++) flags[i][q] = 1;
                        }
                        continue;
                    }
                    // Up to three stretches in order: at the start, in the middle, to the end.
                    const uint64_t cuts[4] = {rng() % (len / 3), len / 3 + rng() % (len / 3),
                                              len / 3 + rng() % (len / 3), len - rng() % (len / 3)};
                    const uint64_t from[3] = {0, std::min(cuts[1], cuts[2]), cuts[3]};
                    const uint64_t to[3] = {cuts[0], std::max(cuts[1], cuts[2]), len};
                    for (size_t r = 0; r < 3; r++) {
                        if (rng() % 3 == 0) continue;
                        absence->add(i, from[r], to[r]);
                        for (uint64_t q = from[r]; q < to[r]; q++) flags[i][q] = 1;
                    }
                }
                for (size_t i = 0; i < c.count; i++) in[i] = blocks[i].data();
                std::vector<uint8_t> unheld(size, 0);
                if (c.absent) {
                    fill_absent(*absence, in.data(), c.count, len, [&](uint64_t lo, uint64_t hi) {
                        for (uint64_t q = lo; q < hi; q++) unheld[q]++;
                    });
                }
                const std::vector<std::vector<uint8_t>> read = blocks;  // the vote overwrites input 0's
                for (size_t i = 0; i < c.count; i++) in[i] = blocks[i].data();
                const bool disputed = v->vote(len);

                std::vector<const uint8_t*> originals;
                for (const std::vector<uint8_t>& r : read) originals.push_back(r.data());
                std::vector<uint8_t> want(size);
                std::vector<const uint8_t*> lacking;
                for (const std::vector<uint8_t>& f : flags) lacking.push_back(f.data());
                EXPECT_EQ(reference_vote::vote_block(ref, originals, len, c.samples, want.data(), &lacking), disputed)
                    << what;
                EXPECT_TRUE(memcmp(want.data(), blocks[0].data(), size) == 0) << what << ", length " << len;
                for (uint64_t q = 0; c.first_absent && q < len; q++) {
                    bool held = false;
                    for (size_t i = 0; i < c.count; i++) held = held || flags[i][q] == 0;
                    if (!held) {
                        EXPECT_EQ(0, blocks[0][q]) << what << ": nobody holds byte " << q;
                    }
                    EXPECT_EQ(held ? 0 : 1, unheld[q]) << what << ": byte " << q;
                }
            }
            writer->flush();
            std::string glyphs(static_cast<size_t>(ftell(file)), '\0');
            rewind(file);
            EXPECT_EQ(glyphs.size(), fread(&glyphs[0], 1, glyphs.size(), file));
            EXPECT_EQ(ref.glyphs, glyphs) << what;
            EXPECT_EQ(ref.disputed, v->tally.disputed_bytes) << what;
            EXPECT_EQ(ref.hits, std::vector<uint64_t>(v->tally.total_hits, v->tally.total_hits + c.count)) << what;
            writer.reset();
            fclose(file);
        }
    }
}
