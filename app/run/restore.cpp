#include "run/restore.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "audio/align.h"
#include "base/app_error.h"
#include "base/play_time.h"
#include "g_console.h"
#include "run/engine.h"
#include "run/files.h"
#include "run/flac_run.h"
#include "run/length_plan.h"
#include "run/placement.h"
#include "run/replace.h"
#include "run/verdict.h"
#include "vote/cd_vote.h"

namespace {

const uint64_t MAX_RESPONSE_BYTES = 1 << 20;  // far more than any disc's records take

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

// Standard input named twice would be read by both inputs in turn, each getting other pieces of
// the one stream, and the vote would compare unrelated places: refused (error line, -1).
int check_standard_input_once(const name_row* names, uint64_t count) {
    uint64_t named = 0;
    const char* name = nullptr;
    for (uint64_t i = 0; i < count; i++) {
        if (!names_standard_stream(names[i])) continue;
        named++;
        if (!name) name = names[i];
    }
    if (named < 2) return 0;
    const std::string reason = "standard input is named " + std::to_string(named) +
                               " times among the inputs; it can be read only once";
    app_error("read", name, reason.c_str());
    return -1;
}

// Closes the map; a write that failed on the way is reported now, after the run's own text,
// since the map then lacks lines. Returns 0 or -1.
int close_map(dispute_map& map, const char* map_name) {
    const uint32_t error = map.close();
    if (error == 0) return 0;
    const std::string reason =
        std::string(strerror(static_cast<int>(error))) + "; the map file is incomplete";
    app_error("write map", map_name, reason.c_str());
    return -1;
}

// With --align: opens the inputs, then finds and reports each copy's shift (only when the output
// is open too, for only then is there a vote) before the blank line that ends the list.
// FLAC copies are decoded whole first, for the search and the shifted reads read by position.
int open_inputs_aligned(g_file* h_files, const name_row* names, uint64_t count, bool out_open, G_CRYPT& crypt,
                        align_plan& plan, engine_extras& extras, flac_run& flac, const char* out_name) {
    if (open_inputs(h_files, names, count) != 0) return -1;
    if (out_open) {
        if (flac_decode_for_align(flac, h_files, names, count, out_name) != 0) return -1;
        align_prepare(plan, h_files, names, count, &crypt);
        for (uint64_t i = 0; i < count; i++) {
            if (flac.decoded[i].source) align_use_decoded(plan, i, &flac.decoded[i].lost);
        }
        extras.align = &plan;
    }
    fputc('\n', stderr);
    return 0;
}

// With --align and a decoded first copy, the header the output keeps states the output's audio.
int fit_decoded_header(const flac_run& flac, const align_plan& plan, g_file& in0, const char* name0) {
    const int error = flac_fit_decoded_header(flac, in0.descriptor, plan.out_data_len);
    if (error == 0) return 0;
    app_error_errno("decode", name0, error);
    return -1;
}

// --cd on a first input that is a stream: its first block is read now, before the output is
// emptied, so that a stream --cd cannot vote is refused as a file is, leaving the output as it
// was. The engine takes the block as its first read. Returns 0, or -1 after the error line.
int read_ahead_cd_stream(g_file& in0, const char* name, uint8_t* block, uint64_t size,
                         engine_extras& extras) {
    if (delivers_whole_blocks(in0)) return 0;
    const int64_t got = read_stream_block(in0, block, size);
    extras.first_block_read = got;
    if (got < 0) return 0;  // the block loop reports the failed read
    cd_layout layout;
    if (cd_layout_from_header(block, static_cast<uint64_t>(got), layout) == 0) return 0;
    cd_print_refusal(name, block, static_cast<uint64_t>(got));
    return -1;
}

// With --align, the map lists every copy's segments whose shift changes or that sit out:
// "# shift <input> <output offset> <shift in bytes | not placed>".
void note_segments(dispute_map& map, const align_plan& plan) {
    for (uint64_t i = 1; i < plan.count; i++) {
        const align_copy& c = plan.copies[i];
        if (c.segment_count == 1 && c.segments[0].placed) continue;
        note_copy_segments(map, i, c, plan.data_offset0);
    }
}

// The places worth listening to again, most doubtful first, after the map's runs:
// "# listen <output offset> <time> <why>".
void note_places(dispute_map& map, const verdict_tally& tally) {
    for (const doubt_place& p : tally.ranked()) {
        const std::string time = tally.rate ? play_time_of(p.frame, tally.rate).text : "";
        const std::string text =
            "listen\t" + std::to_string(p.offset) + "\t" + time + "\t" + doubt_word(p.kind);
        map.add_comment(text.c_str());
    }
}

// Runs and times the block loop over the open files, then prints the statistics.
void run_block_loop(run_result& result, G_MEM& mem, G_CRYPT& crypt, G_TIMER& timer, const name_row* names,
                    uint64_t count, g_file* h_files, g_file& h_out, uint8_t** blocks, const char* out_name,
                    const engine_extras& extras) {
    uint8_t* base = static_cast<uint8_t*>(mem.address);
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
    if (extras.map) {
        if (extras.tally) note_places(*extras.map, *extras.tally);
        extras.map->finish(result.disputed);
    }
    print_statistics(result.cycles, result.elapsed_ns, result.disputed);
}

// Once the loop has ended, before the report: the output's sums are finished and, when they miss
// what was expected, the repair is tried, so that the report's digests tell of the output as it
// stays.
void check_before_report(void* context, bool io_failed) {
    run_checks& checks = *static_cast<run_checks*>(context);
    checks.sums.finish();
    const ar_response* response = checks.has_response ? &checks.response : nullptr;
    flac_run* deferred = checks.flac && checks.flac->deferred ? checks.flac : nullptr;
    if (!io_failed && checks.repairable && !verified(*checks.options, checks.sums, response)) {
        // A FLAC output is repaired in the voted audio before it is encoded.
        g_file* output = deferred ? &deferred->voted : checks.output;
        const int64_t start = deferred ? 0 : checks.output_start;
        repair_job job = {checks.options, response,   &checks.doubts,   &checks.sums,     output,
                          checks.crypt,   checks.map, checks.digest_lo, checks.digest_hi, start};
        checks.repair = repair_output(job);
    }
    if (!io_failed && deferred) checks.encode_failed = flac_encode_deferred(*deferred, checks.out_name) != 0;
}

// The checksums, the verdict and the repair after the statistics. Returns 0 when verified (or
// nothing was expected), else -1.
int report_checks(run_checks& checks, const run_options& options, const char* out_name) {
    const ar_response* response = checks.has_response ? &checks.response : nullptr;
    print_checksums(out_name, checks.sums);
    print_verdict(out_name, options, checks.sums, response);
    if (checks.repair.tried || !checks.repair.not_tried.empty())
        print_repair(out_name, checks.repair, checks.sums);
    return verified(options, checks.sums, response) ? 0 : -1;
}

// Hands the checks to the engine: the output's audio, the disputed words and the hook.
void attach_checks(run_checks* checks, engine_extras& extras, const run_options& options, g_file& h_out,
                   G_CRYPT& crypt, dispute_map* map) {
    if (!checks) return;
    checks->options = &options;
    checks->output = &h_out;
    checks->crypt = &crypt;
    checks->map = map;
    extras.sums = &checks->sums;
    if (checks->repairable) extras.doubts = &checks->doubts;
    extras.before_report = check_before_report;
    extras.report_context = checks;
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

// True when the run was told what the output's checksum must be.
bool expects_checksum(const run_options& options) {
    return options.expected_count > 0 || options.response_name != nullptr;
}

// Hands the engine the FLAC side of the run; the digests cover only the output's audio. A FLAC
// output cannot be patched in place: when a repair may follow, the audio is voted into a scratch
// file and encoded after the checks. Returns 0, or -1 after an error line.
int use_flac(flac_run& flac, engine_extras& extras, run_checks* checks, const char* out_name) {
    extras.flac = &flac;
    if (!checks) return 0;
    checks->digest_lo = flac.audio_lo[0];
    checks->digest_hi = flac.audio_hi[0];
    if (!flac.encoding || !checks->repairable) return 0;
    checks->flac = &flac;
    checks->out_name = out_name;
    return flac_defer_encoding(flac, out_name);
}

// The record's inputs, once every file is open: names and formats, and --align's shifts.
void record_inputs(run_record& record, const name_row* names, uint64_t count, g_file* h_files,
                   const flac_run& flac, const align_plan* plan) {
    record.inputs.assign(count, input_record());
    for (uint64_t i = 0; i < count; i++) {
        input_record& in = record.inputs[i];
        in.name = names[i];
        struct stat st;
        const bool regular = fstat(h_files[i].descriptor, &st) == 0 && S_ISREG(st.st_mode);
        if (flac_copy_source(flac, i)) {
            in.format = "flac";
        } else if (regular &&
                   read_wav_header(h_files[i].descriptor, static_cast<uint64_t>(st.st_size)).valid) {
            in.format = "wav";
        }
        if (!plan || i == 0) continue;
        const align_copy& c = plan->copies[i];
        in.placed = c.segment_count > 0 && c.segments[0].placed;
        in.shift_bytes = in.placed ? c.segments[0].shift : 0;
    }
}

// The shifts the probe found: each misplaced copy's first segment's (null when it sits out there).
void record_placement(run_record& record, const placement& placed) {
    for (uint64_t i = 0; i < placed.count && i < record.inputs.size(); i++) {
        const placed_copy& c = placed.copy[i];
        if (!c.moved) continue;
        record.inputs[i].placed = c.where.segments[0].placed;
        record.inputs[i].shift_bytes = c.where.segments[0].placed ? c.where.segments[0].shift : 0;
    }
}

// The record's track once the run has ended: what the vote's tally counted, what the FLAC copies
// lost, the checksums, the verdict and the repair.
void record_track(run_record& record, const run_options& options, const char* out_name, uint64_t count,
                  const run_result& result, const verdict_tally& tally, const flac_run& flac,
                  const length_plan& lengths, const run_checks* checks) {
    track_record t;
    t.number = options.track.number;
    t.file = out_name;
    t.copies = count;
    t.disputed_samples = tally.disputed;
    t.guessed_samples = tally.guessed;
    t.overruled_samples = tally.overruled;
    t.disputed_bytes = result.disputed;
    t.no_copy_samples = lengths.unheld * (lengths.frame_bytes / 2);
    t.frames = lengths.audio ? lengths.out_frames : 0;
    t.rate = static_cast<uint32_t>(tally.rate);
    t.suspicious = tally.suspicious();
    for (uint64_t i = 0; i < tally.lost.size() && i < record.inputs.size(); i++) {
        record.inputs[i].disputes_lost = tally.lost[i];
        record.inputs[i].lost_per_second = tally.lost_seconds[i];
    }
    for (uint64_t i = 0; i < count && i < record.inputs.size(); i++) {
        const flac_source* s = flac_copy_source(flac, i);
        if (s) record.inputs[i].samples_lost = s->losses().samples * s->format().channels;
    }
    if (checks) {
        record_verdict(t, options, checks->sums, checks->has_response ? &checks->response : nullptr);
        if (checks->repair.tried || !checks->repair.not_tried.empty())
            t.repair = repair_text(checks->repair, checks->sums);
        if (checks->repair.found) t.repaired_samples = checks->repair.changed_samples;
        if (checks->doubts.limit > 0 && t.verdict == "not verified")
            t.doubtful = doubtful_frames(checks->doubts, checks->sums.audio_begin, checks->sums.audio_end);
    }
    record.tracks.assign(1, t);
    record.seconds = static_cast<double>(result.elapsed_ns) / 1e9;
}

// Writes `text` (the report or the picture of a complete run, status 0 or 1) to `name`,
// replacing an existing file whole (run/replace.h). Returns `status`, or -1 after an error line
// ("copyvote: <action> <name>: ...") when it cannot be written.
int write_result_text(int status, result_file& kept, const std::string& text, const char* name,
                      const char* action) {
    g_file file;
    note_result_file(kept, name, false);
    int error = open_kept(file, name);
    if (error == 0 && !start_replacement(kept, file) && holds_data(file) && file.set_eof() != 0)
        error = static_cast<int>(file.write_error);
    if (error == 0 && file.write(text.data(), text.size()) != static_cast<int64_t>(text.size()))
        error = file.write_error ? static_cast<int>(file.write_error) : EIO;
    file.close();
    if (error == 0) return status;
    app_error_errno(action, name, error);
    return -1;
}

}  // namespace

int prepare_checks(run_checks& checks, const run_options& options) {
    int algos[MAX_EXPECTED];
    const unsigned n = expected_digests(options, algos);
    checks.repairable = options.response_name != nullptr;
    for (unsigned k = 0; k < options.expected_count; k++) checks.repairable |= options.expected[k].algo == 0;
    if (checks.repairable) checks.doubts.start(MOST_DOUBTS);
    const unsigned error = checks.sums.start(options.track, algos, n);
    if (error != 0) {
        app_error_gcrypt("compute the checksums of", "the output", error);
        return -1;
    }
    if (!options.response_name) return 0;
    std::string bytes;
    const int read_error = read_small_file(options.response_name, bytes, MAX_RESPONSE_BYTES);
    if (read_error != 0) {
        app_error_errno("read", options.response_name, read_error);
        return -1;
    }
    const char* why = "";
    if (parse_ar_response(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), options.track.number,
                          checks.response, &why) != 0) {
        app_error("read", options.response_name, why);
        return -1;
    }
    checks.has_response = true;
    return 0;
}

int check_before_opening(const run_options& options, const name_row* names, uint64_t count,
                         const char* out_name) {
    if (check_standard_input_once(names, count) != 0) return -1;
    if (check_output_is_not_an_input(out_name, names, count) != 0) return -1;
    if (check_cd_switches(options) != 0) return -1;
    if (flac_check_before_opening(options, names, count, out_name) != 0) return -1;
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
                   const char* out_name, const run_options& options, dispute_map* map, result_file* map_kept,
                   run_checks* checks, run_record* record) {
    run_result result;
    engine_extras extras;
    extras.map = map;
    verdict_tally tally;
    extras.record = record;
    extras.tally = record || map ? &tally : nullptr;
    extras.cd = options.cd;
    std::unique_ptr<align_plan> plan(options.align ? new align_plan : nullptr);

    uint8_t* blocks[MAX_INPUTS];
    assign_buffers(static_cast<uint8_t*>(mem.address), mem.alignment, count, blocks);

    g_file h_files[MAX_INPUTS];
    g_file h_out;
    attach_checks(checks, extras, options, h_out, crypt, map);
    result_file out_kept;
    note_result_file(out_kept, out_name, false);
    const int out_status = open_output(h_out, out_name);
    std::unique_ptr<flac_run> flac(new flac_run);
    int status = plan ? open_inputs_aligned(h_files, names, count, out_status == 0, crypt, *plan, extras,
                                            *flac, out_name)
                      : open_inputs(h_files, names, count);
    // The probe's lines, like --align's, come before the blank line that ends the list of files.
    const bool probing = !plan && status == 0 && out_status == 0 && placement_wanted(options, h_files, count);
    if (!plan && status == 0 && !probing) fputc('\n', stderr);
    if (out_status != 0) status = -1;
    if (status == 0 && options.cd)
        status = read_ahead_cd_stream(h_files[0], names[0], blocks[0], mem.alignment, extras);
    std::unique_ptr<length_plan> lengths(new length_plan);
    if (status == 0) status = flac_prepare(*flac, h_files, names, count, out_name);
    if (status == 0) plan_lengths(*lengths, options, h_files, count, *flac, extras.align);
    if (status == 0 && extras.align) status = fit_decoded_header(*flac, *extras.align, h_files[0], names[0]);
    std::unique_ptr<placement> placed(probing ? new placement : nullptr);
    if (probing && status == 0) {
        status = place_copies(*placed, h_files, names, count, *flac, *lengths, out_name);
        if (status == 0) fputc('\n', stderr);
        if (placed->any_moved) extras.placed = placed.get();
    }
    if (status == 0 && lengths->audio) extras.lengths = lengths.get();
    lengths->places = extras.tally;
    if (status == 0 && flac->active) status = use_flac(*flac, extras, checks, out_name);
    if (status == 0 && flac->any_decoded) extras.flac = flac.get();
    if (status == 0 && record) record_inputs(*record, names, count, h_files, *flac, extras.align);
    if (status == 0 && record && extras.placed) record_placement(*record, *extras.placed);
    if (status == 0) status = take_over_output(out_kept, h_out, out_name);
    if (status == 0 && map) status = take_over_map(*map_kept, *map, options.map_name);
    if (status == 0 && flac->active)
        status = flac_start(*flac, names, count, h_out.descriptor, out_name, mem.alignment);

    if (status == 0) {
        if (checks) checks->output_start = lseek(h_out.descriptor, 0, SEEK_CUR);
        if (map) map->start(names, count, options.vote_name());
        if (map && extras.align) note_segments(*map, *extras.align);
        if (map && extras.placed) placement_note_map(*extras.placed, *map);
        run_block_loop(result, mem, crypt, timer, names, count, h_files, h_out, blocks, out_name, extras);
        if (result.io_failed || (checks && checks->encode_failed)) status = -1;
        if (map && close_map(*map, options.map_name) != 0) status = -1;
        const int checked = checks ? report_checks(*checks, options, out_name) : 0;
        if (checked != 0 && status == 0) status = 1;
        if (lengths->unheld > 0 && status == 0 && !(checked == 0 && expects_checksum(options))) status = 1;
        if (record) record_track(*record, options, out_name, count, result, tally, *flac, *lengths, checks);
    }
    flac_close(*flac, count);
    mem.free_ram();
    close_files(count, h_files, h_out);
    // The program's text lost (a full standard output, a reader gone) fails the run before the
    // old files are replaced.
    if (report_lost_standard_output() != 0) status = -1;
    result_file report_kept, picture_kept;
    if (record && status >= 0) record->status = status;
    if (record && options.report_name && status >= 0)
        status = write_result_text(status, report_kept, run_record_json(*record), options.report_name,
                                   "write report");
    if (record && options.picture_name && status >= 0)
        status = write_result_text(status, picture_kept, run_picture(*record), options.picture_name,
                                   "write picture");
    result_file* const kept[] = {&out_kept, map ? map_kept : nullptr, &report_kept, &picture_kept};
    result.status = finish_result_files(status, kept, 4);
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
