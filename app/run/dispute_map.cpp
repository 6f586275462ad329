#include "run/dispute_map.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

const uint64_t BUFFER_SIZE = 64 * 1024;
const uint64_t CD_FRAMES_PER_SECOND = 75;
// A run line: five numbers of up to 20 digits, the lost list, the time columns, separators.
const uint64_t LONGEST_RUN_LINE = 5 * 21 + MAX_INPUTS * 4 + 64;

// The bytes first .. first + length - 1 of a word, 0xFF each.
uint64_t byte_mask(int first, int length) {
    const uint64_t bytes = length == 8 ? ~0ull : (1ull << (8 * length)) - 1;
    return bytes << (8 * first);
}

const char DIGIT_PAIRS[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The decimal digits of n at `at`; returns the end. Two digits per division, written in place
// from the last: a sparse map is mostly numbers, and this is most of its cost.
char* append_number(char* at, uint64_t n) {
    int length = 1;
    for (uint64_t power = 10; length < 20 && n >= power; power *= 10) length++;
    char* p = at + length;
    while (n >= 100) {
        const uint64_t pair = n % 100 * 2;
        n /= 100;
        *--p = DIGIT_PAIRS[pair + 1];
        *--p = DIGIT_PAIRS[pair];
    }
    if (n >= 10) {
        *--p = DIGIT_PAIRS[n * 2 + 1];
        *--p = DIGIT_PAIRS[n * 2];
    } else {
        *--p = static_cast<char>('0' + n);
    }
    return at + length;
}

// n with at least two digits.
char* append_two_digits(char* at, uint64_t n) {
    if (n < 10) *at++ = '0';
    return append_number(at, n);
}

// Bits 0 .. valid - 1.
uint8_t valid_bytes(uint64_t valid) { return valid >= 8 ? 0xFF : static_cast<uint8_t>((1u << valid) - 1); }

}  // namespace

dispute_map::dispute_map()
    : started(false),
      finished(false),
      write_error(0),
      timed(false),
      cd_timed(false),
      data_begin(0),
      data_end(0),
      frame_bytes(0),
      frame_rate(0),
      in_run(false),
      run_begin(0),
      run_end(0),
      run_guessed(0),
      run_weakest(0),
      run_lost(),
      inputs(0),
      runs(0),
      guessed_bytes(0),
      buffer(nullptr),
      buffered(0) {}

dispute_map::~dispute_map() {
    if (file.is_open) close();
    free(buffer);
}

int dispute_map::open(g_file& opened) {
    buffer = static_cast<char*>(malloc(BUFFER_SIZE));
    if (!buffer) {
        opened.close();
        return ENOMEM;
    }
    file.init_move(opened);
    return 0;
}

void dispute_map::start(const name_row* names, uint64_t count, const char* vote_name) {
    put_text("# copyvote " COPYVOTE_VERSION "\t");
    put_text(vote_name);
    put_text("\t");
    put_number(count);
    put_text(" inputs");
    for (uint64_t i = 0; i < count; i++) {
        put_text("\t");
        put_number(i);
        put_text(":");
        put_name(names[i]);
    }
    put_text("\noffset\tbytes\tguessed\tweakest\tlost\ttime\tcd\n");
    started = true;
}

void dispute_map::set_layout(const wav_header& h) {
    timed = h.valid && h.sample_rate > 0 && h.block_align > 0;
    cd_timed = timed && wav_is_cd_audio(h);
    data_begin = h.data_offset;
    data_end = wav_data_end(h, UINT64_MAX);
    frame_bytes = h.block_align;
    frame_rate = h.sample_rate;
}

void dispute_map::add(const word_verdict& v) {
    if (v.count > inputs) inputs = v.count;
    uint8_t left = v.disputed & valid_bytes(v.valid);
    while (left) {
        // The next stretch of consecutive disputed bytes in this word: [first, first + length).
        const int first = __builtin_ctz(left);
        const int length = __builtin_ctz(~(static_cast<unsigned>(left) >> first));
        const uint8_t stretch = static_cast<uint8_t>(((1u << length) - 1) << first);
        left = static_cast<uint8_t>(left & ~stretch);

        const uint64_t begin = v.offset + static_cast<uint64_t>(first);
        if (!in_run || run_end != begin) {
            end_run();
            in_run = true;
            run_begin = begin;
            run_guessed = 0;
            run_weakest = UINT64_MAX;
            for (uint64_t w = 0; w * 64 < inputs; w++) run_lost[w] = 0;
        }
        run_end = begin + static_cast<uint64_t>(length);
        for (unsigned g = v.guessed & stretch; g; g &= g - 1) run_guessed++;
        for (int b = first; b < first + length; b++) {
            if (v.holders[b] < run_weakest) run_weakest = v.holders[b];
        }
        const uint64_t mask = byte_mask(first, length);
        for (uint64_t base = 0; base < v.count; base += 64) {
            const uint64_t end = v.count - base < 64 ? v.count : base + 64;
            uint64_t lost = 0;
            for (uint64_t i = base; i < end; i++)
                lost |= static_cast<uint64_t>(((v.words[i] ^ v.voted) & mask) != 0) << (i - base);
            run_lost[base / 64] |= lost;
        }
    }
}

void dispute_map::finish(uint64_t disputed_bytes) {
    if (finished || !file.is_open) return;
    end_run();
    put_text("# total\t");
    put_number(disputed_bytes);
    put_text("\t");
    put_number(guessed_bytes);
    put_text("\t");
    put_number(runs);
    put_text("\n");
    flush();
    finished = true;
}

verdict_listener dispute_map::listener(dispute_map* map) {
    verdict_listener l;
    if (map) {
        l.heard = [](void* context, const word_verdict& v) { static_cast<dispute_map*>(context)->add(v); };
        l.context = map;
    }
    return l;
}

void dispute_map::add_comment(const char* text) {
    if (finished || !file.is_open) return;
    end_run();
    put_text("# ");
    put_text(text);
    put_text("\n");
}

uint32_t dispute_map::close() {
    if (file.is_open) {
        flush();
        file.close();
    }
    return write_error;
}

void dispute_map::end_run() {
    if (!in_run) return;
    in_run = false;
    runs++;
    guessed_bytes += run_guessed;
    write_run_line();
}

void dispute_map::write_run_line() {
    if (BUFFER_SIZE - buffered < LONGEST_RUN_LINE) flush();
    char* at = buffer + buffered;
    at = append_number(at, run_begin);
    *at++ = '\t';
    at = append_number(at, run_end - run_begin);
    *at++ = '\t';
    at = append_number(at, run_guessed);
    *at++ = '\t';
    at = append_number(at, run_weakest);
    *at++ = '\t';
    bool first = true;
    for (uint64_t word = 0; word * 64 < inputs; word++) {
        for (uint64_t bits = run_lost[word]; bits; bits &= bits - 1) {
            if (!first) *at++ = ',';
            at = append_number(at, word * 64 + static_cast<uint64_t>(__builtin_ctzll(bits)));
            first = false;
        }
    }
    *at++ = '\t';
    at = append_time(at);
    *at++ = '\n';
    buffered = static_cast<uint64_t>(at - buffer);
}

// The time and cd columns of the run's first byte, both truncated, minutes unbounded; the tab
// between them stands even when both are empty.
char* dispute_map::append_time(char* at) const {
    if (!timed || run_begin < data_begin || run_begin >= data_end) {
        *at++ = '\t';
        return at;
    }
    const uint64_t frame = (run_begin - data_begin) / frame_bytes;
    const uint64_t seconds = frame / frame_rate;
    const uint64_t ms = frame % frame_rate * 1000 / frame_rate;
    at = append_two_digits(at, seconds / 60);
    *at++ = ':';
    at = append_two_digits(at, seconds % 60);
    *at++ = '.';
    *at++ = static_cast<char>('0' + ms / 100);
    at = append_two_digits(at, ms % 100);
    *at++ = '\t';
    if (!cd_timed) return at;
    // 588 audio frames make one CD frame at 44.1 kHz.
    const uint64_t cd_frame = frame / (frame_rate / CD_FRAMES_PER_SECOND);
    const uint64_t cd_seconds = cd_frame / CD_FRAMES_PER_SECOND;
    at = append_two_digits(at, cd_seconds / 60);
    *at++ = ':';
    at = append_two_digits(at, cd_seconds % 60);
    *at++ = ':';
    return append_two_digits(at, cd_frame % CD_FRAMES_PER_SECOND);
}

void dispute_map::flush() {
    if (buffered == 0) return;
    if (write_error == 0 && file.write(buffer, buffered) == -1) write_error = file.write_error;
    buffered = 0;
}

void dispute_map::put(const char* text, uint64_t length) {
    if (BUFFER_SIZE - buffered < length) flush();
    if (length > BUFFER_SIZE) {
        if (write_error == 0 && file.write(text, length) == -1) write_error = file.write_error;
        return;
    }
    memcpy(buffer + buffered, text, length);
    buffered += length;
}

void dispute_map::put_text(const char* text) { put(text, strlen(text)); }

void dispute_map::put_name(const char* name) {
    char clean[NAME_SIZE];
    size_t length = strnlen(name, NAME_SIZE - 1);
    for (size_t i = 0; i < length; i++) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        clean[i] = c < 0x20 || c == 0x7F ? '?' : name[i];
    }
    put(clean, length);
}

void dispute_map::put_number(uint64_t n) {
    char digits[20];
    put(digits, static_cast<uint64_t>(append_number(digits, n) - digits));
}
