#include "disc/disc_run.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "audio/ar_response.h"
#include "base/app_error.h"
#include "cli/disc_line.h"
#include "disc/disc_align.h"
#include "disc/disc_copies.h"
#include "disc/disc_outputs.h"
#include "disc/disc_plan.h"
#include "disc/disc_report.h"
#include "disc/disc_shift.h"
#include "disc/disc_state.h"
#include "disc/disc_stream.h"
#include "disc/disc_summary.h"
#include "disc/disc_tracks.h"
#include "disc/track_child.h"
#include "g_console.h"
#include "run/files.h"
#include "run/length_plan.h"
#include "run/run_record.h"

namespace {

const uint64_t RESPONSE_LIMIT = 1u << 20;  // far above any response file

// With a response file: the ids the track lengths give against the ids of its records.
void check_disc_ids(const disc_state& s, const ar_response& response) {
    const disc_line& line = s.line;
    std::vector<uint64_t> frames;
    for (const disc_track& t : s.plan.tracks) {
        if (t.copies.empty() || t.copies[0].info.frame_bytes == 0) {
            app_error("check the disc ids of", line.response_name.c_str(),
                      ("track " + std::to_string(t.number) + " is in no rip, so the disc's ids are not known")
                          .c_str());
            return;
        }
        const size_t k = t.number - 1;
        frames.push_back(aligned(s) ? static_cast<uint64_t>(s.alignment.cut[k + 1] - s.alignment.cut[k])
                                    : t.copies[0].info.audio_bytes / t.copies[0].info.frame_bytes);
    }
    const std::string computed = format_disc_ids(disc_ids_from_lengths(frames));
    std::string listed;
    for (const ar_disc_ids& ids : response.ids) {
        const std::string text = format_disc_ids(ids);
        if (text == computed) return;
        if (listed.find(text) == std::string::npos) listed += (listed.empty() ? "" : ", ") + text;
    }
    const std::string why = "the track lengths give the disc ids " + computed +
                            ", the file's records are for " + listed +
                            "; its sums may be of another disc or pressing";
    app_error("warning: check the disc ids of", line.response_name.c_str(), why.c_str());
}

// The response file must be readable and whole before any track is voted.
int read_response(const disc_line& line, std::string& bytes, ar_response& response) {
    if (line.response_name.empty()) return 0;
    const int error = read_small_file(line.response_name.c_str(), bytes, RESPONSE_LIMIT);
    if (error != 0) {
        app_error_errno("read", line.response_name.c_str(), error);
        return -1;
    }
    const char* why = nullptr;
    if (parse_ar_response(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 0, response, &why) !=
        0) {
        app_error("read", line.response_name.c_str(), why);
        return -1;
    }
    return 0;
}

// The folders the disc writes in, and which of them it made.
struct made_folders {
    std::vector<std::string> made;
};

int make_folders(const disc_line& line, made_folders& folders) {
    for (const std::string* dir : {&line.out_dir, &line.map_dir}) {
        if (dir->empty()) continue;
        struct stat st;
        const bool was_there = stat(dir->c_str(), &st) == 0;
        const int error = make_folder(dir->c_str());
        if (error == 0) {
            if (!was_there) folders.made.push_back(*dir);
            continue;
        }
        app_error_errno("make folder", dir->c_str(), error);
        return -1;
    }
    return 0;
}

// A folder the disc made is not left behind empty (a disc that failed or was stopped before its
// first track was written).
void remove_empty_folders(const made_folders& folders) {
    for (auto it = folders.made.rbegin(); it != folders.made.rend(); ++it) rmdir(it->c_str());
}

// Everything that can refuse the disc, before anything is written; then every rip's offset.
int prepare(disc_state& s, made_folders& folders) {
    const disc_line& line = s.line;
    disc_plan& plan = s.plan;
    if (plan_disc(line, plan) != 0) return -1;
    if (check_out_dir(line, line.out_dir, "write") != 0) return -1;
    if (!line.map_dir.empty() && check_out_dir(line, line.map_dir, "write map") != 0) return -1;
    if (check_disc_outputs(line, plan) != 0) return -1;
    ar_response response;
    if (read_response(line, s.response, response) != 0) return -1;
    build_streams(plan, line.rips.size(), s.streams);
    std::string why;
    if (align_disc(s.streams, s.alignment, why) != 0) {
        app_error("read", "--disc", why.c_str());
        return -1;
    }
    if (!line.response_name.empty()) check_disc_ids(s, response);
    return make_folders(line, folders);
}

void print_head(const disc_state& s) {
    con_printf(out(), "%zu tracks in %zu rips, paired by %s\n", s.plan.tracks.size(), s.line.rips.size(),
               s.plan.by_number ? "track number" : "identical names");
    print_disc_ids(s.plan);
    if (aligned(s)) {
        for (size_t r = 0; r < s.line.rips.size(); r++)
            con_printf(out(), "%s\n", alignment_line(s.line, s.streams, s.alignment, r).c_str());
    }
    fflush(out());
}

// After a signal that came while tracks were voted: one line, no table, and the program ends by
// the signal.
void stop_if_interrupted(const disc_state& s, const made_folders& folders) {
    const int sig = ending_signal();
    if (sig == 0) return;
    if (s.progress) fputs("\r\x1b[K", stderr);
    app_error("vote", "--disc", "interrupted; the tracks not listed above were not voted");
    remove_empty_folders(folders);
    end_by_signal(sig);
}

// Worth a search for the disc's true offset: no track verified where the reference cuts them (one
// that did shows the cuts right: elsewhere it would match only by chance) and two at least did not.
bool worth_seeking_offset(const disc_state& s, const std::vector<track_result>& results) {
    if (s.line.response_name.empty() || !aligned(s) || results.size() != s.plan.tracks.size()) return false;
    size_t verified = 0, not_verified = 0;
    for (const track_result& r : results) {
        verified += r.kind == VERIFIED;
        not_verified += r.kind == NOT_VERIFIED;
    }
    return verified == 0 && not_verified >= 2;
}

// With a response file, when the tracks did not verify where the reference cuts them: the offset
// at which the restored disc verifies, and every track voted again, cut there.
void seek_true_offset(disc_state& s, std::vector<track_result>& results) {
    if (!worth_seeking_offset(s, results)) return;
    std::vector<std::string> outputs;
    std::vector<std::vector<doubtful_frame>> doubtful;
    for (size_t k = 0; k < results.size(); k++) {
        const bool written = results[k].kind == VERIFIED || results[k].kind == NOT_VERIFIED;
        outputs.push_back(written ? s.line.out_dir + "/" + s.plan.tracks[k].name : "");
        doubtful.push_back(written ? results[k].figures.doubtful : std::vector<doubtful_frame>());
    }
    shift_verdict v;
    std::string why;
    if (find_true_offset(s.streams, s.alignment, outputs, doubtful, s.response, v, why) != 0) {
        app_error("read", s.line.response_name.c_str(), why.c_str());
        return;
    }
    const std::string name = s.line.response_name + ": ";
    if (!v.found || v.offset == 0) {
        con_printf(out(), "%sno other alignment within %lld frames either way verifies more tracks\n",
                   name.c_str(), static_cast<long long>(DISC_TRUE_SHIFT));
        return;
    }
    con_printf(out(),
               "%s%zu tracks verified at offset %s%lld frames against the reference; the tracks are "
               "voted again, cut there\n",
               name.c_str(), v.verified, v.offset > 0 ? "+" : "", static_cast<long long>(v.offset));
    fflush(out());
    s.cut_shift = -v.offset;
    results = vote_tracks(s);
}

}  // namespace

int run_disc(int argc, char** argv) {
    disc_line line;
    disc_plan plan;
    if (parse_disc_line(argc, argv, line) != 0) return -1;
    disc_state s{line, plan, isatty(2) == 1, 0, 0, disc_streams(), disc_alignment(), 0, std::string()};
    made_folders folders;
    if (prepare(s, folders) != 0) return -1;
    for (const disc_track& t : plan.tracks) {
        if (t.copies.size() >= 2) s.total_bytes += track_bytes(s, t);
    }
    catch_ending_signals();
    print_head(s);
    std::vector<track_result> results = vote_tracks(s);
    stop_if_interrupted(s, folders);
    seek_true_offset(s, results);
    stop_if_interrupted(s, folders);
    if (s.progress) fputs("\r\x1b[K", stderr);
    print_table(s, results);
    const std::string summary = summary_line(s, results);
    con_printf(out(), "%s\n", summary.c_str());
    fflush(out());
    // A disc that failed leaves no log, record or picture, as a failed run leaves no output.
    const int status = disc_status(results);
    const int written = status < 0 ? 0 : leave_disc_files(s, results, summary, argc, argv);
    remove_empty_folders(folders);
    if (const int sig = ending_signal()) end_by_signal(sig);  // one that came during the table
    return written != 0 ? -1 : status;
}
