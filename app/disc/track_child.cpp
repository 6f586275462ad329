#include "disc/track_child.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "run/replace.h"

namespace {

const char SELF[] = "/proc/self/exe";

std::atomic<int> g_signal(0);  // the first ending signal noted
// The tracks' runs going on (0: a free slot). Runs are started from several threads at once.
const size_t CHILD_SLOTS = 8;
std::atomic<pid_t> g_children[CHILD_SLOTS];
static_assert(std::atomic<pid_t>::is_always_lock_free, "a signal handler may only touch a lock-free value");
bool g_caught[ENDING_SIGNAL_COUNT];

// Only async-signal-safe calls. A signal sent to the whole process group reaches the track's
// run twice; the second finds it ending already.
void on_ending_signal(int sig, siginfo_t* info, void*) {
    if (sig == SIGPIPE && info && info->si_code == SI_USER && info->si_pid == getpid()) return;
    int none = 0;
    g_signal.compare_exchange_strong(none, sig);
    for (std::atomic<pid_t>& slot : g_children) {
        const pid_t child = slot.load();
        if (child > 0) kill(child, sig);
    }
}

// Notes the child's id where the handler finds it. A signal that came between the check before
// fork and now went to a thread that did not know the child yet: it is passed on here.
void note_child(pid_t pid) {
    for (std::atomic<pid_t>& slot : g_children) {
        pid_t none = 0;
        if (slot.compare_exchange_strong(none, pid)) break;
    }
    if (const int sig = g_signal.load()) kill(pid, sig);
}

void forget_child(pid_t pid) {
    for (std::atomic<pid_t>& slot : g_children) {
        pid_t mine = pid;
        if (slot.compare_exchange_strong(mine, 0)) break;
    }
}

sigset_t ending_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : ENDING_SIGNALS) sigaddset(&set, sig);
    return set;
}

// In the child between fork and exec: only async-signal-safe calls. The signals the parent
// catches get their default action back before they are unblocked (exec would give it too, but
// one that came before exec would otherwise only be noted in this copy of the parent). Standard
// input stays the parent's: the copies are files, and a track never reads from it.
void exec_child(char** argv, int out_fd, int err_fd, const sigset_t& mask) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    for (size_t i = 0; i < ENDING_SIGNAL_COUNT; i++) {
        if (g_caught[i]) sigaction(ENDING_SIGNALS[i], &action, nullptr);
    }
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
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

// Waits for the child to end, then reaps it. Until it is reaped its id cannot be taken by
// another process, so the handler that passes signals on forgets it first.
int wait_child(pid_t pid, child_run& run) {
    siginfo_t info;
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0) {
        if (errno != EINTR) return errno;
    }
    forget_child(pid);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0) {
        if (errno != EINTR) return errno;
    }
    if (WIFEXITED(wstatus)) run.status = WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) run.signal = WTERMSIG(wstatus);
    return 0;
}

// Starts the child with the ending signals blocked, so that one that comes meanwhile is handled
// once the child's id is known, and passed on to it. Returns its id, -1 (errno set) when it could
// not be started, or 0 when a signal was noted already.
pid_t start_child(char** argv, int out_fd, int err_fd) {
    const sigset_t set = ending_set();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &set, &previous);
    if (g_signal.load() != 0) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return 0;
    }
    const pid_t pid = fork();
    if (pid == 0) exec_child(argv, out_fd, err_fd, previous);
    const int fork_error = errno;
    if (pid > 0) note_child(pid);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = fork_error;
    return pid;
}

}  // namespace

void catch_ending_signals() {
    struct sigaction action, previous;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = on_ending_signal;
    action.sa_flags = SA_SIGINFO;  // no SA_RESTART: the wait for the child's output wakes up
    action.sa_mask = ending_set();
    for (size_t i = 0; i < ENDING_SIGNAL_COUNT; i++) {
        if (g_caught[i] || sigaction(ENDING_SIGNALS[i], nullptr, &previous) != 0) continue;
        if (previous.sa_handler == SIG_IGN) continue;  // nohup, a background job: stays ignored
        g_caught[i] = sigaction(ENDING_SIGNALS[i], &action, nullptr) == 0;
    }
}

int ending_signal() { return g_signal.load(); }

void end_by_signal(int sig) {
    fflush(nullptr);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigaction(sig, &action, nullptr);
    const sigset_t set = ending_set();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    _exit(128 + sig);  // a signal whose default action does not end the program: none of these
}

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
    const pid_t pid = start_child(argv.data(), out_pipe[1], err_pipe[1]);
    const int fork_error = pid < 0 ? errno : pid == 0 ? EINTR : 0;
    close(out_pipe[1]);
    close(err_pipe[1]);
    const int read_error = fork_error == 0 ? drain(out_pipe[0], err_pipe[0], run, on_err) : 0;
    close(out_pipe[0]);
    close(err_pipe[0]);
    if (fork_error != 0) return fork_error;
    const int wait_error = wait_child(pid, run);
    return read_error != 0 ? read_error : wait_error;
}
