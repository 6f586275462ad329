#pragma once
// The progress line: glyphs are collected in a buffer and written in one call at the end of a
// block (or when the buffer fills), so that a damaged block does not cost one system call per
// glyph. Callers flush it before anything else reaches the console, to keep the order of the
// combined streams.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

class glyph_writer {
  public:
    static const size_t CAPACITY = 1 << 16;

    explicit glyph_writer(FILE* stream) : stream_(stream), length_(0) {}
    ~glyph_writer() { flush(); }
    glyph_writer(const glyph_writer&) = delete;
    glyph_writer& operator=(const glyph_writer&) = delete;

    void put(char c) {
        if (length_ == CAPACITY) flush();
        buffer_[length_++] = c;
    }
    // Writes `n` times the glyph `c`.
    void put_repeated(char c, size_t n) {
        if (n <= 8 && CAPACITY - length_ >= 8) {
            // A run of a word or less: write eight and keep n (no call of memset per run).
            const uint64_t eight = 0x0101010101010101ull * static_cast<unsigned char>(c);
            memcpy(buffer_ + length_, &eight, sizeof eight);
            length_ += n;
            return;
        }
        while (n > 0) {
            if (length_ == CAPACITY) flush();
            const size_t room = CAPACITY - length_;
            const size_t part = n < room ? n : room;
            memset(buffer_ + length_, c, part);
            length_ += part;
            n -= part;
        }
    }
    // For a caller that writes many glyphs itself: makes room for at least `n` more (writing out
    // what is buffered when needed) and returns where the next glyph goes. The glyphs written
    // there count once commit() is called with the position after the last one; nothing else
    // may be put in between. REQUIRES: n <= CAPACITY.
    char* reserve(size_t n) {
        if (CAPACITY - length_ < n) flush();
        return buffer_ + length_;
    }
    void commit(const char* end) { length_ = static_cast<size_t>(end - buffer_); }
    void put_text(const char* text);
    // Writes "<index>." : the input whose value was taken where no two copies agreed.
    void put_index(uint64_t index);
    // Writes what is buffered in one call and flushes the stream.
    void flush();

  private:
    FILE* stream_;
    size_t length_;
    char buffer_[CAPACITY];
};
