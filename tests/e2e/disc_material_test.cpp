// The material of `make disc-eval` and `make examples` (scripts/disc_material.cpp): undamaged, its
// rips must be the pressed disc read at their stated offsets, and its response file must verify
// those tracks in a disc run (the maker's sums and ids agree with copyvote's) while its wrong one
// verifies none.

#include <gtest/gtest.h>

#include <string>

#include "e2e_util.h"
#include "test_support.h"

using namespace e2e;
using testing_support::read_file;
using testing_support::run_program;
using testing_support::ScopedTempDir;

namespace {

const size_t RATE = 44100;
const size_t LATE = 420;  // frames rip5's drive reads late

std::string audio_of(const std::string& wav) { return wav.substr(44); }

TEST(DiscMaterial, UndamagedRipsHoldTheDiscAtTheirOffsetsAndTheResponseFileVerifiesIt) {
    ScopedTempDir dir;
    testing_support::write_file(dir.file("src.wav"),
                                testing_support::wav_file(testing_support::synth_pcm(30 * RATE, RATE, 5)));
    const RunResult made = run_program({DISC_MATERIAL_BIN, "make", "--tracks", "3", "--seconds", "24",
                                        "--damage", "0", "--wav-rip", "5", "--offset", std::to_string(LATE),
                                        dir.file("disc"), dir.file("src.wav")});
    ASSERT_EQ(0, made.exit_code) << made.err;
    const std::string disc = dir.file("disc");

    // rip5 reads 420 frames late: each file holds its track from frame 420 on, then the next
    // track's first 420 frames; the last one zeros past the disc's end.
    std::string pressed;
    for (const char* t : {"01", "02", "03"}) pressed += audio_of(read_file(disc + "/original/" + t + ".wav"));
    pressed += std::string(4 * LATE, '\0');
    size_t at = 4 * LATE;
    for (const char* t : {"01", "02", "03"}) {
        const std::string late = audio_of(read_file(disc + "/rip5/track" + t + ".cdda.wav"));
        EXPECT_EQ(pressed.substr(at, late.size()), late) << "track " << t;
        EXPECT_EQ(audio_of(read_file(disc + "/original/" + t + ".wav")).size(), late.size()) << "track " << t;
        at += late.size();
    }

    // Without rip5 the rips are the disc itself: every track verifies, and no id warning.
    const std::vector<std::string> rips = {disc + "/rip1", disc + "/rip2", disc + "/rip3", disc + "/rip4"};
    std::vector<std::string> args = {"--disc"};
    args.insert(args.end(), rips.begin(), rips.end());
    args.insert(args.end(), {"-o", dir.file("out"), "--accuraterip", disc + "/resp.bin"});
    const RunResult right = run_copyvote(args);
    EXPECT_EQ(0, right.exit_code) << right.out << right.err;
    EXPECT_NE(std::string::npos, right.out.find("3 tracks: 3 verified\n")) << right.out;
    EXPECT_EQ(std::string::npos, right.err.find("warning")) << right.err;
    EXPECT_NE(std::string::npos, right.out.find("01 - ")) << "FLAC names by their tags";

    args.back() = disc + "/wrong.bin";
    const RunResult wrong = run_copyvote(args);
    EXPECT_EQ(1, wrong.exit_code) << wrong.out << wrong.err;
    EXPECT_NE(std::string::npos, wrong.out.find("3 tracks: 3 not verified")) << wrong.out;
}

}  // namespace
