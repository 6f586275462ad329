#pragma once
// Error lines of what copyvote added beyond the classic program (the map, --cd, --align, and
// what comes later): one plain line on standard error,
//   copyvote: <action> <file>: <reason>
// saying what was being done, to which file, and what failed. The classic error lines (an
// "open(name)" context line, then "   ^ERROR: code, text") stay for the classic behaviour.

// Prints "copyvote: <action> <file>: <reason>\n" on standard error; with a null or empty
// `file`, "copyvote: <action>: <reason>\n".
void app_error(const char* action, const char* file, const char* reason);

// The same with the system's text for the errno value `code` as the reason.
void app_error_errno(const char* action, const char* file, int code);

// The same with libgcrypt's text for `code` (a gcry_error_t) as the reason.
void app_error_gcrypt(const char* action, const char* file, unsigned int code);

// The program's standard-output text that could not be written (standard output full, or a
// reader that went away) would otherwise pass for a successful run: flushes standard output and,
// the first time it finds text lost, prints "copyvote: write standard output: <reason>". Returns
// 0 when everything was written, else -1 (on every later call too).
int report_lost_standard_output();
