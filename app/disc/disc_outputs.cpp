#include "disc/disc_outputs.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstring>
#include <vector>

#include "base/app_error.h"
#include "disc/disc_report.h"
#include "g_dir.h"
#include "run/files.h"

namespace {

struct file_id {
    dev_t dev = 0;
    ino_t ino = 0;
};

bool same_id(const file_id& a, const file_id& b) { return a.dev == b.dev && a.ino == b.ino; }

// The identity of what `path` leads to. False when it leads nowhere.
bool id_of(const std::string& path, file_id& id) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    return true;
}

// A file of a rip folder: any entry, audio or not, by what it leads to.
struct rip_file {
    file_id id;
    std::string shown;  // rip/name, as the user would write it
    size_t rip = 0;
};

// One file a track's run writes.
struct written_file {
    std::string name;  // as the run gets it: OUTDIR/name or MAPDIR/name.tsv
    std::string what;  // "the output of track 2 (r1/02.wav)"
    bool is_map = false;
    bool exists = false;  // then `id` is what it leads to
    file_id id;
    std::string path;  // else: the absolute path at which it would be created
};

// What the disc reads and where it must not write.
struct read_side {
    std::vector<file_id> rips;  // the rip folders, in command-line order (all exist once planned)
    std::vector<rip_file> files;
    bool has_response = false;
    file_id response;
};

// The absolute path `dir` has or would have: resolved as far as it exists.
std::string resolved(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    char path[PATH_MAX];
    if (realpath(dir.c_str(), path)) return path;
    const size_t slash = dir.find_last_of('/');
    const std::string parent = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
    const std::string last = slash == std::string::npos ? dir : dir.substr(slash + 1);
    if (parent == dir) return dir;
    return resolved(parent) + "/" + last;
}

std::string parent_of(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// The rip folder that the absolute `path` is (`itself`) or lies inside, by identity: every folder
// from the path up to the root is compared with the rips. -1 when none.
long rip_holding(const read_side& side, const std::string& path, bool& itself) {
    itself = true;
    for (std::string p = path;; p = parent_of(p)) {
        file_id id;
        if (id_of(p, id)) {
            for (size_t r = 0; r < side.rips.size(); r++) {
                if (same_id(id, side.rips[r])) return static_cast<long>(r);
            }
        }
        if (p == "/") return -1;
        itself = false;
    }
}

void list_rip_files(const disc_line& line, read_side& side) {
    for (size_t r = 0; r < line.rips.size(); r++) {
        file_id dir;
        side.rips.push_back(id_of(line.rips[r], dir) ? dir : file_id());
        g_dir listing(line.rips[r].c_str(), nullptr);
        while (listing.entry_count > 0 && listing.next() == 0) {
            const char* name = listing.get_name();
            if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
            rip_file f;
            f.shown = line.rips[r] + "/" + name;
            f.rip = r;
            if (id_of(f.shown, f.id)) side.files.push_back(f);
        }
    }
    side.has_response = !line.response_name.empty() && id_of(line.response_name, side.response);
}

written_file written(const std::string& dir, const std::string& name, const std::string& what, bool is_map) {
    written_file w;
    w.name = dir + "/" + name;
    w.what = what;
    w.is_map = is_map;
    if (!locate_written_file(w.name.c_str(), w.path, w.exists)) {
        w.exists = false;  // its folder is not there yet: it would be made by the disc
        w.path = resolved(dir) + "/" + name;
    }
    if (w.exists && !id_of(w.name, w.id)) w.exists = false;
    return w;
}

// Every file the voted tracks' runs write, in track order, the output before the map.
std::vector<written_file> written_files(const disc_line& line, const disc_plan& plan) {
    std::vector<written_file> files;
    for (const char* name : DISC_FILES)
        files.push_back(written(line.out_dir, name, std::string("the disc's ") + name, false));
    for (const disc_track& t : plan.tracks) {
        if (t.copies.size() < 2) continue;
        const std::string of = "track " + std::to_string(t.number) + " (" + t.copies[0].path + ")";
        files.push_back(written(line.out_dir, t.name, "the output of " + of, false));
        if (!line.map_dir.empty())
            files.push_back(written(line.map_dir, t.name + ".tsv", "the map of " + of, true));
    }
    return files;
}

bool same_place(const written_file& a, const written_file& b) {
    if (a.exists != b.exists) return false;
    return a.exists ? same_id(a.id, b.id) : a.path == b.path;
}

int refuse(const written_file& w, const std::string& why) {
    app_error(w.is_map ? "write map" : "write", w.name.c_str(), (why + "; nothing was written").c_str());
    return -1;
}

// Refuses `w` when it is a file the disc reads or lies inside a rip folder.
int check_off_rips(const read_side& side, const disc_line& line, const written_file& w) {
    if (w.exists) {
        for (const rip_file& f : side.files) {
            if (same_id(w.id, f.id))
                return refuse(w, "it is " + f.shown + ", a file of the rip folder " + line.rips[f.rip]);
        }
        if (side.has_response && same_id(w.id, side.response))
            return refuse(w, "it is the response file " + line.response_name);
    }
    bool itself = false;
    const long r = rip_holding(side, w.path, itself);
    if (r < 0) return 0;
    const std::string& rip = line.rips[static_cast<size_t>(r)];
    return refuse(w, itself ? "it is the rip folder " + rip
                            : "it leads to " + w.path + ", inside the rip folder " + rip);
}

}  // namespace

int check_out_dir(const disc_line& line, const std::string& dir, const char* what) {
    read_side side;
    for (const std::string& rip : line.rips) {
        file_id id;
        side.rips.push_back(id_of(rip, id) ? id : file_id());
    }
    bool itself = false;
    const long r = rip_holding(side, resolved(dir), itself);
    if (r < 0) return 0;
    const std::string why = std::string(itself ? "it is the rip folder " : "it lies inside the rip folder ") +
                            line.rips[static_cast<size_t>(r)] + "; the restored tracks must go elsewhere";
    app_error(what, dir.c_str(), why.c_str());
    return -1;
}

int check_disc_outputs(const disc_line& line, const disc_plan& plan) {
    read_side side;
    list_rip_files(line, side);
    const std::vector<written_file> files = written_files(line, plan);
    for (size_t k = 0; k < files.size(); k++) {
        if (check_off_rips(side, line, files[k]) != 0) return -1;
        for (size_t j = 0; j < k; j++) {
            if (same_place(files[j], files[k]))
                return refuse(files[k], "it would be " + files[j].what + " and " + files[k].what);
        }
    }
    return 0;
}
