#pragma once
// Byte-exact console output.
//
// All console text of the program goes through these functions instead of the C library's
// wide-character streams: under the default POSIX locale those streams refuse every byte
// above 0x7F, so a file name such as "Träck 01.wav" would be cut at its first non-ASCII
// byte. Here narrow strings are copied byte for byte and ASCII text comes out exactly as the
// wide functions would print it.

#include <cstdarg>
#include <cstddef>
#include <cstdio>

// The stream that carries the program's "standard output" text (usage, skip messages,
// inline error lines, report, statistics). It is stdout unless con_divert_out_to_stderr()
// was called, for runs whose voted data go to the process's standard output.
FILE* con_out();
void con_divert_out_to_stderr();

// printf-style output of narrow text; returns what vfprintf returns.
int con_printf(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));
int con_vprintf(FILE* stream, const char* format, va_list args);

// Writes a wide string as bytes: a code point below 256 becomes that one byte (so a name
// widened by con_widen() comes back unchanged), anything larger is written as UTF-8.
// A null string writes nothing.
void con_put_wide(FILE* stream, const wchar_t* text);

// Appends the bytes of `text` to the wide buffer `dst` (capacity `cap` wide characters,
// NUL-terminated, already holding a string), one wide character per byte, cutting at cap - 1.
void con_widen_append(wchar_t* dst, size_t cap, const char* text);

// Number of terminal columns that a narrow name takes: one per UTF-8 character, and one
// per byte that is not part of a valid UTF-8 sequence.
size_t con_columns(const char* text);

// Writes `text` right-aligned in `width` columns (as "%*s" would, counting columns with
// con_columns); a wider text is written whole.
void con_put_right(FILE* stream, const char* text, size_t width);
