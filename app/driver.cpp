#include "driver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cwchar>

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

int open_inputs(g_file* files, const name_row* names, uint64_t count) {
    for (uint64_t i = 0; i < count; i++) {
        files[i].open(names[i], ACCESS_READ, 0, DW_READ_FLAGS, DEFAULT_MODE);
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
    struct stat out_st;
    if (!g_file::disallow_stdio && g_file::is_stdio(out_name)) return 0;
    if (stat(out_name, &out_st) != 0 || !S_ISREG(out_st.st_mode)) return 0;
    for (uint64_t i = 0; i < count; i++) {
        struct stat in_st;
        if (!identify(names[i], &in_st) || in_st.st_dev != out_st.st_dev || in_st.st_ino != out_st.st_ino) continue;
        wchar_t context[512] = L"open(";
        con_widen_append(context, 512, out_name);
        con_widen_append(context, 512, ")  the output file is also the input file ");
        con_widen_append(context, 512, names[i]);
        con_widen_append(context, 512, "; nothing was written");
        print_format_inline(EINVAL, context);
        return -1;
    }
    return 0;
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
