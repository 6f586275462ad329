#include "engine.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include "align.h"
#include "g_console.h"
#include "g_print.h"
#include "glyphs.h"
#include "report.h"
#include "vote.h"

bool AUDIOCD_IGNORE_CORRECTED = false;
uint32_t DW_READ_FLAGS = 0;
uint64_t a_disk = 0, a_cpu = 0, t_disk = 0, t_cpu = 0;
bool PROCESS_IO_FAILED = false;

uint64_t read_cycle_counter() {
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
#endif
}

namespace {

// Everything one run of the block loop works on, kept out of the loop's stack frame so that
// nothing is allocated per block.
struct engine_run {
    uint64_t count;
    g_file* h_files;
    g_file* h_out;
    uint8_t** in_blocks;
    uint64_t block_size;
    G_CRYPT* crypt;
    glyph_writer* glyphs;
    align_plan* align;  // with --align: every input's blocks come through the plan
    vote_state vote;
    // A pipe, FIFO or terminal delivers less than a block per read although more will follow;
    // such inputs are read until the block is full, so that the copies stay aligned.
    bool is_stream[MAX_INPUTS];
    uint64_t line_blocks;
    uint64_t line_limit;
    uint64_t scan_cycles;  // cycles of this block's comparisons made between the reads
};

bool delivers_whole_blocks(const g_file& file) {
    struct stat st;
    if (fstat(file.descriptor, &st) != 0) return true;
    return S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
}

void prepare_inputs(engine_run& run) {
    for (uint64_t i = 0; i < run.count; i++) {
        run.is_stream[i] = !delivers_whole_blocks(run.h_files[i]);
        if (!run.is_stream[i]) posix_fadvise(run.h_files[i].descriptor, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
}

// One block of input i: a single read for files, reads until full or end of input for streams.
int64_t read_block(engine_run& run, uint64_t i) {
    g_file& file = run.h_files[i];
    char* buffer = reinterpret_cast<char*>(run.in_blocks[i]);
    if (run.align) {
        return align_read_block(*run.align, i, file, run.in_blocks[i], run.block_size, run.in_blocks[0]);
    }
    if (!run.is_stream[i]) return file.read(buffer, run.block_size);
    uint64_t total = 0;
    while (total < run.block_size) {
        int64_t got = file.read(buffer + total, run.block_size - total);
        if (got == -1) return -1;
        if (got == 0) break;
        total += static_cast<uint64_t>(got);
    }
    return static_cast<int64_t>(total);
}

// Compares input i's block with input 0's while it is still in the caches. This is voting work
// done between the reads, so its cycles are moved from the I/O time to the voting time.
void scan_input(engine_run& run, uint64_t i, uint64_t block_len) {
    const uint64_t start = read_cycle_counter();
    vote_scan_input(run.vote, i, block_len);
    run.scan_cycles += read_cycle_counter() - start;
}

// Reads one block of every input; returns the block length (0 after a failure), and sets
// *read_failed when an input could not be read.
uint64_t read_inputs(engine_run& run, bool* read_failed) {
    uint64_t block_len = run.block_size;
    *read_failed = false;
    vote_begin_block(run.vote);
    for (uint64_t i = 0; i < run.count; i++) {
        int64_t got = read_block(run, i);
        if (got == -1) {
            run.glyphs->flush();
            print_format_inline(static_cast<int>(run.h_files[i].read_error), L"h_files[i].read()");
            *read_failed = true;
            return 0;
        }
        const uint64_t n = static_cast<uint64_t>(got);
        if (run.crypt->enabled && !align_feeds_digest(run.align, i)) {
            run.crypt->hash_data(i + 1, run.in_blocks[i], n);
        }
        if (n > 0 && n < run.block_size) memset(run.in_blocks[i] + n, 0, run.block_size - n);
        if (n < block_len) block_len = n;
        if (i > 0 && block_len > 0) scan_input(run, i, block_len);
        run.glyphs->put('.');
    }
    return block_len;
}

// Feeds and writes the voted block. Returns false when the write failed.
bool write_output(engine_run& run, uint64_t block_len) {
    const uint8_t* data = run.vote.out_filled ? run.vote.out_block : run.in_blocks[0];
    if (run.crypt->enabled) run.crypt->hash_data(0, data, block_len);
    if (run.h_out->write(reinterpret_cast<const char*>(data), block_len) == -1 && run.h_out->write_error != 0) {
        run.glyphs->flush();
        print_format_inline(static_cast<int>(run.h_out->write_error), L"h_out.write()");
        return false;
    }
    return true;
}

void print_block_glyph(engine_run& run, bool clean_block) {
    if (clean_block) {
        run.glyphs->put('|');
        if (++run.line_blocks >= run.line_limit) {
            run.glyphs->put('\n');
            run.line_blocks = 0;
        }
    } else {
        run.glyphs->put('\n');
        run.glyphs->flush();
        run.glyphs->put('\n');
        run.line_blocks = 0;
    }
    run.glyphs->flush();
}

// One pass of the block loop. Returns false when the loop ends after this block.
bool process_block(engine_run& run) {
    bool read_failed;
    run.scan_cycles = 0;
    a_disk = read_cycle_counter();
    const uint64_t block_len = read_inputs(run, &read_failed);
    a_cpu = read_cycle_counter();
    t_disk += a_cpu - a_disk - run.scan_cycles;
    t_cpu += run.scan_cycles;

    run.vote.clean_block = true;
    run.vote.out_filled = false;
    run.vote.block_len = block_len;
    if (block_len != 0) vote_block_in_place(run.vote);
    a_disk = read_cycle_counter();
    t_cpu += a_disk - a_cpu;

    if (!write_output(run, block_len)) {
        PROCESS_IO_FAILED = true;
        return false;
    }
    t_disk += read_cycle_counter() - a_disk;
    print_block_glyph(run, run.vote.clean_block);
    if (read_failed) PROCESS_IO_FAILED = true;
    return !read_failed && block_len != 0;
}

}  // namespace

uint64_t process(uint64_t count, g_file* h_files, g_file& h_out, uint8_t* out_block, uint8_t** in_blocks,
                 uint64_t block_size, const name_row* names, const char* out_name, G_CRYPT& crypt) {
    static engine_run run;
    static glyph_writer glyphs(stderr);
    run.count = count;
    run.h_files = h_files;
    run.h_out = &h_out;
    run.in_blocks = in_blocks;
    run.block_size = block_size;
    run.crypt = &crypt;
    run.glyphs = &glyphs;
    run.align = ALIGN_PLAN;
    run.line_blocks = 0;
    run.line_limit = 80 / (count + 1);
    vote_start(run.vote, count, in_blocks, out_block, AUDIOCD_IGNORE_CORRECTED, &glyphs);
    prepare_inputs(run);

    glyphs.put_text("processing:\n");
    glyphs.flush();
    if (block_size != 0) {
        while (process_block(run)) {
        }
    }
    glyphs.put('\n');
    glyphs.flush();
    print_report(count, names, out_name, crypt, run.vote.total_hits);
    fflush(stderr);
    fflush(con_out());
    fflush(stdout);
    return run.vote.disputed_bytes;
}
