// copyvote: restores a file from three or more damaged copies by a vote at every byte (or,
// with -a, every 16-bit sample).

#include <cstdio>

#include "align.h"
#include "driver.h"
#include "engine.h"
#include "file_list.h"
#include "g_console.h"
#include "g_linux_crypt.h"
#include "g_mem.h"
#include "g_timer.h"
#include "usage.h"

namespace {
const uint32_t ACCESS_WRITE = 1;        // O_WRONLY
const uint32_t CREATE_TRUNCATE = 0x240;  // O_CREAT | O_TRUNC
const uint16_t DEFAULT_MODE = 0xFFFF;    // 0644

// When the voted data go to standard output, the program's own text must not mix into them.
void keep_standard_output_for_data(int argc, char** argv) {
    const char* output = find_output_argument(argc, argv);
    if (output && !g_file::disallow_stdio && g_file::is_stdio(output)) con_divert_out_to_stderr();
}

void clear_screen() {
    con_printf(con_out(), "\x1b[H\x1b[J");
    fflush(con_out());
}

// With --align: opens the inputs, then finds and reports each copy's shift (only when the output
// is open too, for only then is there a vote) before the blank line that ends the list.
int open_inputs_aligned(g_file* h_files, const name_row* names, uint64_t count, bool out_open,
                        G_CRYPT& crypt) {
    static align_plan plan;
    if (open_inputs(h_files, names, count) != 0) return -1;
    if (out_open) {
        align_prepare(plan, h_files, names, count, &crypt);
        ALIGN_PLAN = &plan;
    }
    fputc('\n', stderr);
    return 0;
}

// Opens the output and the inputs, runs the engine and prints the statistics. Returns the status.
int restore(G_MEM& mem, G_CRYPT& crypt, G_TIMER& timer, const name_row* names, uint64_t count,
            const char* out_name, bool align) {
    uint8_t* blocks[MAX_INPUTS];
    uint8_t* base = static_cast<uint8_t*>(mem.address);
    assign_buffers(base, mem.alignment, count, blocks);

    g_file h_files[MAX_INPUTS];
    g_file h_out;
    h_out.open(out_name, ACCESS_WRITE, CREATE_TRUNCATE, 0, DEFAULT_MODE);
    const int out_status = print_file_open_status(&h_out, out_name);
    int status = align ? open_inputs_aligned(h_files, names, count, out_status == 0, crypt)
                       : openFiles(h_files, names, count);
    if (out_status != 0) status = -1;

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
    ALIGN_PLAN = nullptr;
    mem.free_ram();
    close_files(count, h_files, h_out);
    return status;
}
}  // namespace

int main(int argc, char** argv) {
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
    if (count < MIN_INPUTS || count > MAX_INPUTS) {
        help(argv[0]);
    } else if (listed == 0 && check_output_is_not_an_input(out_name, names, count) == 0 &&
               (!added.align || align_check_inputs(names, count) == 0) && mem.allocate_ram(count + 1) == 0 &&
               mem.address != nullptr) {
        status = restore(mem, crypt, timer, names, count, out_name, added.align);
    }
    if (crypt.enabled) crypt.free_context();
    fflush(stdout);
    fflush(stderr);
    return status;
}
