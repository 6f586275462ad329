#pragma once
// A whole disc (--disc): every track of several rip folders voted as a run of its own, one line
// per track as it finishes, a table and a summary line at the end.

// Runs the disc that argv describes. Returns 0 when every track was restored (and, with a
// response file, verified), 1 when all that were voted completed but some did not verify or
// some track was left out, -1 when the disc was refused or a track's run failed.
int run_disc(int argc, char** argv);
