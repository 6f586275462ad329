#include "disc/track_child.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace {

const char SELF[] = "/proc/self/exe";

// In the child between fork and exec: only async-signal-safe calls. Standard input stays the
// parent's: the copies are files, and a track never reads from it.
void exec_child(char** argv, int out_fd, int err_fd) {
    if (dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0) _exit(127);
    execv(SELF, argv);
    _exit(127);
}

void close_pipe(int fds[2]) {
    if (fds[0] >= 0) close(fds[0]);
    if (fds[1] >= 0) close(fds[1]);
}

// Reads both pipes until both are at their end, so that neither side can fill up and stall.
int drain(int out_fd, int err_fd, child_run& run, const std::function<void(const char*, size_t)>& on_err) {
    struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    char chunk[65536];
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        for (int k = 0; k < 2; k++) {
            if (fds[k].fd < 0 || fds[k].revents == 0) continue;
            const ssize_t got = read(fds[k].fd, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                fds[k].fd = -1;
                continue;
            }
            (k == 0 ? run.out : run.err).append(chunk, static_cast<size_t>(got));
            if (k == 1 && on_err) on_err(chunk, static_cast<size_t>(got));
        }
    }
    return 0;
}

int wait_child(pid_t pid, child_run& run) {
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0) {
        if (errno != EINTR) return errno;
    }
    if (WIFEXITED(wstatus)) run.status = WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) run.signal = WTERMSIG(wstatus);
    return 0;
}

}  // namespace

int run_track_child(const std::vector<std::string>& args, child_run& run,
                    const std::function<void(const char*, size_t)>& on_err) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(SELF));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        const int code = errno;
        close_pipe(out_pipe);
        close_pipe(err_pipe);
        return code;
    }
    const pid_t pid = fork();
    if (pid == 0) exec_child(argv.data(), out_pipe[1], err_pipe[1]);
    const int fork_error = pid < 0 ? errno : 0;
    close(out_pipe[1]);
    close(err_pipe[1]);
    const int read_error = fork_error == 0 ? drain(out_pipe[0], err_pipe[0], run, on_err) : 0;
    close(out_pipe[0]);
    close(err_pipe[0]);
    if (fork_error != 0) return fork_error;
    const int wait_error = wait_child(pid, run);
    return read_error != 0 ? read_error : wait_error;
}
