#include "run/files.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/app_error.h"
#include "base/read_at.h"
#include "g_console.h"
#include "g_dir.h"
#include "g_print.h"

namespace {
// Where a name leads: the file it names, or for a name that does not exist yet, the absolute
// path at which opening it for writing would create a file.
struct file_identity {
    bool exists;
    struct stat st;
    bool has_path;
    char path[PATH_MAX];
};

// The absolute path of a missing file `name`: its directory resolved, a dangling symbolic link
// followed to where it points. False when the directory does not exist (then nothing can be
// created there) or the name ends in a directory component.
bool resolve_missing(const char* name, char* path, int links_left) {
    const char* slash = strrchr(name, '/');
    const std::string dir =
        slash ? std::string(name, static_cast<size_t>(slash - name + 1)) : std::string(".");
    const std::string base = slash ? slash + 1 : name;
    if (base.empty() || base == "." || base == "..") return false;
    char real_dir[PATH_MAX];
    if (!realpath(dir.c_str(), real_dir)) return false;
    const std::string full = std::string(real_dir) + (strcmp(real_dir, "/") == 0 ? "" : "/") + base;
    struct stat lst;
    if (lstat(full.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode) && links_left > 0) {
        char target[PATH_MAX];
        const ssize_t n = readlink(full.c_str(), target, sizeof target - 1);
        if (n <= 0) return false;
        target[n] = '\0';
        const std::string next =
            target[0] == '/' ? std::string(target) : std::string(real_dir) + "/" + target;
        return resolve_missing(next.c_str(), path, links_left - 1);
    }
    if (full.size() >= PATH_MAX) return false;
    memcpy(path, full.c_str(), full.size() + 1);
    return true;
}

// Identifies `name`; the standard-stream names stand for descriptor `stdio_fd`.
void identify(const char* name, int stdio_fd, file_identity& id) {
    id.has_path = false;
    if (names_standard_stream(name)) {
        id.exists = fstat(stdio_fd, &id.st) == 0;
        return;
    }
    id.exists = stat(name, &id.st) == 0;
    if (!id.exists && errno == ENOENT) id.has_path = resolve_missing(name, id.path, 40);
}

// Reading and writing one of these at once destroys data: a regular file or a block device is
// overwritten while it is read, a FIFO hands the output back as input. A character device (a
// terminal, /dev/null) or a socket carries the two directions apart.
bool is_shared_storage(const struct stat& st) {
    return S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) || S_ISFIFO(st.st_mode);
}

bool same_file(const file_identity& a, const file_identity& b) {
    if (a.exists && b.exists) {
        return a.st.st_dev == b.st.st_dev && a.st.st_ino == b.st.st_ino && is_shared_storage(a.st);
    }
    return !a.exists && !b.exists && a.has_path && b.has_path && strcmp(a.path, b.path) == 0;
}

// True when the output and the file behind the open descriptor `fd` are one file.
bool output_is_descriptor(const file_identity& out, int fd) {
    file_identity stream;
    stream.has_path = false;
    stream.exists = fstat(fd, &stream.st) == 0;
    return stream.exists && same_file(out, stream);
}

void refuse_output(const char* out_name, const char* reason, const char* other) {
    wchar_t context[512] = L"open(";
    con_widen_append(context, 512, out_name);
    con_widen_append(context, 512, reason);
    con_widen_append(context, 512, other);
    con_widen_append(context, 512, "; nothing was written");
    print_format_inline(EINVAL, context);
}

// The first input that is the file `id` leads to, or null.
const char* input_same_as(const file_identity& id, const name_row* names, uint64_t count) {
    for (uint64_t i = 0; i < count; i++) {
        file_identity in;
        identify(names[i], 0, in);
        if (same_file(id, in)) return names[i];
    }
    return nullptr;
}

void refuse_map(const char* map_name, const char* what, const char* other) {
    const std::string reason = std::string("it is also ") + what + other + "; nothing was written";
    app_error("open map", map_name, reason.c_str());
}

// What the output or the map, the file `id` leads to, must not be: one of the inputs (opening it
// would empty that input) or standard error's file when that is no terminal (the program's text
// would mix into it). Returns the input it is, "" for standard error, or null when it is neither.
const char* clash(const file_identity& id, const name_row* names, uint64_t count) {
    if (const char* input = input_same_as(id, names, count)) return input;
    return output_is_descriptor(id, 2) ? "" : nullptr;
}

// Refuses a map that leads to one of the inputs, to the output or to standard error when that is
// a file (an error line, -1), as the output is refused. A map on a standard-stream name is judged
// by the file standard output leads to.
int refuse_map_identity(const char* map_name, const char* out_name, const name_row* names, uint64_t count) {
    file_identity map;
    identify(map_name, 1, map);
    if (const char* other = clash(map, names, count)) {
        refuse_map(map_name, other[0] ? "the input " : "the standard error stream", other);
        return -1;
    }
    file_identity out;
    identify(out_name, 1, out);
    const bool both_on_stdout = names_standard_stream(map_name) && output_is_standard_output(out_name);
    if (!both_on_stdout && !same_file(map, out)) return 0;
    refuse_map(map_name, "the output ", out_name);
    return -1;
}
}  // namespace

bool locate_written_file(const char* name, std::string& path, bool& exists) {
    char found[PATH_MAX];
    struct stat st;
    exists = stat(name, &st) == 0;
    if (exists) {
        if (!realpath(name, found)) return false;
    } else if (errno != ENOENT || !resolve_missing(name, found, 40)) {
        return false;
    }
    path = found;
    return true;
}

bool names_standard_stream(const char* name) { return !g_file::disallow_stdio && g_file::is_stdio(name); }

int print_file_open_status(g_file* file, const char* name) {
    fputc('[', stderr);
    con_put_right(stderr, name, NAME_COLUMNS);
    con_printf(stderr, "] %s\n", file->is_open ? "OK" : "FAIL");
    return file->is_open ? 0 : -1;
}

int open_output(g_file& output, const char* out_name) {
    output.open(out_name, WRITE_ONLY, CREATE_KEEP, 0, NEW_FILE_MODE);
    return print_file_open_status(&output, out_name);
}

// A directory opens for reading but fails at its first read, after the output has been emptied:
// it is refused here, as an input that cannot be opened, with the error line such an open prints.
void refuse_directory(g_file& file, const char* name) {
    struct stat st;
    if (!file.is_open || fstat(file.descriptor, &st) != 0 || !S_ISDIR(st.st_mode)) return;
    file.close();
    wchar_t context[NAME_SIZE + 8] = L"open(";
    con_widen_append(context, NAME_SIZE + 8, name);
    con_widen_append(context, NAME_SIZE + 8, ")");
    print_format_inline(EISDIR, context);
}

int open_inputs(g_file* files, const name_row* names, uint64_t count) {
    for (uint64_t i = 0; i < count; i++) {
        files[i].open(names[i], READ_ONLY, 0, DW_READ_FLAGS, NEW_FILE_MODE);
        refuse_directory(files[i], names[i]);
        if (print_file_open_status(&files[i], names[i]) != 0) return -1;
    }
    return 0;
}

int openFiles(g_file* files, const name_row* names, uint64_t count) {
    if (open_inputs(files, names, count) != 0) return -1;
    fputc('\n', stderr);
    return 0;
}

void close_files(uint64_t count, g_file* files, g_file& output) {
    output.close();
    for (uint64_t i = 0; i < count; i++) files[i].close();
}

int check_output_is_not_an_input(const char* out_name, const name_row* names, uint64_t count) {
    file_identity out;
    identify(out_name, 1, out);
    const char* other = clash(out, names, count);
    if (!other) return 0;
    refuse_output(out_name,
                  other[0] ? ")  the output file is also the input file "
                           : ")  the output file is also the standard error stream",
                  other);
    return -1;
}

bool output_is_standard_output(const char* out_name) {
    if (names_standard_stream(out_name)) return true;
    file_identity out;
    identify(out_name, 1, out);
    return output_is_descriptor(out, 1);
}

int check_result_identity(const char* name, const char* what, const char* const others[3],
                          const name_row* names, uint64_t count) {
    static const char* const ROLES[] = {"the output ", "the map ", "the other result file "};
    file_identity self;
    identify(name, 1, self);
    const char* role = nullptr;
    const char* other = clash(self, names, count);
    if (other) role = other[0] ? "the input " : "the standard error stream";
    for (int k = 0; k < 3 && !role; k++) {
        if (!others[k]) continue;
        file_identity id;
        identify(others[k], 1, id);
        const bool both_on_stdout = names_standard_stream(name) && output_is_standard_output(others[k]);
        if (both_on_stdout || same_file(self, id)) {
            role = ROLES[k];
            other = others[k];
        }
    }
    if (!role) return 0;
    const std::string reason = std::string("it is also ") + role + other + "; nothing was written";
    app_error((std::string("open ") + what).c_str(), name, reason.c_str());
    return -1;
}

int open_map_file(g_file& file, const char* map_name, const char* out_name, const name_row* names,
                  uint64_t count) {
    if (refuse_map_identity(map_name, out_name, names, count) != 0) return -1;
    const int error = open_kept(file, map_name);
    if (error == 0) return 0;
    app_error_errno("create map", map_name, error);
    return -1;
}

int open_emptied(g_file& file, const char* name) {
    file.is_silent = true;
    return file.open(name, WRITE_ONLY, CREATE_KEEP | O_TRUNC, 0, NEW_FILE_MODE);
}

int open_kept(g_file& file, const char* name) {
    file.is_silent = true;
    return file.open(name, WRITE_ONLY, CREATE_KEEP, 0, NEW_FILE_MODE);
}

bool holds_data(const g_file& file) {
    struct stat st;
    return fstat(file.descriptor, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

int empty_output(g_file& output, const char* out_name) {
    if (names_standard_stream(out_name) || !holds_data(output)) return 0;
    if (output.set_eof() == 0) return 0;
    print_format_inline(static_cast<int>(output.write_error), L"h_out.set_eof()");
    return -1;
}

int reopen_for_reading(const g_file& file, g_file& reader) {
    // The output may have been renamed or replaced under its name since: the descriptor's own
    // entry in /proc leads to the very file it writes.
    const std::string self = "/proc/self/fd/" + std::to_string(file.descriptor);
    reader.is_silent = true;
    return reader.open(self.c_str(), READ_ONLY, 0, 0, NEW_FILE_MODE);
}

int read_small_file(const char* name, std::string& bytes, uint64_t limit) {
    g_file file;
    file.is_silent = true;
    const int error = file.open(name, READ_ONLY, 0, 0, NEW_FILE_MODE);
    if (error != 0) return error;
    char chunk[65536];
    for (;;) {
        const int64_t got = file.read(chunk, sizeof chunk);
        if (got < 0) return static_cast<int>(file.read_error);
        if (got == 0) return 0;
        bytes.append(chunk, static_cast<size_t>(got));
        if (bytes.size() > limit) return EFBIG;
    }
}

int empty_map(g_file& map_file, const char* map_name) {
    if (names_standard_stream(map_name) || !holds_data(map_file)) return 0;
    if (map_file.set_eof() == 0) return 0;
    app_error_errno("empty map", map_name, static_cast<int>(map_file.write_error));
    return -1;
}

// True when `name` leads to a regular file. Only such files are opened ahead of the run: opening a
// FIFO for reading, even without waiting, lets a writer that is waiting for a reader start, and
// the data it writes then are lost to the run.
namespace {
bool is_regular_file(const char* name) {
    struct stat st;
    return !names_standard_stream(name) && stat(name, &st) == 0 && S_ISREG(st.st_mode);
}
}  // namespace

uint64_t read_head(const char* name, uint8_t* buffer, uint64_t size) {
    if (!is_regular_file(name)) return 0;
    g_file file;
    file.is_silent = true;
    if (file.open(name, READ_ONLY, 0, O_NONBLOCK, NEW_FILE_MODE) != 0) return 0;
    struct stat st;
    int64_t got = 0;
    if (fstat(file.descriptor, &st) == 0 && S_ISREG(st.st_mode))
        got = read_at(file.descriptor, buffer, size, 0);
    return got > 0 ? static_cast<uint64_t>(got) : 0;
}

int open_to_inspect(g_file& file, const char* name) {
    if (!is_regular_file(name)) return -1;
    file.is_silent = true;
    if (file.open(name, READ_ONLY, 0, O_NONBLOCK, NEW_FILE_MODE) != 0) return -1;  // a FIFO is not waited for
    struct stat st;
    if (fstat(file.descriptor, &st) == 0 && S_ISREG(st.st_mode)) return 0;
    file.close();
    return -1;
}

int list_track_files(const char* dir, std::vector<std::string>& names) {
    struct stat st;
    if (stat(dir, &st) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    g_dir listing(dir, nullptr);
    if (listing.entry_count < 0) return listing.error != 0 ? static_cast<int>(listing.error) : EIO;
    while (listing.next() == 0) {
        const char* name = listing.get_name();
        if (name[0] == '.') continue;
        const std::string path = std::string(dir) + "/" + name;
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.push_back(name);
    }
    listing.close();
    std::sort(names.begin(), names.end());
    return 0;
}

int make_folder(const char* dir) {
    if (mkdir(dir, 0777) == 0) return 0;
    const int code = errno;
    struct stat st;
    if (code == EEXIST && stat(dir, &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    return code == EEXIST ? ENOTDIR : code;
}

int make_scratch_file(const std::string& dir, const std::string& stem, const std::string& suffix,
                      std::string& path) {
    std::string pattern = dir + "/." + stem + ".copyvote-XXXXXX" + suffix;
    const int fd = mkstemps(&pattern[0], static_cast<int>(suffix.size()));
    if (fd < 0) return errno;
    if (close(fd) != 0) {
        const int code = errno;
        unlink(pattern.c_str());
        return code;
    }
    path = pattern;
    return 0;
}

int remove_file(const std::string& path) {
    if (unlink(path.c_str()) == 0 || errno == ENOENT) return 0;
    return errno;
}

int move_file(const std::string& from, const std::string& to) {
    return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}
