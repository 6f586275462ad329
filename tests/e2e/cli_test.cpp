// The command line as the user meets it: status-line layout, switches, the output name,
// wildcards, the input limit of 384, and the output on standard output.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "e2e_util.h"
#include "test_support.h"

using namespace e2e;
using testing_support::file_exists;
using testing_support::random_bytes;
using testing_support::read_file;
using testing_support::ScopedTempDir;
using testing_support::write_file;

namespace {

// Progress of equal inputs that fit in one block.
std::string clean_small_run(size_t inputs) { return "processing:\n" + dots(inputs) + "|" + dots(inputs) + "|\n"; }

bool is_hex(const std::string& text) { return text.find_first_not_of("0123456789abcdef") == std::string::npos; }

// The report of a clean run with a digest switch. Where the digest library is unusable its error
// lines come first and the report carries no digests; otherwise every input line starts with
// `hex_digits` hexadecimal digits and a blank, and the output's digest line follows.
void expect_report_with_optional_digests(const std::string& out, const std::vector<std::string>& names,
                                         const std::string& out_name, size_t hex_digits) {
    ASSERT_EQ(out.compare(0, CLEAR_SCREEN.size(), CLEAR_SCREEN), 0) << out;
    std::string rest = out.substr(CLEAR_SCREEN.size());
    static const std::regex error_re("^[^\n]*\n   \\^ERROR: [0-9]+, [^\n]*\n\n");
    std::smatch m;
    while (std::regex_search(rest, m, error_re)) rest = m.suffix();
    const bool digests = rest.size() > hex_digits && rest[hex_digits] == ' ' && is_hex(rest.substr(0, hex_digits));
    for (const std::string& name : names) {
        if (digests) {
            ASSERT_TRUE(rest.size() > hex_digits && is_hex(rest.substr(0, hex_digits)) && rest[hex_digits] == ' ')
                << rest;
            rest = rest.substr(hex_digits + 1);
        }
        const std::string line = report_line(name, 0, true);
        ASSERT_EQ(rest.substr(0, line.size()), line);
        rest = rest.substr(line.size());
    }
    if (digests) {
        ASSERT_TRUE(is_hex(rest.substr(0, hex_digits)));
        rest = rest.substr(hex_digits);
        const std::string line = " " + bracket(out_name) + "\n";
        ASSERT_EQ(rest.substr(0, line.size()), line);
        rest = rest.substr(line.size());
    }
    EXPECT_TRUE(ends_with_statistics(rest, "", 0));
}

}  // namespace

TEST(StatusLines, NamesAreRightAlignedInTwentyFourColumnsAndPrintedByteForByte) {
    ScopedTempDir dir;
    const std::vector<std::string> names = {"a.wav",
                                            "exactly_24_columns_1.wav",
                                            "a_name_longer_than_24_columns.wav",
                                            "Tr\xc3\xa4" "ck 01.wav",
                                            "Tr\xe4" "ck.wav",
                                            "100%s%n.wav"};
    write_all(dir, names, random_bytes(50, 40));
    const RunResult r = run_copyvote(names, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err,
              "[                 out.wav] OK\n"
              "[                   a.wav] OK\n"
              "[exactly_24_columns_1.wav] OK\n"
              "[a_name_longer_than_24_columns.wav] OK\n"
              "[            Tr\xc3\xa4" "ck 01.wav] OK\n"
              "[               Tr\xe4" "ck.wav] OK\n"
              "[             100%s%n.wav] OK\n"
              "\n" +
                  clean_small_run(6));
    EXPECT_TRUE(ends_with_statistics(r.out,
                                     CLEAR_SCREEN +
                                         "[                   a.wav]     0 best\n"
                                         "[exactly_24_columns_1.wav]     0 best\n"
                                         "[a_name_longer_than_24_columns.wav]     0 best\n"
                                         "[            Tr\xc3\xa4" "ck 01.wav]     0 best\n"
                                         "[               Tr\xe4" "ck.wav]     0 best\n"
                                         "[             100%s%n.wav]     0 best\n",
                                     0));
}

TEST(Switches, DigestSwitchesInAnyLetterCaseAreNotInputNames) {
    ScopedTempDir dir;
    const std::vector<std::string> names = {"1.wav", "2.wav", "3.wav"};
    write_all(dir, names, random_bytes(50, 41));
    // The last digest switch decides: SHA-256 prints 64 hexadecimal digits, MD5 32.
    RunResult r = run_copyvote({"-MD5", "1.wav", "2.wav", "-Sha256", "3.wav"}, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, status_lines("out.wav", names) + clean_small_run(3));
    expect_report_with_optional_digests(r.out, names, "out.wav", 64);

    r = run_copyvote({"1.wav", "-sha1", "2.wav", "3.wav", "-md5"}, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, status_lines("out.wav", names) + clean_small_run(3));
    expect_report_with_optional_digests(r.out, names, "out.wav", 32);
}

TEST(Switches, OtherArgumentsStartingWithADashAreInputNames) {
    ScopedTempDir dir;
    const std::vector<std::string> names = {"-A", "-B", "-O", "-ab", "-x"};
    write_all(dir, names, random_bytes(50, 42));
    RunResult r = run_copyvote(names, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, status_lines("out.wav", names) + clean_small_run(5));
    EXPECT_TRUE(ends_with_statistics(r.out, CLEAR_SCREEN + report(names, {0, 0, 0, 0, 0}), 0));

    // Without such a file, -A is a missing input.
    ScopedTempDir empty;
    write_all(empty, {"1.wav", "2.wav"}, "abc");
    r = run_copyvote({"1.wav", "-A", "2.wav"}, in_dir(empty.path()));
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out, CLEAR_SCREEN + open_error("-A", 2));
    EXPECT_EQ(r.err, status_line("out.wav") + status_line("1.wav") + status_line("-A", false));
}

TEST(Switches, OutputSwitchTakesTheNextArgumentWhateverItLooksLike) {
    ScopedTempDir dir;
    const std::vector<std::string> names = {"1.wav", "2.wav", "3.wav"};
    const std::string data = random_bytes(50, 43);
    write_all(dir, names, data);
    const RunResult r = run_copyvote({"-o", "-md5", "1.wav", "2.wav", "3.wav"}, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, status_lines("-md5", names) + clean_small_run(3));
    EXPECT_TRUE(ends_with_statistics(r.out, CLEAR_SCREEN + report(names, {0, 0, 0}), 0));
    EXPECT_EQ(read_file(dir.file("-md5")), data);
    EXPECT_FALSE(file_exists(dir.file("out.wav")));
}

TEST(Switches, AFinalOutputSwitchIsIgnoredAndALaterOneReplacesAnEarlierOne) {
    ScopedTempDir dir;
    const std::vector<std::string> names = {"1.wav", "2.wav", "3.wav"};
    const std::string data = random_bytes(50, 44);
    write_all(dir, names, data);

    RunResult r = run_copyvote({"1.wav", "2.wav", "3.wav", "-o"}, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, status_lines("out.wav", names) + clean_small_run(3));
    EXPECT_EQ(read_file(dir.file("out.wav")), data);

    r = run_copyvote({"-o", "first.bin", "1.wav", "2.wav", "3.wav", "-o", "second.bin"}, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, status_lines("second.bin", names) + clean_small_run(3));
    EXPECT_EQ(read_file(dir.file("second.bin")), data);
    EXPECT_FALSE(file_exists(dir.file("first.bin")));

    r = run_copyvote({"-o", "first.bin", "1.wav", "2.wav", "3.wav", "-o"}, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, status_lines("first.bin", names) + clean_small_run(3));
    EXPECT_EQ(read_file(dir.file("first.bin")), data);
}

TEST(Switches, SwitchesMayStandBetweenTheNames) {
    // One sample differs in input 2 (bytes 40-41: 0x1000 against 0x2000, neighbours far from it).
    // The byte vote counts one disputed byte, the sample vote of -a two.
    ScopedTempDir dir;
    const std::string base = with_bytes(random_bytes(64, 45), {{38, 0x00}, {39, 0x00}, {40, 0x00}, {41, 0x10},
                                                                 {42, 0x00}, {43, 0x00}, {44, 0x00}, {45, 0x30},
                                                                 {46, 0x00}, {47, 0x00}, {48, 0x00}, {49, 0x50}});
    const std::vector<std::string> names = {"1.wav", "2.wav", "3.wav"};
    write_file(dir.file("1.wav"), base);
    write_file(dir.file("2.wav"), base);
    write_file(dir.file("3.wav"), with_bytes(base, {{41, 0x20}}));
    const std::string progress = "processing:\n...<\n#\n\n...|\n";

    RunResult r = run_copyvote({"-b", "1.wav", "-o", "res.bin", "2.wav", "-a", "3.wav"}, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, status_lines("res.bin", names) + progress);
    EXPECT_TRUE(ends_with_statistics(r.out, CLEAR_SCREEN + report(names, {1, 1, 0}), 2));
    EXPECT_EQ(read_file(dir.file("res.bin")), base);

    r = run_copyvote({"1.wav", "2.wav", "3.wav", "-o", "res.bin"}, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, status_lines("res.bin", names) + progress);
    EXPECT_TRUE(ends_with_statistics(r.out, CLEAR_SCREEN + report(names, {1, 1, 0}), 1));
    EXPECT_EQ(read_file(dir.file("res.bin")), base);
}

TEST(OutputName, TheDefaultOutputLiesBesideTheFirstInput) {
    ScopedTempDir dir;
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    const std::string data = random_bytes(50, 46);
    write_all(dir, {"sub/1.wav", "2.wav", "3.wav", "x\\1.wav"}, data);

    RunResult r = run_copyvote({"sub/1.wav", "2.wav", "3.wav"}, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, status_lines("sub/out.wav", {"sub/1.wav", "2.wav", "3.wav"}) + clean_small_run(3));
    EXPECT_EQ(read_file(dir.file("sub/out.wav")), data);
    EXPECT_FALSE(file_exists(dir.file("out.wav")));

    // A backslash separates too: the output is the file named x\out.wav here.
    r = run_copyvote({"x\\1.wav", "2.wav", "3.wav"}, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, status_lines("x\\out.wav", {"x\\1.wav", "2.wav", "3.wav"}) + clean_small_run(3));
    EXPECT_EQ(read_file(dir.file("x\\out.wav")), data);
}

TEST(Wildcards, ADirectoryPatternStoresTheDirectoryAndSkipsSubdirectoriesAndOutWav) {
    ScopedTempDir dir;
    ASSERT_EQ(mkdir(dir.file("d").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("d/x.wav").c_str(), 0755), 0);
    const std::string data = random_bytes(80, 47);
    write_file(dir.file("d/1.wav"), data);
    write_file(dir.file("d/2.wav"), with_bytes(data, {{70, static_cast<unsigned char>(data[70] ^ 1)}}));
    write_file(dir.file("d/3.wav"), data);
    write_file(dir.file("d/out.wav"), "an old result, replaced by the run");
    const std::vector<std::string> names = {"d/1.wav", "d/2.wav", "d/3.wav"};

    const RunResult r = run_copyvote({"d/*.wav"}, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, status_lines("d/out.wav", names) + "processing:\n...<\n#\n\n...|\n");
    EXPECT_TRUE(ends_with_statistics(r.out, CLEAR_SCREEN + report(names, {1, 0, 1}), 1));
    EXPECT_EQ(read_file(dir.file("d/out.wav")), data);
}

TEST(Wildcards, APatternInsideTheDirectoryStoresBareNames) {
    ScopedTempDir dir;
    ASSERT_EQ(mkdir(dir.file("x.wav").c_str(), 0755), 0);
    const std::string data = random_bytes(80, 48);
    const std::vector<std::string> names = {"1.wav", "2.wav", "3.wav"};
    write_all(dir, names, data);
    write_file(dir.file("out.wav"), "old");

    const RunResult r = run_copyvote({"*.wav"}, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, status_lines("out.wav", names) + clean_small_run(3));
    EXPECT_TRUE(ends_with_statistics(r.out, CLEAR_SCREEN + report(names, {0, 0, 0}), 0));
    EXPECT_EQ(read_file(dir.file("out.wav")), data);
}

TEST(Wildcards, MatchesComeInByteOrderAndAreNotComparedWithEarlierNames) {
    ScopedTempDir dir;
    write_all(dir, {"b.wav", "a.wav", "C.wav", "ab.wav"}, random_bytes(30, 49));
    const std::vector<std::string> names = {"a.wav", "C.wav", "a.wav", "b.wav"};
    const RunResult r = run_copyvote({"a.wav", "?.wav"}, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, status_lines("out.wav", names) + clean_small_run(4));
    EXPECT_TRUE(ends_with_statistics(r.out, CLEAR_SCREEN + report(names, {0, 0, 0, 0}), 0));
}

TEST(Wildcards, PatternsThatMatchNothingAddNothing) {
    // A '*' in the directory part is not expanded: d*/ is listed as written and does not exist.
    ScopedTempDir dir;
    ASSERT_EQ(mkdir(dir.file("d").c_str(), 0755), 0);
    const std::vector<std::string> names = {"1.wav", "2.wav", "3.wav"};
    write_all(dir, names, random_bytes(30, 50));
    write_file(dir.file("d/4.wav"), "x");
    const RunResult r = run_copyvote({"1.wav", "*.none", "2.wav", "d*/*.wav", "nodir/?.wav", "3.wav"},
                                     in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, status_lines("out.wav", names) + clean_small_run(3));
    EXPECT_TRUE(ends_with_statistics(r.out, CLEAR_SCREEN + report(names, {0, 0, 0}), 0));
}

TEST(InputLimit, ThreeHundredEightyFourInputsRun) {
    ScopedTempDir dir;
    const std::string data = random_bytes(40, 51);
    write_file(dir.file("a.bin"), data);
    write_file(dir.file("b.bin"), with_bytes(data, {{33, static_cast<unsigned char>(data[33] ^ 0x40)}}));
    std::vector<std::string> names(383, "a.bin");
    names.push_back("b.bin");
    std::vector<unsigned long long> hits(383, 382);
    hits.push_back(0);

    const RunResult r = run_copyvote(names, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, status_lines("out.wav", names) + "processing:\n" + dots(384) + "<\n#\n\n" + dots(384) + "|\n\n");
    EXPECT_TRUE(ends_with_statistics(r.out, CLEAR_SCREEN + report(names, hits), 1));
    EXPECT_EQ(read_file(dir.file("out.wav")), data);
}

TEST(InputLimit, TheThreeHundredEightyFifthNameIsSkippedWithOneMessage) {
    // The skipped name does not exist: it must be neither opened nor listed.
    ScopedTempDir dir;
    const std::string data = random_bytes(40, 52);
    write_file(dir.file("a.bin"), data);
    const std::vector<std::string> names(384, "a.bin");
    std::vector<std::string> args = names;
    args.push_back("z%s\xe4.bin");

    const RunResult r = run_copyvote(args, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, status_lines("out.wav", names) + "processing:\n" + dots(384) + "|\n" + dots(384) + "|\n\n");
    EXPECT_TRUE(ends_with_statistics(
        r.out, CLEAR_SCREEN + skip_message("z%s\xe4.bin") + report(names, std::vector<unsigned long long>(384, 0)), 0));
    EXPECT_EQ(read_file(dir.file("out.wav")), data);
}

TEST(InputLimit, AWildcardAtTheLimitStoresOneMatchAndSkipsTheNextFile) {
    // w holds a.wav, a directory b.wav, out.wav, p.wav and q.wav: a.wav is the 384th input, the
    // directory and out.wav are passed over silently, p.wav gets the skip message and q.wav is
    // not looked at. The plain name after the wildcard gets its own message.
    ScopedTempDir dir;
    const std::string data = random_bytes(40, 53);
    write_file(dir.file("a.bin"), data);
    ASSERT_EQ(mkdir(dir.file("w").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("w/b.wav").c_str(), 0755), 0);
    write_all(dir, {"w/a.wav", "w/out.wav", "w/p.wav", "w/q.wav"}, data);
    std::vector<std::string> args(383, "a.bin");
    args.push_back("w/*.wav");
    args.push_back("extra.bin");
    std::vector<std::string> names(383, "a.bin");
    names.push_back("w/a.wav");

    const RunResult r = run_copyvote(args, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, status_lines("out.wav", names) + "processing:\n" + dots(384) + "|\n" + dots(384) + "|\n\n");
    EXPECT_TRUE(ends_with_statistics(r.out,
                                     CLEAR_SCREEN + skip_message("p.wav") + skip_message("extra.bin") +
                                         report(names, std::vector<unsigned long long>(384, 0)),
                                     0));
}

class DataOnStandardOutput : public ::testing::TestWithParam<std::string> {};

TEST_P(DataOnStandardOutput, StandardOutputCarriesOnlyTheVotedBytes) {
    // Everything else, the clear-screen sequence included, goes to standard error, in order.
    ScopedTempDir dir;
    const std::string out_name = GetParam();
    const std::string data = random_bytes(3 * 1024 * 1024 + 3, 54);
    const std::vector<std::string> names = {"1.wav", "2.wav", "3.wav"};
    write_file(dir.file("1.wav"), data);
    write_file(dir.file("2.wav"), data);
    write_file(dir.file("3.wav"), with_bytes(data, {{100, static_cast<unsigned char>(data[100] ^ 0xFF)}}));

    const RunResult r = run_copyvote({"1.wav", "-o", out_name, "2.wav", "3.wav"}, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.size(), data.size());
    EXPECT_TRUE(r.out == data) << "standard output holds more than the restored bytes";
    EXPECT_TRUE(ends_with_statistics(r.err,
                                     CLEAR_SCREEN + status_lines(out_name, names) + "processing:\n...<\n#\n\n...|...|\n" +
                                         report(names, {1, 1, 0}),
                                     1));
    EXPECT_FALSE(file_exists(dir.file(out_name)));
}

// Standard output by another name is judged by the file it leads to, here a pipe.
INSTANTIATE_TEST_SUITE_P(StreamNames, DataOnStandardOutput,
                         ::testing::Values("-", "con", "CON", "/dev/stdout", "/proc/self/fd/1"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param == "-" ? std::string("Dash") : info.param;
                             for (char& ch : name) ch = isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             return name;
                         });

TEST(DataOnStandardOutput_, AFileThatStandardOutputLeadsToHoldsOnlyTheVotedBytes) {
    // Appended to, or the default output itself, or the file of a closed descriptor's place.
    const std::vector<std::string> names = {"1.wav", "2.wav", "3.wav"};
    for (const std::string out_name : {"/dev/stdout", "/dev/fd/1", "out.wav", "closed"}) {
        ScopedTempDir dir;
        const std::string data = random_bytes(1000, 56);
        write_all(dir, names, data);
        write_file(dir.file("out.wav"), "earlier text");
        RunOptions options = in_dir(dir.path());
        options.stdout_file = out_name == "closed" ? "" : dir.file("out.wav");
        if (out_name == "closed") options.closed_fds = {1, 2};
        std::vector<std::string> args = names;
        if (out_name[0] == '/') args.insert(args.end(), {"-o", out_name});
        const RunResult r = run_copyvote(args, options);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_TRUE(read_file(dir.file("out.wav")) == data) << out_name;
        if (out_name == "closed") continue;
        EXPECT_TRUE(ends_with_statistics(
            r.err, CLEAR_SCREEN + status_lines(out_name, names) + clean_small_run(3) + report(names, {0, 0, 0}), 0));
    }
}

TEST(DataOnStandardOutputFailures, AnOpenErrorGoesToStandardErrorInOrder) {
    ScopedTempDir dir;
    write_all(dir, {"1.wav", "3.wav"}, "abc");
    const RunResult r = run_copyvote({"-o", "-", "1.wav", "missing.wav", "3.wav"}, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, CLEAR_SCREEN + status_line("-") + status_line("1.wav") + open_error("missing.wav", 2) +
                         status_line("missing.wav", false));
}

TEST(DataOnStandardOutputFailures, OtherLetterCasesAreOrdinaryFileNames) {
    ScopedTempDir dir;
    const std::vector<std::string> names = {"1.wav", "2.wav", "3.wav"};
    const std::string data = random_bytes(30, 55);
    write_all(dir, names, data);
    const RunResult r = run_copyvote({"-o", "Con", "1.wav", "2.wav", "3.wav"}, in_dir(dir.path()));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, status_lines("Con", names) + clean_small_run(3));
    EXPECT_TRUE(ends_with_statistics(r.out, CLEAR_SCREEN + report(names, {0, 0, 0}), 0));
    EXPECT_EQ(read_file(dir.file("Con")), data);
}
