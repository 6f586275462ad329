#include "audio/align.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <cstring>
#include <string>
#include <vector>

#include "audio/align_probe.h"
#include "test_support.h"

using testing_support::ScopedTempDir;
using testing_support::shifted_pcm;
using testing_support::synth_pcm;

namespace {

const size_t FRAMES = 120000;

// A burst of 12 wrong bytes every `every` bytes.
std::string damaged(std::string bytes, size_t every) {
    for (size_t at = every / 3; at + 12 < bytes.size(); at += every) {
        for (size_t k = 0; k < 12; k++) bytes[at + k] = static_cast<char>(bytes[at + k] ^ (0x5A + k));
    }
    return bytes;
}

// Searches the shift of `copy` against `first`, both written to files and read by position.
align_result find_shift(const std::string& first, const std::string& copy, uint64_t unit) {
    ScopedTempDir dir;
    testing_support::write_file(dir.file("0"), first);
    testing_support::write_file(dir.file("1"), copy);
    const int fd0 = open(dir.file("0").c_str(), O_RDONLY), fd1 = open(dir.file("1").c_str(), O_RDONLY);
    auto probes = std::make_unique<align_probes>();
    EXPECT_EQ(align_take_probes(*probes, align_region{fd0, 0, first.size()}, unit), 0);
    const align_result r = align_find_shift(*probes, align_region{fd1, 0, copy.size()});
    close(fd0);
    close(fd1);
    return r;
}

struct FoundCase {
    const char* what;
    int64_t shift;  // bytes
    size_t silent;  // frames of digital silence that open the track
    uint64_t unit;
    size_t cut = 0;  // the copy ends after this many bytes (0: it does not end early)
};

const FoundCase FOUND[] = {
    {"one frame late", 4, 0, 4},
    {"one frame early", -4, 0, 4},
    {"hundreds of frames late", 1200, 0, 4},
    {"hundreds of frames early", -2668, 0, 4},
    {"3000 frames late", 12000, 0, 4},
    {"2999 frames early", -11996, 0, 4},
    {"not shifted", 0, 0, 4},
    {"after half a track of silence", 2668, FRAMES / 2, 4},
    {"16-bit samples, one sample", 2, 0, 2},
    {"16-bit samples, odd count", -6002, 0, 2},
    {"a copy that ends at a fifth", -1200, 0, 4, 4 * FRAMES / 5},
};

TEST(AlignSearch, FindsTheShiftOfADamagedCopy) {
    for (const FoundCase& c : FOUND) {
        const std::string pcm = synth_pcm(FRAMES, c.silent, 1);
        std::string copy = damaged(shifted_pcm(pcm, c.shift), 2039);
        if (c.cut) copy.resize(c.cut);
        const align_result r = find_shift(damaged(pcm, 3001), copy, c.unit);
        EXPECT_TRUE(r.convincing) << c.what << ": agree " << r.agree << ", runner-up " << r.runner_up;
        EXPECT_EQ(r.shift, c.shift) << c.what;
    }
}

// A pure tone of exactly 100 frames per period: every whole period is as good a shift.
std::string periodic_tone() {
    std::string pcm;
    for (size_t f = 0; f < FRAMES; f++) {
        const int16_t v =
            static_cast<int16_t>(8000 * std::sin(2 * M_PI * static_cast<double>(f % 100) / 100.0));
        for (int c = 0; c < 2; c++)
            pcm += std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8 & 0xFF)};
    }
    return pcm;
}

TEST(AlignSearch, WeakOrAmbiguousEvidenceIsNotConvincing) {
    const std::string pcm = synth_pcm(FRAMES, 0, 1);
    const struct {
        const char* what;
        std::string first, copy;
    } cases[] = {
        {"another track", pcm, synth_pcm(FRAMES, 0, 2)},
        {"beyond the searched range", pcm, shifted_pcm(pcm, 40000)},
        {"a periodic tone", periodic_tone(), shifted_pcm(periodic_tone(), 160)},
        {"digital silence", std::string(4 * FRAMES, '\0'), shifted_pcm(pcm, 400)},
        {"random bytes", pcm, testing_support::random_bytes(pcm.size(), 5)},
    };
    for (const auto& c : cases) {
        const align_result r = find_shift(c.first, c.copy, 4);
        EXPECT_FALSE(r.convincing) << c.what << ": shift " << r.shift << ", agree " << r.agree;
        EXPECT_EQ(r.shift, 0) << c.what;
    }
}

}  // namespace

namespace {

// The probe before an audio run's vote: copies given as their bytes, each read at the windows.
align_probe_verdict judge(const std::vector<std::string>& copies) {
    align_probe_set s;
    align_probe_place(s, copies.size(), copies[0].size(), 4);
    for (size_t i = 0; i < copies.size(); i++) {
        for (uint64_t k = 0; k < s.count; k++) {
            const std::string& c = copies[i];
            const size_t n = s.pos[k] < c.size() ? std::min<size_t>(s.window, c.size() - s.pos[k]) : 0;
            if (n) memcpy(s.window_of(i, k), c.data() + s.pos[k], n);
            align_probe_note(s, i, k, static_cast<int64_t>(n));
        }
    }
    return align_probe_judge(s);
}

TEST(AlignProbe, JudgesEachCopyAgainstTheAlignmentMostShare) {
    const std::string pcm = synth_pcm(FRAMES, 0, 3), bad = damaged(pcm, 900), late = shifted_pcm(pcm, -1680);
    const std::string other = synth_pcm(FRAMES, 0, 9), early = shifted_pcm(pcm, 4000);
    const struct {
        const char* what;
        std::vector<std::string> copies;
        bool decided;
        uint64_t reference;
        std::vector<uint8_t> suspects;
    } cases[] = {
        {"a late copy among damaged ones", {pcm, bad, bad, late}, true, 0, {0, 0, 0, 1}},
        {"the first copy late", {late, pcm, bad}, true, 1, {1, 0, 0}},
        {"two alignments, two copies each: the earliest copy's wins", {late, pcm, bad, late}, true, 0, {0, 1, 1, 0}},
        {"no two copies agree", {pcm, late, early}, false, 0, {0, 0, 0}},
        {"another recording and a copy of a tenth", {pcm, other, bad, pcm.substr(0, pcm.size() / 10)}, true, 0,
         {0, 1, 0, 0}},
        {"a silent copy tells nothing", {pcm, std::string(pcm.size(), '\0'), bad}, true, 0, {0, 0, 0}},
    };
    for (const auto& c : cases) {
        const align_probe_verdict v = judge(c.copies);
        EXPECT_EQ(v.decided, c.decided) << c.what;
        EXPECT_EQ(v.decided ? v.reference : 0, c.reference) << c.what;
        EXPECT_EQ(v.suspect, c.suspects) << c.what;
    }
}

}  // namespace
