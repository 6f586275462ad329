#pragma once
// The usage text, printed when the command line yields fewer than three inputs; copyvote's own
// help (--help); and the version lines of --version.

// Prints the usage text on the program's standard-output stream: the classic text, then one
// line for each switch added beyond it.
void help(const char* program_name);

// Prints copyvote's own help (--help): what it does, the three ways to use it, every switch in
// one line, examples and where to read more, on the program's standard-output stream.
void print_own_help();

// Prints "copyvote <version>" and "libgcrypt <version>" (the library in use, which may be newer
// than the one built against) on the program's standard-output stream.
void print_version();
