#include "disc/disc_plan.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "base/app_error.h"
#include "run/files.h"

namespace {

struct rip_listing {
    std::vector<track_copy> files;
    bool all_numbered = true;
};

// The track number a file claims: its tag, else its name's leading number.
uint32_t claimed_number(const track_copy& file, const std::string& name) {
    return file.info.track_number != 0 ? file.info.track_number : name_track_number(name.c_str());
}

int inspect(const std::string& path, track_file_info& info) {
    g_file file;
    if (open_to_inspect(file, path.c_str()) != 0) return -1;
    struct stat st;
    if (fstat(file.descriptor, &st) != 0) return -1;
    info = read_track_file(file.descriptor, static_cast<uint64_t>(st.st_size));
    return 0;
}

// The audio files of one rip, each with the number it claims (0: none) in info.track_number.
int list_rip(const std::string& dir, size_t rip, rip_listing& listing) {
    std::vector<std::string> names;
    const int error = list_track_files(dir.c_str(), names);
    if (error != 0) {
        app_error_errno("read", dir.c_str(), error);
        return -1;
    }
    for (const std::string& name : names) {
        track_copy copy{rip, dir + "/" + name, {}};
        if (inspect(copy.path, copy.info) != 0 || !copy.info.audio) continue;
        if (strpbrk(copy.path.c_str(), "*?")) {
            app_error("read", copy.path.c_str(),
                      "a name with * or ? would be taken for a pattern; rename it");
            return -1;
        }
        copy.info.track_number = claimed_number(copy, name);
        if (copy.info.track_number == 0) listing.all_numbered = false;
        listing.files.push_back(copy);
    }
    if (listing.files.empty()) {
        app_error("read", dir.c_str(), "the folder holds no WAV or FLAC file");
        return -1;
    }
    return 0;
}

std::string base_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Pairs by number; two files of one rip with one number refuse the disc.
int pair_by_number(const std::vector<rip_listing>& rips, const disc_line& line, disc_plan& plan) {
    uint32_t highest = 0;
    for (const rip_listing& rip : rips) {
        for (const track_copy& f : rip.files) highest = std::max(highest, f.info.track_number);
    }
    plan.tracks.resize(highest);
    for (uint32_t k = 0; k < highest; k++) plan.tracks[k].number = k + 1;
    for (size_t r = 0; r < rips.size(); r++) {
        for (const track_copy& f : rips[r].files) {
            disc_track& t = plan.tracks[f.info.track_number - 1];
            if (!t.copies.empty() && t.copies.back().rip == r) {
                const std::string why = base_name(t.copies.back().path) + " and " + base_name(f.path) +
                                        " both claim track " + std::to_string(t.number);
                app_error("read", line.rips[r].c_str(), why.c_str());
                return -1;
            }
            if (t.copies.empty()) t.name = base_name(f.path);
            t.copies.push_back(f);
        }
    }
    return 0;
}

// Pairs identical names; the names in byte order are the tracks.
void pair_by_name(const std::vector<rip_listing>& rips, disc_plan& plan) {
    std::map<std::string, std::vector<track_copy>> by_name;
    for (const rip_listing& rip : rips) {
        for (const track_copy& f : rip.files) by_name[base_name(f.path)].push_back(f);
    }
    uint32_t number = 0;
    for (auto& entry : by_name) {
        disc_track t;
        t.number = ++number;
        t.name = entry.first;
        t.copies = entry.second;
        plan.tracks.push_back(t);
    }
}

// FLAC when most rips hold more FLAC files than WAV files, or as many rips do either.
bool main_format_is_flac(const std::vector<rip_listing>& rips) {
    size_t flac_rips = 0;
    for (const rip_listing& rip : rips) {
        size_t flac = 0;
        for (const track_copy& f : rip.files) flac += f.info.flac;
        flac_rips += flac * 2 >= rip.files.size();
    }
    return flac_rips * 2 >= rips.size();
}

// Names each track by its first copy in the main format, else its first copy.
void name_tracks(disc_plan& plan) {
    for (disc_track& t : plan.tracks) {
        t.named = 0;
        for (size_t c = 0; c < t.copies.size(); c++) {
            if (t.copies[c].info.flac != plan.main_flac) continue;
            t.named = c;
            break;
        }
        if (!t.copies.empty()) t.name = base_name(t.copies[t.named].path);
    }
}

// Refuses a rip folder named twice, by identity (rip1 and rip1/, a link to it): its files would
// be counted as two copies of every track. A folder that cannot be found is left to its listing.
int check_rips_differ(const disc_line& line) {
    std::vector<struct stat> seen(line.rips.size());
    for (size_t r = 0; r < line.rips.size(); r++) {
        if (stat(line.rips[r].c_str(), &seen[r]) != 0) continue;
        for (size_t k = 0; k < r; k++) {
            if (seen[k].st_dev != seen[r].st_dev || seen[k].st_ino != seen[r].st_ino) continue;
            const std::string why = "it is the rip folder " + line.rips[k] + " again; name each rip once";
            app_error("read", line.rips[r].c_str(), why.c_str());
            return -1;
        }
    }
    return 0;
}

// Refuses a track two of whose copies are one file (a link from one rip into another): a copy
// counted twice outvotes the others.
int check_copies_differ(const disc_plan& plan) {
    for (const disc_track& t : plan.tracks) {
        std::vector<struct stat> seen(t.copies.size());
        for (size_t c = 0; c < t.copies.size(); c++) {
            if (stat(t.copies[c].path.c_str(), &seen[c]) != 0) continue;
            for (size_t k = 0; k < c; k++) {
                if (seen[k].st_dev != seen[c].st_dev || seen[k].st_ino != seen[c].st_ino) continue;
                const std::string why = "it is " + t.copies[k].path + "; each copy of track " +
                                        std::to_string(t.number) + " must be a file of its own";
                app_error("read", t.copies[c].path.c_str(), why.c_str());
                return -1;
            }
        }
    }
    return 0;
}

}  // namespace

int plan_disc(const disc_line& line, disc_plan& plan) {
    if (check_rips_differ(line) != 0) return -1;
    std::vector<rip_listing> rips(line.rips.size());
    bool all_numbered = true;
    for (size_t r = 0; r < line.rips.size(); r++) {
        if (list_rip(line.rips[r], r, rips[r]) != 0) return -1;
        all_numbered = all_numbered && rips[r].all_numbered;
    }
    plan.by_number = all_numbered;
    if (all_numbered && pair_by_number(rips, line, plan) != 0) return -1;
    if (!all_numbered) pair_by_name(rips, plan);
    plan.main_flac = main_format_is_flac(rips);
    name_tracks(plan);
    return check_copies_differ(plan);
}
