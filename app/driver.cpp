#include "driver.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cwchar>

#include "cd_vote.h"
#include "g_console.h"
#include "g_print.h"
#include "g_timer.h"

namespace {
const size_t NAME_COLUMNS = 24;
const uint32_t ACCESS_READ = 0;       // O_RDONLY
const uint16_t DEFAULT_MODE = 0xFFFF;  // 0644

// The identity of the file a name refers to; the standard-stream names refer to descriptor 0.
bool identify(const char* name, struct stat* st) {
    if (!g_file::disallow_stdio && g_file::is_stdio(name)) return fstat(0, st) == 0;
    return stat(name, st) == 0;
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The first input that is the file `st` describes, or null.
const char* find_input(const struct stat& st, const name_row* names, uint64_t count) {
    for (uint64_t i = 0; i < count; i++) {
        struct stat in_st;
        if (identify(names[i], &in_st) && same_file(in_st, st)) return names[i];
    }
    return nullptr;
}

// Prints the refusal of `name`, the `role` file, for being the `other_role` file `other`. Returns -1.
int refuse_same_file(const char* name, const char* role, const char* other_role, const char* other) {
    wchar_t context[512] = L"open(";
    con_widen_append(context, 512, name);
    con_widen_append(context, 512, ")  the ");
    con_widen_append(context, 512, role);
    con_widen_append(context, 512, " file is also the ");
    con_widen_append(context, 512, other_role);
    con_widen_append(context, 512, " file ");
    con_widen_append(context, 512, other);
    con_widen_append(context, 512, "; nothing was written");
    print_format_inline(EINVAL, context);
    return -1;
}

// Refuses a map, a regular file described by `st`, that is one of the inputs or the output.
int refuse_map_identity(const struct stat& st, const char* map_name, const char* out_name, const name_row* names,
                        uint64_t count) {
    if (!S_ISREG(st.st_mode)) return 0;
    const char* input = find_input(st, names, count);
    if (input) return refuse_same_file(map_name, "map", "input", input);
    struct stat out_st;
    const bool out_stdio = !g_file::disallow_stdio && g_file::is_stdio(out_name);
    if (!out_stdio && stat(out_name, &out_st) == 0 && same_file(out_st, st))
        return refuse_same_file(map_name, "map", "output", out_name);
    return 0;
}

// a / b, or 0 where the quotient would be infinite or undefined (a timer that measured nothing).
double ratio(double a, double b) {
    if (b == 0.0) return 0.0;
    const double q = a / b;
    return std::isfinite(q) ? q : 0.0;
}
}  // namespace

void assign_buffers(uint8_t* base, uint64_t block_size, uint64_t count, uint8_t** pointers) {
    for (uint64_t i = 0; i < count; i++) pointers[i] = base + (i + 1) * block_size;
}

int print_file_open_status(g_file* file, const char* name) {
    fputc('[', stderr);
    con_put_right(stderr, name, NAME_COLUMNS);
    con_printf(stderr, "] %s\n", file->is_open ? "OK" : "FAIL");
    return file->is_open ? 0 : -1;
}

int openFiles(g_file* files, const name_row* names, uint64_t count) {
    for (uint64_t i = 0; i < count; i++) {
        files[i].open(names[i], ACCESS_READ, 0, DW_READ_FLAGS, DEFAULT_MODE);
        if (print_file_open_status(&files[i], names[i]) != 0) return -1;
    }
    fputc('\n', stderr);
    return 0;
}

void close_files(uint64_t count, g_file* files, g_file& output) {
    output.close();
    for (uint64_t i = 0; i < count; i++) files[i].close();
}

int check_output_is_not_an_input(const char* out_name, const name_row* names, uint64_t count) {
    struct stat out_st;
    if (!g_file::disallow_stdio && g_file::is_stdio(out_name)) return 0;
    if (stat(out_name, &out_st) != 0 || !S_ISREG(out_st.st_mode)) return 0;
    const char* input = find_input(out_st, names, count);
    return input ? refuse_same_file(out_name, "output", "input", input) : 0;
}

int open_map(dispute_map& map, const char* map_name, const char* out_name, const name_row* names, uint64_t count) {
    const bool map_stdio = !g_file::disallow_stdio && g_file::is_stdio(map_name);
    if (map_stdio) {
        const bool out_stdio = !g_file::disallow_stdio && g_file::is_stdio(out_name);
        if (out_stdio) return refuse_same_file(map_name, "map", "output", out_name);
        return map.open(map_name) == 0 ? 0 : -1;
    }
    // An existing file is checked before opening truncates it; a new one after it exists, as an
    // input or the output of the same name would otherwise open the map itself.
    struct stat st;
    const bool existed = stat(map_name, &st) == 0;
    if (existed && refuse_map_identity(st, map_name, out_name, names, count) != 0) return -1;
    if (map.open(map_name) != 0) return -1;
    if (existed || fstat(map.file.descriptor, &st) != 0) return 0;
    if (refuse_map_identity(st, map_name, out_name, names, count) == 0) return 0;
    map.file.close();
    unlink(map_name);
    return -1;
}

void print_statistics(uint64_t cycles, int64_t elapsed_ns, uint64_t disputed_bytes) {
    const double c = static_cast<double>(cycles);
    const double frequency = ratio(c * 1e9, static_cast<double>(elapsed_ns));
    FILE* out = con_out();
    con_printf(out, "\n");
    con_printf(out, "CPU  :%12.6f MHz   CPU TIME:%6.3f s   errors:%6llu KB = %llu bytes\n", frequency / 1e6,
               ratio(static_cast<double>(t_cpu), frequency), static_cast<unsigned long long>(disputed_bytes / 1024),
               static_cast<unsigned long long>(disputed_bytes));
    con_printf(out, "timer:%12.6f MHz       disk:%6.3f s   total :%6.3f s\n",
               static_cast<double>(G_TIME::freq) / 1e6, ratio(static_cast<double>(t_disk), frequency),
               ratio(c, frequency));
}

namespace {

// Reads up to `size` bytes from the start of a regular file. Returns the count, or 0 when the
// name is no regular file or cannot be read (opening it later reports why).
uint64_t read_head(const char* name, uint8_t* buffer, uint64_t size) {
    if (!g_file::disallow_stdio && g_file::is_stdio(name)) return 0;
    const int fd = open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // a FIFO is not waited for
    if (fd < 0) return 0;
    struct stat st;
    uint64_t total = 0;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        while (total < size) {
            const ssize_t got = pread(fd, buffer + total, size - total, static_cast<off_t>(total));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            total += static_cast<uint64_t>(got);
        }
    }
    close(fd);
    return total;
}

}  // namespace

int check_cd_switches(bool cd, bool sample_mode) {
    if (!cd || !sample_mode) return 0;
    print_format_inline(EINVAL, L"-a and --cd are two different sample votes: choose one");
    return -1;
}

int check_cd_first_input(const char* first_input, uint8_t* scratch, uint64_t size) {
    const uint64_t n = read_head(first_input, scratch, size);
    cd_layout layout;
    if (cd_layout_from_header(scratch, n, layout) == 0) return 0;
    cd_print_refusal(first_input, scratch, n);
    return -1;
}
