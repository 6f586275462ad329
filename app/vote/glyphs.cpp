#include "vote/glyphs.h"

void glyph_writer::put_text(const char* text) {
    while (*text) put(*text++);
}

void glyph_writer::put_index(uint64_t index) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + index % 10);
        index /= 10;
    } while (index != 0);
    while (n > 0) put(digits[--n]);
    put('.');
}

void glyph_writer::flush() {
    if (length_ != 0) fwrite(buffer_, 1, length_, stream_);
    length_ = 0;
    fflush(stream_);
}
