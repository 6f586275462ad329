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
#include "disc/track_child.h"
#include "g_console.h"
#include "run/files.h"
#include "run/length_plan.h"
#include "run/run_record.h"

namespace {

const uint64_t BLOCK_BYTES = 2u << 20;     // what one progress dot of a track's run stands for
const uint64_t RESPONSE_LIMIT = 1u << 20;  // far above any response file
const char CLEAR[] = "\x1b[H\x1b[J";       // a track's run clears the screen first

// The rips are read as streams and the tracks cut at the reference's places: every disc of 16-bit
// stereo audio. Other audio is voted file by file, as the rips hold it.
bool aligned(const disc_state& s) { return s.streams.cd_frames; }

// The bytes of the track's audio that its run votes.
uint64_t track_bytes(const disc_state& s, const disc_track& t) {
    if (!aligned(s)) return t.copies.empty() ? 0 : t.copies[0].info.audio_bytes;
    const size_t k = t.number - 1;
    return static_cast<uint64_t>(s.alignment.cut[k + 1] - s.alignment.cut[k]) * 4;
}

// A line about track `t`: "track N/M  name: text".
void track_line(disc_state& s, const disc_track& t, const std::string& text) {
    if (s.progress) fputs("\r\x1b[K", stderr);
    con_printf(out(), "track %s  %s: %s\n", position(s, t).c_str(), t.name.c_str(), text.c_str());
    fflush(out());
}

void show_progress(const disc_state& s, const disc_track& t, uint64_t track_done) {
    if (!s.progress || s.total_bytes == 0) return;
    const uint64_t done = s.done_bytes + track_done;
    fprintf(stderr, "\r\x1b[Ktrack %u of %zu, %llu %% of the disc's audio", t.number, s.plan.tracks.size(),
            static_cast<unsigned long long>(done * 100 / s.total_bytes));
    fflush(stderr);
}

// Every copy's audio has the same length; else `note` says how they differ.
bool same_lengths(const disc_track& t, bool& whole_frames, std::string& note) {
    uint64_t shortest = UINT64_MAX, longest = 0;
    whole_frames = true;
    const track_file_info& first = t.copies[0].info;
    for (const track_copy& c : t.copies) {
        shortest = std::min(shortest, c.info.audio_bytes);
        longest = std::max(longest, c.info.audio_bytes);
        const uint64_t apart = c.info.audio_bytes > first.audio_bytes
                                   ? c.info.audio_bytes - first.audio_bytes
                                   : first.audio_bytes - c.info.audio_bytes;
        if (first.frame_bytes == 0 || apart % first.frame_bytes != 0) whole_frames = false;
    }
    if (shortest == longest) return true;
    const uint64_t frame = first.frame_bytes != 0 ? first.frame_bytes : 1;
    note = "copies differ in length by " + std::string(whole_frames ? "whole frames" : "parts of a frame") +
           " (" + std::to_string(shortest / frame) + " to " + std::to_string(longest / frame) + " frames)";
    return false;
}

bool any_flac(const disc_track& t) {
    for (const track_copy& c : t.copies) {
        if (c.info.flac) return true;
    }
    return false;
}

std::string extension(const std::string& name) {
    const size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? "" : name.substr(dot);
}

// The command line of one track's run.
std::vector<std::string> track_args(const disc_state& s, const disc_track& t,
                                    const std::vector<voted_copy>& copies, const std::string& out_path,
                                    const std::string& report_path, const std::string& map_path, bool align) {
    std::vector<std::string> args;
    for (const voted_copy& c : copies) args.push_back(c.path);
    if (copies.size() == 2) args.push_back(copies[0].path);  // two copies agreeing everywhere
    args.insert(args.end(), {"-o", out_path, "--report", report_path, "--track", position(s, t)});
    if (!map_path.empty()) args.insert(args.end(), {"--map", map_path});
    args.insert(args.end(), s.line.pass.begin(), s.line.pass.end());
    if (align) args.push_back("--align");
    if (s.line.response_name.empty()) {
        args.push_back("--ar");
    } else {
        args.insert(args.end(), {"--accuraterip", s.line.response_name});
    }
    return args;
}

std::string without_clear(std::string text) {
    for (size_t at; (at = text.find(CLEAR)) != std::string::npos;) text.erase(at, sizeof CLEAR - 1);
    return text;
}

void replay(disc_state& s, const child_run& run) {
    if (s.progress) fputs("\r\x1b[K", stderr);
    const std::string o = without_clear(run.out), e = without_clear(run.err);
    fwrite(o.data(), 1, o.size(), out());
    fflush(out());
    fwrite(e.data(), 1, e.size(), stderr);
    fflush(stderr);
}

// Runs one track's vote, following its progress dots. Returns the errno of a run that could not
// be started, else 0.
int run_track(disc_state& s, const disc_track& t, const std::vector<std::string>& args, size_t count,
              child_run& run) {
    const uint64_t bytes = track_bytes(s, t);
    const uint64_t copies = count == 2 ? 3 : count;
    bool processing = false;
    uint64_t dots = 0;
    std::string seen;
    return run_track_child(args, run, [&](const char* data, size_t n) {
        if (!processing) {
            seen.append(data, n);
            const size_t at = seen.find("processing:");
            if (at == std::string::npos) return;
            processing = true;
            data = seen.data() + at;
            n = seen.size() - at;
        }
        for (size_t k = 0; k < n; k++) dots += data[k] == '.';
        show_progress(s, t, std::min(bytes, dots * BLOCK_BYTES / copies));
    });
}

// A name in OUTDIR that no file has, for a file that the track's run makes and the disc then
// removes or moves.
int scratch_name(const disc_state& s, const disc_track& t, const std::string& suffix, std::string& path) {
    const int error = make_scratch_file(s.line.out_dir, t.name, suffix, path);
    return error != 0 ? error : remove_file(path);
}

// Where the track's map goes: the map folder, or nowhere.
std::string map_path_for(const disc_state& s, const disc_track& t) {
    return s.line.map_dir.empty() ? "" : s.line.map_dir + "/" + t.name + ".tsv";
}

// An output name in OUTDIR that no file has, for two copies whose vote is kept only if they agree.
int pair_path_for(const disc_state& s, const disc_track& t, std::string& path) {
    return scratch_name(s, t, extension(t.name), path);
}

track_kind kind_of(const disc_state& s, const child_run& run) {
    if (run.status == 1) return NOT_VERIFIED;
    if (run.status != 0) return FAILED;
    return s.line.response_name.empty() ? RESTORED : VERIFIED;
}

// Two copies are kept only when they agree everywhere: the same length and no disputed byte.
bool keep_pair(disc_state& s, const disc_track& t, const track_result& r, const std::string& from,
               const std::string& to) {
    if (r.figures.disputed_bytes != 0) {
        track_line(s, t,
                   "left out: only 2 rips hold it and they differ at " + samples(r.figures.disputed_samples));
        remove_file(from);
        return false;
    }
    const int error = move_file(from, to);
    if (error == 0) {
        track_line(s, t, "only 2 rips hold it and they agree everywhere; voted from those two");
        return true;
    }
    app_error_errno("replace", to.c_str(), error);
    remove_file(from);
    return false;
}

std::string rip_names(const disc_state& s, const std::vector<voted_copy>& copies) {
    std::string names;
    for (const voted_copy& c : copies) names += (names.empty() ? "" : ", ") + s.line.rips[c.rip];
    return names;
}

// Decides how the track is voted, before its run.
bool votable(disc_state& s, const disc_track& t, const std::vector<voted_copy>& copies, bool& align) {
    if (copies.size() < 2) {
        track_line(s, t,
                   !copies.empty()    ? "left out: only " + rip_names(s, copies) + " holds it"
                   : t.copies.empty() ? "left out: no rip holds it"
                                      : "left out: no rip placed on the disc holds it");
        return false;
    }
    align = false;
    if (aligned(s)) return true;
    bool whole_frames = false;
    std::string note;
    align = s.line.align;
    if (t.copies.size() == 2 && !same_lengths(t, whole_frames, note)) {
        track_line(s, t, "left out: only 2 rips hold it, and their " + note);
        return false;
    }
    if (same_lengths(t, whole_frames, note) || align) return true;
    if (whole_frames && !any_flac(t)) {
        align = true;
        track_line(s, t, note + "; voted with --align");
    } else {
        track_line(
            s, t,
            note + (whole_frames ? "; --align cannot read FLAC copies, so" : ";") + " voted as they are");
    }
    return true;
}

bool name_exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// The files of one track's run, and which of them its run makes anew.
struct track_files {
    std::string out_path;     // OUTDIR/name
    std::string run_path;     // where the run writes: out_path, or a scratch name for two copies
    std::string map_path;     // MAPDIR/name.tsv, or empty without a map folder
    std::string report_path;  // a scratch name in OUTDIR: the run's record, read and removed
    bool new_output = false;  // no file had the name before the run
    bool new_map = false;
};

int name_track_files(const disc_state& s, const disc_track& t, size_t copies, track_files& f) {
    f.out_path = f.run_path = s.line.out_dir + "/" + t.name;
    f.map_path = map_path_for(s, t);
    int error = scratch_name(s, t, ".json", f.report_path);
    if (error == 0 && copies == 2) error = pair_path_for(s, t, f.run_path);
    f.new_output = f.run_path != f.out_path || !name_exists(f.out_path);
    f.new_map = !f.map_path.empty() && !name_exists(f.map_path);
    return error;
}

// A run that failed or was interrupted leaves no file where there was none: what it wrote anew
// is removed (what it replaces, its own cleanup keeps as it was).
void remove_unfinished(const track_files& f) {
    if (f.new_output) remove_file(f.run_path);
    if (f.new_map) remove_file(f.map_path);
    remove_file(f.report_path);
}

// What the track's run came to, from the record it wrote. Returns false when there is none.
bool read_track_record(const track_files& f, track_result& r) {
    std::string text;
    run_record record;
    const bool read = read_small_file(f.report_path.c_str(), text, UINT64_MAX) == 0 &&
                      read_run_record(text, record) == 0 && record.tracks.size() == 1;
    remove_file(f.report_path);
    if (read) {
        r.figures = record.tracks[0];
        r.inputs = record.inputs;
    }
    return read;
}

// The copies of a disc that is not aligned: every rip's file of the track as it is, the one that
// names the track first.
void copies_as_they_are(const disc_track& t, std::vector<voted_copy>& copies) {
    copies.clear();
    for (size_t c = 0; c < t.copies.size(); c++) {
        voted_copy v;
        v.rip = t.copies[c].rip;
        v.path = t.copies[c].path;
        if (c == t.named) {
            copies.insert(copies.begin(), v);
        } else {
            copies.push_back(v);
        }
    }
}

// The run's inputs in the order of the track's files (t.copies), as the disc's record counts them
// per rip: a rip that sat the track out gets an empty one.
std::vector<input_record> inputs_by_file(const disc_track& t, const std::vector<voted_copy>& copies,
                                         const std::vector<input_record>& inputs) {
    std::vector<input_record> ordered;
    for (const track_copy& c : t.copies) {
        size_t j = 0;
        while (j < copies.size() && copies[j].rip != c.rip) j++;
        ordered.push_back(j < copies.size() && j < inputs.size() ? inputs[j] : input_record());
    }
    return ordered;
}

// The span files written for a track's run go when the run is done with them, however it ends.
struct scratch_copies {
    std::vector<voted_copy> copies;
    ~scratch_copies() { remove_scratch_copies(copies); }
};

track_result vote_track(disc_state& s, const disc_track& t) {
    track_result r;
    scratch_copies held;
    std::vector<voted_copy>& copies = held.copies;
    int error = 0;
    if (aligned(s)) {
        error = track_copies(s.line, s.plan, s.streams, s.alignment, track_cut{t.number - 1u, s.cut_shift},
                             copies);
    } else {
        copies_as_they_are(t, copies);
    }
    if (error != 0) {
        app_error_errno("write", s.line.out_dir.c_str(), error);
        r.kind = FAILED;
        return r;
    }
    r.copies = copies.size();
    bool align = false;
    if (!votable(s, t, copies, align)) return r;
    track_files f;
    error = name_track_files(s, t, copies.size(), f);
    child_run run;
    if (error == 0)
        error = run_track(s, t, track_args(s, t, copies, f.run_path, f.report_path, f.map_path, align),
                          copies.size(), run);
    const bool completed = error == 0 && (run.status == 0 || run.status == 1);
    if (!completed && ending_signal() != 0) {
        if (error == 0) replay(s, run);  // the run's own line says what it kept
        remove_unfinished(f);
        r.kind = FAILED;
        return r;
    }
    if (error != 0) {
        app_error_errno("vote", f.out_path.c_str(), error);
        remove_unfinished(f);
        r.kind = FAILED;
        return r;
    }
    s.done_bytes += track_bytes(s, t);
    r.kind = kind_of(s, run);
    if (!aligned(s) && t.copies[0].info.frame_bytes >= 2) r.channels = t.copies[0].info.frame_bytes / 2;
    const bool recorded = r.kind == FAILED || read_track_record(f, r);
    if (!recorded) r.kind = FAILED;
    if (recorded && r.kind != FAILED) r.inputs = inputs_by_file(t, copies, r.inputs);
    if (s.line.verbose || r.kind == FAILED) replay(s, run);
    if (r.kind == FAILED) {
        track_line(s, t,
                   recorded ? "failed: its run ended with status " + std::to_string(run.status) +
                                  " (its output is above)"
                            : "failed: its run left no record of what it came to (its output is above)");
        remove_unfinished(f);
        return r;
    }
    if (f.run_path != f.out_path && !keep_pair(s, t, r, f.run_path, f.out_path)) {
        r.kind = LEFT_OUT;
        return r;
    }
    if (!r.figures.repair.empty()) track_line(s, t, r.figures.repair);
    track_line(s, t, figures_text(r));
    return r;
}

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

std::vector<track_result> vote_tracks(disc_state& s) {
    std::vector<track_result> results;
    s.done_bytes = 0;
    for (const disc_track& t : s.plan.tracks) {
        if (ending_signal() != 0) break;
        results.push_back(vote_track(s, t));
    }
    return results;
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
