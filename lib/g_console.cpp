#include "g_console.h"

#include <cstring>
#include <cwchar>

namespace {
FILE* g_out_stream = nullptr;

// Length of the valid UTF-8 sequence that starts at s, or 0 when s does not start one.
size_t utf8_sequence_length(const unsigned char* s) {
    size_t len;
    if (s[0] < 0x80) return 1;
    if (s[0] >= 0xC2 && s[0] <= 0xDF) len = 2;
    else if (s[0] >= 0xE0 && s[0] <= 0xEF) len = 3;
    else if (s[0] >= 0xF0 && s[0] <= 0xF4) len = 4;
    else return 0;
    for (size_t i = 1; i < len; i++) {
        if ((s[i] & 0xC0) != 0x80) return 0;
    }
    // Overlong forms and surrogates are not characters: count their bytes one by one.
    if (s[0] == 0xE0 && s[1] < 0xA0) return 0;
    if (s[0] == 0xED && s[1] >= 0xA0) return 0;
    if (s[0] == 0xF0 && s[1] < 0x90) return 0;
    if (s[0] == 0xF4 && s[1] >= 0x90) return 0;
    return len;
}

void put_utf8(FILE* stream, unsigned long cp) {
    char buf[4];
    size_t n;
    if (cp < 0x800) {
        buf[0] = static_cast<char>(0xC0 | (cp >> 6));
        buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        buf[0] = static_cast<char>(0xE0 | (cp >> 12));
        buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        buf[0] = static_cast<char>(0xF0 | ((cp >> 18) & 0x07));
        buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    fwrite(buf, 1, n, stream);
}
}  // namespace

FILE* con_out() { return g_out_stream ? g_out_stream : stdout; }

void con_divert_out_to_stderr() { g_out_stream = stderr; }

int con_vprintf(FILE* stream, const char* format, va_list args) { return vfprintf(stream, format, args); }

int con_printf(FILE* stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = con_vprintf(stream, format, args);
    va_end(args);
    return n;
}

void con_put_wide(FILE* stream, const wchar_t* text) {
    if (!text) return;
    for (; *text; text++) {
        unsigned long cp = static_cast<unsigned long>(*text);
        if (cp < 256) fputc(static_cast<int>(cp), stream);
        else put_utf8(stream, cp);
    }
}

void con_widen_append(wchar_t* dst, size_t cap, const char* text) {
    if (cap == 0) return;
    size_t len = wcslen(dst);
    for (const unsigned char* s = reinterpret_cast<const unsigned char*>(text); *s && len + 1 < cap; s++) {
        dst[len++] = static_cast<wchar_t>(*s);
    }
    dst[len] = L'\0';
}

size_t con_columns(const char* text) {
    size_t columns = 0;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    while (*s) {
        size_t len = utf8_sequence_length(s);
        s += len ? len : 1;
        columns++;
    }
    return columns;
}

void con_put_right(FILE* stream, const char* text, size_t width) {
    for (size_t columns = con_columns(text); columns < width; columns++) fputc(' ', stream);
    fputs(text, stream);
}
