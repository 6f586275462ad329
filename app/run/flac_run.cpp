#include "run/flac_run.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "audio/audio_span.h"
#include "audio/wav_header.h"
#include "base/app_error.h"
#include "base/play_time.h"
#include "base/read_at.h"
#include "g_console.h"
#include "run/files.h"

namespace {

// The audio format every copy must share, and which copy set it.
struct run_format {
    uint32_t rate = 0;
    uint32_t channels = 0;
    uint64_t from = MAX_INPUTS;  // the copy it was taken from
};

std::string format_text(uint32_t rate, uint32_t channels, uint32_t bits) {
    return std::to_string(rate) + " Hz, " + std::to_string(channels) +
           (channels == 1 ? " channel, " : " channels, ") + std::to_string(bits) + " bits";
}

// Every copy must hold 16-bit samples at the first copy's rate and channels. Returns 0, or -1
// after an error line naming the copy.
int check_format(run_format& f, uint64_t i, uint32_t rate, uint32_t channels, uint32_t bits,
                 const name_row* names) {
    if (bits != 16) {
        app_error("read", names[i],
                  (std::to_string(bits) + "-bit samples; only 16-bit audio can be voted").c_str());
        return -1;
    }
    if (f.from == MAX_INPUTS) {
        f = run_format{rate, channels, i};
        return 0;
    }
    if (rate == f.rate && channels == f.channels) return 0;
    const std::string reason = format_text(rate, channels, bits) + ", but " + names[f.from] + " holds " +
                               format_text(f.rate, f.channels, 16);
    app_error("read", names[i], reason.c_str());
    return -1;
}

// A span file (audio/audio_span.h): the pieces of several files that a whole disc hands a track's
// run as one copy.
bool is_span_file(const g_file& file) {
    uint8_t head[SPAN_SIGNATURE_SIZE];
    return read_at(file.descriptor, head, sizeof head, 0) == static_cast<int64_t>(sizeof head) &&
           has_span_signature(head, sizeof head);
}

// A FLAC stream, or a span file: both are decoded by a flac_source into the voted layout.
bool is_flac_file(const g_file& file) {
    return flac_stream_start(file.descriptor) >= 0 || is_span_file(file);
}

const uint64_t SPAN_FILE_LIMIT = 1u << 20;  // far above any span a disc writes

int read_span_file(int fd, std::string& text) {
    uint8_t chunk[4096];
    for (uint64_t at = 0; at <= SPAN_FILE_LIMIT;) {
        const int64_t got = read_at(fd, chunk, sizeof chunk, at);
        if (got < 0) return errno;
        if (got == 0) return 0;
        text.append(reinterpret_cast<const char*>(chunk), static_cast<size_t>(got));
        at += static_cast<uint64_t>(got);
    }
    return EFBIG;
}

// Opens the span file of input i: its pieces become the copy's stream.
int open_span_file(flac_source& s, g_file& file, bool keep_tags, const char* name) {
    std::string text;
    audio_span span;
    const char* why = nullptr;
    const int error = read_span_file(file.descriptor, text);
    if (error != 0) {
        app_error_errno("read", name, error);
        return -1;
    }
    if (parse_span_text(text, span, &why) != 0 || s.open_span(span, keep_tags) != 0) {
        app_error("read", name, why ? why : s.why());
        return -1;
    }
    return 0;
}

// A WAV copy voted in the layout of FLAC copies is read by position from its data chunk, which
// direct I/O cannot do at any offset: it is read through the page cache.
void drop_direct(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1 && (flags & O_DIRECT)) fcntl(fd, F_SETFL, flags & ~O_DIRECT);
}

bool is_regular(const g_file& file, uint64_t* size) {
    struct stat st;
    if (fstat(file.descriptor, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

// A WAV copy beside FLAC ones (or the first copy of a FLAC output): its audio window and format.
int take_wav(flac_run& run, run_format& f, const g_file& file, uint64_t i, const name_row* names) {
    uint64_t size = 0;
    if (!is_regular(file, &size)) {
        app_error("read", names[i],
                  "beside FLAC copies or for a FLAC output, every copy must be a WAV or FLAC file");
        return -1;
    }
    const wav_header h = read_wav_header(file.descriptor, size);
    if (!h.valid || (h.format != 1 && h.format != 0xFFFE)) {
        app_error("read", names[i], "neither a WAV file of integer samples nor a FLAC stream");
        return -1;
    }
    if (check_format(f, i, h.sample_rate, h.channels, h.bits_per_sample, names) != 0) return -1;
    run.audio_lo[i + 1] = h.data_offset;
    run.audio_hi[i + 1] = wav_data_end(h, size);
    if (i == 0) run.out_data_end = wav_data_end(h, UINT64_MAX);
    return 0;
}

// With FLAC copies, a WAV copy's audio is placed behind the one header as a FLAC copy's is.
void relay(flac_run& run, const g_file& file, uint64_t i) {
    run.data_at[i] = run.audio_lo[i + 1];
    run.audio_hi[i + 1] = FLAC_WAV_HEADER_SIZE + run.audio_hi[i + 1] - run.audio_lo[i + 1];
    run.audio_lo[i + 1] = FLAC_WAV_HEADER_SIZE;
    run.read_to[i] = 0;
    drop_direct(file.descriptor);
}

int take_flac(flac_run& run, run_format& f, g_file& file, uint64_t i, const name_row* names) {
    run.source[i].reset(new flac_source);
    flac_source& s = *run.source[i];
    const int64_t start = flac_stream_start(file.descriptor);
    if (start < 0) {
        if (open_span_file(s, file, i == 0 && run.encoding, names[i]) != 0) return -1;
    } else if (s.open(file.descriptor, i == 0 && run.encoding, static_cast<uint64_t>(start)) != 0) {
        app_error("read", names[i], s.why());
        return -1;
    }
    const flac_format& sf = s.format();
    if (check_format(f, i, sf.sample_rate, sf.channels, sf.bits, names) != 0) return -1;
    run.audio_lo[i + 1] = FLAC_WAV_HEADER_SIZE;
    run.audio_hi[i + 1] = FLAC_WAV_HEADER_SIZE + sf.total_samples * sf.channels * 2;
    return 0;
}

const uint64_t DECODE_BLOCK = 1 << 18;  // bytes handed from the decoder to the scratch file at a time

std::string folder_of(const char* name) {
    const char* slash = strrchr(name, '/');
    if (!slash) return ".";
    return slash == name ? "/" : std::string(name, static_cast<size_t>(slash - name));
}

// An unnamed file in `dir` for reading and writing, or -1 with errno set. Where the file system
// cannot make one without a name, a named one is removed at once.
int open_unnamed(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
    std::string path = dir + "/.copyvote-decoded-XXXXXX";
    const int named = mkostemp(&path[0], O_CLOEXEC);
    if (named >= 0) unlink(path.c_str());
    return named;
}

// The scratch file: beside the output, else in $TMPDIR or /tmp.
int open_scratch(const char* near_name) {
    if (!names_standard_stream(near_name)) {
        const int fd = open_unnamed(folder_of(near_name));
        if (fd >= 0) return fd;
    }
    const char* tmp = getenv("TMPDIR");
    return open_unnamed(tmp && *tmp ? tmp : "/tmp");
}

bool write_all(int fd, const uint8_t* bytes, uint64_t n) {
    while (n > 0) {
        const ssize_t put = ::write(fd, bytes, n);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        bytes += put;
        n -= static_cast<uint64_t>(put);
    }
    return true;
}

// Appends the lost stretches of a block at scratch offset `at`, joining those that touch.
void note_lost(std::vector<absent_range>& lost, const block_absence& a, uint64_t at) {
    for (uint32_t r = 0; r < a.n[0]; r++) {
        const absent_range x{at + a.range[0][r].lo, at + a.range[0][r].hi};
        if (!lost.empty() && lost.back().hi == x.lo) {
            lost.back().hi = x.hi;
        } else {
            lost.push_back(x);
        }
    }
}

int decode_whole(flac_decoded& d, int fd, bool keep_tags, const char* near_name, std::string& why) {
    d.source.reset(new flac_source);
    flac_source& s = *d.source;
    const int64_t start = flac_stream_start(fd);
    if (s.open(fd, keep_tags, start < 0 ? 0 : static_cast<uint64_t>(start)) != 0) {
        why = s.why();
        return -1;
    }
    const flac_format& f = s.format();
    uint8_t header[FLAC_WAV_HEADER_SIZE];
    put_wav_header(header, f.sample_rate, f.channels, f.total_samples * f.channels * 2);
    d.fd = open_scratch(near_name);
    if (d.fd < 0) {
        why = std::string("no scratch file to decode it into: ") + strerror(errno);
        return -1;
    }
    if (s.start(DECODE_BLOCK, header, f.total_samples) != 0) {
        why = s.why();
        return -1;
    }
    std::vector<uint8_t> block(DECODE_BLOCK);
    std::unique_ptr<block_absence> absent(new block_absence);
    for (uint64_t at = 0;;) {
        const int64_t got = s.read_block(block.data(), *absent, 0);
        if (got < 0) why = s.why();
        if (got <= 0) break;
        note_lost(d.lost, *absent, at);
        if (!write_all(d.fd, block.data(), static_cast<uint64_t>(got))) {
            why = std::string("cannot write the scratch file it is decoded into: ") + strerror(errno);
            break;
        }
        at += static_cast<uint64_t>(got);
    }
    if (keep_tags) d.tags = s.tags(&d.tag_count);
    s.close();  // the losses are final
    return why.empty() ? 0 : -1;
}

void print_loss_line(const char* name, const flac_source& s) {
    FILE* out = con_out();
    const flac_losses& l = s.losses();
    con_printf(out, "[");
    con_put_right(out, name, NAME_COLUMNS);
    if (l.samples == 0) {
        con_printf(out, "] decoded audio does not match the MD5 signature of its STREAMINFO\n");
        return;
    }
    con_printf(out, "] %llu samples lost in %llu frame%s (first at %s)\n",
               static_cast<unsigned long long>(l.samples), static_cast<unsigned long long>(l.frames),
               l.frames == 1 ? "" : "s", play_time_of(l.first, s.format().sample_rate).text);
}

}  // namespace

flac_decoded::~flac_decoded() {
    if (fd >= 0) ::close(fd);
    flac_free_tags(tags, tag_count);
}

int flac_decode_whole(flac_decoded& d, int fd, bool keep_tags, const char* near_name, std::string& why) {
    const off_t pos = lseek(fd, 0, SEEK_CUR);
    why.clear();
    const int status = decode_whole(d, fd, keep_tags, near_name, why);
    if (pos >= 0 && lseek(fd, pos, SEEK_SET) < 0 && status == 0) {
        why = strerror(errno);
        return -1;
    }
    return status;
}

int flac_decode_for_align(flac_run& run, g_file* files, const name_row* names, uint64_t count,
                          const char* out_name) {
    for (uint64_t i = 0; i < count; i++) {
        if (!is_flac_file(files[i])) continue;
        flac_decoded& d = run.decoded[i];
        std::string why;
        if (flac_decode_whole(d, files[i].descriptor, i == 0 && names_flac_output(out_name), out_name, why) !=
            0) {
            app_error("decode", names[i], why.c_str());
            return -1;
        }
        // The input's descriptor reads the decoded file from its start on; the FLAC file is closed.
        if (lseek(d.fd, 0, SEEK_SET) != 0 || dup2(d.fd, files[i].descriptor) < 0) {
            app_error_errno("decode", names[i], errno);
            return -1;
        }
        ::close(d.fd);
        d.fd = -1;
        run.any_decoded = true;
    }
    return 0;
}

int flac_fit_decoded_header(const flac_run& run, int fd0, uint64_t data_bytes) {
    const flac_source* s = run.decoded[0].source.get();
    if (!s) return 0;
    uint8_t header[FLAC_WAV_HEADER_SIZE];
    put_wav_header(header, s->format().sample_rate, s->format().channels, data_bytes);
    const ssize_t put = pwrite(fd0, header, sizeof header, 0);
    return put == static_cast<ssize_t>(sizeof header) ? 0 : put < 0 ? errno : EIO;
}

bool names_flac_copy(const char* name) {
    g_file file;
    return open_to_inspect(file, name) == 0 && is_flac_file(file);
}

bool names_flac_output(const char* out_name) {
    const size_t n = strlen(out_name);
    return n > 5 && strcasecmp(out_name + n - 5, ".flac") == 0;
}

int flac_check_before_opening(const run_options& options, const name_row* names, uint64_t count,
                              const char* out_name) {
    (void)options;
    bool any_flac = false;
    for (uint64_t i = 0; i < count && !any_flac; i++) any_flac = names_flac_copy(names[i]);
    if (!any_flac && !names_flac_output(out_name)) return 0;
    // The copies' formats are checked now, so that a run refused for them creates no output. A
    // copy that cannot be looked into now (a stream, a file that will not open) is checked, or
    // reported, when the run opens it.
    std::unique_ptr<g_file[]> files(new g_file[count]);
    for (uint64_t i = 0; i < count; i++) {
        if (open_to_inspect(files[i], names[i]) != 0) return 0;
    }
    std::unique_ptr<flac_run> scratch(new flac_run);
    const int status = flac_prepare(*scratch, files.get(), names, count, out_name);
    flac_close(*scratch, count);
    return status;
}

int flac_prepare(flac_run& run, g_file* h_files, const name_row* names, uint64_t count,
                 const char* out_name) {
    run.encoding = names_flac_output(out_name);
    for (uint64_t i = 0; i < count; i++) run.any_source = run.any_source || is_flac_file(h_files[i]);
    run.active = run.any_source || run.encoding;
    if (!run.active) return 0;
    run_format f;
    for (uint64_t i = 0; i < count; i++) {
        run.offset[i + 1] = 0;
        const int taken = is_flac_file(h_files[i]) ? take_flac(run, f, h_files[i], i, names)
                                                   : take_wav(run, f, h_files[i], i, names);
        if (taken != 0) return -1;
        if (run.any_source && !run.source[i]) relay(run, h_files[i], i);
    }
    // The output's audio lies where input 0's does: the vote keeps the layout the copies share.
    run.audio_lo[0] = run.audio_lo[1];
    run.audio_hi[0] = run.audio_hi[1];
    run.offset[0] = 0;
    run.out_layout = flac_sink_layout{f.rate, f.channels, run.audio_lo[0], run.audio_hi[0]};
    if (run.any_source) flac_set_length(run, run.audio_hi[1]);  // until the run chooses its length
    if (run.any_source) run.absent.reset(new block_absence());
    return 0;
}

void flac_set_length(flac_run& run, uint64_t out_bytes) {
    if (run.any_source) {
        run.audio_hi[0] = out_bytes;
        put_wav_header(run.header, run.out_layout.sample_rate, run.out_layout.channels,
                       out_bytes - FLAC_WAV_HEADER_SIZE);
    } else {
        run.audio_hi[0] = out_bytes < run.out_data_end ? out_bytes : run.out_data_end;
    }
    if (run.audio_hi[0] < run.audio_lo[0]) run.audio_hi[0] = run.audio_lo[0];
    run.out_layout.audio_hi = run.audio_hi[0];
}

int64_t flac_read_wav(flac_run& run, uint64_t i, int fd, uint8_t* block, uint64_t size) {
    const uint64_t end = run.audio_hi[i + 1];
    uint64_t pos = run.read_to[i], n = 0;
    while (n < size && pos < end) {
        uint64_t k;
        if (pos < FLAC_WAV_HEADER_SIZE) {
            k = std::min(FLAC_WAV_HEADER_SIZE - pos, size - n);
            memcpy(block + n, run.header + pos, k);
        } else {
            const int64_t got = read_at(fd, block + n, std::min(end - pos, size - n),
                                        run.data_at[i] + pos - FLAC_WAV_HEADER_SIZE);
            if (got < 0) return -1;
            if (got == 0) break;  // the file was cut since it was looked at
            k = static_cast<uint64_t>(got);
        }
        n += k;
        pos += k;
    }
    run.read_to[i] = pos;
    return static_cast<int64_t>(n);
}

int flac_defer_encoding(flac_run& run, const char* out_name) {
    run.voted.close();
    const int fd = open_scratch(out_name);
    if (fd < 0) {
        const std::string why = std::string("no scratch file to vote the audio into: ") + strerror(errno);
        app_error("write", out_name, why.c_str());
        return -1;
    }
    run.voted.descriptor = fd;
    run.voted.is_open = true;  // the handle owns it: closed with the run
    run.deferred = true;
    return 0;
}

bool flac_keep_voted(flac_run& run, const uint8_t* data, uint64_t len) {
    return write_all(run.voted.descriptor, data, len);
}

int flac_encode_deferred(flac_run& run, const char* out_name) {
    std::vector<uint8_t> chunk(run.block_size);
    for (uint64_t at = 0;;) {
        const int64_t got = read_at(run.voted.descriptor, chunk.data(), chunk.size(), at);
        if (got < 0) {
            const std::string why = std::string("cannot read back the voted audio: ") + strerror(errno);
            app_error("write", out_name, why.c_str());
            return -1;
        }
        if (got == 0) break;
        if (!run.sink.write(chunk.data(), static_cast<uint64_t>(got))) {
            app_error("write", out_name, run.sink.why());
            return -1;
        }
        at += static_cast<uint64_t>(got);
    }
    if (run.sink.finish()) return 0;
    app_error("write", out_name, run.sink.why());
    return -1;
}

int flac_start(flac_run& run, const name_row* names, uint64_t count, int out_fd, const char* out_name,
               uint64_t block_size) {
    run.block_size = block_size;
    // The decoders stop where the output ends.
    const uint64_t frame_bytes = 2ull * run.out_layout.channels;
    const uint64_t limit = run.any_source ? (run.audio_hi[0] - FLAC_WAV_HEADER_SIZE) / frame_bytes : 0;
    for (uint64_t i = 0; i < count; i++) {
        if (run.source[i] && run.source[i]->start(block_size, run.header, limit) != 0) {
            app_error("read", names[i], run.source[i]->why());
            return -1;
        }
    }
    if (run.absent) {
        for (uint64_t i = 0; i < count; i++) run.absent->clear(i);
    }
    if (!run.encoding) return 0;
    unsigned tags = 0;
    FLAC__StreamMetadata** kept = run.source[0] ? run.source[0]->tags(&tags) : run.decoded[0].tags;
    if (!run.source[0]) {
        tags = run.decoded[0].tag_count;  // the sink takes them
        run.decoded[0].tag_count = 0;
    }
    if (run.sink.start(out_fd, run.out_layout, block_size, kept, tags) != 0) {
        app_error("write", out_name, run.sink.why());
        return -1;
    }
    return 0;
}

void flac_digest_span(flac_run& run, uint64_t s, uint64_t n, uint64_t* from, uint64_t* len) {
    const uint64_t start = run.offset[s], end = start + n;
    run.offset[s] = end;
    const uint64_t lo = start > run.audio_lo[s] ? start : run.audio_lo[s];
    const uint64_t hi = end < run.audio_hi[s] ? end : run.audio_hi[s];
    *from = lo < hi ? lo - start : 0;
    *len = lo < hi ? hi - lo : 0;
}

void flac_print_losses(flac_run& run, const name_row* names, uint64_t count) {
    for (uint64_t i = 0; i < count; i++) {
        if (run.source[i]) run.source[i]->close();
    }
    for (uint64_t i = 0; i < count; i++) {
        const flac_source* s = flac_copy_source(run, i);
        if (s && (s->losses().samples > 0 || s->losses().md5_mismatch)) print_loss_line(names[i], *s);
    }
}

void flac_close(flac_run& run, uint64_t count) {
    for (uint64_t i = 0; i < count; i++) {
        run.source[i].reset();
        run.decoded[i].source.reset();
    }
    run.sink.close();
}
