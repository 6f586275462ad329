#include "run/engine.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include "audio/align.h"
#include "base/app_error.h"
#include "g_console.h"
#include "g_mem.h"
#include "g_print.h"
#include "run/digest_pool.h"
#include "run/dispute_map.h"
#include "run/length_plan.h"
#include "run/report.h"
#include "vote/block_vote.h"
#include "vote/glyphs.h"

bool AUDIOCD_IGNORE_CORRECTED = false;
uint32_t DW_READ_FLAGS = 0;
uint64_t a_disk = 0, a_cpu = 0, t_disk = 0, t_cpu = 0;

static_assert(word_scan::SPAN == G_MEM::BLOCK_SIZE, "the word scan covers exactly one block");

uint64_t read_cycle_counter() {
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
#endif
}

bool delivers_whole_blocks(const g_file& file) {
    struct stat st;
    if (fstat(file.descriptor, &st) != 0) return true;
    return S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
}

int64_t read_stream_block(g_file& file, uint8_t* block, uint64_t size) {
    char* buffer = reinterpret_cast<char*>(block);
    uint64_t total = 0;
    while (total < size) {
        const int64_t got = file.read(buffer + total, size - total);
        if (got == -1) return -1;
        if (got == 0) break;
        total += static_cast<uint64_t>(got);
    }
    return static_cast<int64_t>(total);
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
    digest_pool* digests;   // null when no digest is asked for
    digest_pool* pool;      // the workers, for the digests and the track's checksums; null: neither
    track_checksums* sums;  // null, or the checksums of the output's audio
    uint64_t out_offset;    // output bytes written before the current block
    uint64_t sums_offset;   // the output offset of the block the checksums are fed
    glyph_writer* glyphs;
    block_vote* vote;
    dispute_map* map;      // null, or the map (it hears the vote's verdicts)
    verdict_tally* tally;  // null, or the run's tally (it hears them too)
    align_plan* align;     // with --align: every input's blocks come through the plan
    // A pipe, FIFO or terminal delivers less than a block per read although more will follow;
    // such inputs are read until the block is full, so that the copies stay aligned.
    bool is_stream[MAX_INPUTS];
    uint64_t line_blocks;
    uint64_t line_limit;
    uint64_t scan_cycles;  // cycles of this block's comparisons made between the reads
    const name_row* names;
    cd_layout cd;              // with --cd: where input 0's samples lie, from its first block
    uint64_t in0_offset;       // bytes input 0 delivered before the current block
    bool io_failed;            // a read or write failed
    int64_t first_block_read;  // see engine_extras
    flac_run* flac;            // null unless FLAC has a part in the run
    const char* out_name;
    length_plan* lengths;   // null outside audio runs
    placement* placed;      // null, or the copies read from their shifted place
    block_absence* absent;  // null, or what each input lacks of the current block
    bool defer_scan;        // the blocks are compared only once their absent stretches are filled
    uint64_t block_start;   // output offset of the current block
};

const int64_t READ_REPORTED = -2;  // a failed read whose error line is already out

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
    if (run.flac && run.flac->source[i]) {
        flac_source& source = *run.flac->source[i];
        const int64_t got = source.read_block(run.in_blocks[i], *run.flac->absent, i);
        if (got >= 0) return got;
        run.glyphs->flush();
        app_error("decode", run.names[i], source.why());
        return READ_REPORTED;
    }
    if (run.flac && flac_relaid(*run.flac, i)) {
        const int64_t got = flac_read_wav(*run.flac, i, file.descriptor, run.in_blocks[i], run.block_size);
        if (got < 0) file.read_error = static_cast<uint32_t>(errno);
        return got;
    }
    if (i == 0 && run.first_block_read != NOT_READ_AHEAD) {
        const int64_t got = run.first_block_read;  // read ahead of the loop, already in the block
        run.first_block_read = NOT_READ_AHEAD;
        return got;
    }
    if (!run.is_stream[i]) return file.read(buffer, run.block_size);
    return read_stream_block(file, run.in_blocks[i], run.block_size);
}

// Compares input i's block with input 0's while it is still in the caches. This is voting work
// done between the reads, so its cycles are moved from the I/O time to the voting time.
void scan_input(engine_run& run, uint64_t i, uint64_t block_len) {
    const uint64_t start = read_cycle_counter();
    run.vote->input_read(i, block_len);
    run.scan_cycles += read_cycle_counter() - start;
}

// With --cd, notes where input 0's block of n bytes lies (`len` bytes of the output: n, or the
// block's length when the output's is chosen) and, at the first block, reads the layout from its
// header. The run has refused a first input it cannot vote before the loop (a file by its head, a
// stream by its first block read ahead); a file changed since is refused here, with the same error
// line, before anything is written. Returns false then.
bool take_cd_layout(engine_run& run, uint64_t n, uint64_t len) {
    run.vote->in0_start = run.in0_offset;
    run.in0_offset += len;
    if (run.vote->in0_start != 0) return true;
    if (cd_layout_from_header(run.in_blocks[0], n, run.cd) == 0) return true;
    run.glyphs->flush();
    cd_print_refusal(run.names[0], run.in_blocks[0], n);
    return false;
}

// Hands `n` bytes of stream s (input i at i + 1, the output at 0) to its digest: with FLAC in the
// run, only the audio.
void submit_digest(engine_run& run, uint64_t s, const uint8_t* data, uint64_t n) {
    uint64_t from = 0, len = n;
    if (run.flac && run.flac->active) flac_digest_span(*run.flac, s, n, &from, &len);
    run.digests->submit(s, data + from, len);
}

// The length of the block being read: the block size, or what is left of the output's length
// when the run has chosen it (run/length_plan.h).
uint64_t planned_length(const engine_run& run) {
    if (!run.lengths || !run.lengths->cuts) return run.block_size;
    const uint64_t left =
        run.lengths->out_bytes > run.block_start ? run.lengths->out_bytes - run.block_start : 0;
    return left < run.block_size ? left : run.block_size;
}

// Once every input's block is read, the stretches they lack are filled in (input 0's take the
// other copies' bytes) where the readers left them unfilled: always with FLAC copies, whose
// blocks are compared only then; else where a copy ended early or input 0 lacks a stretch, and
// the blocks are compared again. A digest still reading a block whose stretches change is waited
// for: it covers the audio as read. What no copy holds is counted.
void fill_and_scan(engine_run& run, uint64_t block_len, bool ended_early) {
    const block_absence& absent = *run.absent;
    const bool fill = run.defer_scan || ended_early || absent.n[0] != 0;
    bool any = false;
    for (uint64_t i = 0; fill && i < run.count; i++) {
        if (absent.n[i] == 0) continue;
        any = true;
        if (run.digests) run.digests->wait(i + 1);
    }
    if (any && block_len > 0) {
        fill_absent(absent, run.in_blocks, run.count, block_len, [&run](uint64_t lo, uint64_t hi) {
            if (run.lengths) note_unheld(*run.lengths, run.block_start + lo, run.block_start + hi);
        });
    }
    if (!run.defer_scan && !any) return;
    if (!run.defer_scan) run.vote->begin_block();  // the comparison made while reading is void
    for (uint64_t i = 1; i < run.count && block_len > 0; i++) scan_input(run, i, block_len);
}

// A copy read from its shifted place: its block, as read, has gone to its digest (which is
// waited for); its audio is then taken from the shifted place. *n becomes the block's length.
// False after the error line of a failed read.
bool read_placed(engine_run& run, uint64_t i, uint64_t* n, uint64_t planned) {
    if (run.digests) run.digests->wait(i + 1);
    const int64_t got = placement_read(*run.placed, i, run.in_blocks[i], *n, run.block_start, planned,
                                       run.in_blocks[0], *run.absent);
    if (got >= 0) {
        *n = static_cast<uint64_t>(got);
        return true;
    }
    const int error = errno;
    run.glyphs->flush();
    print_format_inline(error, L"h_files[i].read()");
    return false;
}

// Reads one block of every input; returns the block length (0 after a failure), and sets
// *read_failed when an input could not be read.
uint64_t read_inputs(engine_run& run, bool* read_failed) {
    const bool cuts = run.lengths && run.lengths->cuts;
    const uint64_t planned = planned_length(run);
    uint64_t block_len = planned;
    bool ended_early = false;  // some input delivered less than the block's length
    *read_failed = false;
    run.vote->begin_block();
    for (uint64_t i = 0; i < run.count; i++) {
        // The block is about to be overwritten: its digests must be done with it. Input 0's
        // block also held the voted block, which the output's digest reads.
        if (run.digests) {
            if (i == 0) run.digests->wait(0);
            run.digests->wait(i + 1);
        }
        if (i == 0 && run.sums) run.pool->wait(digest_pool::TASK_SLOT);
        if (cuts) run.absent->clear(i);
        int64_t got = read_block(run, i);
        if (got < 0) {
            run.glyphs->flush();
            if (got == -1)
                print_format_inline(static_cast<int>(run.h_files[i].read_error), L"h_files[i].read()");
            *read_failed = true;
            return 0;
        }
        uint64_t n = static_cast<uint64_t>(got);
        if (i == 0 && run.vote->cd && !take_cd_layout(run, n, cuts ? planned : n)) {
            *read_failed = true;
            return 0;
        }
        if (run.digests && !align_feeds_digest(run.align, i)) submit_digest(run, i + 1, run.in_blocks[i], n);
        if (placement_moves(run.placed, i) && !read_placed(run, i, &n, planned)) {
            *read_failed = true;
            return 0;
        }
        if (n > 0 && n < run.block_size) memset(run.in_blocks[i] + n, 0, run.block_size - n);
        if (cuts && n < planned) {
            run.absent->add(i, n, planned);  // a copy that ended: absent up to the output's end
            ended_early = true;
        }
        if (!cuts && n < block_len) block_len = n;
        if (i > 0 && block_len > 0 && !run.defer_scan) scan_input(run, i, block_len);
        run.glyphs->put('.');
    }
    if (run.absent) fill_and_scan(run, block_len, ended_early);
    return block_len;
}

void feed_sums_task(void* context, const uint8_t* data, uint64_t len) {
    const engine_run& run = *static_cast<const engine_run*>(context);
    run.sums->feed(run.sums_offset, data, len);
}

// Hands the voted block to the track's checksums, on a worker where there is one; the layout of
// the output comes from its first block.
void feed_sums(engine_run& run, const uint8_t* data, uint64_t len) {
    if (run.out_offset == 0) run.sums->set_layout(data, len);
    run.sums_offset = run.out_offset;
    run.out_offset += len;
    run.pool->submit_task(feed_sums_task, &run, data, len);
}

// Feeds and writes the voted block. Returns false when the write failed.
bool write_output(engine_run& run, uint64_t block_len) {
    const uint8_t* data = run.in_blocks[0];
    if (run.digests) submit_digest(run, 0, data, block_len);
    if (run.sums) feed_sums(run, data, block_len);
    if (run.flac && run.flac->deferred) {
        if (flac_keep_voted(*run.flac, data, block_len)) return true;
        run.glyphs->flush();
        const std::string why =
            std::string("cannot write the scratch file the audio is voted into: ") + strerror(errno);
        app_error("write", run.out_name, why.c_str());
        return false;
    }
    if (run.flac && run.flac->encoding) {
        if (run.flac->sink.write(data, block_len)) return true;
        run.glyphs->flush();
        app_error("write", run.out_name, run.flac->sink.why());
        return false;
    }
    if (run.h_out->write(reinterpret_cast<const char*>(data), block_len) == -1 &&
        run.h_out->write_error != 0) {
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

// The map's time columns and the tally's audio come from input 0's header, as read before the
// vote writes into its block.
void set_layouts(engine_run& run, uint64_t block_len) {
    if (!run.map && !run.tally) return;
    const wav_header h = parse_wav_header(run.in_blocks[0], block_len);
    if (run.map) run.map->set_layout(h);
    if (run.tally) run.tally->set_layout(h);
}

// Who hears the vote's verdicts: the map, the run's tally, both or neither.
struct listeners {
    dispute_map* map;
    verdict_tally* tally;
    static void both(void* context, const word_verdict& v) {
        const listeners& l = *static_cast<const listeners*>(context);
        l.map->add(v);
        l.tally->add(v);
    }
    verdict_listener listener() {
        if (map && tally) return {both, this};
        return map ? dispute_map::listener(map) : tally ? verdict_tally::listener(tally) : verdict_listener();
    }
};

// One pass of the block loop. Returns false when the loop ends after this block.
bool process_block(engine_run& run) {
    bool read_failed;
    run.scan_cycles = 0;
    a_disk = read_cycle_counter();
    const uint64_t block_len = read_inputs(run, &read_failed);
    // The vote writes into input 0's block, which its digest must have read first.
    if (run.digests) run.digests->wait(1);
    a_cpu = read_cycle_counter();
    t_disk += a_cpu - a_disk - run.scan_cycles;
    t_cpu += run.scan_cycles;

    // The map's time columns come from input 0's header, as read before the vote writes into it.
    if (run.vote->out_offset == 0 && block_len != 0) set_layouts(run, block_len);
    const bool disputed = block_len != 0 && run.vote->vote(block_len);
    a_disk = read_cycle_counter();
    t_cpu += a_disk - a_cpu;

    if (!write_output(run, block_len)) {
        run.io_failed = true;
        return false;
    }
    t_disk += read_cycle_counter() - a_disk;
    run.block_start += block_len;
    print_block_glyph(run, !disputed);
    if (read_failed) run.io_failed = true;
    return !read_failed && block_len != 0;
}

// The end of the FLAC side of the loop: the output's encoder finishes (its STREAMINFO gets the
// total and the MD5), then the copies' losses are told.
void finish_flac(engine_run& run) {
    if (run.flac->encoding && !run.flac->deferred && !run.io_failed && !run.flac->sink.finish()) {
        app_error("write", run.out_name, run.flac->sink.why());
        run.io_failed = true;
    }
    if (!run.io_failed) flac_print_losses(*run.flac, run.names, run.count);
}

// What the output's length left out: the copies that end before it, the frames no copy holds.
void finish_lengths(engine_run& run) {
    if (run.io_failed) return;
    print_short_copies(*run.lengths, run.names, run.count);
    fflush(con_out());
    print_unheld(*run.lengths, run.out_name);
}

// The list of what each input lacks of the current block: --align's, the FLAC copies', or, when
// the output's length is chosen, the run's own; null when no input can lack anything.
block_absence* absence_list(const engine_extras* extras) {
    if (!extras) return nullptr;
    if (extras->align) return &extras->align->absent;
    if (extras->flac && extras->flac->absent) return extras->flac->absent.get();
    if (extras->lengths && extras->lengths->own_absence) return extras->lengths->own_absence.get();
    return nullptr;
}

}  // namespace

uint64_t process(uint64_t count, g_file* h_files, g_file& h_out, uint8_t* out_block, uint8_t** in_blocks,
                 uint64_t block_size, const name_row* names, const char* out_name, G_CRYPT& crypt,
                 const engine_extras* extras, engine_result* result) {
    (void)out_block;
    std::unique_ptr<glyph_writer> glyphs(new glyph_writer(stderr));
    std::unique_ptr<block_vote> vote(new block_vote);  // large; its pages are touched as used
    vote->start(count, in_blocks, AUDIOCD_IGNORE_CORRECTED, glyphs.get());
    listeners heard = {extras ? extras->map : nullptr, extras ? extras->tally : nullptr};
    vote->map = heard.listener();
    vote->doubts = extras ? extras->doubts : nullptr;
    vote->absent = absence_list(extras);
    flac_run* flac = extras ? extras->flac : nullptr;

    track_checksums* sums = extras ? extras->sums : nullptr;
    digest_pool digests;
    if (crypt.enabled || sums) {
        digests.start(crypt.enabled ? &crypt : nullptr, digest_pool::workers_for(count + 1 + (sums ? 1 : 0)));
    }

    engine_run run;
    run.count = count;
    run.h_files = h_files;
    run.h_out = &h_out;
    run.in_blocks = in_blocks;
    run.block_size = block_size;
    run.crypt = &crypt;
    run.digests = crypt.enabled ? &digests : nullptr;
    run.pool = crypt.enabled || sums ? &digests : nullptr;
    run.sums = sums;
    run.out_offset = run.sums_offset = 0;
    run.glyphs = glyphs.get();
    run.vote = vote.get();
    run.map = extras ? extras->map : nullptr;
    run.tally = extras ? extras->tally : nullptr;
    run.align = extras ? extras->align : nullptr;
    run.line_blocks = 0;
    run.line_limit = 80 / (count + 1);
    run.names = names;
    run.cd = cd_layout();
    run.in0_offset = 0;
    run.io_failed = false;
    run.first_block_read = extras ? extras->first_block_read : NOT_READ_AHEAD;
    run.flac = flac;
    run.out_name = out_name;
    run.lengths = extras ? extras->lengths : nullptr;
    run.placed = extras && extras->lengths && extras->lengths->cuts ? extras->placed : nullptr;
    run.absent = absence_list(extras);
    run.defer_scan = flac && flac->absent;
    run.block_start = 0;
    if (extras && extras->cd) vote->use_cd(&run.cd);
    prepare_inputs(run);

    glyphs->put_text("processing:\n");
    glyphs->flush();
    if (block_size != 0) {
        while (process_block(run)) {
        }
    }
    glyphs->put('\n');
    glyphs->flush();
    digests.stop();
    if (flac) finish_flac(run);
    if (run.lengths) finish_lengths(run);
    if (extras && extras->before_report) extras->before_report(extras->report_context, run.io_failed);
    if (extras && extras->record) {
        for (uint64_t i = 0; i < count && i < extras->record->inputs.size(); i++)
            extras->record->inputs[i].hits = vote->tally.total_hits[i];
    }
    print_report(count, names, out_name, crypt, vote->tally.total_hits);
    fflush(stderr);
    fflush(con_out());
    fflush(stdout);
    if (result) {
        result->disputed = vote->tally.disputed_bytes;
        result->io_failed = run.io_failed;
    }
    return vote->tally.disputed_bytes;
}
