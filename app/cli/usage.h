#pragma once
// The usage text, printed when the command line yields fewer than three inputs and for --help,
// and the version lines of --version.

// Prints the usage text on the program's standard-output stream: the classic text, then one
// line for each switch added beyond it.
void help(const char* program_name);

// Prints "copyvote <version>" and "libgcrypt <version>" (the library in use, which may be newer
// than the one built against) on the program's standard-output stream.
void print_version();
