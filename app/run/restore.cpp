#include "run/restore.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "audio/align.h"
#include "base/app_error.h"
#include "g_console.h"
#include "run/engine.h"
#include "run/files.h"
#include "run/replace.h"
#include "vote/cd_vote.h"

namespace {

// a / b, or 0 where the quotient would be infinite or undefined (a timer that measured nothing).
double ratio(double a, double b) {
    if (b == 0.0) return 0.0;
    const double q = a / b;
    return std::isfinite(q) ? q : 0.0;
}

int check_cd_switches(const run_options& options) {
    if (!options.cd || !options.sample_vote) return 0;
    app_error("vote", nullptr, "-a and --cd are two different sample votes: choose one");
    return -1;
}

// Closes the map; a write that failed on the way is reported now, after the run's own text,
// since the map then lacks lines. Returns 0 or -1.
int close_map(dispute_map& map, const char* map_name) {
    const uint32_t error = map.close();
    if (error == 0) return 0;
    const std::string reason = std::string(strerror(static_cast<int>(error))) + "; the map file is incomplete";
    app_error("write map", map_name, reason.c_str());
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

// Runs and times the block loop over the open files, then prints the statistics.
void run_block_loop(run_result& result, G_MEM& mem, G_CRYPT& crypt, G_TIMER& timer, const name_row* names,
                    uint64_t count, g_file* h_files, g_file& h_out, const char* out_name,
                    const engine_extras& extras) {
    uint8_t* blocks[MAX_INPUTS];
    uint8_t* base = static_cast<uint8_t*>(mem.address);
    assign_buffers(base, mem.alignment, count, blocks);
    engine_result engine;
    timer.start.update();
    const uint64_t counter_start = read_cycle_counter();
    process(count, h_files, h_out, base, blocks, mem.alignment, names, out_name, crypt, &extras, &engine);
    timer.end.update();
    timer.calc();
    result.cycles = read_cycle_counter() - counter_start;
    result.elapsed_ns = timer.elapsed_ns;
    result.disputed = engine.disputed;
    result.io_failed = engine.io_failed;
    result.processed = true;
    if (extras.map) extras.map->finish(result.disputed);
    print_statistics(result.cycles, result.elapsed_ns, result.disputed);
}

// Once every input is open: the output is moved onto a temporary file when it is to be replaced,
// else emptied in place.
int take_over_output(result_file& kept, g_file& h_out, const char* out_name) {
    if (start_replacement(kept, h_out)) return 0;
    return empty_output(h_out, out_name);
}

int take_over_map(result_file& kept, dispute_map& map, const char* map_name) {
    if (start_replacement(kept, map.file)) return 0;
    return empty_map(map.file, map_name);
}

}  // namespace

int check_before_opening(const run_options& options, const name_row* names, uint64_t count,
                         const char* out_name) {
    if (check_output_is_not_an_input(out_name, names, count) != 0) return -1;
    if (check_cd_switches(options) != 0) return -1;
    if (options.align && align_check_inputs(names, count) != 0) return -1;
    return 0;
}

int check_cd_first_input(const char* first_input, uint8_t* scratch, uint64_t size) {
    const uint64_t n = read_head(first_input, scratch, size);
    cd_layout layout;
    if (cd_layout_from_header(scratch, n, layout) == 0) return 0;
    cd_print_refusal(first_input, scratch, n);
    return -1;
}

int open_map(dispute_map& map, result_file& kept, const run_options& options, const char* out_name,
             const name_row* names, uint64_t count) {
    g_file file;
    note_result_file(kept, options.map_name, true);
    if (open_map_file(file, options.map_name, out_name, names, count) != 0) return -1;
    const int error = map.open(file);
    if (error == 0) return 0;
    app_error_errno("open map", options.map_name, error);
    return -1;
}

// Everything written to the map waits until the run is known to happen, so a run that opens
// nothing leaves the map empty, like the output.
run_result restore(G_MEM& mem, G_CRYPT& crypt, G_TIMER& timer, const name_row* names, uint64_t count,
                   const char* out_name, const run_options& options, dispute_map* map, result_file* map_kept) {
    run_result result;
    engine_extras extras;
    extras.map = map;
    extras.cd = options.cd;
    std::unique_ptr<align_plan> plan(options.align ? new align_plan : nullptr);

    g_file h_files[MAX_INPUTS];
    g_file h_out;
    result_file out_kept;
    note_result_file(out_kept, out_name, false);
    const int out_status = open_output(h_out, out_name);
    int status = plan ? open_inputs_aligned(h_files, names, count, out_status == 0, crypt, *plan, extras)
                      : openFiles(h_files, names, count);
    if (out_status != 0) status = -1;
    if (status == 0) status = take_over_output(out_kept, h_out, out_name);
    if (status == 0 && map) status = take_over_map(*map_kept, *map, options.map_name);

    if (status == 0) {
        if (map) map->start(names, count, options.vote_name());
        run_block_loop(result, mem, crypt, timer, names, count, h_files, h_out, out_name, extras);
        if (result.io_failed) status = -1;
        if (map && close_map(*map, options.map_name) != 0) status = -1;
    }
    mem.free_ram();
    close_files(count, h_files, h_out);
    result_file* const kept[] = {&out_kept, map ? map_kept : nullptr};
    result.status = finish_result_files(status, kept, 2);
    return result;
}

void assign_buffers(uint8_t* base, uint64_t block_size, uint64_t count, uint8_t** pointers) {
    for (uint64_t i = 0; i < count; i++) pointers[i] = base + (i + 1) * block_size;
}

void print_statistics(uint64_t cycles, int64_t elapsed_ns, uint64_t disputed_bytes) {
    const double c = static_cast<double>(cycles);
    const double frequency = ratio(c * 1e9, static_cast<double>(elapsed_ns));
    FILE* out = con_out();
    con_printf(out, "\n");
    con_printf(out, "CPU  :%12.6f MHz   CPU TIME:%6.3f s   errors:%6llu KB = %llu bytes\n", frequency / 1e6,
               ratio(static_cast<double>(t_cpu), frequency),
               static_cast<unsigned long long>(disputed_bytes / 1024),
               static_cast<unsigned long long>(disputed_bytes));
    con_printf(out, "timer:%12.6f MHz       disk:%6.3f s   total :%6.3f s\n",
               static_cast<double>(G_TIME::freq) / 1e6, ratio(static_cast<double>(t_disk), frequency),
               ratio(c, frequency));
}
