#include "run/run_record.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "base/globals.h"
#include "base/play_time.h"
#include "run/picture.h"

namespace {

using json = nlohmann::ordered_json;

// A 32-bit checksum as 8 lowercase hex digits.
std::string hex32(uint32_t v) {
    char text[9];
    snprintf(text, sizeof text, "%08x", v);
    return text;
}

bool take_hex32(const json& j, uint32_t& v) {
    if (!j.is_string()) return false;
    const std::string s = j.get<std::string>();
    char* end = nullptr;
    v = static_cast<uint32_t>(strtoul(s.c_str(), &end, 16));
    return s.size() == 8 && end == s.c_str() + 8;
}

json input_json(const input_record& in) {
    json j;
    j["name"] = in.name;
    j["format"] = in.format;
    j["shift_bytes"] = in.placed ? json(in.shift_bytes) : json(nullptr);
    j["samples_lost"] = in.samples_lost;
    j["hits"] = in.hits;
    j["disputes_lost"] = in.disputes_lost;
    j["lost_per_second"] = in.lost_per_second;
    return j;
}

json rip_json(const rip_record& rip) {
    json j;
    j["folder"] = rip.folder;
    j["format"] = rip.format;
    j["offset_samples"] = rip.has_offset ? json(rip.offset_samples) : json(nullptr);
    j["tracks_held"] = rip.tracks_held;
    j["samples_lost"] = rip.samples_lost;
    j["disputes_lost"] = rip.disputes_lost;
    return j;
}

json place_json(const suspicious_place& p) {
    return json{{"time", p.time}, {"sample", p.sample}, {"why", p.why}};
}

json doubtful_json(const doubtful_frame& f) {
    json words = json::array();
    for (uint32_t w : f.words) words.push_back(hex32(w));
    return json{{"frame", f.frame}, {"voted", hex32(f.voted)}, {"words", words}};
}

// A doubtful frame read back; false when the entry is not one.
bool doubtful_from(const json& j, doubtful_frame& f) {
    if (!j.is_object() || !j.contains("frame") || !j["frame"].is_number_unsigned() || !j.contains("voted") ||
        !take_hex32(j["voted"], f.voted) || !j.contains("words") || !j["words"].is_array())
        return false;
    f.frame = j["frame"].get<uint64_t>();
    for (const json& w : j["words"]) {
        uint32_t v = 0;
        if (!take_hex32(w, v)) return false;
        f.words.push_back(v);
    }
    return true;
}

json track_json(const track_record& t) {
    json j;
    j["number"] = t.number;
    j["file"] = t.file;
    j["copies"] = t.copies;
    j["disputed_samples"] = t.disputed_samples;
    j["guessed_samples"] = t.guessed_samples;
    j["overruled_samples"] = t.overruled_samples;
    j["no_copy_samples"] = t.no_copy_samples;
    j["disputed_bytes"] = t.disputed_bytes;
    j["frames"] = t.frames;
    j["sample_rate"] = t.rate;
    j["arv1"] = t.has_sums ? json(hex32(t.arv1)) : json(nullptr);
    j["arv2"] = t.has_sums ? json(hex32(t.arv2)) : json(nullptr);
    j["crc32"] = t.has_sums ? json(hex32(t.crc32)) : json(nullptr);
    j["verdict"] = t.verdict;
    if (!t.note.empty()) j["note"] = t.note;
    j["confidence"] = t.confidence;
    j["pressing"] = t.has_pressing ? json(t.pressing) : json(nullptr);
    j["repaired_samples"] = t.repaired_samples;
    if (!t.repair.empty()) j["repair"] = t.repair;
    json places = json::array();
    for (const suspicious_place& p : t.suspicious) places.push_back(place_json(p));
    j["suspicious"] = places;
    if (!t.doubtful.empty()) {
        json doubtful = json::array();
        for (const doubtful_frame& f : t.doubtful) doubtful.push_back(doubtful_json(f));
        j["doubtful"] = doubtful;
    }
    return j;
}

template <typename T>
void take(const json& j, const char* key, T& into) {
    const auto it = j.find(key);
    if (it != j.end() && !it->is_null()) into = it->get<T>();
}

input_record input_from(const json& j) {
    input_record in;
    take(j, "name", in.name);
    take(j, "format", in.format);
    const auto shift = j.find("shift_bytes");
    in.placed = shift != j.end() && shift->is_number_integer();
    if (in.placed) in.shift_bytes = shift->get<int64_t>();
    take(j, "samples_lost", in.samples_lost);
    take(j, "hits", in.hits);
    take(j, "disputes_lost", in.disputes_lost);
    take(j, "lost_per_second", in.lost_per_second);
    return in;
}

track_record track_from(const json& j) {
    track_record t;
    take(j, "number", t.number);
    take(j, "file", t.file);
    take(j, "copies", t.copies);
    take(j, "disputed_samples", t.disputed_samples);
    take(j, "guessed_samples", t.guessed_samples);
    take(j, "overruled_samples", t.overruled_samples);
    take(j, "no_copy_samples", t.no_copy_samples);
    take(j, "disputed_bytes", t.disputed_bytes);
    take(j, "frames", t.frames);
    take(j, "sample_rate", t.rate);
    t.has_sums = j.contains("crc32") && take_hex32(j["crc32"], t.crc32) && take_hex32(j["arv1"], t.arv1) &&
                 take_hex32(j["arv2"], t.arv2);
    take(j, "verdict", t.verdict);
    take(j, "note", t.note);
    take(j, "confidence", t.confidence);
    t.has_pressing = j.contains("pressing") && j["pressing"].is_number_integer();
    if (t.has_pressing) t.pressing = j["pressing"].get<uint32_t>();
    take(j, "repaired_samples", t.repaired_samples);
    take(j, "repair", t.repair);
    if (j.contains("suspicious") && j["suspicious"].is_array()) {
        for (const json& p : j["suspicious"]) {
            suspicious_place s;
            take(p, "time", s.time);
            take(p, "sample", s.sample);
            take(p, "why", s.why);
            t.suspicious.push_back(s);
        }
    }
    if (j.contains("doubtful") && j["doubtful"].is_array()) {
        for (const json& d : j["doubtful"]) {
            doubtful_frame f;
            if (doubtful_from(d, f)) t.doubtful.push_back(f);
        }
    }
    return t;
}

// Whether a POSIX shell reads `arg` as it is, without quotes.
bool plain_word(const char* arg) {
    if (*arg == '\0') return false;
    for (const char* c = arg; *c; c++) {
        const bool ok = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') ||
                        strchr("-_./,:=+@%", *c) != nullptr;
        if (!ok) return false;
    }
    return true;
}

// The 16-bit sample value at byte `b` of a word (b even), in word `w`.
uint16_t sample_of(uint64_t w, unsigned b) { return static_cast<uint16_t>(w >> (8 * b)); }

// How many present copies hold the value written at bytes b, b + 1 of the verdict's word, and
// the largest group of present copies holding another value.
struct sample_groups {
    uint64_t chosen = 0;
    uint64_t other = 0;
};

sample_groups groups_at(const word_verdict& v, unsigned b) {
    uint16_t values[MAX_INPUTS];
    uint64_t n = 0;
    for (uint64_t i = 0; i < v.count; i++) {
        if (!v.absent || (v.absent[i] >> b & 3u) == 0) values[n++] = sample_of(v.words[i], b);
    }
    std::sort(values, values + n);
    const uint16_t chosen = sample_of(v.voted, b);
    sample_groups g;
    for (uint64_t k = 0, run; k < n; k += run) {
        for (run = 1; k + run < n && values[k + run] == values[k]; run++) {
        }
        if (values[k] == chosen) {
            g.chosen = run;
        } else if (run > g.other) {
            g.other = run;
        }
    }
    return g;
}

}  // namespace

std::string shell_quoted(int argc, const char* const* argv) {
    std::string out;
    for (int k = 0; k < argc; k++) {
        if (k > 0) out += ' ';
        if (plain_word(argv[k])) {
            out += argv[k];
            continue;
        }
        out += '\'';
        for (const char* c = argv[k]; *c; c++) out += *c == '\'' ? std::string("'\\''") : std::string(1, *c);
        out += '\'';
    }
    return out;
}

std::string run_record_json(const run_record& r) {
    json j;
    j["version"] = r.version;
    j["command"] = r.command;
    if (r.is_disc) {
        j["disc"] =
            json{{"accuraterip_id", r.accuraterip_id.empty() ? json(nullptr) : json(r.accuraterip_id)},
                 {"response_file_name",
                  r.response_file_name.empty() ? json(nullptr) : json(r.response_file_name)}};
        json rips = json::array();
        for (const rip_record& rip : r.rips) rips.push_back(rip_json(rip));
        j["rips"] = rips;
    } else {
        json inputs = json::array();
        for (const input_record& in : r.inputs) inputs.push_back(input_json(in));
        j["inputs"] = inputs;
    }
    json tracks = json::array();
    for (const track_record& t : r.tracks) tracks.push_back(track_json(t));
    j["tracks"] = tracks;
    j["status"] = r.status < 0 ? 255 : r.status;
    j["seconds"] = r.seconds;
    return j.dump(2) + "\n";
}

int read_run_record(const std::string& text, run_record& r) {
    const json j = json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object() || !j.contains("tracks") || !j["tracks"].is_array()) return -1;
    take(j, "version", r.version);
    take(j, "command", r.command);
    r.is_disc = j.contains("disc") && j["disc"].is_object();
    if (r.is_disc) {
        take(j["disc"], "accuraterip_id", r.accuraterip_id);
        take(j["disc"], "response_file_name", r.response_file_name);
    }
    if (j.contains("rips") && j["rips"].is_array()) {
        for (const json& rip : j["rips"]) {
            rip_record rr;
            take(rip, "folder", rr.folder);
            take(rip, "format", rr.format);
            rr.has_offset = rip.contains("offset_samples") && rip["offset_samples"].is_number_integer();
            if (rr.has_offset) rr.offset_samples = rip["offset_samples"].get<int64_t>();
            take(rip, "tracks_held", rr.tracks_held);
            take(rip, "samples_lost", rr.samples_lost);
            take(rip, "disputes_lost", rr.disputes_lost);
            r.rips.push_back(rr);
        }
    }
    if (j.contains("inputs") && j["inputs"].is_array())
        for (const json& in : j["inputs"]) r.inputs.push_back(input_from(in));
    for (const json& t : j["tracks"]) r.tracks.push_back(track_from(t));
    int status = 255;
    take(j, "status", status);
    r.status = status == 255 ? -1 : status;
    take(j, "seconds", r.seconds);
    return 0;
}

void verdict_tally::set_layout(const wav_header& h) {
    if (!h.valid || h.block_align == 0 || h.sample_rate == 0) {
        audio_begin = 0;
        audio_end = UINT64_MAX;
        frame_bytes = 2;
        rate = 0;
        return;
    }
    audio_begin = h.data_offset;
    audio_end = h.data_size == 0 || h.data_size == 0xFFFFFFFFu ? UINT64_MAX : h.data_offset + h.data_size;
    frame_bytes = h.block_align;
    rate = h.sample_rate;
}

const char* doubt_word(doubt_kind k) {
    static const char* const WORDS[] = {"no-copy", "lone-overrule", "narrow-majority", "guess"};
    return WORDS[static_cast<int>(k)];
}

verdict_tally::verdict_tally() {
    for (uint64_t& l : last) l = UINT64_MAX;
}

void verdict_tally::note(doubt_kind kind, uint64_t s, int64_t margin) {
    const int k = static_cast<int>(kind);
    const bool joins = last[k] != UINT64_MAX && s <= last[k] + 1;
    last[k] = s;
    if (joins || kept[k] == MOST_PLACES) return;
    kept[k]++;
    const uint64_t frame = s * 2 / frame_bytes;
    places.push_back({audio_begin + frame * frame_bytes, frame, kind, margin});
}

void verdict_tally::note_frame(doubt_kind kind, uint64_t frame) {
    const int k = static_cast<int>(kind);
    if (kept[k] == MOST_PLACES) return;
    kept[k]++;
    places.push_back({audio_begin + frame * frame_bytes, frame, kind, 0});
}

void verdict_tally::note_losers(const word_verdict& v, unsigned b, uint64_t s) {
    if (lost.size() < v.count) {
        lost.resize(v.count);
        lost_seconds.resize(v.count);
    }
    const uint16_t chosen = sample_of(v.voted, b);
    const uint64_t second = rate ? s * 2 / frame_bytes / rate : 0;
    for (uint64_t i = 0; i < v.count; i++) {
        if ((v.absent && (v.absent[i] >> b & 3u) != 0) || sample_of(v.words[i], b) == chosen) continue;
        lost[i]++;
        std::vector<uint32_t>& bins = lost_seconds[i];
        if (second >= bins.size()) bins.resize(second + 1);
        bins[second]++;
    }
}

void verdict_tally::add(const word_verdict& v) {
    if (frame_bytes == 0) return;
    uint64_t last_sample = UINT64_MAX;
    for (unsigned b = 0; b < v.valid; b++) {
        const uint64_t o = v.offset + b;
        if (!(v.disputed >> b & 1u) || o < audio_begin || o >= audio_end) continue;
        const uint64_t s = (o - audio_begin) / 2;
        if (s == last_sample) continue;
        last_sample = s;
        disputed++;
        // A sample lies whole in the word when the audio starts at an even offset.
        const bool whole = audio_begin + 2 * s == o && b + 1 < v.valid;
        const unsigned both = whole ? 3u << b : 1u << b;
        if ((v.guessed & both) != 0) {
            guessed++;
            note(doubt_kind::guess, s, 0);
        }
        if (!whole) continue;
        const sample_groups g = groups_at(v, b);
        note_losers(v, b, s);
        if (g.other > g.chosen) overruled++;
        if (g.chosen == 1 && g.other >= 2) {
            note(doubt_kind::lone_overrule, s, -static_cast<int64_t>(g.other));
        } else if (g.chosen >= 2 && g.other >= 2 && g.chosen <= g.other + 1) {
            note(doubt_kind::narrow_majority, s,
                 static_cast<int64_t>(g.chosen) - static_cast<int64_t>(g.other));
        }
    }
}

std::vector<doubt_place> verdict_tally::ranked() const {
    std::vector<doubt_place> out = places;
    std::stable_sort(out.begin(), out.end(), [](const doubt_place& a, const doubt_place& b) {
        if (a.kind != b.kind) return a.kind < b.kind;
        if (a.margin != b.margin) return a.margin < b.margin;
        return a.frame < b.frame;
    });
    return out;
}

std::vector<suspicious_place> verdict_tally::suspicious() const {
    std::vector<suspicious_place> out;
    for (const doubt_place& p : ranked()) {
        out.push_back({rate ? play_time_of(p.frame, rate).text : "", p.frame, doubt_word(p.kind)});
    }
    return out;
}

std::vector<doubtful_frame> doubtful_frames(const doubt_list& doubts, uint64_t audio_begin,
                                            uint64_t audio_end) {
    std::vector<repair_frame> frames;
    std::vector<uint64_t> offsets;
    doubts.frames(audio_begin, audio_end, frames, offsets);
    std::vector<doubtful_frame> kept;
    for (size_t k = 0; k < frames.size() && kept.size() < MOST_DOUBTFUL_FRAMES; k++) {
        doubtful_frame f;
        f.frame = frames[k].index - 1;
        f.voted = frames[k].voted;
        const size_t n = std::min(frames[k].words.size(), MOST_DOUBTFUL_WORDS);
        f.words.assign(frames[k].words.begin(), frames[k].words.begin() + static_cast<std::ptrdiff_t>(n));
        kept.push_back(f);
    }
    return kept;
}

verdict_listener verdict_tally::listener(verdict_tally* tally) {
    verdict_listener l;
    l.heard = [](void* context, const word_verdict& v) { static_cast<verdict_tally*>(context)->add(v); };
    l.context = tally;
    return l;
}

picture_track track_picture(const track_record& t, const std::string& label) {
    picture_track p;
    p.label = label;
    p.seconds = t.rate ? static_cast<double>(t.frames) / t.rate : 0;
    p.verdict = t.verdict;
    for (const suspicious_place& place : t.suspicious) {
        if (t.rate) p.listen.push_back(static_cast<double>(place.sample) / t.rate);
    }
    return p;
}

std::string run_picture(const run_record& r) {
    std::vector<picture_track> tracks;
    for (const track_record& t : r.tracks) tracks.push_back(track_picture(t, t.file));
    std::vector<picture_row> rows;
    for (const input_record& in : r.inputs) {
        picture_cell cell;
        cell.held = true;
        cell.lost_per_second = in.lost_per_second;
        // A length not known is taken from the last second in which a copy lost a dispute.
        if (!tracks.empty() && tracks[0].seconds < static_cast<double>(cell.lost_per_second.size()))
            tracks[0].seconds = static_cast<double>(cell.lost_per_second.size());
        rows.push_back({in.name, {cell}});
    }
    return damage_svg(tracks, rows);
}
