#include "disc/track_figures.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "run/length_plan.h"

namespace {

// The tab-separated fields of one line.
std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
        out.push_back(line.substr(start, tab - start));
    }
    out.push_back(line.substr(start));
    return out;
}

uint64_t number(const std::string& text) { return strtoull(text.c_str(), nullptr, 10); }

// Calls `take` with every line of `text`, without its line break.
template <typename F>
void each_line(const std::string& text, F take) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        take(text.substr(start, end - start));
        start = end + 1;
    }
}

// A run of the map: offset, bytes, guessed, weakest, lost, time, cd.
void take_run(const std::vector<std::string>& f, uint64_t audio_offset, bool byte_vote, track_figures& out) {
    const uint64_t offset = number(f[0]), bytes = number(f[1]), guessed = number(f[2]);
    const uint64_t end = offset + bytes;
    if (end <= audio_offset || bytes == 0) return;
    const uint64_t first = (std::max(offset, audio_offset) - audio_offset) / 2;
    const uint64_t last = (end - 1 - audio_offset) / 2;
    const uint64_t samples = last - first + 1;
    out.disputed_samples += samples;
    if (guessed == 0) return;
    const uint64_t guessed_samples = byte_vote ? (guessed + 1) / 2 : guessed / 2;
    out.guessed_samples += std::min(guessed_samples, samples);
    if (f.size() > 5 && !f[5].empty()) out.guessed_at.push_back(f[5]);
}

// The text after `marker` in `line`, or false when the line does not hold it.
bool after(const std::string& line, const char* marker, std::string& rest) {
    const size_t at = line.find(marker);
    if (at == std::string::npos) return false;
    rest = line.substr(at + strlen(marker));
    return true;
}

void take_confidence(track_figures& f) {
    const size_t at = f.verdict.find("confidence ");
    if (at != std::string::npos) f.confidence = atoi(f.verdict.c_str() + at + strlen("confidence "));
}

}  // namespace

void read_map_figures(const std::string& map, uint64_t audio_offset, bool byte_vote, track_figures& f) {
    each_line(map, [&](const std::string& line) {
        const std::vector<std::string> cols = fields(line);
        if (line.compare(0, 8, "# total\t") == 0 && cols.size() > 1) f.disputed_bytes = number(cols[1]);
        if (line.empty() || line[0] < '0' || line[0] > '9' || cols.size() < 3) return;
        take_run(cols, audio_offset, byte_vote, f);
    });
}

void read_report_figures(const std::string& out, track_figures& f) {
    each_line(out, [&](const std::string& line) {
        std::string rest;
        if (after(line, "] AccurateRip v1 ", rest) && after(rest, ", CRC32 ", f.crc32)) f.has_sums = true;
        if (after(line, "] verified: ", f.verdict) || after(line, "] not verified: ", f.verdict)) {
            f.has_verdict = true;
            take_confidence(f);
        }
        if (after(line, "] repaired: ", rest)) f.repair = "repaired: " + rest;
        if (after(line, "] not repaired: ", rest)) f.repair = "not repaired: " + rest;
    });
}

void read_error_figures(const std::string& err, track_figures& f) {
    each_line(err, [&](const std::string& line) {
        const size_t name_end = line.find("] ");
        if (line.empty() || line[0] != '[' || name_end == std::string::npos) return;
        if (line.find(UNHELD_TEXT, name_end) != std::string::npos) f.unheld = line.substr(name_end + 2);
    });
}
