#pragma once
// The two result files of a run (the output and the map) replaced whole or not at all.
//
// A result file that was there before the run, a regular file with one link, is not written in
// place: the run writes a temporary file beside it (same directory, so that the rename is
// atomic; a unique name made with O_EXCL; the old file's mode and owner) and renames it over the
// old file only when the run succeeded. A symbolic link's target is what is replaced, so the link
// stays a link. Everything else is written in place as before: a new file, a file with several
// links (a rename would split them), a FIFO, a device, standard output, and a file beside which
// no temporary file can be made with the old file's mode and owner.
//
// While a temporary file exists, the signals that end a program by default without a fault
// (ENDING_SIGNALS, unless they were ignored when the program started) remove it, print one line
// saying the previous file was kept, and end the program by the same signal with its default
// action. A SIGPIPE that the program's own write to a closed pipe raises is not one of them: that
// write fails instead, and so does the run. A failed run removes the file and says so too.
//
// The old file's owner, extended attributes (its access ACL among them) and exact mode are
// copied to the temporary file before anything is written to it; a file whose metadata cannot be
// copied so is written in place.

#include <limits.h>
#include <signal.h>

#include <cstddef>

#include "g_file_io.h"

// The signals that end the program while it holds temporary files; the fault signals (SIGSEGV,
// SIGBUS, SIGFPE, SIGILL, SIGABRT) are left to their default action and to the sanitizers.
inline constexpr int ENDING_SIGNALS[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGPIPE,  SIGALRM,
                                         SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ, SIGVTALRM};
inline constexpr size_t ENDING_SIGNAL_COUNT = sizeof ENDING_SIGNALS / sizeof ENDING_SIGNALS[0];

struct result_file {
    const char* name = nullptr;                // as the user gave it, for the messages
    bool is_map = false;                       // the map of --map: its messages say "map"
    bool existed = false;                      // the name led to a file before the run opened it
    bool replacing = false;                    // the run writes `temp`, to be renamed over `target`
    char target[PATH_MAX] = "";                // the file replaced: the name, or a symbolic link's target
    char temp[PATH_MAX] = "";                  // the temporary file beside it
    char interrupted_line[2 * PATH_MAX] = "";  // made ahead: a signal handler cannot format
    size_t interrupted_length = 0;
};

// Before `name` is opened for the run: notes whether it leads to a file already.
void note_result_file(result_file& r, const char* name, bool is_map);

// Once every input is open: when `r` is to be replaced, makes its temporary file and moves
// `file` (open on the old file) onto it. True then; false when the file is to be written in
// place (nothing is printed either way).
bool start_replacement(result_file& r, g_file& file);

// After the run, every file closed: with `status` 0 or 1 (complete, whether or not verified)
// renames each temporary file over its target, else (-1) removes it with a line saying the previous file was
// kept. A rename that fails is reported the same way, and the files after it are not replaced. Returns
// `status`, or -1 when a rename failed. `files` may hold null entries and files that are written in place.
int finish_result_files(int status, result_file* const* files, size_t count);
