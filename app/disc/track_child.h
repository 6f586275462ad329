#pragma once
// One track of a disc voted as a run of its own: the program itself, started again with the
// track's command line, its standard output and error collected. A separate process keeps every
// track's run exactly a single-track run (its process-wide switches and counters, its safe
// replacement of the output, its signals) without the engine knowing about discs.

#include <functional>
#include <string>
#include <vector>

struct child_run {
    int status = -1;  // the exit status, or -1 when the run did not exit normally
    int signal = 0;   // the signal that ended it, if one did
    std::string out;  // its standard output
    std::string err;  // its standard error
};

// From here on, the signals that end a program (ENDING_SIGNALS, those not ignored when the program
// started) do not end it at once: each is noted, and passed on to every track's run going on, each of which
// removes its own temporary files and ends by it. The caller removes its own files, then calls
// end_by_signal(ending_signal()). A SIGPIPE raised by the program's own write to a pipe nobody
// reads is not noted: that write fails instead.
void catch_ending_signals();

// The first signal noted since catch_ending_signals(), or 0.
int ending_signal();

// Ends the program by `sig` with its default action (a shell then shows 128 + sig).
void end_by_signal(int sig);

// Runs /proc/self/exe with `args` (argv[1] onward) and waits for it. `on_err` sees every piece
// of its standard error as it arrives (for the progress display). Returns 0, or the errno value
// when the run could not be started or its output not read (then `run` holds what was read);
// EINTR without starting it when an ending signal has been noted. Several threads may each run
// one track at a time.
int run_track_child(const std::vector<std::string>& args, child_run& run,
                    const std::function<void(const char*, size_t)>& on_err);
