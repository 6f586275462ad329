#include "disc/disc_tracks.h"

#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "base/app_error.h"
#include "disc/disc_copies.h"
#include "disc/disc_summary.h"
#include "disc/track_child.h"
#include "g_console.h"
#include "run/files.h"
#include "run/length_plan.h"
#include "run/run_record.h"

namespace {

// Tracks voted at once: each run is one process, mostly on one core (decoding FLAC, voting,
// encoding); two keep a two-core machine busy while one track's run waits for its files.
const size_t TRACKS_AT_ONCE = 2;
const uint64_t BLOCK_BYTES = 2u << 20;  // what one progress dot of a track's run stands for
const char CLEAR[] = "\x1b[H\x1b[J";    // a track's run clears the screen first

// The progress display, written from the threads that follow the tracks' runs and from the one
// that prints the tracks' lines: one writer at a time.
std::mutex g_screen;
uint64_t g_going_bytes = 0;  // voted so far of the tracks whose runs go on

// A line about track `t`: "track N/M  name: text".
// Before its run starts, while an earlier track's run may still go on, the lines go to `held`
// and are printed when the track's turn comes.
void track_line(disc_state& s, const disc_track& t, const std::string& text, std::string* held = nullptr) {
    const std::string line = "track " + position(s, t) + "  " + t.name + ": " + text + "\n";
    if (held) {
        *held += line;
        return;
    }
    const std::lock_guard<std::mutex> hold(g_screen);
    if (s.progress) fputs("\r\x1b[K", stderr);
    con_printf(out(), "%s", line.c_str());
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
    const std::lock_guard<std::mutex> hold(g_screen);
    if (s.progress) fputs("\r\x1b[K", stderr);
    const std::string o = without_clear(run.out), e = without_clear(run.err);
    fwrite(o.data(), 1, o.size(), out());
    fflush(out());
    fwrite(e.data(), 1, e.size(), stderr);
    fflush(stderr);
}

// Runs one track's vote, following its progress dots; `shown` is what it has added to the display.
// Returns the errno of a run that could not be started, else 0.
int run_track(disc_state& s, const disc_track& t, const std::vector<std::string>& args, size_t count,
              child_run& run, uint64_t& shown) {
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
        const std::lock_guard<std::mutex> hold(g_screen);
        const uint64_t now = std::min(bytes, dots * BLOCK_BYTES / copies);
        g_going_bytes += now - shown;
        shown = now;
        show_progress(s, t, g_going_bytes);
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
bool votable(disc_state& s, const disc_track& t, const std::vector<voted_copy>& copies, bool& align,
             std::string& held) {
    if (copies.size() < 2) {
        track_line(s, t,
                   !copies.empty()    ? "left out: only " + rip_names(s, copies) + " holds it"
                   : t.copies.empty() ? "left out: no rip holds it"
                                      : "left out: no rip placed on the disc holds it",
                   &held);
        return false;
    }
    align = false;
    if (aligned(s)) return true;
    bool whole_frames = false;
    std::string note;
    align = s.line.align;
    if (t.copies.size() == 2 && !same_lengths(t, whole_frames, note)) {
        track_line(s, t, "left out: only 2 rips hold it, and their " + note, &held);
        return false;
    }
    if (same_lengths(t, whole_frames, note) || align) return true;
    if (whole_frames && !any_flac(t)) {
        align = true;
        track_line(s, t, note + "; voted with --align", &held);
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

// A track on its way: what was settled before its run, the run going on in a thread of its own,
// and what the track's line will need after it.
struct pending_track {
    const disc_track* t = nullptr;
    track_result r;
    std::string held;        // its lines from before its run
    int copy_error = 0;      // its copies could not be written
    bool runs = false;       // a run was started for it
    scratch_copies scratch;  // its span files, removed when it is done
    track_files f;
    int run_error = 0;
    child_run run;
    uint64_t shown = 0;  // what its run added to the progress display (under g_screen)
    std::thread worker;
    bool done = false;  // its run has ended (under g_ended)
};

// A track's run ended: the loop that begins and finishes tracks waits for that.
std::mutex g_ended;
std::condition_variable g_run_ended;

void mark_done(pending_track& p) {
    const std::lock_guard<std::mutex> hold(g_ended);
    p.done = true;
    g_run_ended.notify_all();
}

// Everything up to the track's run, which is started in a thread of its own.
void begin_track(disc_state& s, const disc_track& t, pending_track& p) {
    struct done_unless_running {
        pending_track& p;
        ~done_unless_running() {
            if (!p.worker.joinable()) mark_done(p);
        }
    } settle{p};
    p.t = &t;
    std::vector<voted_copy>& copies = p.scratch.copies;
    if (aligned(s)) {
        p.copy_error = track_copies(s.line, s.plan, s.streams, s.alignment,
                                    track_cut{t.number - 1u, s.cut_shift}, copies);
    } else {
        copies_as_they_are(t, copies);
    }
    if (p.copy_error != 0) return;
    p.r.copies = copies.size();
    bool align = false;
    if (!votable(s, t, copies, align, p.held)) return;
    p.runs = true;
    p.run_error = name_track_files(s, t, copies.size(), p.f);
    if (p.run_error != 0) return;
    std::vector<std::string> args =
        track_args(s, t, copies, p.f.run_path, p.f.report_path, p.f.map_path, align);
    p.worker = std::thread([&s, &p, args] {
        p.run_error = run_track(s, *p.t, args, p.scratch.copies.size(), p.run, p.shown);
        mark_done(p);
    });
}

// What the track came to, after its run: its lines, in the order of the tracks.
track_result finish_track(disc_state& s, pending_track& p) {
    if (p.worker.joinable()) p.worker.join();
    const disc_track& t = *p.t;
    track_result& r = p.r;
    if (!p.held.empty()) {
        const std::lock_guard<std::mutex> hold(g_screen);
        if (s.progress) fputs("\r\x1b[K", stderr);
        con_printf(out(), "%s", p.held.c_str());
        fflush(out());
    }
    if (p.copy_error != 0) {
        app_error_errno("write", s.line.out_dir.c_str(), p.copy_error);
        r.kind = FAILED;
        return r;
    }
    if (!p.runs) return r;
    const track_files& f = p.f;
    const child_run& run = p.run;
    const int error = p.run_error;
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
    {
        const std::lock_guard<std::mutex> hold(g_screen);
        g_going_bytes -= p.shown;
        s.done_bytes += track_bytes(s, t);
    }
    r.kind = kind_of(s, run);
    if (!aligned(s) && t.copies[0].info.frame_bytes >= 2) r.channels = t.copies[0].info.frame_bytes / 2;
    const bool recorded = r.kind == FAILED || read_track_record(f, r);
    if (!recorded) r.kind = FAILED;
    if (recorded && r.kind != FAILED) r.inputs = inputs_by_file(t, p.scratch.copies, r.inputs);
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

// The order the tracks' runs begin in: the longest first, so that the last runs of the disc are
// short ones and one core seldom waits long for the other at the end. The tracks' lines still come
// in the order of the tracks: a track finished before its turn waits, with its span files in
// OUTDIR, until the tracks before it are done.
std::vector<size_t> run_order(const disc_state& s) {
    std::vector<size_t> order(s.plan.tracks.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return track_bytes(s, s.plan.tracks[a]) > track_bytes(s, s.plan.tracks[b]);
    });
    return order;
}

// Whether one more track may begin: tracks are left (`more`), fewer than TRACKS_AT_ONCE runs go on,
// and no ending signal came. Under g_ended.
bool room_for_one_more(const std::vector<std::unique_ptr<pending_track>>& pending, bool more) {
    size_t runs = 0;
    for (const auto& p : pending) runs += p && !p->done;
    return more && runs < TRACKS_AT_ONCE && ending_signal() == 0;
}

bool may_begin(const std::vector<std::unique_ptr<pending_track>>& pending, bool more) {
    const std::lock_guard<std::mutex> hold(g_ended);
    return room_for_one_more(pending, more);
}

// Waits until track `next`, begun, has ended its run (true), or until one more track may begin or
// an ending signal came (false).
bool wait_for_a_run(const std::vector<std::unique_ptr<pending_track>>& pending, size_t next, bool more) {
    std::unique_lock<std::mutex> hold(g_ended);
    for (;;) {
        if (pending[next] && pending[next]->done) return true;
        if (room_for_one_more(pending, more) || (!pending[next] && ending_signal() != 0)) return false;
        g_run_ended.wait(hold);
    }
}

}  // namespace

std::vector<track_result> vote_tracks(disc_state& s) {
    std::vector<track_result> results;
    s.done_bytes = 0;
    g_going_bytes = 0;
    const std::vector<size_t> order = run_order(s);
    std::vector<std::unique_ptr<pending_track>> pending(order.size());
    size_t begun = 0, next = 0;  // next: the track whose lines come next
    while (next < pending.size()) {
        while (may_begin(pending, begun < order.size())) {
            const size_t k = order[begun++];
            pending[k].reset(new pending_track);
            begin_track(s, s.plan.tracks[k], *pending[k]);
        }
        if (!wait_for_a_run(pending, next, begun < order.size())) {
            // An ending signal: a track not begun never will be; those begun are still finished.
            if (!pending[next] && ending_signal() != 0) next++;
            continue;
        }
        results.push_back(finish_track(s, *pending[next]));
        pending[next].reset();
        next++;
    }
    return results;
}
