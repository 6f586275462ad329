#include "disc/disc_report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "audio/ar_response.h"
#include "base/app_error.h"
#include "g_console.h"
#include "run/files.h"
#include "run/picture.h"

const char* const DISC_FILES[3] = {"copyvote.log", "copyvote.json", "copyvote.svg"};

namespace {

const size_t LISTEN_IN_LOG = 10;  // places to listen to again per track in the log

std::string percent(uint64_t part, uint64_t whole) {
    char text[16];
    snprintf(text, sizeof text, "%.0f %%", whole ? 100.0 * static_cast<double>(part) / whole : 0.0);
    return text;
}

std::string hex32(uint32_t v) {
    char text[9];
    snprintf(text, sizeof text, "%08x", v);
    return text;
}

// The rip's tracks' formats, most common first ("flac" on a tie).
std::string rip_format(const disc_plan& plan, size_t rip) {
    uint64_t flac = 0, wav = 0;
    for (const disc_track& t : plan.tracks) {
        for (const track_copy& c : t.copies) {
            if (c.rip != rip) continue;
            (c.info.flac ? flac : wav)++;
        }
    }
    return flac >= wav && flac > 0 ? "flac" : "wav";
}

// Adds what track `t`'s run says of its copies to their rips.
void add_track_to_rips(run_record& r, const disc_track& t, const disc_track_outcome& o) {
    for (size_t k = 0; k < t.copies.size(); k++) {
        rip_record& rip = r.rips[t.copies[k].rip];
        rip.tracks_held++;
        if (!o.voted || k >= o.inputs.size()) continue;
        rip.samples_lost += o.inputs[k].samples_lost;
        rip.disputes_lost += o.inputs[k].disputes_lost;
        rip.disputes_seen += o.record.disputed_samples;
    }
}

track_record unvoted_track(const disc_track& t, const disc_track_outcome& o) {
    track_record tr;
    tr.number = t.number;
    tr.file = t.name;
    tr.copies = t.copies.size();
    tr.verdict = "not verified";
    tr.note = o.kind;
    return tr;
}

// "rip4 lost 62 % of the disputes: re-rip it first", or "" when no rip lost any.
std::string worst_rip(const run_record& r) {
    const rip_record* worst = nullptr;
    double share = 0;
    for (const rip_record& rip : r.rips) {
        if (rip.disputes_seen == 0) continue;
        const double s = static_cast<double>(rip.disputes_lost) / rip.disputes_seen;
        if (!worst || s > share) worst = &rip, share = s;
    }
    if (!worst || worst->disputes_lost == 0) return "";
    return worst->folder + " lost " + percent(worst->disputes_lost, worst->disputes_seen) +
           " of the disputes: re-rip it first";
}

std::string rip_block(const run_record& r) {
    std::string text = "Rips\n";
    for (const rip_record& rip : r.rips) {
        text += "  " + rip.folder + "\n";
        text += "    format " + rip.format + ", read offset " +
                (rip.has_offset ? std::to_string(rip.offset_samples) + " frames"
                                : std::string("none: it sat out")) +
                " against the reference\n";
        text += "    tracks held " + std::to_string(rip.tracks_held) + ", samples lost " +
                std::to_string(rip.samples_lost) + ", disputes lost " + std::to_string(rip.disputes_lost) +
                " of " + std::to_string(rip.disputes_seen) + " (" +
                percent(rip.disputes_lost, rip.disputes_seen) + ")\n";
    }
    const std::string worst = worst_rip(r);
    if (!worst.empty()) text += "  " + worst + "\n";
    return text + "\n";
}

std::string track_block(const track_record& t, const disc_track_outcome& o) {
    std::string text = "  Track " + std::to_string(t.number) + "  " + t.file + "\n";
    if (!o.voted) return text + "    " + o.kind + "\n";
    text += "    copies " + std::to_string(t.copies) + ", disputed " + std::to_string(t.disputed_samples) +
            ", guessed " + std::to_string(t.guessed_samples) + ", overruled " +
            std::to_string(t.overruled_samples) + ", held by no copy " + std::to_string(t.no_copy_samples) +
            " (16-bit samples)\n";
    if (t.has_sums)
        text += "    AccurateRip v1 " + hex32(t.arv1) + " v2 " + hex32(t.arv2) + ", CRC32 " + hex32(t.crc32) +
                "\n";
    text += "    " + o.kind + (t.note.empty() ? "" : ": " + t.note);
    if (t.has_pressing)
        text +=
            " (confidence " + std::to_string(t.confidence) + ", pressing " + std::to_string(t.pressing) + ")";
    text += "\n";
    if (!t.repair.empty()) text += "    " + t.repair + "\n";
    for (size_t k = 0; k < t.suspicious.size() && k < LISTEN_IN_LOG; k++)
        text += "    listen again at " + t.suspicious[k].time + ": " + t.suspicious[k].why + "\n";
    if (t.suspicious.size() > LISTEN_IN_LOG)
        text += "    and " + std::to_string(t.suspicious.size() - LISTEN_IN_LOG) +
                " more places (copyvote.json)\n";
    return text;
}

int write_one(const std::string& dir, const char* name, const std::string& text, mode_t mode) {
    std::string temp;
    int error = make_scratch_file(dir, name, "", temp);
    if (error != 0) return error;
    const int fd = open(temp.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) error = errno;
    for (size_t at = 0; error == 0 && at < text.size();) {
        const ssize_t n = write(fd, text.data() + at, text.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) error = n < 0 ? errno : EIO;
        at += n > 0 ? static_cast<size_t>(n) : 0;
    }
    if (fd >= 0 && error == 0 && fchmod(fd, mode) != 0) error = errno;
    if (fd >= 0 && close(fd) != 0 && error == 0) error = errno;
    if (error == 0) error = move_file(temp, dir + "/" + name);
    if (error != 0) remove_file(temp);
    return error;
}

}  // namespace

std::string disc_ids_text(const disc_plan& plan) {
    std::vector<uint64_t> frames;
    for (const disc_track& t : plan.tracks) {
        if (t.copies.empty() || t.copies[0].info.frame_bytes == 0) return "";
        frames.push_back(t.copies[0].info.audio_bytes / t.copies[0].info.frame_bytes);
    }
    return frames.empty() ? "" : format_disc_ids(disc_ids_from_lengths(frames));
}

void print_disc_ids(const disc_plan& plan) {
    const std::string ids = disc_ids_text(plan);
    if (ids.empty()) {
        con_printf(con_out(), "disc ids not known: a track is in no rip\n");
        return;
    }
    con_printf(con_out(), "disc ids %s; its AccurateRip response file is dBAR-%s.bin\n", ids.c_str(),
               ids.c_str());
}

run_record disc_record(const disc_line& line, const disc_plan& plan,
                       const std::vector<disc_track_outcome>& tracks, const std::string& command) {
    run_record r;
    r.version = COPYVOTE_VERSION;
    r.command = command;
    r.is_disc = true;
    r.accuraterip_id = disc_ids_text(plan);
    if (!r.accuraterip_id.empty()) r.response_file_name = "dBAR-" + r.accuraterip_id + ".bin";
    for (size_t k = 0; k < line.rips.size(); k++) {
        rip_record rip;
        rip.folder = line.rips[k];
        rip.format = rip_format(plan, k);
        r.rips.push_back(rip);
    }
    for (size_t k = 0; k < plan.tracks.size() && k < tracks.size(); k++) {
        add_track_to_rips(r, plan.tracks[k], tracks[k]);
        r.tracks.push_back(tracks[k].voted ? tracks[k].record : unvoted_track(plan.tracks[k], tracks[k]));
    }
    return r;
}

std::string disc_log(const run_record& r, const std::vector<disc_track_outcome>& tracks,
                     const disc_plan& plan, const std::string& summary, const std::string& date) {
    std::string text = "copyvote " + r.version + " restore log\n\n";
    text += "Command   " + r.command + "\nDate      " + date + "\n";
    text += "Disc      " + std::to_string(plan.tracks.size()) + " tracks, AccurateRip ids " +
            (r.accuraterip_id.empty() ? std::string("not known (a track is in no rip)") : r.accuraterip_id) +
            "\n";
    if (!r.response_file_name.empty()) text += "Response  " + r.response_file_name + "\n";
    text += "\n" + rip_block(r) + "Tracks\n";
    for (size_t k = 0; k < r.tracks.size() && k < tracks.size(); k++)
        text += track_block(r.tracks[k], tracks[k]);
    return text + "\nSummary   " + summary + "\n";
}

std::string disc_picture(const run_record& r, const std::vector<disc_track_outcome>& tracks,
                         const disc_plan& plan) {
    std::vector<picture_track> pt;
    for (size_t k = 0; k < r.tracks.size(); k++) {
        picture_track p = track_picture(r.tracks[k], std::to_string(r.tracks[k].number));
        const disc_track& t = plan.tracks[k];
        if (p.seconds == 0 && !t.copies.empty() && t.copies[0].info.frame_bytes)
            p.seconds =
                static_cast<double>(t.copies[0].info.audio_bytes / t.copies[0].info.frame_bytes) / 44100.0;
        if (!tracks[k].voted) p.verdict = tracks[k].kind;
        pt.push_back(p);
    }
    std::vector<picture_row> rows(r.rips.size());
    for (size_t rip = 0; rip < rows.size(); rip++) {
        rows[rip].label = r.rips[rip].folder;
        rows[rip].cells.resize(pt.size());
    }
    for (size_t k = 0; k < pt.size(); k++) {
        const disc_track& t = plan.tracks[k];
        for (size_t c = 0; c < t.copies.size(); c++) {
            picture_cell& cell = rows[t.copies[c].rip].cells[k];
            cell.held = true;
            if (tracks[k].voted && c < tracks[k].inputs.size())
                cell.lost_per_second = tracks[k].inputs[c].lost_per_second;
        }
    }
    return damage_svg(pt, rows);
}

int write_disc_files(const disc_line& line, const std::string texts[3]) {
    const mode_t mask = umask(0);
    umask(mask);
    for (int k = 0; k < 3; k++) {
        const int error = write_one(line.out_dir, DISC_FILES[k], texts[k], 0666 & ~mask);
        if (error == 0) continue;
        app_error_errno("write", (line.out_dir + "/" + DISC_FILES[k]).c_str(), error);
        return -1;
    }
    return 0;
}
