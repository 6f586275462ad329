// copyvote: restores a file from three or more damaged copies by a vote at every byte (or,
// with -a, every 16-bit sample).

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "audio/align.h"
#include "run/dispute_map.h"
#include "run/driver.h"
#include "run/engine.h"
#include "cli/file_list.h"
#include "g_console.h"
#include "g_linux_crypt.h"
#include "g_mem.h"
#include "g_print.h"
#include "g_timer.h"
#include "cli/usage.h"

namespace {
const uint32_t ACCESS_WRITE = O_WRONLY;
const uint32_t CREATE = O_CREAT;       // an existing output is emptied only once the inputs are open
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

bool names_standard_output(const char* name) {
    return name && !g_file::disallow_stdio && g_file::is_stdio(name);
}

// When the voted data or the map go to standard output, by name or because the output is the
// file that standard output leads to, the program's own text must not mix into them.
void keep_standard_output_for_data(const char* out_name, const added_switches& added) {
    if ((out_name[0] != '\0' && output_is_standard_output(out_name)) ||
        names_standard_output(added.map_name)) {
        con_divert_out_to_stderr();
    }
}

// --help and --version print clean text for whoever reads it, without clearing the screen.
int print_information(const char* program_name, const added_switches& added) {
    if (added.help) {
        help(program_name);
    } else {
        print_version();
    }
    fflush(con_out());
    return 0;
}

void clear_screen() {
    con_printf(con_out(), "\x1b[H\x1b[J");
    fflush(con_out());
}

// Closes the map; a write that failed on the way is reported now, after the run's own text,
// since the map then lacks lines. Returns 0 or -1.
int close_map(dispute_map& map, const char* map_name) {
    const uint32_t error = map.close();
    if (error == 0) return 0;
    wchar_t context[512] = L"write(";
    con_widen_append(context, 512, map_name);
    con_widen_append(context, 512, ")  the map file is incomplete");
    print_format_inline(static_cast<int>(error), context);
    return -1;
}

// With --align: opens the inputs, then finds and reports each copy's shift (only when the output
// is open too, for only then is there a vote) before the blank line that ends the list.
int open_inputs_aligned(g_file* h_files, const name_row* names, uint64_t count, bool out_open, G_CRYPT& crypt,
                        align_plan& plan, engine_extras& extras) {
    if (open_inputs(h_files, names, count) != 0) return -1;
    if (out_open) {
        align_prepare(plan, h_files, names, count, &crypt);
        extras.align = &plan;
    }
    fputc('\n', stderr);
    return 0;
}

// Opens the output and the inputs, runs the engine and prints the statistics. Returns the status.
// Everything written to the map waits until the run is known to happen, so a run that opens
// nothing leaves the map empty, like the output.
int restore(G_MEM& mem, G_CRYPT& crypt, G_TIMER& timer, const name_row* names, uint64_t count,
            const char* out_name, const added_switches& added, dispute_map* map) {
    engine_extras extras;
    extras.map = map;
    extras.cd = added.cd;
    std::unique_ptr<align_plan> plan(added.align ? new align_plan : nullptr);
    uint8_t* blocks[MAX_INPUTS];
    uint8_t* base = static_cast<uint8_t*>(mem.address);
    assign_buffers(base, mem.alignment, count, blocks);

    g_file h_files[MAX_INPUTS];
    g_file h_out;
    h_out.open(out_name, ACCESS_WRITE, CREATE, 0, DEFAULT_MODE);
    const int out_status = print_file_open_status(&h_out, out_name);
    int status = plan ? open_inputs_aligned(h_files, names, count, out_status == 0, crypt, *plan, extras)
                      : openFiles(h_files, names, count);
    if (out_status != 0) status = -1;
    if (status == 0) status = empty_output(h_out, out_name);

    if (status == 0) {
        if (map) {
            map->start(names, count,
                       added.cd                   ? "CD sample vote (--cd)"
                       : AUDIOCD_IGNORE_CORRECTED ? "sample vote (-a)"
                                                  : "byte vote");
        }
        timer.start.update();
        const uint64_t counter_start = read_cycle_counter();
        const uint64_t disputed =
            process(count, h_files, h_out, base, blocks, mem.alignment, names, out_name, crypt, &extras);
        timer.end.update();
        timer.calc();
        const uint64_t counter_end = read_cycle_counter();
        if (map) map->finish(disputed);
        print_statistics(counter_end - counter_start, timer.elapsed_ns, disputed);
        if (PROCESS_IO_FAILED) status = -1;
        if (map && close_map(*map, added.map_name) != 0) status = -1;
    }
    mem.free_ram();
    close_files(count, h_files, h_out);
    return status;
}
}  // namespace

int main(int argc, char** argv) {
    open_closed_standard_descriptors();
    // A silent preview of the command line tells, before the first line of text, whether only
    // help or the version is asked for and where the output goes.
    {
        added_switches early;
        std::unique_ptr<name_row[]> scratch(new name_row[MAX_INPUTS]);
        char preview_out[NAME_SIZE];
        const int previewed = preview_output_name(scratch.get(), preview_out, argc, argv, &early);
        if (early.help || early.version) return print_information(argv[0], early);
        if (previewed == 0) keep_standard_output_for_data(preview_out, early);
    }
    clear_screen();

    G_MEM mem;
    G_CRYPT crypt;
    G_TIMER timer;
    name_row names[MAX_INPUTS];
    char out_name[NAME_SIZE];
    uint64_t count = 0;
    added_switches added;

    const int listed = init_file_list(names, count, out_name, argc, argv, crypt, &added);
    dispute_map map;
    const bool mapped = added.map_name != nullptr;
    int status = -1;
    if (listed == LIST_REFUSED) {
        status = -1;
    } else if (count < MIN_INPUTS || count > MAX_INPUTS || added.map_missing_name) {
        help(argv[0]);
    } else if (listed == 0 && check_output_is_not_an_input(out_name, names, count) == 0 &&
               check_cd_switches(added.cd, AUDIOCD_IGNORE_CORRECTED) == 0 &&
               (!added.align || align_check_inputs(names, count) == 0) &&
               (!mapped || open_map(map, added.map_name, out_name, names, count) == 0) &&
               mem.allocate_ram(count + 1) == 0 && mem.address != nullptr &&
               (!added.cd ||
                check_cd_first_input(names[0], static_cast<uint8_t*>(mem.address), mem.alignment) == 0)) {
        status = restore(mem, crypt, timer, names, count, out_name, added, mapped ? &map : nullptr);
    }
    if (crypt.enabled) crypt.free_context();
    fflush(stdout);
    fflush(stderr);
    return status;
}
