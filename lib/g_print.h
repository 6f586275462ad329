#pragma once
// The system's error lines and two duration formatters.
//
// An error line is the context text on a line of its own, then
// "   ^ERROR: <code>, <system text>" and an empty line. The code is printed as an
// unsigned 32-bit decimal and the text is strerror() of that number.

#include <cstdint>

// Prints the error line on the program's standard-output stream (see con_out()).
// A null context prints only the ERROR line and the empty line. Returns `code`.
int print_format_inline(int code, const wchar_t* context);

// The same on standard error. Returns `code`.
int print_format_stderr(int code, const wchar_t* context);

// Prints "<code> <text><system text>" on standard output, without a line break. Returns `code`.
int print_format_message(int code, const wchar_t* text);

// Prints a duration in milliseconds as "ss.mmm s ", "mm:ss.mmm [mm:ss.ms]" or
// "hh:mm:ss.mmm [hh:mm:ss.ms]" (hours kept in 16 bits). Returns the character count.
int print_time(unsigned long ms);

// The same split, down to tenths of a second. Returns the character count.
int print_time_short(unsigned long ms);

// Makes descriptor 1 a duplicate of standard error. Returns what dup2() returns.
int redirect_stdout_to_stderr();
