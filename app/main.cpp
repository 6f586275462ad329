// copyvote: restores a file from three or more damaged copies by a vote at every byte (or,
// with -a, every 16-bit sample).

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/app_error.h"
#include "cli/file_list.h"
#include "cli/run_options.h"
#include "cli/usage.h"
#include "disc/disc_run.h"
#include "g_console.h"
#include "g_linux_crypt.h"
#include "g_mem.h"
#include "g_timer.h"
#include "run/dispute_map.h"
#include "run/files.h"
#include "run/restore.h"

namespace {

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

// When the voted data or the map go to standard output, by name or because the output is the
// file that standard output leads to, the program's own text must not mix into them.
void keep_standard_output_for_data(const char* out_name, const run_options& options) {
    if ((out_name[0] != '\0' && output_is_standard_output(out_name)) ||
        (options.map_name && output_is_standard_output(options.map_name)) ||
        (options.report_name && output_is_standard_output(options.report_name)) ||
        (options.picture_name && output_is_standard_output(options.picture_name))) {
        con_divert_out_to_stderr();
    }
}

// --help and --version print clean text for whoever reads it, without clearing the screen.
int print_information(const run_options& options) {
    if (options.help) {
        print_own_help();
    } else {
        print_version();
    }
    return 0;
}

void clear_screen() {
    con_printf(con_out(), "\x1b[H\x1b[J");
    fflush(con_out());
}

// A silent look at the command line before the first line of text: whether only help or the
// version is asked for, and where the output goes. Returns true when the program is done.
bool preview(int argc, char** argv, int& status) {
    run_options early;
    std::unique_ptr<name_row[]> scratch(new name_row[MAX_INPUTS]);
    char preview_out[NAME_SIZE];
    const int previewed = preview_output_name(scratch.get(), preview_out, argc, argv, early);
    if (early.help || early.version) {
        status = print_information(early);
        return true;
    }
    if (early.disc) {
        status = run_disc(argc, argv);
        return true;
    }
    if (previewed == 0) keep_standard_output_for_data(preview_out, early);
    return false;
}

// The checks, the map and the memory a run needs before its files are opened; then the run.
int run(G_MEM& mem, G_CRYPT& crypt, G_TIMER& timer, const name_row* names, uint64_t count,
        const char* out_name, const run_options& options, int argc, char** argv) {
    dispute_map map;
    std::unique_ptr<run_checks> checks(options.wants_checksums() ? new run_checks : nullptr);
    result_file map_kept;
    const bool mapped = options.map_name != nullptr;
    if (check_switch_values(options) != 0) return -1;
    if (check_before_opening(options, names, count, out_name) != 0) return -1;
    const char* const for_report[3] = {out_name, options.map_name, options.picture_name};
    const char* const for_picture[3] = {out_name, options.map_name, options.report_name};
    if (options.report_name &&
        check_result_identity(options.report_name, "report", for_report, names, count) != 0)
        return -1;
    if (options.picture_name &&
        check_result_identity(options.picture_name, "picture", for_picture, names, count) != 0)
        return -1;
    if (checks && prepare_checks(*checks, options) != 0) return -1;
    if (mapped && open_map(map, map_kept, options, out_name, names, count) != 0) return -1;
    if (mem.allocate_ram(count + 1) != 0 || mem.address == nullptr) return -1;
    if (options.cd &&
        check_cd_first_input(names[0], static_cast<uint8_t*>(mem.address), mem.alignment) != 0) {
        return -1;
    }
    run_record record;
    record.version = COPYVOTE_VERSION;
    record.command = shell_quoted(argc, argv);
    return restore(mem, crypt, timer, names, count, out_name, options, mapped ? &map : nullptr, &map_kept,
                   checks.get(), options.report_name || options.picture_name ? &record : nullptr)
        .status;
}

}  // namespace

int main(int argc, char** argv) {
    open_closed_standard_descriptors();
    int status = -1;
    if (preview(argc, argv, status)) return report_lost_standard_output() == 0 ? status : -1;
    clear_screen();

    G_MEM mem;
    G_CRYPT crypt;
    G_TIMER timer;
    name_row names[MAX_INPUTS];
    char out_name[NAME_SIZE];
    uint64_t count = 0;
    run_options options;

    const int listed = init_file_list(names, count, out_name, argc, argv, crypt, &options);
    if (listed == LIST_REFUSED) {
        status = -1;
    } else if (count < MIN_INPUTS || count > MAX_INPUTS || options.map_missing_name) {
        help(argv[0]);
    } else if (listed == 0) {
        status = run(mem, crypt, timer, names, count, out_name, options, argc, argv);
    }
    if (crypt.enabled) crypt.free_context();
    if (report_lost_standard_output() != 0) status = -1;
    fflush(stderr);
    return status;
}
