// Runs that fail: files that do not open, an output that would destroy an input, a default
// output name that does not fit, and reads and writes that fail inside the block loop.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "e2e_util.h"
#include "test_support.h"

using namespace e2e;
using testing_support::file_exists;
using testing_support::random_bytes;
using testing_support::read_file;
using testing_support::ScopedTempDir;
using testing_support::write_file;

namespace {

// Standard output of a run refused before anything was opened: the clear-screen sequence and one
// error line, with `code` unless it is negative.
::testing::AssertionResult is_refusal(const std::string& out, int code = -1) {
    static const std::regex refusal_re("\x1b\\[H\x1b\\[J[^\n]+\n   \\^ERROR: ([0-9]+), [^\n]+\n\n");
    std::smatch m;
    if (!std::regex_match(out, m, refusal_re)) return ::testing::AssertionFailure() << "not one error line: " << out;
    if (code < 0) return ::testing::AssertionSuccess();
    const std::string tail = std::string("   ^ERROR: ") + std::to_string(code) + ", " + strerror(code) + "\n\n";
    if (out.size() < tail.size() || out.compare(out.size() - tail.size(), tail.size(), tail) != 0) {
        return ::testing::AssertionFailure() << "expected code " << code << " in: " << out;
    }
    return ::testing::AssertionSuccess();
}

}  // namespace

TEST(OpenFailures, AMissingSecondInputStopsTheListAfterTheOutputWasCreated) {
    ScopedTempDir dir;
    write_all(dir, {"1.wav", "3.wav"}, "some data");
    write_file(dir.file("out.wav"), "an earlier result");
    const RunResult r = run_copyvote({"1.wav", "2.wav", "3.wav"}, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out, CLEAR_SCREEN + open_error("2.wav", 2));
    EXPECT_EQ(r.err, status_line("out.wav") + status_line("1.wav") + status_line("2.wav", false));
    ASSERT_TRUE(file_exists(dir.file("out.wav")));
    EXPECT_EQ(read_file(dir.file("out.wav")), "");
}

TEST(OpenFailures, AMissingFirstInputWithANonAsciiNameIsReportedByteForByte) {
    ScopedTempDir dir;
    write_all(dir, {"2.wav", "3.wav"}, "some data");
    const std::string missing = "Tr\xe4" "ck 50%s.wav";
    const RunResult r = run_copyvote({missing, "2.wav", "3.wav"}, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out, CLEAR_SCREEN + open_error(missing, 2));
    EXPECT_EQ(r.err, status_line("out.wav") + "[          Tr\xe4" "ck 50%s.wav] FAIL\n");
}

TEST(OpenFailures, AnOutputThatCannotBeCreatedStillListsEveryInput) {
    ScopedTempDir dir;
    const std::vector<std::string> names = {"1.wav", "2.wav", "3.wav"};
    write_all(dir, names, "some data");
    RunResult r = run_copyvote({"-o", "nodir/out.wav", "1.wav", "2.wav", "3.wav"}, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out, CLEAR_SCREEN + open_error("nodir/out.wav", 2));
    EXPECT_EQ(r.err, status_line("nodir/out.wav", false) + status_line("1.wav") + status_line("2.wav") +
                         status_line("3.wav") + "\n");

    ASSERT_EQ(mkdir(dir.file("d").c_str(), 0755), 0);
    r = run_copyvote({"1.wav", "2.wav", "3.wav", "-o", "d"}, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out, CLEAR_SCREEN + open_error("d", 21));
    EXPECT_EQ(r.err, status_line("d", false) + status_line("1.wav") + status_line("2.wav") + status_line("3.wav") + "\n");
}

TEST(OpenFailures, AFailedOutputAndAFailedInputAreBothReported) {
    ScopedTempDir dir;
    write_all(dir, {"1.wav", "3.wav"}, "some data");
    const RunResult r = run_copyvote({"-o", "nodir/x", "1.wav", "2.wav", "3.wav"}, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out, CLEAR_SCREEN + open_error("nodir/x", 2) + open_error("2.wav", 2));
    EXPECT_EQ(r.err, status_line("nodir/x", false) + status_line("1.wav") + status_line("2.wav", false));
}

TEST(LoopFailures, AFailedWriteEndsTheRunWithTheReportAndAFailureStatus) {
    ScopedTempDir dir;
    const std::string data = random_bytes(100, 60);
    const std::vector<std::string> names = {"1.wav", "2.wav", "3.wav"};
    write_file(dir.file("1.wav"), data);
    write_file(dir.file("2.wav"), data);
    write_file(dir.file("3.wav"), with_bytes(data, {{50, static_cast<unsigned char>(data[50] ^ 0x10)}}));
    const RunResult r = run_copyvote({"-o", "/dev/full", "1.wav", "2.wav", "3.wav"}, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 255);
    // The block was voted in full, but no block glyph follows the failed write.
    EXPECT_EQ(r.err, status_lines("/dev/full", names) + "processing:\n...<\n#\n");
    EXPECT_TRUE(ends_with_statistics(
        r.out, CLEAR_SCREEN + error_line("h_out.write()", 28) + report(names, {1, 1, 0}), 1));
}

TEST(LoopFailures, AFailedReadEndsTheRunWithTheReportAndAFailureStatus) {
    // A directory opens for reading, but reading it fails.
    ScopedTempDir dir;
    const std::vector<std::string> names = {"1.wav", "d", "3.wav"};
    write_all(dir, {"1.wav", "3.wav"}, random_bytes(100, 61));
    ASSERT_EQ(mkdir(dir.file("d").c_str(), 0755), 0);
    const RunResult r = run_copyvote(names, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.err, status_lines("out.wav", names) + "processing:\n.|\n");
    EXPECT_TRUE(ends_with_statistics(
        r.out, CLEAR_SCREEN + error_line("h_files[i].read()", 21) + report(names, {0, 0, 0}), 0));
    EXPECT_EQ(read_file(dir.file("out.wav")), "");
}

class OutputIsAnInput : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(OutputIsAnInput, NothingIsOpenedAndTheInputKeepsItsBytes) {
    ScopedTempDir dir;
    const std::vector<std::string> files = {"1.wav", "2.wav", "3.wav", "out.wav"};
    for (size_t i = 0; i < files.size(); i++) write_file(dir.file(files[i]), random_bytes(1000, 62 + i));
    ASSERT_EQ(link(dir.file("3.wav").c_str(), dir.file("hard.wav").c_str()), 0);
    ASSERT_EQ(symlink("2.wav", dir.file("soft.wav").c_str()), 0);
    const RunResult r = run_copyvote(GetParam(), in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(is_refusal(r.out));
    for (size_t i = 0; i < files.size(); i++) {
        EXPECT_TRUE(read_file(dir.file(files[i])) == random_bytes(1000, 62 + i)) << files[i] << " was changed";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Spellings, OutputIsAnInput,
    ::testing::Values(std::vector<std::string>{"-o", "1.wav", "1.wav", "2.wav", "3.wav"},
                      std::vector<std::string>{"out.wav", "1.wav", "2.wav"},
                      std::vector<std::string>{"1.wav", "2.wav", "3.wav", "-o", "./2.wav"},
                      std::vector<std::string>{"-o", "hard.wav", "1.wav", "2.wav", "3.wav"},
                      std::vector<std::string>{"-o", "soft.wav", "1.wav", "2.wav", "3.wav"}));

TEST(OutputIsAnInputOnStandardInput, AnOutputThatIsTheFileOnStandardInputIsRefused) {
    ScopedTempDir dir;
    const std::string data = random_bytes(1000, 70);
    write_all(dir, {"in.wav", "2.wav", "3.wav"}, data);
    RunOptions options = in_dir(dir.path());
    options.stdin_file = dir.file("in.wav");
    const RunResult r = run_copyvote({"-o", "in.wav", "-", "2.wav", "3.wav"}, options);
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(is_refusal(r.out));
    EXPECT_TRUE(read_file(dir.file("in.wav")) == data);
}

namespace {

// A relative directory path of exactly `length` characters, '/' included, made of components
// shorter than 255 bytes, created under `dir`.
std::string make_deep_directory(const ScopedTempDir& dir, size_t length) {
    std::string path;
    while (path.size() < length) {
        const size_t left = length - path.size();
        const size_t component = left > 201 ? 200 : left - 1;
        path += std::string(component, static_cast<char>('a' + path.size() % 26)) + "/";
        if (mkdir(dir.file(path).c_str(), 0755) != 0) ADD_FAILURE() << "mkdir " << path;
    }
    return path;
}

}  // namespace

TEST(DefaultOutputName, ADirectoryTooLongForOutWavIsRefusedBeforeAnythingOpens) {
    ScopedTempDir dir;
    const std::string deep = make_deep_directory(dir, 1017);
    const std::string data = random_bytes(100, 71);
    write_all(dir, {deep + "1.wav", "2.wav", "3.wav"}, data);

    const RunResult r = run_copyvote({deep + "1.wav", "2.wav", "3.wav"}, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(is_refusal(r.out, 36));
    EXPECT_FALSE(file_exists(dir.file("out.wav")));
    EXPECT_FALSE(file_exists(dir.file(deep + "out.wav")));
    EXPECT_FALSE(file_exists(dir.file(deep + "out.wa")));
    EXPECT_FALSE(file_exists(dir.file(deep + "o")));

    // A named output needs no default name.
    const std::vector<std::string> names = {deep + "1.wav", "2.wav", "3.wav"};
    const RunResult named = run_copyvote({deep + "1.wav", "2.wav", "3.wav", "-o", "r.bin"}, in_dir(dir.path()));
    EXPECT_EQ(named.exit_code, 0);
    EXPECT_EQ(named.err, status_lines("r.bin", names) + "processing:\n...|...|\n");
    EXPECT_EQ(read_file(dir.file("r.bin")), data);
}

TEST(DefaultOutputName, ADirectoryThatLeavesRoomForOutWavIsUsed) {
    // 1016 characters of directory and out.wav make 1023, the longest name a row holds.
    ScopedTempDir dir;
    const std::string deep = make_deep_directory(dir, 1016);
    const std::string data = random_bytes(100, 72);
    const std::vector<std::string> names = {deep + "1.wav", "2.wav", "3.wav"};
    write_all(dir, names, data);

    const RunResult r = run_copyvote(names, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, status_lines(deep + "out.wav", names) + "processing:\n...|...|\n");
    EXPECT_TRUE(ends_with_statistics(r.out, CLEAR_SCREEN + report(names, {0, 0, 0}), 0));
    EXPECT_EQ(read_file(dir.file(deep + "out.wav")), data);
}
