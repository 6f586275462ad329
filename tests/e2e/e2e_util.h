#pragma once
// Builders for the exact console text of copyvote runs, shared by the end-to-end tests.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace e2e {

using testing_support::RunOptions;
using testing_support::RunResult;

// Cursor home and erase display: the first thing every run writes.
inline const std::string CLEAR_SCREEN = "\x1b[H\x1b[J";

// Runs the built program with `args` after its own path.
inline RunResult run_copyvote(const std::vector<std::string>& args, const RunOptions& options = RunOptions()) {
    std::vector<std::string> argv{testing_support::copyvote_path()};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing_support::run_program(argv, options);
}

// The environment of a run under the LD_PRELOAD shim `name` (tests/shims/<name>.c) with its
// settings. The sanitized build's runtime must tolerate not coming first in the library list.
inline std::vector<std::string> shim_env(const std::string& name, const std::vector<std::string>& settings) {
    std::vector<std::string> env{"LD_PRELOAD=" + std::string(COPYVOTE_SHIM_DIR) + "/" + name + ".so",
                                 "ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0"};
    env.insert(env.end(), settings.begin(), settings.end());
    return env;
}

// Options that run the program in `path`.
inline RunOptions in_dir(const std::string& path) {
    RunOptions options;
    options.cwd = path;
    return options;
}

// Writes `data` under every name in `dir`.
inline void write_all(const testing_support::ScopedTempDir& dir, const std::vector<std::string>& names,
                      const std::string& data) {
    for (const std::string& name : names) testing_support::write_file(dir.file(name), data);
}

// Terminal columns of a name: one per valid UTF-8 character, one per byte outside such a character.
inline size_t columns(const std::string& name) {
    size_t cols = 0;
    for (size_t i = 0; i < name.size(); cols++) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        size_t len = 1;
        if (c >= 0xC2 && c <= 0xDF) len = 2;
        else if (c >= 0xE0 && c <= 0xEF) len = 3;
        else if (c >= 0xF0 && c <= 0xF4) len = 4;
        bool valid = i + len <= name.size();
        for (size_t k = 1; valid && k < len; k++) valid = (static_cast<unsigned char>(name[i + k]) & 0xC0) == 0x80;
        i += valid ? len : 1;
    }
    return cols;
}

// "[name]" with the name right-aligned in 24 columns.
inline std::string bracket(const std::string& name) {
    const size_t cols = columns(name);
    return "[" + std::string(cols < 24 ? 24 - cols : 0, ' ') + name + "]";
}

inline std::string status_line(const std::string& name, bool ok = true) {
    return bracket(name) + (ok ? " OK\n" : " FAIL\n");
}

// The output's status line, each input's, and the blank line that closes a complete list.
inline std::string status_lines(const std::string& out_name, const std::vector<std::string>& inputs) {
    std::string text = status_line(out_name);
    for (const std::string& name : inputs) text += status_line(name);
    return text + "\n";
}

inline std::string report_line(const std::string& name, unsigned long long hits, bool best) {
    char score[32];
    snprintf(score, sizeof score, " %5llu", hits);
    return bracket(name) + score + (best ? " best" : "") + "\n";
}

// Report lines without digests; the inputs with the highest score are marked best.
inline std::string report(const std::vector<std::string>& names, const std::vector<unsigned long long>& hits) {
    unsigned long long max_hits = 0;
    for (unsigned long long h : hits) max_hits = h > max_hits ? h : max_hits;
    std::string text;
    for (size_t i = 0; i < names.size(); i++) text += report_line(names[i], hits[i], hits[i] == max_hits);
    return text;
}

inline std::string error_line(const std::string& context, int code) {
    return context + "\n   ^ERROR: " + std::to_string(code) + ", " + strerror(code) + "\n\n";
}

inline std::string open_error(const std::string& name, int code) { return error_line("open(" + name + ")", code); }

inline std::string skip_message(const std::string& name) {
    return "[" + name + "]\n\t^ skipped: maximum input files allowed 384\n\n";
}

inline std::string dots(size_t n) { return std::string(n, '.'); }

inline std::string repeat(const std::string& text, size_t n) {
    std::string all;
    for (size_t i = 0; i < n; i++) all += text;
    return all;
}

// Checks the two statistics lines. Timing figures vary, so each line is parsed, printed again
// with the program's format and compared: that pins the layout and rejects inf and nan. The
// error figures and the timer's rate are exact.
inline ::testing::AssertionResult statistics_match(const std::string& text, unsigned long long disputed) {
    static const std::regex cpu_re(
        "CPU  : *([0-9]+\\.[0-9]{6}) MHz   CPU TIME: *([0-9]+\\.[0-9]{3}) s   errors: *[0-9]+ KB = [0-9]+ bytes\n");
    static const std::regex timer_re("timer: *([0-9]+\\.[0-9]{6}) MHz       disk: *([0-9]+\\.[0-9]{3}) s   "
                                     "total : *([0-9]+\\.[0-9]{3}) s\n");
    const size_t split = text.find('\n');
    if (split == std::string::npos) return ::testing::AssertionFailure() << "no statistics lines in: " << text;
    const std::string cpu = text.substr(0, split + 1);
    const std::string timer = text.substr(split + 1);
    std::smatch m;
    if (!std::regex_match(cpu, m, cpu_re)) return ::testing::AssertionFailure() << "bad CPU line: " << cpu;
    char expected[256];
    snprintf(expected, sizeof expected, "CPU  :%12.6f MHz   CPU TIME:%6.3f s   errors:%6llu KB = %llu bytes\n",
             strtod(m[1].str().c_str(), nullptr), strtod(m[2].str().c_str(), nullptr), disputed / 1024, disputed);
    if (cpu != expected) return ::testing::AssertionFailure() << "CPU line\n  " << cpu << "expected\n  " << expected;
    if (!std::regex_match(timer, m, timer_re)) return ::testing::AssertionFailure() << "bad timer line: " << timer;
    snprintf(expected, sizeof expected, "timer:%12.6f MHz       disk:%6.3f s   total :%6.3f s\n", 1000.0,
             strtod(m[2].str().c_str(), nullptr), strtod(m[3].str().c_str(), nullptr));
    if (timer != expected)
        return ::testing::AssertionFailure() << "timer line\n  " << timer << "expected\n  " << expected;
    return ::testing::AssertionSuccess();
}

// A stream that ends with a blank line and the statistics: `head` exactly, then those three lines.
inline ::testing::AssertionResult ends_with_statistics(const std::string& stream, const std::string& head,
                                                       unsigned long long disputed) {
    if (stream.compare(0, head.size(), head) != 0 || stream.size() < head.size() + 1) {
        return ::testing::AssertionFailure() << "stream\n" << stream << "\ndoes not start with\n" << head;
    }
    if (stream[head.size()] != '\n') {
        return ::testing::AssertionFailure() << "no blank line before the statistics in\n" << stream;
    }
    return statistics_match(stream.substr(head.size() + 1), disputed);
}

// Runs copyvote in a fresh directory on inputs 1.wav, 2.wav, ... holding `inputs`, with the default
// output, and checks everything a successful run shows: exit code 0, the status lines, the
// progress glyphs (`glyphs` is what follows "processing:\n", without the final line break), the
// report with `hits`, the statistics with `disputed` and the restored bytes.
struct RestoreCase {
    std::vector<std::string> inputs;
    std::string glyphs;
    std::vector<unsigned long long> hits;
    std::string output;
    unsigned long long disputed = 0;
    std::vector<std::string> extra_args;  // added after the input names
};

inline void expect_restore(const RestoreCase& c) {
    testing_support::ScopedTempDir dir;
    std::vector<std::string> names;
    for (size_t i = 0; i < c.inputs.size(); i++) {
        names.push_back(std::to_string(i + 1) + ".wav");
        testing_support::write_file(dir.file(names.back()), c.inputs[i]);
    }
    std::vector<std::string> args = names;
    args.insert(args.end(), c.extra_args.begin(), c.extra_args.end());
    RunOptions options;
    options.cwd = dir.path();
    const RunResult r = run_copyvote(args, options);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, status_lines("out.wav", names) + "processing:\n" + c.glyphs + "\n");
    EXPECT_TRUE(ends_with_statistics(r.out, CLEAR_SCREEN + report(names, c.hits), c.disputed));
    const std::string restored = testing_support::read_file(dir.file("out.wav"));
    EXPECT_EQ(restored.size(), c.output.size());
    EXPECT_TRUE(restored == c.output) << "restored bytes differ from the expected ones";
}

// `base` with the byte at each position replaced.
inline std::string with_bytes(std::string base, const std::vector<std::pair<size_t, unsigned char>>& changes) {
    for (const auto& change : changes) base[change.first] = static_cast<char>(change.second);
    return base;
}

}  // namespace e2e
