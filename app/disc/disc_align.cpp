#include "disc/disc_align.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <thread>
#include <unordered_map>

#include "base/play_time.h"

namespace {

const uint64_t WINDOW = 1024;              // frames of one window of the anchor
const unsigned WINDOWS_PER_TRACK = 3;      // windows taken on every track the anchor holds
const double MIN_AGREE = 0.9;              // share of a window's frames a placed rip holds alike
const double MIN_LEAD = 0.25;              // over the share at any other shift
const uint64_t MIN_VOTES = 4;              // pairs of frames found at a shift before it is looked at
const uint32_t REPEATED = UINT32_MAX;      // a pair of frames the window holds twice
const int64_t BEFORE_ALL = INT64_MIN / 4;  // the first segment's start

struct window {
    size_t track = 0;
    int64_t at = 0;  // the anchor's frame where it starts
    frames_read frames;
};

// A window found in a rip: its frame at + shift holds the anchor's frame at.
struct found {
    size_t track = 0;
    int64_t at = 0;
    int64_t shift = 0;
};

int read_stretch(const disc_streams& s, size_t r, int64_t from, uint64_t n, frames_read& out,
                 std::string& why) {
    audio_span span;
    span.rate = s.rate;
    span.channels = s.channels;
    add_stream_pieces(s, r, from, n, span);
    return read_frames(span, out, why);
}

// A window tells shifts apart when it is held, is not silence and is no short pattern repeated.
bool informative(const frames_read& w) {
    std::vector<uint32_t> values;
    for (size_t i = 0; i < w.words.size(); i++) {
        if (w.held[i] && w.words[i] != 0) values.push_back(w.words[i]);
    }
    if (values.size() < w.words.size() * 3 / 4) return false;
    std::sort(values.begin(), values.end());
    const size_t distinct = static_cast<size_t>(std::unique(values.begin(), values.end()) - values.begin());
    return distinct >= w.words.size() / 4;
}

// The share of the window's held frames that `region` (the rip's frames from `region_from` on)
// holds alike at `shift`; `seen` gets the frames compared.
double agreement(const window& w, const frames_read& region, int64_t region_from, int64_t shift,
                 uint64_t& seen) {
    uint64_t same = 0;
    seen = 0;
    for (size_t i = 0; i < w.frames.words.size(); i++) {
        const int64_t j = w.at + static_cast<int64_t>(i) + shift - region_from;
        if (!w.frames.held[i] || j < 0 || j >= static_cast<int64_t>(region.words.size()) ||
            !region.held[static_cast<size_t>(j)])
            continue;
        seen++;
        same += w.frames.words[i] == region.words[static_cast<size_t>(j)];
    }
    return seen ? static_cast<double>(same) / static_cast<double>(seen) : 0.0;
}

uint64_t pair_key(const frames_read& f, size_t i) {
    return static_cast<uint64_t>(f.words[i]) << 32 | f.words[i + 1];
}

// The shift within [center - DISC_MAX_SHIFT, center + DISC_MAX_SHIFT] at which the region holds
// the window: pairs of frames found count for the shifts they point to, and the few best are
// compared frame by frame. False when no shift convinces.
bool find_shift(const window& w, const frames_read& region, int64_t region_from, int64_t center,
                int64_t& shift) {
    std::unordered_map<uint64_t, uint32_t> keys;
    const frames_read& f = w.frames;
    for (size_t i = 0; i + 1 < f.words.size(); i++) {
        if (!f.held[i] || !f.held[i + 1]) continue;
        auto at = keys.emplace(pair_key(f, i), static_cast<uint32_t>(i));
        if (!at.second) at.first->second = REPEATED;
    }
    std::vector<uint32_t> votes(2 * DISC_MAX_SHIFT + 1, 0);
    for (size_t j = 0; j + 1 < region.words.size(); j++) {
        if (!region.held[j] || !region.held[j + 1]) continue;
        const auto hit = keys.find(pair_key(region, j));
        if (hit == keys.end() || hit->second == REPEATED) continue;
        const int64_t t = region_from + static_cast<int64_t>(j) - w.at - hit->second;
        const int64_t slot = t - center + DISC_MAX_SHIFT;
        if (slot >= 0 && slot < static_cast<int64_t>(votes.size())) votes[static_cast<size_t>(slot)]++;
    }
    std::vector<size_t> order(votes.size());
    for (size_t k = 0; k < order.size(); k++) order[k] = k;
    std::partial_sort(order.begin(), order.begin() + 3, order.end(),
                      [&](size_t a, size_t b) { return votes[a] > votes[b]; });
    double best = 0, runner_up = 0;
    uint64_t best_seen = 0;
    for (size_t k = 0; k < 3 && votes[order[k]] >= MIN_VOTES; k++) {
        const int64_t t = static_cast<int64_t>(order[k]) - DISC_MAX_SHIFT + center;
        uint64_t seen = 0;
        const double share = agreement(w, region, region_from, t, seen);
        if (share > best) {
            runner_up = best;
            best = share;
            best_seen = seen;
            shift = t;
        } else {
            runner_up = std::max(runner_up, share);
        }
    }
    return best >= MIN_AGREE && best - runner_up >= MIN_LEAD && best_seen >= WINDOW / 2;
}

// The anchor's windows: a few on every track it holds, informative ones only.
int take_windows(const disc_streams& s, size_t anchor, std::vector<window>& windows, std::string& why) {
    const rip_stream& a = s.rips[anchor];
    for (size_t k = 0; k < a.file.size(); k++) {
        const uint64_t len = static_cast<uint64_t>(a.start[k + 1] - a.start[k]);
        if (!a.file[k] || len < 2 * WINDOW) continue;
        for (unsigned j = 0; j < WINDOWS_PER_TRACK; j++) {
            window w;
            w.track = k;
            w.at = a.start[k] + static_cast<int64_t>((len - WINDOW) * (2 * j + 1) / (2 * WINDOWS_PER_TRACK));
            if (read_stretch(s, anchor, w.at, WINDOW, w.frames, why) != 0) return -1;
            if (informative(w.frames)) windows.push_back(std::move(w));
        }
    }
    return 0;
}

// Where rip r's stream is sought for anchor frame `at` of track k: the same place in the track.
int64_t center_of(const disc_streams& s, size_t anchor, size_t r, size_t k) {
    return s.rips[r].start[k] - s.rips[anchor].start[k];
}

int find_windows(const disc_streams& s, size_t anchor, size_t r, const std::vector<window>& windows,
                 std::vector<found>& finds, std::string& why) {
    for (const window& w : windows) {
        const int64_t center = center_of(s, anchor, r, w.track);
        const int64_t from = w.at + center - DISC_MAX_SHIFT;
        frames_read region;
        if (read_stretch(s, r, from, WINDOW + 2 * DISC_MAX_SHIFT, region, why) != 0) return -1;
        int64_t shift = 0;
        if (find_shift(w, region, from, center, shift)) finds.push_back(found{w.track, w.at, shift});
    }
    return 0;
}

// True when rip r holds the anchor's window at `at` alike at `shift`.
int holds_at(const disc_streams& s, size_t r, const window& w, int64_t shift, bool& holds, std::string& why) {
    frames_read region;
    if (read_stretch(s, r, w.at + shift, WINDOW, region, why) != 0) return -1;
    uint64_t seen = 0;
    holds = agreement(w, region, w.at + shift, shift, seen) >= MIN_AGREE && seen >= WINDOW / 2;
    return 0;
}

// The frame where the rip's shift changes from s1 (which holds before `lo`) to s2 (which holds
// from `hi` on): halved until a window apart, then found frame by frame. Where the halving cannot
// tell (silence, damage), [lo, hi) is left unplaced: `c_lo` and `c_hi` get the two ends.
int find_change(const disc_streams& s, size_t anchor, size_t r, int64_t lo, int64_t hi, int64_t s1,
                int64_t s2, int64_t& c_lo, int64_t& c_hi, std::string& why) {
    const int64_t w_len = static_cast<int64_t>(WINDOW);
    while (hi - lo > w_len) {
        window w;
        w.at = lo + (hi - lo) / 2 - w_len / 2;
        if (read_stretch(s, anchor, w.at, WINDOW, w.frames, why) != 0) return -1;
        bool old_holds = false, new_holds = false;
        const bool telling = informative(w.frames);
        if (telling &&
            (holds_at(s, r, w, s1, old_holds, why) != 0 || holds_at(s, r, w, s2, new_holds, why) != 0))
            return -1;
        if (old_holds && !new_holds) {
            lo = w.at + w_len;
        } else if (new_holds && !old_holds) {
            hi = w.at;
        } else if (telling && !old_holds) {
            // Neither shift holds the whole window: the change lies inside it.
            lo = w.at;
            hi = w.at + w_len;
        } else {
            break;  // silence, or both shifts alike: the halving cannot tell
        }
    }
    c_lo = lo;
    c_hi = hi;
    if (hi - lo > w_len || hi <= lo) return 0;
    frames_read a, one, two;
    const uint64_t n = static_cast<uint64_t>(hi - lo);
    if (read_stretch(s, anchor, lo, n, a, why) != 0 || read_stretch(s, r, lo + s1, n, one, why) != 0 ||
        read_stretch(s, r, lo + s2, n, two, why) != 0)
        return -1;
    // The change c maximizes the frames alike at s1 before it and at s2 from it on.
    int64_t score = 0, best = 0, best_at = 0;
    for (uint64_t i = 0; i < n; i++) score += a.words[i] == two.words[i];
    best = score;
    for (uint64_t i = 0; i < n; i++) {
        score += (a.words[i] == one.words[i]) - (a.words[i] == two.words[i]);
        if (score > best) best = score, best_at = static_cast<int64_t>(i) + 1;
    }
    c_lo = c_hi = lo + best_at;
    return 0;
}

struct run {
    int64_t shift;
    size_t first, last;  // indices into the finds
};

// Runs of windows that found one shift; a lone window between others is taken for chance.
std::vector<run> runs_of(const std::vector<found>& finds) {
    std::vector<run> runs;
    for (size_t i = 0; i < finds.size(); i++) {
        if (!runs.empty() && runs.back().shift == finds[i].shift) {
            runs.back().last = i;
        } else {
            runs.push_back(run{finds[i].shift, i, i});
        }
    }
    if (runs.size() > 1) {
        runs.erase(std::remove_if(runs.begin(), runs.end(), [](const run& r) { return r.first == r.last; }),
                   runs.end());
    }
    std::vector<run> merged;
    for (const run& r : runs) {
        if (!merged.empty() && merged.back().shift == r.shift) {
            merged.back().last = r.last;
        } else {
            merged.push_back(r);
        }
    }
    return merged;
}

// The rip's alignment against the anchor from its windows found.
int place_rip(const disc_streams& s, size_t anchor, size_t r, const std::vector<found>& finds, size_t tracks,
              rip_alignment& a, std::string& why) {
    a = rip_alignment();
    a.measured = true;
    const std::vector<run> runs = runs_of(finds);
    std::map<int64_t, std::set<size_t>> tracks_of;
    for (const run& u : runs) {
        for (size_t i = u.first; i <= u.last; i++) {
            if (finds[i].shift == u.shift) tracks_of[u.shift].insert(finds[i].track);
        }
    }
    size_t most = 0;
    for (const auto& e : tracks_of) most = std::max(most, e.second.size());
    a.placed = !runs.empty() && most >= std::min<size_t>(2, tracks);
    if (!a.placed) return 0;
    a.segments.push_back(rip_segment{BEFORE_ALL, runs[0].shift, true});
    for (size_t k = 1; k < runs.size(); k++) {
        int64_t c_lo = 0, c_hi = 0;
        const int64_t lo = finds[runs[k - 1].last].at + static_cast<int64_t>(WINDOW),
                      hi = finds[runs[k].first].at;
        if (find_change(s, anchor, r, lo, hi, runs[k - 1].shift, runs[k].shift, c_lo, c_hi, why) != 0)
            return -1;
        if (c_hi > c_lo) a.segments.push_back(rip_segment{c_lo, 0, false});
        a.segments.push_back(rip_segment{c_hi, runs[k].shift, true});
    }
    return 0;
}

struct anchored {
    bool measured = false;  // the anchor had windows to seek
    size_t placed = 0;
    std::vector<rip_alignment> rips;
};

int try_anchor(const disc_streams& s, size_t anchor, anchored& result, std::string& why) {
    std::vector<window> windows;
    if (take_windows(s, anchor, windows, why) != 0) return -1;
    result.rips.assign(s.rips.size(), rip_alignment());
    std::set<size_t> tracks;
    for (const window& w : windows) tracks.insert(w.track);
    result.measured = !windows.empty();
    if (!result.measured) return 0;
    // Every other rip is placed on its own (each reads its own files): on two threads.
    std::vector<std::string> whys(s.rips.size());
    std::vector<int> status(s.rips.size(), 0);
    std::atomic<size_t> next(0);
    auto place_rips = [&] {
        for (size_t r; (r = next++) < s.rips.size();) {
            rip_alignment& a = result.rips[r];
            if (r == anchor) {
                a.placed = a.measured = true;
                a.segments.push_back(rip_segment{BEFORE_ALL, 0, true});
                continue;
            }
            std::vector<found> finds;
            status[r] = find_windows(s, anchor, r, windows, finds, whys[r]) != 0 ||
                                place_rip(s, anchor, r, finds, tracks.size(), a, whys[r]) != 0
                            ? -1
                            : 0;
        }
    };
    std::thread helper(place_rips);
    place_rips();
    helper.join();
    for (size_t r = 0; r < s.rips.size(); r++) {
        if (status[r] != 0) {
            why = whys[r];
            return -1;
        }
        result.placed += result.rips[r].placed;
    }
    return 0;
}

// The reference: the alignment most rips share, of rips whose offset does not change.
void choose_reference(const std::vector<rip_alignment>& rips, size_t& reference, std::vector<size_t>& group) {
    std::map<int64_t, std::vector<size_t>> by_shift;
    for (size_t r = 0; r < rips.size(); r++) {
        if (rips[r].placed && rips[r].segments.size() == 1) by_shift[rips[r].segments[0].shift].push_back(r);
    }
    group.clear();
    for (const auto& e : by_shift) {
        if (e.second.size() > group.size() || (e.second.size() == group.size() && e.second[0] < group[0]))
            group = e.second;
    }
    reference = group.empty() ? 0 : group[0];
}

std::string signed_frames(int64_t n) { return (n > 0 ? "+" : "") + std::to_string(n) + " frames"; }

// "track 5 at 01:23.456": where reference frame p lies.
std::string place_of(const disc_streams& s, const disc_alignment& a, int64_t p) {
    size_t k = 0;
    while (k + 1 < a.cut.size() - 1 && a.cut[k + 1] <= p) k++;
    const int64_t into = std::max<int64_t>(0, p - a.cut[k]);
    return "track " + std::to_string(k + 1) + " at " +
           play_time_of(static_cast<uint64_t>(into), s.rate ? s.rate : 44100).text;
}

}  // namespace

void align_in_place(const disc_streams& s, disc_alignment& a) {
    a.rips.assign(s.rips.size(), rip_alignment());
    a.group.clear();
    for (size_t r = 0; r < s.rips.size(); r++) {
        a.rips[r].placed = true;
        a.rips[r].segments.push_back(rip_segment{BEFORE_ALL, 0, true});
        a.group.push_back(r);
    }
    a.reference = 0;
    a.cut = s.rips.empty() ? std::vector<int64_t>{0} : s.rips[0].start;
}

int align_disc(const disc_streams& s, disc_alignment& a, std::string& why) {
    if (!s.cd_frames) {
        align_in_place(s, a);
        return 0;
    }
    anchored best;
    size_t best_anchor = 0;
    for (size_t anchor = 0; anchor < s.rips.size(); anchor++) {
        anchored tried;
        if (try_anchor(s, anchor, tried, why) != 0) return -1;
        if (tried.measured && tried.placed > best.placed) best = tried, best_anchor = anchor;
        if (best.placed * 2 >= s.rips.size()) break;
    }
    (void)best_anchor;
    if (!best.measured) {
        align_in_place(s, a);
        return 0;
    }
    choose_reference(best.rips, a.reference, a.group);
    const int64_t t_ref = best.rips[a.reference].segments[0].shift;
    a.rips = best.rips;
    for (rip_alignment& r : a.rips) {
        for (rip_segment& g : r.segments) {
            if (g.from != BEFORE_ALL) g.from += t_ref;
            g.shift -= t_ref;
        }
    }
    a.cut = s.rips[a.reference].start;
    return 0;
}

std::string alignment_line(const disc_line& line, const disc_streams& s, const disc_alignment& a, size_t r) {
    const rip_alignment& ra = a.rips[r];
    const std::string name = line.rips[r] + ": ";
    if (!ra.placed) return name + "no convincing offset: it sits out";
    if (!ra.measured) return name + "read offset taken as 0: its audio has no stretch to measure it by";
    std::string group;
    for (size_t g : a.group) group += (group.empty() ? "" : " ") + line.rips[g];
    std::string text = name + "read offset " + signed_frames(ra.segments[0].shift) +
                       " against the reference (" + group + ")";
    for (size_t k = 1; k < ra.segments.size(); k++) {
        const rip_segment& g = ra.segments[k];
        text += "; " + (g.placed ? signed_frames(g.shift) : std::string("not placed")) + " from " +
                place_of(s, a, g.from);
    }
    return text;
}

audio_span track_span(const disc_streams& s, const disc_alignment& a, size_t r, size_t k, int64_t cut_shift,
                      uint64_t& held) {
    audio_span span;
    span.rate = s.rate;
    span.channels = s.channels;
    const rip_alignment& ra = a.rips[r];
    const int64_t lo = a.cut[k] + cut_shift, hi = a.cut[k + 1] + cut_shift;
    held = 0;
    for (size_t g = 0; g < ra.segments.size(); g++) {
        const int64_t from = std::max(lo, ra.segments[g].from);
        const int64_t until = std::min(hi, g + 1 < ra.segments.size() ? ra.segments[g + 1].from : hi);
        if (until <= from) continue;
        const uint64_t n = static_cast<uint64_t>(until - from);
        if (ra.segments[g].placed) {
            add_stream_pieces(s, r, from + ra.segments[g].shift, n, span);
        } else {
            span.add_absent(n);
        }
    }
    for (const span_piece& p : span.pieces) held += p.path.empty() ? 0 : p.frames;
    return span;
}
