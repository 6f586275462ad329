// End-to-end runs with the digest switches: which bytes each digest covers, the report lines
// that carry them, and the run without digests when the algorithm cannot be opened.

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "test_support.h"

using testing_support::copyvote_path;
using testing_support::random_bytes;
using testing_support::read_file;
using testing_support::run_program;
using testing_support::RunOptions;
using testing_support::RunResult;
using testing_support::ScopedTempDir;
using testing_support::write_file;

namespace {

const size_t kMiB = 1024 * 1024;
const size_t kBlock = 2 * kMiB;
const std::string kClear = "\x1b[H\x1b[J";

// The digest of `data` in hexadecimal as a coreutils tool ("md5sum", "sha1sum", ...) gives it.
std::string digest_of(const std::string& tool, const std::string& data) {
    ScopedTempDir dir;
    write_file(dir.file("data"), data);
    RunResult r = run_program({"/usr/bin/" + tool, dir.file("data")});
    EXPECT_EQ(0, r.exit_code) << tool << ": " << r.err;
    return r.out.substr(0, r.out.find(' '));
}

std::string bracket(const std::string& name) {
    std::string padded = name.size() < 24 ? std::string(24 - name.size(), ' ') + name : name;
    return "[" + padded + "]";
}

// One report line of an input: "<digest> [name] %5llu" and " best" when marked.
std::string input_line(const std::string& digest, const std::string& name, unsigned long long hits, bool best) {
    char score[32];
    snprintf(score, sizeof score, " %5llu", hits);
    return (digest.empty() ? "" : digest + " ") + bracket(name) + score + (best ? " best" : "") + "\n";
}

std::string output_line(const std::string& digest, const std::string& name) {
    return digest + " " + bracket(name) + "\n";
}

// Standard error of a run in which every file opened and no block had a disputed byte:
// status lines, then per block one "." per input and "|", with a line break after every
// 80 / (inputs + 1) blocks, then the closing line break.
std::string clean_run_stderr(const std::string& out_name, const std::vector<std::string>& inputs,
                             size_t shortest) {
    std::string s = bracket(out_name) + " OK\n";
    for (const std::string& name : inputs) s += bracket(name) + " OK\n";
    s += "\nprocessing:\n";
    const size_t blocks = shortest / kBlock + 1 + (shortest % kBlock != 0 ? 1 : 0);
    const size_t line_limit = 80 / (inputs.size() + 1);
    for (size_t b = 0, on_line = 0; b < blocks; b++) {
        s += std::string(inputs.size(), '.') + "|";
        if (++on_line >= line_limit) {
            s += "\n";
            on_line = 0;
        }
    }
    return s + "\n";
}

// Splits standard output into the part before the statistics and the two statistics lines,
// whose timing figures vary from run to run; the disputed-byte count must be `errors`.
std::string strip_statistics(const std::string& out, unsigned long long errors) {
    static const std::regex stats(
        "\nCPU  : *[0-9]+\\.[0-9]{6} MHz   CPU TIME: *[0-9]+\\.[0-9]{3} s   errors: *([0-9]+) KB = ([0-9]+) bytes\n"
        "timer: 1000\\.000000 MHz       disk: *[0-9]+\\.[0-9]{3} s   total : *[0-9]+\\.[0-9]{3} s\n$");
    std::smatch m;
    if (!std::regex_search(out, m, stats)) {
        ADD_FAILURE() << "no statistics lines at the end of:\n" << out;
        return out;
    }
    EXPECT_EQ(std::to_string(errors / 1024), m[1].str());
    EXPECT_EQ(std::to_string(errors), m[2].str());
    char kb[32];
    snprintf(kb, sizeof kb, "errors:%6llu KB", errors / 1024);
    EXPECT_NE(std::string::npos, m[0].str().find(kb)) << m[0].str();
    return out.substr(0, static_cast<size_t>(m.position(0)));
}

struct DigestRun {
    ScopedTempDir dir;
    RunResult result;

    // Writes the inputs into the directory and runs copyvote there with `args` (input names
    // and switches in the order given).
    void go(const std::vector<std::pair<std::string, std::string>>& inputs, const std::vector<std::string>& args) {
        for (const auto& in : inputs) write_file(dir.file(in.first), in.second);
        std::vector<std::string> argv = {copyvote_path()};
        argv.insert(argv.end(), args.begin(), args.end());
        RunOptions options;
        options.cwd = dir.path();
        result = run_program(argv, options);
    }
};

struct Algorithm {
    const char* flag;
    const char* tool;
    size_t hex_digits;
};

const Algorithm kAlgorithms[] = {{"-md5", "md5sum", 32},
                                 {"-sha1", "sha1sum", 40},
                                 {"-sha256", "sha256sum", 64},
                                 {"-sha384", "sha384sum", 96},
                                 {"-sha512", "sha512sum", 128}};

TEST(Digest, EachInputCoversTheBlocksItDeliveredAndTheOutputWhatWasWritten) {
    // The second input is the shortest (1 MiB); the others, 10 MiB with the same start, are
    // read for two blocks: the one that sets the length and the one that finds the end.
    const std::string long_data = random_bytes(10 * kMiB, 42);
    const std::string short_data = long_data.substr(0, kMiB);
    for (const Algorithm& alg : kAlgorithms) {
        SCOPED_TRACE(alg.flag);
        DigestRun run;
        run.go({{"1.wav", long_data}, {"2.wav", short_data}, {"3.wav", long_data}},
               {"1.wav", "2.wav", alg.flag, "3.wav"});
        ASSERT_EQ(0, run.result.exit_code) << run.result.err;
        const std::string four = digest_of(alg.tool, long_data.substr(0, 2 * kBlock));
        const std::string one = digest_of(alg.tool, short_data);
        ASSERT_EQ(alg.hex_digits, four.size());
        EXPECT_EQ(kClear + input_line(four, "1.wav", 0, true) + input_line(one, "2.wav", 0, true) +
                      input_line(four, "3.wav", 0, true) + output_line(one, "out.wav"),
                  strip_statistics(run.result.out, 0));
        EXPECT_EQ(clean_run_stderr("out.wav", {"1.wav", "2.wav", "3.wav"}, kMiB), run.result.err);
        EXPECT_EQ(short_data, read_file(run.dir.file("out.wav")));
    }
}

TEST(Digest, OutputDigestIsOverTheVotedBytes) {
    // Each copy carries one damaged byte of its own; the vote restores the original, so the
    // output's digest is the original's while every input keeps its own.
    const std::string original = random_bytes(3 * kMiB + 1000, 9);
    std::string copies[3] = {original, original, original};
    copies[0][10] ^= 0x55;
    copies[1][kMiB] ^= 0x01;
    copies[2][3 * kMiB + 999] ^= 0x80;
    DigestRun run;
    run.go({{"a.wav", copies[0]}, {"b.wav", copies[1]}, {"c.wav", copies[2]}},
           {"-sha256", "a.wav", "b.wav", "c.wav", "-o", "restored.bin"});
    ASSERT_EQ(0, run.result.exit_code) << run.result.err;
    EXPECT_EQ(original, read_file(run.dir.file("restored.bin")));
    // At each damaged byte the two other copies agree with each other: one hit each.
    EXPECT_EQ(kClear + input_line(digest_of("sha256sum", copies[0]), "a.wav", 2, true) +
                  input_line(digest_of("sha256sum", copies[1]), "b.wav", 2, true) +
                  input_line(digest_of("sha256sum", copies[2]), "c.wav", 2, true) +
                  output_line(digest_of("sha256sum", original), "restored.bin"),
              strip_statistics(run.result.out, 3));
    EXPECT_EQ(std::string::npos, run.result.err.find("DBG")) << run.result.err;
}

TEST(Digest, EmptyStreamsGetTheEmptyMessageDigest) {
    const std::string data = random_bytes(3000, 5);
    DigestRun run;
    run.go({{"1.wav", data}, {"2.wav", ""}, {"3.wav", data}}, {"-SHA1", "1.wav", "2.wav", "3.wav"});
    ASSERT_EQ(0, run.result.exit_code) << run.result.err;
    const std::string empty = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
    const std::string whole = digest_of("sha1sum", data);
    EXPECT_EQ(kClear + input_line(whole, "1.wav", 0, true) + input_line(empty, "2.wav", 0, true) +
                  input_line(whole, "3.wav", 0, true) + output_line(empty, "out.wav"),
              strip_statistics(run.result.out, 0));
    EXPECT_EQ(clean_run_stderr("out.wav", {"1.wav", "2.wav", "3.wav"}, 0), run.result.err);
    EXPECT_EQ("", read_file(run.dir.file("out.wav")));
}

TEST(Digest, Md4MatchesItsPublishedVectors) {
    // RFC 1320: MD4 of the empty message, and of eight times "1234567890".
    std::string digits;
    for (int i = 0; i < 8; i++) digits += "1234567890";
    DigestRun run;
    run.go({{"d1", digits}, {"d2", digits}, {"d3", digits}, {"e", ""}}, {"-md4", "d1", "d2", "d3", "-o", "md4.out"});
    ASSERT_EQ(0, run.result.exit_code) << run.result.err;
    const std::string md4_digits = "e33b4ddc9c38f2199c3e7b164fcc0536";
    EXPECT_EQ(kClear + input_line(md4_digits, "d1", 0, true) + input_line(md4_digits, "d2", 0, true) +
                  input_line(md4_digits, "d3", 0, true) + output_line(md4_digits, "md4.out"),
              strip_statistics(run.result.out, 0));

    DigestRun empty;
    empty.go({{"d1", digits}, {"e", ""}, {"d3", digits}}, {"d1", "e", "d3", "-Md4"});
    ASSERT_EQ(0, empty.result.exit_code) << empty.result.err;
    const std::string md4_empty = "31d6cfe0d16ae931b73c59d7e0c089c0";
    EXPECT_EQ(kClear + input_line(md4_digits, "d1", 0, true) + input_line(md4_empty, "e", 0, true) +
                  input_line(md4_digits, "d3", 0, true) + output_line(md4_empty, "out.wav"),
              strip_statistics(empty.result.out, 0));
}

TEST(Digest, LastDigestSwitchWinsAndLongNamesWidenTheBracket) {
    const std::string data = random_bytes(5000, 77);
    const std::string long_name = "a-name-longer-than-the-column.wav";
    DigestRun run;
    run.go({{long_name, data}, {"2.wav", data}, {"3.wav", data}},
           {"-sha512", long_name, "2.wav", "-md5", "3.wav"});
    ASSERT_EQ(0, run.result.exit_code) << run.result.err;
    const std::string md5 = digest_of("md5sum", data);
    EXPECT_EQ(kClear + md5 + " [" + long_name + "]     0 best\n" + input_line(md5, "2.wav", 0, true) +
                  input_line(md5, "3.wav", 0, true) + md5 + " [                 out.wav]\n",
              strip_statistics(run.result.out, 0));
}

TEST(Digest, UnavailableAlgorithmIsReportedOnceAndTheRunGoesOnWithoutDigests) {
    const std::string data = random_bytes(100000, 3);
    DigestRun run;
    run.go({{"1.wav", data}, {"2.wav", data}, {"3.wav", data}}, {"-md2", "1.wav", "2.wav", "3.wav"});
    ASSERT_EQ(0, run.result.exit_code) << run.result.err;
    // The library's error value: error source libgcrypt (1), code "invalid digest algorithm" (5).
    const unsigned err = (1u << 24) | 5u;
    const std::string error_line = "gcry_md_open(&ctx[i], alg_id, 0\n   ^ERROR: " + std::to_string(err) +
                                   ", Unknown error " + std::to_string(err) + "\n\n";
    EXPECT_EQ(kClear + error_line + input_line("", "1.wav", 0, true) + input_line("", "2.wav", 0, true) +
                  input_line("", "3.wav", 0, true),
              strip_statistics(run.result.out, 0));
    // Nothing of the library's own on standard error.
    EXPECT_EQ(clean_run_stderr("out.wav", {"1.wav", "2.wav", "3.wav"}, data.size()), run.result.err);
    EXPECT_EQ(data, read_file(run.dir.file("out.wav")));
}

TEST(Digest, WithoutASwitchNoDigestIsPrinted) {
    const std::string data = random_bytes(kBlock, 11);  // ends exactly at a block boundary
    DigestRun run;
    run.go({{"1.wav", data}, {"2.wav", data}, {"3.wav", data}}, {"1.wav", "2.wav", "3.wav"});
    ASSERT_EQ(0, run.result.exit_code) << run.result.err;
    EXPECT_EQ(kClear + input_line("", "1.wav", 0, true) + input_line("", "2.wav", 0, true) +
                  input_line("", "3.wav", 0, true),
              strip_statistics(run.result.out, 0));
    EXPECT_EQ(clean_run_stderr("out.wav", {"1.wav", "2.wav", "3.wav"}, kBlock), run.result.err);
}

}  // namespace
