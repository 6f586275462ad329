// --disc: folders of rips of a synthesized disc, damaged differently in every rip, some tracks
// FLAC, one rip named otherwise, one track missing from a rip, one copy longer by a sector.

#include <gtest/gtest.h>
#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "audio/ar_response.h"
#include "e2e_util.h"
#include "run/picture.h"
#include "reference_checksums.h"
#include "test_support.h"

using namespace e2e;
using testing_support::read_file;
using testing_support::ScopedTempDir;
using testing_support::file_exists;
using testing_support::write_file;

namespace {

const uint32_t CONFIDENCE = 9;

// The processes of the process group `group` that have not been reaped; with `running`, those
// that have not ended either (a zombie is not counted: one whose parent ended waits for init).
size_t group_size(int group, bool running = false) {
    size_t n = 0;
    DIR* proc = opendir("/proc");
    while (const dirent* e = proc ? readdir(proc) : nullptr) {
        std::ifstream stat(std::string("/proc/") + e->d_name + "/stat");
        std::string line;
        if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) continue;
        std::istringstream rest(line.substr(line.rfind(')') + 2));
        char state = 0;
        int parent = 0, pgrp = 0;
        rest >> state >> parent >> pgrp;
        n += pgrp == group && !(running && state == 'Z');
    }
    if (proc) closedir(proc);
    return n;
}

// Track t (0-based) of the disc: 1.2 to 2.3 seconds of audio, whole sectors.
std::string original(size_t t) { return testing_support::synth_pcm(588 * (90 + 20 * t), 0, 40 + t); }

// Rip r's damage: a few samples, each at a place no other rip damages, both bytes changed.
std::string damaged(std::string pcm, size_t r, size_t t) {
    for (size_t k = 0; k < 3; k++) {
        const size_t at = 2 * (3000 + 15000 * k + 101 * r + 7 * t);
        pcm[at] ^= 0x5A;
        pcm[at + 1] ^= 0x5A;
    }
    return pcm;
}

void put_u32(std::string& b, uint32_t v) {
    for (int k = 0; k < 4; k++) b += static_cast<char>(v >> (8 * k));
}

// The ids as the test reckons them: track starts in sectors from 0, the lead-out after the last.
std::string response_file(size_t tracks, bool right_ids) {
    std::vector<uint64_t> starts{0};
    for (size_t t = 0; t < tracks; t++) starts.push_back(starts.back() + original(t).size() / 2352);
    uint32_t id1 = 0, id2 = 0, digits = 0;
    for (size_t k = 0; k < starts.size(); k++) {
        id1 += static_cast<uint32_t>(starts[k]);
        id2 += static_cast<uint32_t>((starts[k] ? starts[k] : 1) * (k + 1));
        for (uint64_t s = (starts[k] + 150) / 75; k < tracks && s; s /= 10) digits += s % 10;
    }
    const uint32_t seconds = static_cast<uint32_t>((starts.back() + 150) / 75 - 2);
    std::string b(1, static_cast<char>(tracks));
    put_u32(b, right_ids ? id1 : 1);
    put_u32(b, id2);
    put_u32(b, (digits % 255) << 24 | seconds << 8 | static_cast<uint32_t>(tracks));
    for (size_t t = 0; t < tracks; t++) {
        const std::string pcm = original(t);
        const uint64_t frames = pcm.size() / 4;
        const auto sums = testing_support::reference_track_sums(pcm, t == 0 ? 2940 : 1,
                                                                 t + 1 == tracks ? frames - 2940 : frames);
        b += static_cast<char>(CONFIDENCE);
        put_u32(b, sums.v2);
        put_u32(b, 0);
    }
    return b;
}

std::string hex(uint32_t v) {
    char text[9];
    snprintf(text, sizeof text, "%08x", v);
    return text;
}

void make_folder(const ScopedTempDir& dir, const std::string& name) { ASSERT_EQ(0, mkdir(dir.file(name).c_str(), 0755)); }

void encode_flac(const std::string& wav, const std::string& flac, size_t number) {
    const RunResult r = testing_support::run_program(
        {"/usr/bin/flac", "-s", "-f", "-T", "TRACKNUMBER=" + std::to_string(number), "-o", flac, wav});
    ASSERT_EQ(0, r.exit_code) << r.err;
    ASSERT_EQ(0, unlink(wav.c_str()));
}

// Four rips of four tracks: r1 "NN - Song N.wav"; r2 "trackNN.cdda.wav" with track 4 a sector
// longer; r3 FLAC named "Song X.flac" with TRACKNUMBER tags, track 4 WAV; r4 without track 3.
void make_disc(const ScopedTempDir& dir) {
    for (size_t r = 0; r < 4; r++) {
        make_folder(dir, "r" + std::to_string(r + 1));
        for (size_t t = 0; t < 4; t++) {
            if (r == 3 && t == 2) continue;
            std::string pcm = damaged(original(t), r, t);
            if (r == 1 && t == 3) pcm += original(0).substr(0, 2352);
            const std::string n = std::to_string(t + 1);
            const std::string name = r == 1 ? "track0" + n + ".cdda.wav" : "0" + n + " - Song " + n + ".wav";
            write_file(dir.file("r" + std::to_string(r + 1) + "/" + name), testing_support::wav_file(pcm));
            if (r == 2 && t < 3) encode_flac(dir.file("r3/" + name), dir.file("r3/Song " + std::string(1, 'A' + t) + ".flac"), t + 1);
        }
    }
}

std::string track_line(size_t t, size_t copies, size_t disputed) {
    const std::string n = std::to_string(t + 1);
    return "track " + n + "/4  0" + n + " - Song " + n + ".wav: " + std::to_string(copies) + " copies, " +
           std::to_string(disputed) + " samples disputed, 0 guessed; verified: AccurateRip matches (v2, confidence 9)\n";
}

std::string table_row(size_t t, size_t copies, size_t disputed) {
    char row[200];
    const std::string n = std::to_string(t + 1);
    snprintf(row, sizeof row, "%5s  %6zu  %8zu  %7s  %-23s  %-8s  %s\n", (n + "/4").c_str(), copies, disputed, "0",
             "verified (confidence 9)", hex(testing_support::reference_crc32(original(t))).c_str(),
             ("0" + n + " - Song " + n + ".wav").c_str());
    return row;
}

std::string disc_ids() {
    std::vector<uint64_t> frames;
    for (size_t t = 0; t < 4; t++) frames.push_back(original(t).size() / 4);
    return format_disc_ids(disc_ids_from_lengths(frames));
}

std::string ids_line() {
    return "disc ids " + disc_ids() + "; its AccurateRip response file is dBAR-" + disc_ids() + ".bin\n";
}

// The log, record and picture that make_disc's four rips leave: every rip lost its three damaged
// samples of each track it holds (all in the track's first second), r4 holds no track 3.
void expect_disc_files(const ScopedTempDir& dir) {
    const nlohmann::json j = nlohmann::json::parse(read_file(dir.file("out/copyvote.json")), nullptr, false);
    ASSERT_FALSE(j.is_discarded());
    EXPECT_EQ(j["disc"]["accuraterip_id"], disc_ids());
    EXPECT_EQ(j["disc"]["response_file_name"], "dBAR-" + disc_ids() + ".bin");
    ASSERT_EQ(j["rips"].size(), 4u);
    for (size_t r = 0; r < 4; r++) {
        const uint64_t held = r == 3 ? 3 : 4;
        EXPECT_EQ(j["rips"][r]["tracks_held"], held) << r;
        EXPECT_EQ(j["rips"][r]["disputes_lost"], 3 * held) << r;
        EXPECT_EQ(j["rips"][r]["format"], r == 2 ? "flac" : "wav") << r;
    }
    ASSERT_EQ(j["tracks"].size(), 4u);
    for (const auto& t : j["tracks"]) EXPECT_EQ(t["verdict"], "verified");
    EXPECT_NE(read_file(dir.file("out/copyvote.log")).find("Response  dBAR-" + disc_ids() + ".bin\n"), std::string::npos);

    const RunResult render = testing_support::run_program(
        {"/usr/bin/rsvg-convert", dir.file("out/copyvote.svg"), "-o", dir.file("picture.png")});
    ASSERT_EQ(render.exit_code, 0) << render.err;
    testing_support::png_image png;
    ASSERT_TRUE(testing_support::decode_png(read_file(dir.file("picture.png")), png));
    std::vector<picture_track> tracks(4);
    for (size_t t = 0; t < 4; t++) tracks[t].seconds = original(t).size() / 4 / 44100.0;
    const auto at = [&](size_t t, double second, size_t row) {
        return png.pixel(static_cast<uint32_t>(picture_x(tracks, t, second)),
                         static_cast<uint32_t>(PICTURE_TOP + row * PICTURE_ROW + 8));
    };
    for (size_t t = 0; t < 4; t++) {
        for (size_t r = 0; r < 4; r++) {
            const std::vector<uint8_t> lost = at(t, 0.5, r), clean = at(t, 1.1, r);
            if (r == 3 && t == 2) {  // held nothing: no mark, no bar
                EXPECT_FALSE(lost[0] > lost[1] + 80) << t << " " << r;
                EXPECT_NE(clean, std::vector<uint8_t>({0xe8, 0xe8, 0xe8})) << t << " " << r;
                continue;
            }
            EXPECT_TRUE(lost[0] > lost[1] + 80 && lost[0] > lost[2] + 80) << t << " " << r;
            EXPECT_EQ(clean, std::vector<uint8_t>({0xe8, 0xe8, 0xe8})) << t << " " << r;
        }
        const std::vector<uint8_t> result = at(t, 1.1, 4);  // verified: green
        EXPECT_TRUE(result[1] > result[0] + 50 && result[1] > result[2] + 50) << t;
    }
}

TEST(DiscE2ETest, RestoresAndVerifiesEveryTrack) {
    ScopedTempDir dir;
    make_disc(dir);
    const struct {
        bool right_ids;
        std::string err;
    } cases[] = {
        {true, ""},
        {false, "copyvote: warning: check the disc ids of ar.bin: the track lengths give the disc ids "},
    };
    for (const auto& c : cases) {
        write_file(dir.file("ar.bin"), response_file(4, c.right_ids));
        const RunResult r = run_copyvote({"--disc", "r1", "r2", "r3", "r4", "-o", "out", "--accuraterip", "ar.bin"},
                                         in_dir(dir.path()));
        EXPECT_EQ(0, r.exit_code) << r.err;
        EXPECT_EQ(c.err, r.err.substr(0, c.err.size()));
        EXPECT_EQ(c.err.empty(), r.err.empty()) << r.err;
        // r2's track 4, a sector longer, is cut where the others end.
        std::string rips;
        for (const char* r : {"r1", "r2", "r3", "r4"})
            rips += std::string(r) + ": read offset 0 frames against the reference (r1 r2 r3 r4)\n";
        EXPECT_EQ("4 tracks in 4 rips, paired by track number\n" + ids_line() + rips + track_line(0, 4, 12) + track_line(1, 4, 12) +
                      track_line(2, 3, 9) + track_line(3, 4, 12) + "\n" +
                      "track  copies  disputed  guessed  AccurateRip              CRC32     file\n" + table_row(0, 4, 12) +
                      table_row(1, 4, 12) + table_row(2, 3, 9) + table_row(3, 4, 12) + "4 tracks: 4 verified\n",
                  r.out);
        for (size_t t = 0; t < 4; t++) {
            const std::string n = std::to_string(t + 1);
            EXPECT_EQ(testing_support::wav_file(original(t)), read_file(dir.file("out/0" + n + " - Song " + n + ".wav")));
        }
        expect_disc_files(dir);
    }
}

// The disc's audio as a drive reads it `late` frames late (early when negative): every track file
// starts that much later in the disc, zeros where the drive reads past the disc's ends.
// With `drop`, the drive skips 10 frames 30000 frames into track 2 (zeros at the end instead).
std::vector<std::string> read_late(long late, bool drop = false) {
    std::string disc;
    std::vector<size_t> lengths;
    for (size_t t = 0; t < 4; t++) lengths.push_back(original(t).size()), disc += original(t);
    if (drop) disc = disc.substr(0, lengths[0] + 4 * 30000) + disc.substr(lengths[0] + 4 * 30010) + std::string(40, '\0');
    const std::string zeros(4 * static_cast<size_t>(std::labs(late)), '\0');
    disc = late >= 0 ? disc.substr(zeros.size()) + zeros : zeros + disc.substr(0, disc.size() - zeros.size());
    std::vector<std::string> tracks;
    for (size_t t = 0, at = 0; t < 4; at += lengths[t++]) tracks.push_back(disc.substr(at, lengths[t]));
    return tracks;
}

// Every rip's read offset: a drive that skips frames part way, a rip read 420 frames late beside two others (WAV, then FLAC; --align
// changes nothing), so that the vote needs it where the others differ; one read 300 frames early, a FLAC album whose rip 1 lacks a track (named and tagged from the
// next FLAC rip, not the WAV one), and rips that share a drive offset of 300 frames, found by the
// response file, also when every track keeps a frame that the vote got wrong (two rips share a
// wrong value there, a third holds another, the fourth the right one, which the track's doubtful
// frames list). Every output is the original track (the shared offset: the frames before the
// disc, which no rip holds, are silence).
TEST(DiscE2ETest, FindsEveryRipsOffset) {
    const std::string ref = " frames against the reference (r1 r2 r4)\n", ref3 = " frames against the reference (r1 r2)\n";
    const struct {
        std::vector<long> late;  // per rip
        bool flac;               // r1, r3 and r4 FLAC; r2 WAV
        size_t lacking;          // 1-based track r1 lacks, or 0
        std::vector<std::string> extra;
        std::string lines;  // after the first
        std::string after;  // the shared offset's line, before the voted tracks
        bool drop = false;  // r3's drive skips 10 frames in track 2
        bool kept_wrong = false;  // frame 20000 of every track: r1 and r2 one wrong value, r3 another
    } cases[] = {
        {{0, 0, 0}, false, 0, {}, "r1: read offset 0" + ref3 + "r2: read offset 0" + ref3 + "r3: read offset 0" + ref3.substr(0, ref3.size() - 1) + "; -10 frames from track 2 at 00:00.680\n", "", true},
        {{0, 0, -420}, false, 0, {}, "r1: read offset 0" + ref3 + "r2: read offset 0" + ref3 + "r3: read offset -420" + ref3, ""},
        {{0, 0, -420}, true, 0, {"--align"}, "r1: read offset 0" + ref3 + "r2: read offset 0" + ref3 + "r3: read offset -420" + ref3, ""},
        {{0, 0, 300, 0}, true, 2, {}, "r1: read offset 0" + ref + "r2: read offset 0" + ref + "r3: read offset +300" + ref + "r4: read offset 0" + ref, ""},
        {{-300, -300, -300, -300}, false, 0, {},
         "r1: read offset 0 frames against the reference (r1 r2 r3 r4)\nr2: read offset 0 frames against the reference (r1 r2 r3 r4)\n"
         "r3: read offset 0 frames against the reference (r1 r2 r3 r4)\nr4: read offset 0 frames against the reference (r1 r2 r3 r4)\n",
         "ar.bin: 4 tracks verified at offset +300 frames against the reference; the tracks are voted again, cut there\n"},
        {{-300, -300, -300, -300}, false, 0, {},
         "r1: read offset 0 frames against the reference (r1 r2 r3 r4)\nr2: read offset 0 frames against the reference (r1 r2 r3 r4)\n"
         "r3: read offset 0 frames against the reference (r1 r2 r3 r4)\nr4: read offset 0 frames against the reference (r1 r2 r3 r4)\n",
         "ar.bin: 4 tracks verified at offset +300 frames against the reference; the tracks are voted again, cut there\n", false, true},
    };
    for (const auto& c : cases) {
        ScopedTempDir dir;
        const size_t rips = c.late.size();
        for (size_t r = 0; r < rips; r++) {
            const std::string rip = "r" + std::to_string(r + 1);
            make_folder(dir, rip);
            const std::vector<std::string> tracks = read_late(-c.late[r], c.drop && r == 2);
            for (size_t t = 0; t < 4; t++) {
                if (r == 0 && t + 1 == c.lacking) continue;
                const std::string n = std::to_string(t + 1);
                const std::string name = r == 1 ? "track0" + n + ".cdda.wav" : "0" + n + " - Song " + n + ".wav";
                std::string pcm = damaged(tracks[t], r, t);
                for (size_t b = 0; c.kept_wrong && r < 3 && b < 4; b += 2) pcm[4 * 20000 + b] ^= r < 2 ? 0x11 : 0x22;
                write_file(dir.file(rip + "/" + name), testing_support::wav_file(pcm));
                if (c.flac && r != 1) encode_flac(dir.file(rip + "/" + name), dir.file(rip + "/0" + n + " - Song " + n + ".flac"), t + 1);
            }
        }
        write_file(dir.file("ar.bin"), response_file(4, true));
        std::vector<std::string> args{"--disc", "r1", "r2", "r3", "r4", "-o", "out", "--accuraterip", "ar.bin"};
        if (rips == 3) args.erase(args.begin() + 4);
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const RunResult r = run_copyvote(args, in_dir(dir.path()));
        EXPECT_EQ(0, r.exit_code) << r.out << r.err;
        const std::string head = "4 tracks in " + std::to_string(rips) + " rips, paired by track number\n" + ids_line() + c.lines;
        EXPECT_EQ(head, r.out.substr(0, head.size()));
        EXPECT_TRUE(c.after.empty() || r.out.find(c.after) != std::string::npos) << r.out;
        EXPECT_NE(std::string::npos, r.out.find("4 tracks: 4 verified\n")) << r.out;
        for (size_t t = 0; t < 4; t++) {
            const std::string n = std::to_string(t + 1);
            std::string want = original(t);
            if (t == 0 && !c.after.empty()) want.replace(0, 4 * 300, std::string(4 * 300, '\0'));
            std::string out = dir.file("out/0" + n + " - Song " + n + (c.flac ? ".flac" : ".wav"));
            ASSERT_TRUE(file_exists(out)) << r.out;
            if (c.flac) {
                EXPECT_NE(std::string::npos, read_file(out).find("TRACKNUMBER=" + n)) << n;
                const RunResult d = testing_support::run_program({"/usr/bin/flac", "-s", "-d", "-f", "-o", dir.file("d.wav"), out});
                ASSERT_EQ(0, d.exit_code) << d.err;
                out = dir.file("d.wav");
            }
            EXPECT_TRUE(testing_support::wav_file(want) == read_file(out)) << n;
        }
        // The record keeps each rip's offset as its line states it.
        const nlohmann::json j = nlohmann::json::parse(read_file(dir.file("out/copyvote.json")), nullptr, false);
        ASSERT_FALSE(j.is_discarded());
        ASSERT_EQ(j["rips"].size(), rips);
        for (size_t k = 0; k < rips; k++) {
            const std::string name = j["rips"][k]["folder"].get<std::string>() + ": read offset ";
            const size_t at = r.out.find(name);
            ASSERT_NE(std::string::npos, at) << name;
            EXPECT_EQ(j["rips"][k]["offset_samples"], std::stol(r.out.substr(at + name.size()))) << name;
        }
        std::set<std::string> left;  // no span file or other scratch file stays in OUTDIR
        for (const auto& e : std::filesystem::directory_iterator(dir.file("out")))
            if (e.path().filename().string()[0] == '.') left.insert(e.path().filename());
        EXPECT_TRUE(left.empty());
    }
}

// Three rips of three tracks: track 2 has a sample no two rips agree on, track 3 is in one rip
// only (its old output stays), the classic output of each track with -v.
TEST(DiscE2ETest, NotVerifiedAndLeftOut) {
    ScopedTempDir dir;
    for (size_t r = 0; r < 3; r++) {
        make_folder(dir, "r" + std::to_string(r + 1));
        for (size_t t = 0; t < 3 && (t < 2 || r == 0); t++) {
            std::string pcm = damaged(original(t), r, t);
            // Two samples no two rips agree on, two frames apart: one time in the summary.
            for (size_t q : {2 * 88200, 2 * 88200 + 8})
                if (t == 1) pcm[q] ^= static_cast<char>(r + 1), pcm[q + 1] ^= static_cast<char>(r + 1);
            write_file(dir.file("r" + std::to_string(r + 1) + "/0" + std::to_string(t + 1) + ".wav"),
                       testing_support::wav_file(pcm));
        }
    }
    write_file(dir.file("ar.bin"), response_file(3, true));
    make_folder(dir, "out");
    write_file(dir.file("out/03.wav"), "yesterday");
    for (bool verbose : {false, true}) {
        std::vector<std::string> args{"--disc", "r1", "r2", "r3", "-o", "out", "--accuraterip", "ar.bin"};
        if (verbose) args.push_back("-v");
        const RunResult r = run_copyvote(args, in_dir(dir.path()));
        EXPECT_EQ(1, r.exit_code);
        const std::string repair = "track 2/3  02.wav: not repaired: no combination of the copies' values";
        const size_t at = r.out.find(repair);
        ASSERT_NE(std::string::npos, at) << r.out;
        const std::string lines = r.out.substr(0, at) + r.out.substr(r.out.find('\n', at) + 1);
        std::string own;  // the disc's own lines; -v puts each track's classic output between them
        for (size_t p = 0; p < lines.size(); p = lines.find('\n', p) + 1) {
            if (lines.compare(p, 6, "track ") == 0) own += lines.substr(p, lines.find('\n', p) + 1 - p);
        }
        EXPECT_EQ("track 1/3  01.wav: 3 copies, 9 samples disputed, 0 guessed; verified: AccurateRip matches (v2, "
                  "confidence 9)\n"
                  "track 2/3  02.wav: 3 copies, 11 samples disputed, 2 guessed; not verified: AccurateRip matches none "
                  "of 1 entry in 1 record\n"
                  "track 3/3  03.wav: left out: only r1 holds it\n"
                  "track  copies  disputed  guessed  AccurateRip              CRC32     file\n",
                  own);
        EXPECT_EQ("3 tracks: 1 verified, 1 not verified (track 2: 2 samples guessed at 00:01.000), 1 left out (track 3)\n",
                  lines.substr(lines.rfind('\n', lines.size() - 2) + 1));
        size_t statistics = 0;
        for (size_t p = 0; (p = r.out.find("\nCPU  :", p)) != std::string::npos; p++) statistics++;
        EXPECT_EQ(verbose ? 2u : 0u, statistics);
        EXPECT_EQ(verbose, r.err.find("processing:") != std::string::npos);
        EXPECT_EQ("yesterday", read_file(dir.file("out/03.wav")));
    }
}

// Every file and symbolic link under `root`, with its content or target: what a refused disc must
// leave as it was.
std::map<std::string, std::string> tree(const std::string& root) {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        files[e.path()] = e.is_symlink() ? "-> " + std::filesystem::read_symlink(e.path()).string()
                          : e.is_regular_file() ? read_file(e.path()) : "dir";
    }
    return files;
}

TEST(DiscE2ETest, RefusesBadInput) {
    ScopedTempDir dir;
    // a to e: numbered WAV names; e's copy of track 1 is a link to a's. f to h: FLAC paired by
    // TRACKNUMBER, track 2 not in f and named x.flac in g, as track 1 in f. i to k: paired by
    // names, one track named like the other's map.
    const char* const files[][2] = {{"a/01.wav", "0"}, {"b/01.wav", "0"}, {"c/01.wav", "0"}, {"c/track1.wav", "0"},
                                    {"d/01.wav", "0"}, {"a/02.wav", "1"}, {"b/02.wav", "1"}, {"d/02.wav", "1"},
                                    {"f/x.flac", "0"}, {"g/y.flac", "0"}, {"g/x.flac", "1"}, {"h/y.flac", "0"},
                                    {"h/z.flac", "1"}, {"i/s.wav", "0"}, {"j/s.wav", "0"}, {"k/s.wav", "0"},
                                    {"i/s.wav.tsv", "1"}, {"j/s.wav.tsv", "1"}, {"k/s.wav.tsv", "1"}};
    for (const char* rip : {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "empty"}) make_folder(dir, rip);
    for (const auto& f : files) {
        const size_t t = static_cast<size_t>(f[1][0] - '0');
        const bool flac = std::string(f[0]).find(".flac") != std::string::npos;
        write_file(dir.file(flac ? "t.wav" : f[0]), testing_support::wav_file(original(t)));
        if (flac) encode_flac(dir.file("t.wav"), dir.file(f[0]), t + 1);
    }
    ASSERT_EQ(0, symlink("../a/01.wav", dir.file("e/01.wav").c_str()));
    write_file(dir.file("empty/notes.txt"), "no audio here");
    write_file(dir.file("ar.bin"), response_file(2, true));
    char real[PATH_MAX];
    ASSERT_TRUE(realpath(dir.path().c_str(), real));
    const struct {
        std::vector<std::string> args;
        std::string err;
        std::vector<std::pair<std::string, std::string>> links = {};  // made in o/ first: name, target
    } cases[] = {
        {{"a", "-o", "out"}, "copyvote: read --disc: give at least two rip folders (three for a vote)\n"},
        {{"a", "b"}, "copyvote: read --disc: give the folder for the restored tracks with -o OUTDIR\n"},
        {{"a", "b", "nope", "-o", "out"}, "copyvote: read nope: No such file or directory\n"},
        {{"a", "b", "empty", "-o", "out"}, "copyvote: read empty: the folder holds no WAV or FLAC file\n"},
        {{"a", "b", "c", "-o", "out"}, "copyvote: read c: 01.wav and track1.wav both claim track 1\n"},
        {{"a", "b", "-o", "b/out"},
         "copyvote: write b/out: it lies inside the rip folder b; the restored tracks must go elsewhere\n"},
        {{"a", "b", "-o", "a"}, "copyvote: write a: it is the rip folder a; the restored tracks must go elsewhere\n"},
        {{"a", "b", "--track", "1/2", "-o", "out"},
         "copyvote: read --track: --disc gives every track its own position and sums; leave it out\n"},
        {{"a", "b", "--report", "r.json", "-o", "out"},
         "copyvote: read --report: --disc writes its record and picture to OUTDIR (copyvote.json, copyvote.svg); "
         "leave it out\n"},
        // One folder named twice, and a copy that is another rip's file.
        {{"a", "b", "a/", "-o", "out"}, "copyvote: read a/: it is the rip folder a again; name each rip once\n"},
        {{"a", "b", "e", "-o", "out"},
         "copyvote: read e/01.wav: it is a/01.wav; each copy of track 1 must be a file of its own\n"},
        // An output that is a file of a rip folder, by a symbolic or a hard link, or the response file.
        {{"a", "b", "d", "-o", "o"}, "copyvote: write o/01.wav: it is a/02.wav, a file of the rip folder a; nothing was written\n",
         {{"01.wav", "../a/02.wav"}}},
        {{"a", "b", "d", "-o", "o"}, "copyvote: write o/02.wav: it is d/01.wav, a file of the rip folder d; nothing was written\n",
         {{"02.wav", "hard:d/01.wav"}}},
        {{"a", "b", "d", "-o", "o", "--accuraterip", "ar.bin"},
         "copyvote: write o/02.wav: it is the response file ar.bin; nothing was written\n", {{"02.wav", "../ar.bin"}}},
        // A link to a name in a rip folder that does not exist yet, and to another track's output.
        {{"a", "b", "d", "-o", "o"},
         "copyvote: write o/02.wav: it leads to " + std::string(real) + "/b/new.wav, inside the rip folder b; nothing was written\n",
         {{"02.wav", "../b/new.wav"}}},
        {{"a", "b", "d", "-o", "o"},
         "copyvote: write o/02.wav: it would be the output of track 1 (a/01.wav) and the output of track 2 (a/02.wav); "
         "nothing was written\n",
         {{"02.wav", "01.wav"}}},
        // Two tracks of one name, and a track named like another's map.
        {{"f", "g", "h", "-o", "out"},
         "copyvote: write out/x.flac: it would be the output of track 1 (f/x.flac) and the output of track 2 (g/x.flac); "
         "nothing was written\n"},
        {{"i", "j", "k", "-o", "out", "--map", "out/"},
         "copyvote: write out/s.wav.tsv: it would be the map of track 1 (i/s.wav) and the output of track 2 (i/s.wav.tsv); "
         "nothing was written\n"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(dir.file("o"));
        make_folder(dir, "o");
        for (const auto& l : c.links) {
            if (l.second.compare(0, 5, "hard:") == 0) {
                ASSERT_EQ(0, link(dir.file(l.second.substr(5)).c_str(), dir.file("o/" + l.first).c_str()));
            } else {
                ASSERT_EQ(0, symlink(l.second.c_str(), dir.file("o/" + l.first).c_str()));
            }
        }
        const std::map<std::string, std::string> before = tree(dir.path());
        std::vector<std::string> args{"--disc"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = run_copyvote(args, in_dir(dir.path()));
        EXPECT_EQ(255, r.exit_code) << c.err;
        EXPECT_EQ("", r.out);
        EXPECT_EQ(c.err, r.err);
        EXPECT_TRUE(before == tree(dir.path())) << c.err;
    }
}

// Track 2's run is held in its first read of r3/02.wav (a shim) and then interrupted, by a signal
// to the process group (Ctrl-C) or to the disc alone, or that read fails. OUTDIR is left with the
// tracks before it and whatever was there: no scratch file, no temporary file, no part of a new
// output; and no process of the disc is left running.
TEST(DiscE2ETest, AnInterruptedOrFailedTrackLeavesOutdirAsItWas) {
    const std::string kept = "copyvote: write out/02.wav: interrupted; the previous out/02.wav was kept\n";
    const std::string stopped = "copyvote: vote --disc: interrupted; the tracks not listed above were not voted\n";
    const struct {
        int sig;  // 0: the read fails
        bool group;
        bool old_output;  // out/02.wav holds "old" before
        std::string err_end;
        bool first = false;  // held in track 1's read, OUTDIR not there before: it is not left behind
    } cases[] = {
        {SIGINT, true, true, kept + stopped},
        {SIGINT, true, false, "processing:\n" + stopped},
        {SIGINT, false, true, kept + stopped},
        {SIGTERM, false, false, "processing:\n" + stopped},
        {0, false, false, ""},
        {SIGINT, true, false, "processing:\n" + stopped, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(&c - cases));
        ScopedTempDir dir;
        for (size_t r = 0; r < 3; r++) {
            make_folder(dir, "r" + std::to_string(r + 1));
            for (size_t t = 0; t < 2; t++) {
                write_file(dir.file("r" + std::to_string(r + 1) + "/0" + std::to_string(t + 1) + ".wav"),
                           testing_support::wav_file(damaged(original(t), r, t)));
            }
        }
        if (!c.first) make_folder(dir, "out");
        if (c.old_output) write_file(dir.file("out/02.wav"), "old");
        RunOptions options = in_dir(dir.path());
        options.env = shim_env("fail_read", {std::string("FAIL_READ_PATH=r3/0") + (c.first ? "1" : "2") + ".wav", c.sig ? "FAIL_READ_STALL=" + dir.file("held") : "FAIL_READ_ERRNO=5"});
        std::thread interrupter;
        int pid = 0;
        if (c.sig) options.on_start = [&](int started) {
            pid = started;
            interrupter = std::thread([&] {
                for (int k = 0; k < 6000 && !file_exists(dir.file("held")); k++) usleep(10000);
                // Track 1's run goes on beside track 2's: held in track 2, the signal waits for
                // track 1's output and for its run to be gone (the disc and track 2's run left).
                for (int k = 0; k < 6000 && !c.first && !(file_exists(dir.file("out/01.wav")) && group_size(pid) == 2); k++)
                    usleep(10000);
                kill(c.group ? -pid : pid, c.sig);
            });
        };
        // setsid: the disc and its tracks' runs in a process group of their own, as a shell's job.
        const RunResult r = testing_support::run_program({"/usr/bin/setsid", testing_support::copyvote_path(), "--disc", "r1", "r2", "r3", "-o", "out"}, options);
        if (interrupter.joinable()) interrupter.join();
        // The sanitizer's leak check runs at exit in a task of its own, which a signal may orphan.
        EXPECT_FALSE(pid != 0 && group_size(pid, true) > 0) << "a process of the disc was left running";
        if (pid != 0) kill(-pid, SIGKILL);
        EXPECT_EQ(c.sig, r.signal);
        EXPECT_EQ(c.sig ? -1 : 255, r.exit_code);
        // Held in track 1, track 2's run may have been stopped too: its own lines come after track 1's.
        const std::string& end = c.first ? stopped : c.err_end;
        EXPECT_TRUE(r.err.size() >= end.size() && r.err.compare(r.err.size() - end.size(), std::string::npos, end) == 0)
            << r.err;
        if (c.first) {
            // Track 2's run goes on beside track 1's: it is kept whole when it ended before the
            // signal came, else nothing is left, not even OUTDIR.
            if (file_exists(dir.file("out"))) {
                EXPECT_EQ(testing_support::wav_file(original(1)), read_file(dir.file("out/02.wav")));
                EXPECT_EQ(1u, std::distance(std::filesystem::directory_iterator(dir.file("out")), {}));
                EXPECT_NE(std::string::npos, r.out.find("track 2/2  02.wav: ")) << r.out;
            }
            continue;
        }
        std::set<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir.file("out"))) names.insert(e.path().filename());
        EXPECT_EQ(c.old_output ? std::set<std::string>({"01.wav", "02.wav"}) : std::set<std::string>({"01.wav"}), names);
        EXPECT_EQ(testing_support::wav_file(original(0)), read_file(dir.file("out/01.wav")));
        if (c.old_output) {
            EXPECT_EQ("old", read_file(dir.file("out/02.wav")));
        }
    }
}

}  // namespace
