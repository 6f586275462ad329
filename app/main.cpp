// copyvote: restores a file from three or more damaged copies by a vote at every byte (or,
// with -a, every 16-bit sample).

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "driver.h"
#include "engine.h"
#include "file_list.h"
#include "g_console.h"
#include "g_linux_crypt.h"
#include "g_mem.h"
#include "g_timer.h"
#include "usage.h"

namespace {
const uint32_t ACCESS_WRITE = 1;      // O_WRONLY
const uint32_t CREATE = 0x40;         // O_CREAT: an existing output is emptied only once the inputs are open
const uint16_t DEFAULT_MODE = 0xFFFF;  // 0644

// A standard descriptor that the caller left closed (a daemon, `>&-`) would go to the first file
// the run opens, and the program's text would then land in that file: such descriptors are
// opened on /dev/null before anything else happens.
void open_closed_standard_descriptors() {
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
}

// When the voted data go to standard output, by name or because the output is the file that
// standard output leads to, the program's own text must not mix into them. This is decided
// before the first line of text, from a preview of the command line.
void keep_standard_output_for_data(int argc, char** argv) {
    static name_row scratch[MAX_INPUTS];
    char out_name[NAME_SIZE];
    added_switches added;
    if (preview_output_name(scratch, out_name, argc, argv, &added) != 0 || out_name[0] == '\0') return;
    if (output_is_standard_output(out_name)) con_divert_out_to_stderr();
}

void clear_screen() {
    con_printf(con_out(), "\x1b[H\x1b[J");
    fflush(con_out());
}

// Opens the output and the inputs, runs the engine and prints the statistics. Returns the status.
int restore(G_MEM& mem, G_CRYPT& crypt, G_TIMER& timer, const name_row* names, uint64_t count,
            const char* out_name) {
    uint8_t* blocks[MAX_INPUTS];
    uint8_t* base = static_cast<uint8_t*>(mem.address);
    assign_buffers(base, mem.alignment, count, blocks);

    g_file h_files[MAX_INPUTS];
    g_file h_out;
    h_out.open(out_name, ACCESS_WRITE, CREATE, 0, DEFAULT_MODE);
    const int out_status = print_file_open_status(&h_out, out_name);
    int status = openFiles(h_files, names, count);
    if (out_status != 0) status = -1;
    if (status == 0) status = empty_output(h_out, out_name);

    if (status == 0) {
        timer.start.update();
        const uint64_t counter_start = read_cycle_counter();
        const uint64_t disputed =
            process(count, h_files, h_out, base, blocks, mem.alignment, names, out_name, crypt);
        timer.end.update();
        timer.calc();
        const uint64_t counter_end = read_cycle_counter();
        print_statistics(counter_end - counter_start, timer.elapsed_ns, disputed);
        if (PROCESS_IO_FAILED) status = -1;
    }
    mem.free_ram();
    close_files(count, h_files, h_out);
    return status;
}
}  // namespace

int main(int argc, char** argv) {
    open_closed_standard_descriptors();
    keep_standard_output_for_data(argc, argv);
    clear_screen();

    G_MEM mem;
    G_CRYPT crypt;
    G_TIMER timer;
    static name_row names[MAX_INPUTS];
    char out_name[NAME_SIZE];
    uint64_t count = 0;
    added_switches added;

    const int listed = init_file_list(names, count, out_name, argc, argv, crypt, &added);
    int status = -1;
    if (listed == LIST_REFUSED) {
        status = -1;
    } else if (count < MIN_INPUTS || count > MAX_INPUTS) {
        help(argv[0]);
    } else if (listed == 0 && check_output_is_not_an_input(out_name, names, count) == 0 &&
               mem.allocate_ram(count + 1) == 0 && mem.address != nullptr) {
        status = restore(mem, crypt, timer, names, count, out_name);
    }
    if (crypt.enabled) crypt.free_context();
    fflush(stdout);
    fflush(stderr);
    return status;
}
