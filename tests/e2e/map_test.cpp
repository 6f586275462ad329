// The map file of --map: the maps that are refused, and a run whose map is derived from the
// inputs themselves and which is otherwise exactly the run without --map.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "test_support.h"

using namespace e2e;
using testing_support::file_exists;
using testing_support::random_bytes;
using testing_support::read_file;
using testing_support::ScopedTempDir;
using testing_support::write_file;

namespace {

std::string same_file(const std::string& map, const std::string& role, const std::string& other) {
    return "copyvote: open map " + map + ": it is also the " + role + " " + other + "; nothing was written\n";
}

// 44-byte header of CD audio followed by `data`.
std::string cd_wav(const std::string& data) {
    std::string h("RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x02\0\x44\xac\0\0\x10\xb1\x02\0\x04\0\x10\0data", 40);
    for (int i = 0; i < 4; i++) h += static_cast<char>(data.size() >> (8 * i));
    return h + data;
}

// The run lines and total line of the byte vote, derived byte by byte from the copies and the
// output: a run is a stretch where not all copies agree; `disputed` gets its bytes.
std::string derived_runs(const std::vector<std::string>& copies, const std::string& output,
                         unsigned long long& disputed) {
    std::string rows;
    unsigned long long runs = 0, guessed_total = 0, guessed = 0, begin = 0, weakest = 0;
    std::vector<bool> lost;
    disputed = 0;
    for (size_t q = 0; q <= output.size(); q++) {
        size_t holders = 0, largest = 0;
        for (size_t i = 0; q < output.size() && i < copies.size(); i++) {
            holders += copies[i][q] == output[q];
            largest = std::max(largest, static_cast<size_t>(std::count_if(
                                            copies.begin(), copies.end(), [&](auto& c) { return c[q] == copies[i][q]; })));
        }
        if (q < output.size() && largest < copies.size()) {  // disputed
            if (lost.empty()) begin = q, weakest = holders, guessed = 0, lost.assign(copies.size(), false);
            for (size_t i = 0; i < copies.size(); i++) lost[i] = lost[i] || copies[i][q] != output[q];
            weakest = std::min<unsigned long long>(weakest, holders);
            guessed += largest == 1;
            continue;
        }
        if (lost.empty()) continue;
        std::string lost_list;
        for (size_t i = 0; i < lost.size(); i++)
            if (lost[i]) lost_list += (lost_list.empty() ? "" : ",") + std::to_string(i);
        char time[64] = "\t";
        const unsigned long long frame = (begin - 44) / 4, sec = frame / 44100, cd = frame / 588;
        if (begin >= 44)
            snprintf(time, sizeof time, "%02llu:%02llu.%03llu\t%02llu:%02llu:%02llu", sec / 60, sec % 60,
                     frame % 44100 * 1000 / 44100, cd / 75 / 60, cd / 75 % 60, cd % 75);
        rows += std::to_string(begin) + "\t" + std::to_string(q - begin) + "\t" + std::to_string(guessed) + "\t" +
                std::to_string(weakest) + "\t" + lost_list + "\t" + time + "\n";
        runs++, guessed_total += guessed, disputed += q - begin;
        lost.clear();
    }
    return rows + "# total\t" + std::to_string(disputed) + "\t" + std::to_string(guessed_total) + "\t" +
           std::to_string(runs) + "\n";
}

// The "# listen" lines after the runs, derived sample by sample from the copies and the output of
// a CD WAV file with a 44-byte header: a lone copy's value that beat a group of several copies, a
// majority won by at most one copy over another group of several, and samples with a byte no two
// copies agreed on; a stretch of one kind is one place; most doubtful kind first, then the
// narrowest margin, then in time.
std::string derived_listen(const std::vector<std::string>& copies, const std::string& output) {
    struct place {
        int kind;
        long margin;
        size_t frame;
    };
    std::vector<place> places;
    size_t last[4] = {SIZE_MAX, SIZE_MAX, SIZE_MAX, SIZE_MAX};
    const auto note = [&](int kind, size_t s, long margin) {
        if (last[kind] == SIZE_MAX || s > last[kind] + 1) places.push_back({kind, margin, s / 2});
        last[kind] = s;
    };
    const auto sample = [](const std::string& c, size_t q) { return c.substr(q, 2); };
    for (size_t q = 44; q + 1 < output.size(); q += 2) {
        std::map<std::string, size_t> groups;
        for (const std::string& c : copies) groups[sample(c, q)]++;
        if (groups.size() == 1) continue;
        const size_t s = (q - 44) / 2;
        bool guessed = false;
        for (size_t b = q; b < q + 2; b++) {
            size_t largest = 0;
            for (const std::string& c : copies)
                largest = std::max(largest, static_cast<size_t>(std::count_if(
                                                copies.begin(), copies.end(), [&](auto& d) { return d[b] == c[b]; })));
            guessed = guessed || largest == 1;
        }
        if (guessed) note(3, s, 0);
        const size_t chosen = groups.count(sample(output, q)) ? groups[sample(output, q)] : 0;
        size_t other = 0;
        for (const auto& g : groups)
            if (g.first != sample(output, q)) other = std::max(other, g.second);
        if (chosen == 1 && other >= 2) note(1, s, -static_cast<long>(other));
        else if (chosen >= 2 && other >= 2 && chosen <= other + 1) note(2, s, static_cast<long>(chosen - other));
    }
    std::stable_sort(places.begin(), places.end(), [](const place& a, const place& b) {
        return a.kind != b.kind ? a.kind < b.kind : a.margin != b.margin ? a.margin < b.margin : a.frame < b.frame;
    });
    static const char* const WHY[] = {"no-copy", "lone-overrule", "narrow-majority", "guess"};
    std::string lines;
    for (const place& p : places) {
        char time[32];
        const unsigned long long ms = p.frame * 1000ull / 44100;
        snprintf(time, sizeof time, "%02llu:%02llu.%03llu", ms / 60000, ms / 1000 % 60, ms % 1000);
        lines += "# listen\t" + std::to_string(44 + p.frame * 4) + "\t" + time + "\t" + WHY[p.kind] + "\n";
    }
    return lines;
}

// The runs of -a, derived sample by sample from the copies and the output: a run is a stretch of
// samples at which not all copies agree, whatever the screening made of them. Gives each run's
// offset, bytes and lost columns, and counts the runs.
std::string derived_sample_runs(const std::vector<std::string>& copies, const std::string& output, size_t& runs,
                                size_t& bytes) {
    std::string rows;
    std::vector<bool> lost;
    size_t begin = 0;
    runs = bytes = 0;
    for (size_t q = 44; q + 2 <= output.size() + 2; q += 2) {
        bool disagree = false;
        for (size_t i = 1; q + 2 <= output.size() && i < copies.size(); i++)
            disagree = disagree || copies[i].compare(q, 2, copies[0], q, 2) != 0;
        if (disagree) {
            if (lost.empty()) begin = q, lost.assign(copies.size(), false);
            for (size_t i = 0; i < copies.size(); i++) lost[i] = lost[i] || copies[i].compare(q, 2, output, q, 2) != 0;
            continue;
        }
        if (lost.empty()) continue;
        std::string lost_list;
        for (size_t i = 0; i < lost.size(); i++)
            if (lost[i]) lost_list += (lost_list.empty() ? "" : ",") + std::to_string(i);
        rows += std::to_string(begin) + "\t" + std::to_string(q - begin) + "\t" + lost_list + "\n";
        runs++;
        bytes += q - begin;
        lost.clear();
    }
    return rows;
}

// The offset, bytes and lost columns of a map's runs.
std::string map_columns(const std::string& map, size_t& runs) {
    std::string rows;
    runs = 0;
    const std::regex row("^([0-9]+)\t([0-9]+)\t[0-9]+\t[0-9]+\t([0-9,]*)\t.*$");
    std::smatch m;
    size_t at = 0;
    while (at < map.size()) {
        const size_t end = map.find('\n', at);
        const std::string line = map.substr(at, end - at);
        at = end == std::string::npos ? map.size() : end + 1;
        if (!std::regex_match(line, m, row)) continue;
        rows += m[1].str() + "\t" + m[2].str() + "\t" + m[3].str() + "\n";
        runs++;
    }
    return rows;
}

std::string without_timings(const std::string& out) {
    return std::regex_replace(out, std::regex("[0-9]+\\.[0-9]+"), "#");
}

}  // namespace

TEST(MapFile, ABadMapIsRefusedBeforeAnythingIsTruncatedAndLeavesNoFile) {
    const struct {
        std::vector<std::string> args;
        std::string out;  // standard output (the usage text when `usage`)
        std::string err;
        bool usage = false;
    } cases[] = {
        {{"--map"}, "", "", true},
        {{"--map", "2.wav"}, CLEAR_SCREEN, same_file("2.wav", "input", "2.wav")},
        {{"--map", "./out.wav"}, CLEAR_SCREEN, same_file("./out.wav", "output", "out.wav")},
        {{"-o", "new", "--map", "new"}, CLEAR_SCREEN, same_file("new", "output", "new")},
        {{"new.wav", "--map", "new.wav"}, CLEAR_SCREEN, same_file("new.wav", "input", "new.wav")},
        {{"--map", "nodir/map"}, CLEAR_SCREEN, "copyvote: create map nodir/map: " + std::string(strerror(ENOENT)) + "\n"},
        {{"-o", "-", "--map", "con"}, "", CLEAR_SCREEN + same_file("con", "output", "-")},
    };
    for (const auto& c : cases) {
        ScopedTempDir dir;
        write_all(dir, {"1.wav", "2.wav", "3.wav", "out.wav"}, "old");
        std::vector<std::string> args = {"1.wav", "2.wav", "3.wav"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = run_copyvote(args, in_dir(dir.path()));
        EXPECT_EQ(r.exit_code, 255) << c.args.back();
        if (c.usage) {
            EXPECT_EQ(r.out.rfind(CLEAR_SCREEN + ":: statistical data restore utility", 0), 0u) << r.out;
        } else {
            EXPECT_EQ(r.out, c.out) << c.args.back();
        }
        EXPECT_EQ(r.err, c.err) << c.args.back();
        for (const char* name : {"1.wav", "2.wav", "3.wav", "out.wav"}) EXPECT_EQ(read_file(dir.file(name)), "old");
        const auto entries = std::filesystem::directory_iterator(dir.path());
        EXPECT_EQ(std::distance(begin(entries), end(entries)), 4) << c.args.back();
    }
}

// The map: runs in the header, across words, across the block boundary, guessed bytes and the
// file's last byte; a name that would break the comment line. Everything else of the run is what
// it is without --map. Three copies take the engine's whole-word path, five the general one.
TEST(MapFile, RunsDerivedFromTheInputsAndTheRestOfTheRunUnchanged) {
    const std::string clean = cd_wav(random_bytes(2 * 1024 * 1024 + 100 * 1024, 7));
    std::vector<std::string> all(5, clean);
    all[1][10] ^= 1;
    for (size_t q = 2 * 1024 * 1024 - 3; q < 2 * 1024 * 1024 + 3; q++) all[0][q] ^= 1, all[2][q] ^= 2;
    for (size_t i = 0; i < 5; i++) all[i][1000000] ^= static_cast<char>(i), all[i][1000001] ^= 1;
    for (size_t q = 44 + 176400 * 5 + 7; q < 44 + 176400 * 5 + 20; q++) all[3][q] ^= 0x40;
    all[4].back() ^= 0x10;
    all[2].back() ^= 0x20;
    all[0][44 + 4002] ^= 4, all[1][44 + 4002] ^= 4;  // five copies: a majority of three against two
    const std::vector<std::string> all_names = {"1.wav", "2.wav", "3.wav", "4.wav", "5\n.wav"};
    for (size_t count : {size_t{5}, size_t{3}}) {
        const std::vector<std::string> copies(all.begin(), all.begin() + count);
        const std::vector<std::string> names(all_names.begin(), all_names.begin() + count);
        ScopedTempDir dir;
        for (size_t i = 0; i < count; i++) write_file(dir.file(names[i]), copies[i]);

        const RunResult plain = run_copyvote(names, in_dir(dir.path()));
        const std::string plain_output = read_file(dir.file("out.wav"));
        std::vector<std::string> args = names;
        args.insert(args.end(), {"--map", "map.tsv"});
        const RunResult mapped = run_copyvote(args, in_dir(dir.path()));
        EXPECT_EQ(mapped.exit_code, plain.exit_code);
        EXPECT_EQ(mapped.err, plain.err);
        EXPECT_EQ(without_timings(mapped.out), without_timings(plain.out));
        const std::string output = read_file(dir.file("out.wav"));
        ASSERT_TRUE(output == plain_output);

        std::string head = "# copyvote " COPYVOTE_VERSION "\tbyte vote\t" + std::to_string(count) + " inputs";
        for (size_t i = 0; i < count; i++) head += "\t" + std::to_string(i) + ":" + (i == 4 ? "5?.wav" : names[i]);
        head += "\noffset\tbytes\tguessed\tweakest\tlost\ttime\tcd\n";
        const std::string map = read_file(dir.file("map.tsv"));
        ASSERT_EQ(map.substr(0, head.size()), head);
        unsigned long long disputed = 0;
        const std::string rows = derived_runs(copies, output, disputed);
        const size_t total = rows.rfind("# total");
        EXPECT_EQ(map.substr(head.size()),
                  rows.substr(0, total) + derived_listen(copies, output) + rows.substr(total))
            << count << " copies";
    }
}

// With -a the screening passes over copies whose sample lies within 1 of its neighbours' mean,
// so that the others can agree without a dispute. Every position where the copies disagree is
// still in the map, and the total line keeps the statistics' count.
TEST(MapFile, SampleVoteRunsCoverEveryPositionWhereTheCopiesDisagree) {
    const std::string clean = cd_wav(random_bytes(300000, 11));
    std::vector<std::string> copies(5, clean);
    const auto set16 = [](std::string& c, size_t q, unsigned v) {
        c[q] = static_cast<char>(v & 0xFF), c[q + 1] = static_cast<char>(v >> 8);
    };
    const auto at16 = [](const std::string& c, size_t q) {
        return static_cast<unsigned>(static_cast<uint8_t>(c[q]) | static_cast<uint8_t>(c[q + 1]) << 8);
    };
    // Copy 0 (and at some places copy 2 as well) holds the mean of its neighbouring values: passed over.
    for (size_t q = 1000; q < 200000; q += 4002) {
        for (size_t k = 0; k < 3; k++) {
            const size_t p = q + 4 * k;
            set16(copies[0], p, (at16(copies[0], p - 2) + at16(copies[0], p + 2)) / 2);
            if (q % 3 == 0) set16(copies[2], p, (at16(copies[2], p - 2) + at16(copies[2], p + 2)) / 2);
        }
    }
    for (size_t q = 250000; q < 260000; q += 997) copies[q % 5][q] ^= 0x21;  // ordinary disputes
    ScopedTempDir dir;
    const std::vector<std::string> names = {"1.wav", "2.wav", "3.wav", "4.wav", "5.wav"};
    for (size_t i = 0; i < 5; i++) write_file(dir.file(names[i]), copies[i]);
    std::vector<std::string> args = names;
    args.insert(args.end(), {"-a", "--map", "map.tsv"});
    const RunResult r = run_copyvote(args, in_dir(dir.path()));
    ASSERT_EQ(r.exit_code, 0);
    const std::string output = read_file(dir.file("out.wav"));
    const std::string map = read_file(dir.file("map.tsv"));
    size_t derived_runs = 0, derived_bytes = 0, map_runs = 0;
    const std::string expected = derived_sample_runs(copies, output, derived_runs, derived_bytes);
    EXPECT_GT(derived_runs, 40u);
    EXPECT_EQ(map_columns(map, map_runs), expected);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(map, m, std::regex("# total\t([0-9]+)\t[0-9]+\t([0-9]+)\n$")));
    EXPECT_EQ(m[2].str(), std::to_string(derived_runs));
    std::smatch s;
    ASSERT_TRUE(std::regex_search(r.out, s, std::regex("errors: *[0-9]+ KB = ([0-9]+) bytes"))) << r.out;
    EXPECT_EQ(m[1].str(), s[1].str());                 // the statistics' count, unchanged,
    EXPECT_LT(std::stoull(m[1].str()), derived_bytes);  // which leaves out the screened samples
}

// The map never lands on an input and never mixes with the program's text, whatever name leads
// to the file: standard output redirected into an input or into the map itself, standard error
// redirected into a file, a name longer than a row.
TEST(MapFile, StandardStreamsAndLongNamesAreJudgedByWhereTheyLead) {
    const std::string data = random_bytes(3000, 9);
    std::string damaged = data;
    damaged[100] ^= 1;
    const std::vector<std::string> names = {"1.wav", "2.wav", "3.wav"};
    const std::string long_name(1024, 'm');
    const struct {
        std::vector<std::string> args;
        std::string stdout_file;  // standard output appended here
        bool stderr_to_stdout;
        int exit_code;
        std::string err_start;  // what standard error starts with (the whole of it when refused)
    } cases[] = {
        {{"--map", "-"}, "1.wav", false, 255, CLEAR_SCREEN + same_file("-", "input", "1.wav")},
        {{"--map", "/dev/stdout"}, "1.wav", false, 255, CLEAR_SCREEN + same_file("/dev/stdout", "input", "1.wav")},
        {{"--map", "/dev/stdout"}, "m.tsv", false, 0, CLEAR_SCREEN + status_lines("out.wav", names)},
        {{"--map", "m.tsv"}, "m.tsv", false, 0, CLEAR_SCREEN + status_lines("out.wav", names)},
        {{"--map", "/dev/stderr"}, "log", true, 255, ""},
        {{"--map", long_name}, "", false, 255, ""},
    };
    for (const auto& c : cases) {
        ScopedTempDir dir;
        write_all(dir, {"1.wav", "3.wav"}, data);
        write_file(dir.file("2.wav"), damaged);
        RunOptions options = in_dir(dir.path());
        if (!c.stdout_file.empty()) options.stdout_file = dir.file(c.stdout_file);
        options.stderr_to_stdout = c.stderr_to_stdout;
        std::vector<std::string> args = names;
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = run_copyvote(args, options);
        const std::string what = c.args.back().substr(0, 20) + " > " + c.stdout_file;
        EXPECT_EQ(r.exit_code, c.exit_code) << what;
        EXPECT_EQ(read_file(dir.file("1.wav")), data) << what;
        if (c.stdout_file == "1.wav") {
            EXPECT_EQ(r.err, c.err_start) << what;
        }
        if (c.stdout_file == "m.tsv") {
            EXPECT_EQ(r.err.substr(0, c.err_start.size()), c.err_start) << what;
            EXPECT_EQ(read_file(dir.file("m.tsv")).rfind("# copyvote ", 0), 0u) << what;
            EXPECT_EQ(read_file(dir.file("m.tsv")).find("CPU  :"), std::string::npos) << what;
        }
        if (c.stderr_to_stdout) {
            EXPECT_EQ(read_file(dir.file("log")),
                      CLEAR_SCREEN + "copyvote: open map /dev/stderr: it is also the standard error stream; nothing "
                                     "was written\n");
            EXPECT_FALSE(file_exists(dir.file("out.wav")));
        }
        if (c.args.back() == long_name) {
            EXPECT_EQ(r.out, CLEAR_SCREEN + error_line("map name of 1024 bytes, longer than the 1023 bytes a name may have: " +
                                                           long_name.substr(0, 60) + "..." + long_name.substr(964),
                                                       ENAMETOOLONG));
            EXPECT_FALSE(file_exists(dir.file("out.wav")));
        }
    }
}
