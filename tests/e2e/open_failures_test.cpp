// Runs that fail: files that do not open, an output that would destroy an input, a default
// output name that does not fit, and reads and writes that fail inside the block loop.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

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

TEST(OpenFailures, AnExistingOutputKeepsItsBytesUntilEveryInputIsOpen) {
    // A typo in a name or in a switch (-x is a name); a new output is still created, empty.
    for (const std::string typo : {"2.wva", "-x"}) {
        ScopedTempDir dir;
        write_all(dir, {"1.wav", "2.wav", "3.wav"}, "data");
        write_file(dir.file("out.wav"), "an earlier, longer result");
        write_file(dir.file("m.tsv"), "an earlier map");
        RunResult r = run_copyvote({"1.wav", typo, "3.wav", "--map", "m.tsv"}, in_dir(dir.path()));
        EXPECT_EQ(r.exit_code, 255);
        EXPECT_EQ(r.out, CLEAR_SCREEN + open_error(typo, 2));
        EXPECT_EQ(r.err, status_line("out.wav") + status_line("1.wav") + status_line(typo, false));
        EXPECT_EQ(read_file(dir.file("out.wav")), "an earlier, longer result");
        EXPECT_EQ(read_file(dir.file("m.tsv")), "an earlier map");
        EXPECT_EQ(run_copyvote({"-o", "new", "1.wav", typo, "3.wav"}, in_dir(dir.path())).exit_code, 255);
        EXPECT_TRUE(file_exists(dir.file("new")) && read_file(dir.file("new")).empty());
        EXPECT_EQ(run_copyvote({"1.wav", "2.wav", "3.wav"}, in_dir(dir.path())).exit_code, 0);
        EXPECT_EQ(read_file(dir.file("out.wav")), "data");
    }
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

TEST(OutputIsAnInputByIdentity, AStreamAFifoOrAMissingNameIsJudgedByTheFileItLeadsTo) {
    struct Case {
        std::vector<std::string> args;
        std::string stdout_file;  // standard output appended to this file (and standard error, for log)
    };
    const Case cases[] = {
        {{"1.wav", "2.wav", "3.wav", "-o", "-"}, "1.wav"},
        {{"1.wav", "f.wav", "3.wav", "-o", "f.wav"}, ""},  // would hang, or eat a device's copy
        {{"1.wav", "2.wav", "rip3.wav", "-o", "rip3.wav"}, ""},
        {{"1.wav", "2.wav", "./rip3.wav", "-o", "link.wav"}, ""},  // a link to the missing input
        {{"1.wav", "2.wav", "3.wav", "-o", "-"}, "log"},
    };
    for (const Case& c : cases) {
        ScopedTempDir dir;
        for (int i = 1; i <= 3; i++) write_file(dir.file(std::to_string(i) + ".wav"), random_bytes(1000, 80 + i));
        ASSERT_EQ(mkfifo(dir.file("f.wav").c_str(), 0644), 0);
        ASSERT_EQ(symlink("rip3.wav", dir.file("link.wav").c_str()), 0);
        RunOptions options = in_dir(dir.path());
        if (!c.stdout_file.empty()) options.stdout_file = dir.file(c.stdout_file);
        options.stderr_to_stdout = c.stdout_file == "log";
        const RunResult r = run_copyvote(c.args, options);
        EXPECT_EQ(r.exit_code, 255) << c.args[2];
        const std::string text = c.stdout_file == "log" ? read_file(dir.file("log")) : r.out + r.err;
        EXPECT_TRUE(is_refusal(text, EINVAL)) << c.args[2];
        for (int i = 1; i <= 3; i++) {
            EXPECT_TRUE(read_file(dir.file(std::to_string(i) + ".wav")) == random_bytes(1000, 80 + i)) << i;
        }
        EXPECT_FALSE(file_exists(dir.file("rip3.wav")));
    }
}

namespace {

// A relative directory path of exactly `length` characters, '/' included, made of components
// shorter than 255 bytes, created under `dir` where missing.
std::string make_deep_directory(const ScopedTempDir& dir, size_t length) {
    std::string path;
    while (path.size() < length) {
        const size_t left = length - path.size();
        const size_t component = left > 201 ? 200 : left - 1;
        path += std::string(component, static_cast<char>('a' + path.size() % 26)) + "/";
        if (mkdir(dir.file(path).c_str(), 0755) != 0 && errno != EEXIST) ADD_FAILURE() << "mkdir " << path;
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

// Every path under `dir` with the size of each file, to show that a run changed nothing.
std::string tree(const ScopedTempDir& dir) {
    std::string all;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path()))
        all += e.path().string() + (e.is_regular_file() ? " " + std::to_string(e.file_size()) : "/") + "\n";
    return all;
}

TEST(LongNames, ANameLongerThanARowIsRefusedBeforeAnythingIsOpenedOrCreated) {
    ScopedTempDir dir;
    const std::string deep = make_deep_directory(dir, 1019), fits = make_deep_directory(dir, 1018);
    write_all(dir, {deep + "1.wav", fits + "1.wav", "2.wav", "3.wav"}, "data");
    const std::vector<std::vector<std::string>> refused = {
        {deep + "1.wav", "2.wav", "3.wav", "-o", "r"}, {"2.wav", deep + "*.wav", "3.wav", "-o", "r"},
        {"2.wav", "3.wav", "2.wav", "-o", deep + "o.wav"}, {deep + "1.wav", "2.wav"}};  // no usage text either
    const char* which[] = {"input name of 1024", "wildcard match of 1024", "output name of 1024", "input name"};
    const std::string before = tree(dir);
    for (size_t i = 0; i < refused.size(); i++) {
        const RunResult r = run_copyvote(refused[i], in_dir(dir.path()));
        EXPECT_EQ(r.exit_code, 255);
        EXPECT_TRUE(r.err.empty() && is_refusal(r.out, ENAMETOOLONG) && r.out.find(which[i]) != std::string::npos)
            << r.err << r.out;
        EXPECT_EQ(tree(dir), before);
    }
    const std::vector<std::string> names = {fits + "1.wav", "2.wav", "3.wav"};  // 1023 bytes fit
    const RunResult r = run_copyvote({names[0], names[1], names[2], "-o", fits + "o.wav"}, in_dir(dir.path()));
    EXPECT_EQ(r.err, status_lines(fits + "o.wav", names) + "processing:\n...|...|\n");
    EXPECT_EQ(read_file(dir.file(fits + "o.wav")), "data");
}
