#pragma once
// The usage text, printed when the command line yields fewer than three inputs.

void help(const char* program_name);
