#include "disc/disc_copies.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "run/files.h"

namespace {

// The rip folder's last name, for the span file's name (as a run's lines name the copy).
std::string stem_of(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    const size_t slash = dir.rfind('/');
    return slash == std::string::npos ? dir : dir.substr(slash + 1);
}

int write_text(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return errno;
    for (size_t at = 0; at < text.size();) {
        const ssize_t put = write(fd, text.data() + at, text.size() - at);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            const int code = put < 0 ? errno : EIO;
            close(fd);
            return code;
        }
        at += static_cast<size_t>(put);
    }
    return close(fd) == 0 ? 0 : errno;
}

int write_span(const disc_line& line, size_t rip, const audio_span& span, std::string& path) {
    int error = make_scratch_file(line.out_dir, stem_of(line.rips[rip]), ".span", path);
    if (error == 0) error = write_text(path, span_text(span));
    if (error != 0 && !path.empty()) remove_file(path);
    return error;
}

// True when the span is the rip's own file of the track, whole and nothing else.
bool is_own_file(const audio_span& span, const track_copy* file) {
    return file && span.tags_from.empty() && span.pieces.size() == 1 && span.pieces[0].path == file->path &&
           span.pieces[0].first == 0 && span.pieces[0].frames == file_frames(*file);
}

// The rips in the order their copies are handed over: the one that names the track first.
std::vector<size_t> rip_order(const disc_track& t, size_t rips) {
    std::vector<size_t> order;
    const size_t first = t.copies.empty() ? 0 : t.copies[t.named].rip;
    order.push_back(first);
    for (size_t r = 0; r < rips; r++) {
        if (r != first) order.push_back(r);
    }
    return order;
}

}  // namespace

int track_copies(const disc_line& line, const disc_plan& plan, const disc_streams& s, const disc_alignment& a,
                 track_cut cut, std::vector<voted_copy>& copies) {
    copies.clear();
    const disc_track& t = plan.tracks[cut.track];
    const uint64_t frames = static_cast<uint64_t>(a.cut[cut.track + 1] - a.cut[cut.track]);
    const track_copy* naming = t.copies.empty() ? nullptr : &t.copies[t.named];
    for (size_t r : rip_order(t, s.rips.size())) {
        if (!a.rips[r].placed) continue;
        uint64_t held = 0;
        audio_span span = track_span(s, a, r, cut.track, cut.cut_shift, held);
        if (held == 0 || held * 2 < frames) continue;
        // The first copy carries the tags of the file that names the track.
        if (copies.empty() && naming && naming->info.flac && (naming->rip != r || !is_own_file(span, naming)))
            span.tags_from = naming->path;
        voted_copy c;
        c.rip = r;
        if (is_own_file(span, s.rips[r].file[cut.track])) {
            c.path = s.rips[r].file[cut.track]->path;
        } else {
            const int error = write_span(line, r, span, c.path);
            if (error != 0) {
                remove_scratch_copies(copies);
                copies.clear();
                return error;
            }
            c.scratch = true;
        }
        copies.push_back(c);
    }
    return 0;
}

void remove_scratch_copies(const std::vector<voted_copy>& copies) {
    for (const voted_copy& c : copies) {
        if (c.scratch) remove_file(c.path);
    }
}
