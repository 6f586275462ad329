// Runs a command once and prints how long it took: "WALL USER SYS" in seconds, from the clock
// and from the system's accounting of the finished child. The command inherits the standard
// streams, so the caller redirects them.
//
//   bench_time COMMAND [ARG...]

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace {
double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }
double seconds(const timespec& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9; }
}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: bench_time COMMAND [ARG...]\n");
        return 2;
    }
    fcntl(3, F_SETFD, FD_CLOEXEC);  // the command does not inherit the timing descriptor
    timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        return 1;
    }
    if (pid == 0) {
        execvp(argv[1], argv + 1);
        perror(argv[1]);
        _exit(127);
    }
    int status = 0;
    rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid) {
        perror("wait4");
        return 1;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    // The timing goes to a descriptor of its own (3) when it is open, so that the command's
    // streams stay as the command left them; otherwise to standard error.
    FILE* out = fdopen(3, "w");
    if (!out) out = stderr;
    fprintf(out, "%.6f %.6f %.6f\n", seconds(end) - seconds(start), seconds(usage.ru_utime), seconds(usage.ru_stime));
    fflush(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
