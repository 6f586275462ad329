#include "run/replace.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/app_error.h"
#include "run/files.h"

namespace {

const int* const INTERRUPTS = ENDING_SIGNALS;
const size_t INTERRUPT_COUNT = ENDING_SIGNAL_COUNT;
const size_t MAX_ARMED = 4;  // the output, the map, the report and the picture

// Who removes the temporary files: nobody while none exists (IDLE), else the signal handler or
// the end of the run, whichever claims them first. A handler may run on any thread, a digest
// worker's included, while the main thread ends the run: the exchange lets only one of them act.
// A handler that claims them says so (CLEANING): a second signal, delivered to another thread
// while the first handler still removes the files, must not end the program before it is done.
enum cleanup_state { IDLE = 0, ARMED = 1, CLAIMED = 2, CLEANING = 3 };
std::atomic<int> g_state(IDLE);
// A signal taken by another thread while the end of the run puts the files in place: it ends the
// program once they are (the main thread blocks the signals meanwhile; other threads do not).
std::atomic<int> g_deferred(0);
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may only touch a lock-free flag");
result_file* volatile g_armed[MAX_ARMED];
struct sigaction g_previous[INTERRUPT_COUNT];
bool g_hooked[INTERRUPT_COUNT];

const char* action_of(const result_file& r) { return r.is_map ? "write map" : "write"; }

// Writes all of `text` on standard error from a signal handler, where stdio may not be used.
void write_raw(const char* text, size_t length) {
    while (length > 0) {
        const ssize_t n = write(STDERR_FILENO, text, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // standard error is gone: there is nowhere else to say it
        text += n;
        length -= static_cast<size_t>(n);
    }
}

const char REMOVE_FAILED[] = "copyvote: the temporary file could not be removed\n";

// A SIGPIPE that the kernel sends for the program's own write to a pipe nobody reads: the write
// then fails with EPIPE, and the run fails as with a full standard output. One sent by another
// process comes from its id.
bool own_broken_pipe(int sig, const siginfo_t* info) {
    return sig == SIGPIPE && info && info->si_code == SI_USER && info->si_pid == getpid();
}

// Only async-signal-safe calls: unlink, write, sigaction, raise. The signal stays blocked while
// the handler runs, so the raised one ends the program by its default action once it returns.
void on_interrupt(int sig, siginfo_t* info, void*) {
    if (own_broken_pipe(sig, info)) return;
    int armed = ARMED;
    if (!g_state.compare_exchange_strong(armed, CLEANING) && armed == CLEANING) {
        for (;;) pause();  // the handler that claimed the files ends the program
    }
    if (armed == CLAIMED) {
        int none = 0;
        g_deferred.compare_exchange_strong(none, sig);
        return;
    }
    if (armed == ARMED) {
        write_raw("\n", 1);  // the progress line is most likely open
        for (size_t i = 0; i < MAX_ARMED; i++) {
            result_file* r = g_armed[i];
            if (!r) continue;
            // A name that cannot be removed stays behind; the previous file is kept either way.
            if (unlink(r->temp) != 0 && errno != ENOENT) write_raw(REMOVE_FAILED, sizeof REMOVE_FAILED - 1);
            write_raw(r->interrupted_line, r->interrupted_length);
        }
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    if (sigaction(sig, &action, nullptr) != 0) _exit(128 + sig);
    raise(sig);
}

sigset_t interrupt_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : ENDING_SIGNALS) sigaddset(&set, sig);
    return set;
}

// pthread_sigmask fails only for an invalid first argument, which these never pass.
void block_interrupts(sigset_t* previous) {
    const sigset_t set = interrupt_set();
    (void)pthread_sigmask(SIG_BLOCK, &set, previous);
}

void unblock_interrupts(const sigset_t& previous) { (void)pthread_sigmask(SIG_SETMASK, &previous, nullptr); }

// A signal that was ignored when the program started (nohup, a background job) stays ignored.
void install_handlers() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = on_interrupt;
    action.sa_flags = SA_SIGINFO;
    action.sa_mask = interrupt_set();
    for (size_t i = 0; i < INTERRUPT_COUNT; i++) {
        if (g_hooked[i] || sigaction(INTERRUPTS[i], nullptr, &g_previous[i]) != 0) continue;
        if (g_previous[i].sa_handler == SIG_IGN) continue;
        g_hooked[i] = sigaction(INTERRUPTS[i], &action, nullptr) == 0;
    }
}

void restore_handlers() {
    for (size_t i = 0; i < INTERRUPT_COUNT; i++) {
        if (g_hooked[i] && sigaction(INTERRUPTS[i], &g_previous[i], nullptr) == 0) g_hooked[i] = false;
    }
}

// The file a rename over `r.name` must replace: the name itself, or for a symbolic link the
// file it leads to, so that the link stays a link.
bool find_target(result_file& r) {
    struct stat st;
    if (lstat(r.name, &st) != 0) return false;
    if (S_ISLNK(st.st_mode)) return realpath(r.name, r.target) != nullptr;
    if (strlen(r.name) >= sizeof r.target) return false;
    strcpy(r.target, r.name);
    return true;
}

// ".<name>.copyvote-XXXXXX" in the target's directory: hidden, and telling whose it is if a
// crash leaves it behind. The name part is cut so that the whole stays a valid file name.
bool make_temp_template(result_file& r) {
    const char* slash = strrchr(r.target, '/');
    const std::string dir = slash ? std::string(r.target, static_cast<size_t>(slash - r.target + 1)) : "";
    const std::string base = std::string(slash ? slash + 1 : r.target).substr(0, 200);
    const std::string temp = dir + "." + base + ".copyvote-XXXXXX";
    if (temp.size() >= sizeof r.temp) return false;
    memcpy(r.temp, temp.c_str(), temp.size() + 1);
    return true;
}

void remove_temp(const result_file& r) {
    if (unlink(r.temp) != 0) app_error_errno("remove", r.temp, errno);
}

// The names of the extended attributes of the file open as `fd`, each ending in a null byte.
// False when they cannot be listed; a file system without extended attributes has none.
bool list_attributes(int fd, std::vector<char>& names) {
    for (;;) {
        const ssize_t size = flistxattr(fd, nullptr, 0);
        if (size < 0) return errno == ENOTSUP;
        names.resize(static_cast<size_t>(size));
        if (size == 0) return true;
        const ssize_t got = flistxattr(fd, names.data(), names.size());
        if (got >= 0) {
            names.resize(static_cast<size_t>(got));
            return true;
        }
        if (errno != ERANGE) return false;  // ERANGE: one was added meanwhile; list again
    }
}

bool has_name(const std::vector<char>& names, const char* name) {
    for (size_t at = 0; at < names.size(); at += strlen(&names[at]) + 1) {
        if (strcmp(&names[at], name) == 0) return true;
    }
    return false;
}

// Copies attribute `name` of `from` to `to`. False when it cannot be read or set.
bool copy_attribute(int from, int to, const char* name) {
    std::vector<char> value;
    for (;;) {
        const ssize_t size = fgetxattr(from, name, nullptr, 0);
        if (size < 0) return false;
        value.resize(static_cast<size_t>(size));
        const ssize_t got = fgetxattr(from, name, value.data(), value.size());
        if (got >= 0) return fsetxattr(to, name, value.data(), static_cast<size_t>(got), 0) == 0;
        if (errno != ERANGE) return false;
    }
}

// Gives the file `to` exactly the extended attributes of `from`: the access ACL
// (system.posix_acl_access), user.* and whatever else the caller may read. An attribute the new
// file got by itself (an ACL inherited from the folder's default ACL) and the old one lacks is
// removed. False when any of this cannot be done.
bool copy_attributes(int from, int to) {
    std::vector<char> old_names, new_names;
    if (!list_attributes(from, old_names) || !list_attributes(to, new_names)) return false;
    for (size_t at = 0; at < new_names.size(); at += strlen(&new_names[at]) + 1) {
        if (!has_name(old_names, &new_names[at]) && fremovexattr(to, &new_names[at]) != 0) return false;
    }
    for (size_t at = 0; at < old_names.size(); at += strlen(&old_names[at]) + 1) {
        if (!copy_attribute(from, to, &old_names[at])) return false;
    }
    return true;
}

// True when the file open as `fd` has the owner, group and mode of `old`. A mode can come out
// otherwise without an error: fchmod drops the set-group-ID bit for a group the caller is not in.
bool same_owner_and_mode(int fd, const struct stat& old) {
    struct stat st;
    return fstat(fd, &st) == 0 && st.st_uid == old.st_uid && st.st_gid == old.st_gid &&
           (st.st_mode & 07777) == (old.st_mode & 07777);
}

// Gives the temporary file `fd` the old file's owner, extended attributes and mode, in this
// order: a new owner clears the set-ID bits and an ACL sets the mode's bits, so the mode comes
// last and is then checked.
bool copy_metadata(int old_fd, int fd, const struct stat& old) {
    return fchown(fd, old.st_uid, old.st_gid) == 0 && copy_attributes(old_fd, fd) &&
           fchmod(fd, old.st_mode & 07777) == 0 && same_owner_and_mode(fd, old);
}

// Makes the temporary file with the old file's owner, extended attributes (its ACL among them)
// and mode. A file that would not get them all is not made: writing in place keeps them.
// Returns its descriptor, or -1 with nothing left behind.
int create_temp(result_file& r, int old_fd, const struct stat& old) {
    if (!make_temp_template(r)) return -1;
    const int fd = mkostemp(r.temp, O_CLOEXEC);
    if (fd < 0) return -1;
    if (copy_metadata(old_fd, fd, old)) return fd;
    if (close(fd) != 0) app_error_errno("close", r.temp, errno);
    remove_temp(r);
    return -1;
}

// Moves `file` from the old file, which nothing was written to, onto descriptor `fd`.
void adopt(g_file& file, int fd) {
    file.close();  // fails only for a closed handle; nothing written to the old file can be lost
    file.descriptor = fd;
    file.is_open = true;
    file.borrowed = false;
    file.write_error = 0;
}

// Makes the signal handler's line and hands it the temporary file.
void arm(result_file& r) {
    const int n =
        snprintf(r.interrupted_line, sizeof r.interrupted_line,
                 "copyvote: %s %s: interrupted; the previous %s was kept\n", action_of(r), r.name, r.name);
    r.interrupted_length = n < 0 ? 0
                           : static_cast<size_t>(n) < sizeof r.interrupted_line
                               ? static_cast<size_t>(n)
                               : sizeof r.interrupted_line - 1;
    r.replacing = true;
    for (size_t i = 0; i < MAX_ARMED; i++) {
        if (g_armed[i]) continue;
        g_armed[i] = &r;
        break;
    }
    install_handlers();
    g_state.store(ARMED);
}

void disarm() {
    for (size_t i = 0; i < MAX_ARMED; i++) g_armed[i] = nullptr;
    restore_handlers();
    g_state.store(IDLE);
}

// Removes the temporary file and says why the previous file is still there.
int discard(result_file& r, const char* why) {
    r.replacing = false;
    remove_temp(r);
    const std::string reason = std::string(why) + "; the previous " + r.name + " was kept";
    app_error(action_of(r), r.name, reason.c_str());
    return -1;
}

// Puts the new file in the old one's place: the two are exchanged and the old one, now under the
// temporary name, is removed. A plain rename over an existing file has ext4 start writing the new
// file back at once (which it does not do on an exchange), so it is only the fallback for file
// systems that cannot exchange. Either way the name holds the old or the new file at every moment.
int put_in_place(result_file& r) {
    if (renameat2(AT_FDCWD, r.temp, AT_FDCWD, r.target, RENAME_EXCHANGE) == 0) {
        if (unlink(r.temp) != 0) app_error_errno("remove", r.temp, errno);
        return 0;
    }
    // ENOENT: the old file went away during the run; a rename still puts the new one there.
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != ENOENT) return -1;
    return rename(r.temp, r.target);
}

int commit(result_file& r) {
    if (put_in_place(r) != 0) {
        const int error = errno;
        r.replacing = false;
        remove_temp(r);
        const std::string reason = std::string(strerror(error)) + "; the previous " + r.name + " was kept";
        app_error(r.is_map ? "replace map" : "replace", r.name, reason.c_str());
        return -1;
    }
    r.replacing = false;
    return 0;
}

bool any_replacing(result_file* const* files, size_t count) {
    for (size_t i = 0; i < count; i++) {
        if (files[i] && files[i]->replacing) return true;
    }
    return false;
}

}  // namespace

void note_result_file(result_file& r, const char* name, bool is_map) {
    struct stat st;
    r.name = name;
    r.is_map = is_map;
    r.replacing = false;
    r.existed = !names_standard_stream(name) && stat(name, &st) == 0;
}

bool start_replacement(result_file& r, g_file& file) {
    struct stat st;
    if (!r.existed || output_is_standard_output(r.name)) return false;
    if (fstat(file.descriptor, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) return false;
    if (!find_target(r)) return false;
    // Blocked from before the file exists until the handler knows it, so none is left behind.
    sigset_t previous;
    block_interrupts(&previous);
    const int fd = create_temp(r, file.descriptor, st);
    if (fd >= 0) {
        adopt(file, fd);
        arm(r);
    }
    unblock_interrupts(previous);
    return fd >= 0;
}

int finish_result_files(int status, result_file* const* files, size_t count) {
    if (!any_replacing(files, count)) return status;
    sigset_t previous;
    block_interrupts(&previous);
    // A handler on another thread has claimed the files: it removes them and ends the program.
    if (g_state.exchange(CLAIMED) != ARMED) {
        for (;;) pause();
    }
    for (size_t i = 0; i < count; i++) {
        result_file* r = files[i];
        if (!r || !r->replacing) continue;
        // Status 1: the output is complete but did not match what was expected; it still
        // replaces the old one, as it would have been written in place.
        if (status >= 0) {
            if (commit(*r) != 0) status = -1;
        } else {
            discard(*r, "the run failed");
        }
    }
    // A signal that came meanwhile ends the program by its default action once unblocked: the
    // files are in place or removed by then.
    disarm();
    if (const int sig = g_deferred.exchange(0)) raise(sig);  // pending until unblocked
    unblock_interrupts(previous);
    return status;
}
