#include "disc/disc_summary.h"

#include <algorithm>
#include <ctime>

#include "disc/disc_report.h"
#include "run/length_plan.h"

namespace {

const size_t TIMES_NAMED = 3;  // guessed places named in the summary per track

// "N frames held by no copy (first at mm:ss.mmm)" when the track's run found such frames, else "".
std::string unheld_text(const track_result& r) {
    const track_record& f = r.figures;
    if (f.no_copy_samples == 0) return "";
    std::string first;
    for (const suspicious_place& p : f.suspicious) {
        if (p.why != doubt_word(doubt_kind::no_copy)) continue;
        first = p.time;
        break;
    }
    const uint64_t frames = f.no_copy_samples / r.channels;
    return std::to_string(frames) + " frame" + (frames == 1 ? "" : "s") + UNHELD_TEXT + first + ")";
}

std::string crc32_text(const track_record& f) {
    char hex[9];
    snprintf(hex, sizeof hex, "%08x", f.crc32);
    return f.has_sums ? hex : "-";
}

std::string verdict_text(const track_result& r) {
    const track_record& f = r.figures;
    const std::string unheld = unheld_text(r);
    if (r.kind == VERIFIED) return "verified: " + f.note;
    if (r.kind == NOT_VERIFIED && !unheld.empty())
        return "not verified: " + (f.note.empty() ? "" : f.note + "; ") + unheld;
    if (r.kind == NOT_VERIFIED) return "not verified: " + f.note;
    return "restored, CRC32 " + crc32_text(f) + " (no response file)";
}

std::string ar_cell(const disc_state& s, const track_result& r) {
    if (r.kind == LEFT_OUT) return "left out";
    if (r.kind == FAILED) return "failed";
    if (s.line.response_name.empty()) return "no response file";
    if (r.kind == NOT_VERIFIED) return "not verified";
    return "verified (confidence " + std::to_string(r.figures.confidence) + ")";
}

// "track 7: 3 samples guessed at 02:13.400" for a track that did not verify.
std::string why_not_verified(const disc_track& t, const track_result& r) {
    const track_record& f = r.figures;
    std::string text = "track " + std::to_string(t.number) + ": ";
    const std::string unheld = unheld_text(r);
    if (!unheld.empty()) return text + unheld;
    if (f.guessed_samples == 0) return text + samples(f.disputed_samples) + " disputed, none guessed";
    text += samples(f.guessed_samples) + " guessed";
    std::vector<std::string> at;
    // Places within one millisecond show one time: each time is named once.
    for (const suspicious_place& p : f.suspicious)
        if (p.why == doubt_word(doubt_kind::guess) && std::find(at.begin(), at.end(), p.time) == at.end())
            at.push_back(p.time);
    for (size_t k = 0; k < at.size() && k < TIMES_NAMED; k++) text += (k ? ", " : " at ") + at[k];
    const size_t more = at.size() > TIMES_NAMED ? at.size() - TIMES_NAMED : 0;
    if (more > 0) text += " and " + std::to_string(more) + (more == 1 ? " more place" : " more places");
    return text;
}

const char* kind_word(track_kind kind) {
    static const char* const WORDS[] = {"verified", "restored", "not verified", "left out", "failed"};
    return WORDS[kind];
}

}  // namespace

std::string figures_text(const track_result& r) {
    const track_record& f = r.figures;
    std::string text = std::to_string(r.copies) + " copies, " + samples(f.disputed_samples) + " disputed, " +
                       std::to_string(f.guessed_samples) + " guessed";
    return text + "; " + verdict_text(r);
}

void print_table(const disc_state& s, const std::vector<track_result>& results) {
    FILE* o = out();
    con_printf(o, "\n%5s  %6s  %8s  %7s  %-23s  %-8s  %s\n", "track", "copies", "disputed", "guessed",
               "AccurateRip", "CRC32", "file");
    for (size_t k = 0; k < results.size(); k++) {
        const track_result& r = results[k];
        const disc_track& t = s.plan.tracks[k];
        const bool voted = r.kind != LEFT_OUT && r.kind != FAILED;
        con_printf(o, "%5s  %6zu  %8s  %7s  %-23s  %-8s  %s\n", position(s, t).c_str(), r.copies,
                   voted ? std::to_string(r.figures.disputed_samples).c_str() : "-",
                   voted ? std::to_string(r.figures.guessed_samples).c_str() : "-", ar_cell(s, r).c_str(),
                   voted ? crc32_text(r.figures).c_str() : "-", t.name.c_str());
    }
}

std::string summary_line(const disc_state& s, const std::vector<track_result>& results) {
    const char* const NAMES[] = {"verified", "restored", "not verified", "left out", "failed"};
    std::string parts[5];
    size_t counts[5] = {};
    for (size_t k = 0; k < results.size(); k++) {
        const track_kind kind = results[k].kind;
        counts[kind]++;
        const std::string detail = kind == NOT_VERIFIED ? why_not_verified(s.plan.tracks[k], results[k])
                                                        : "track " + std::to_string(s.plan.tracks[k].number);
        if (kind >= NOT_VERIFIED)
            parts[kind] += (parts[kind].empty() ? "" : kind == NOT_VERIFIED ? "; " : ", ") + detail;
    }
    std::string line = std::to_string(results.size()) + " tracks:";
    const char* sep = " ";
    for (int kind = VERIFIED; kind <= FAILED; kind++) {
        if (counts[kind] == 0) continue;
        line += sep + std::to_string(counts[kind]) + " " + NAMES[kind];
        if (!parts[kind].empty()) line += " (" + parts[kind] + ")";
        sep = ", ";
    }
    if (!s.line.response_name.empty() || counts[RESTORED] == 0) return line;
    return line + "; not checked without --accuraterip";
}

// copyvote.log, copyvote.json and copyvote.svg in OUTDIR. Returns 0 or -1 after an error line.
int leave_disc_files(const disc_state& s, const std::vector<track_result>& results,
                     const std::string& summary, int argc, char** argv) {
    std::vector<disc_track_outcome> tracks;
    for (const track_result& r : results) {
        disc_track_outcome o;
        o.kind = kind_word(r.kind);
        o.voted = r.kind != LEFT_OUT && r.kind != FAILED;
        o.record = r.figures;
        o.inputs = r.inputs;
        tracks.push_back(o);
    }
    run_record record = disc_record(s.line, s.plan, tracks, shell_quoted(argc, argv));
    // Each rip's read offset: its first segment's shift, as the rip's line states it.
    for (size_t r = 0; r < record.rips.size() && r < s.alignment.rips.size(); r++) {
        const rip_alignment& a = s.alignment.rips[r];
        record.rips[r].has_offset = a.placed;
        record.rips[r].offset_samples = a.segments.empty() ? 0 : a.segments[0].shift;
    }
    char date[64];
    const time_t now = time(nullptr);
    strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", gmtime(&now));
    const std::string texts[3] = {disc_log(record, tracks, s.plan, summary, date), run_record_json(record),
                                  disc_picture(record, tracks, s.plan)};
    return write_disc_files(s.line, texts);
}

int disc_status(const std::vector<track_result>& results) {
    int status = 0;
    for (const track_result& r : results) {
        if (r.kind == FAILED) return -1;
        if (r.kind == NOT_VERIFIED || r.kind == LEFT_OUT) status = 1;
    }
    return status;
}
