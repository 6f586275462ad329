// LD_PRELOAD shim: the n-th read of one chosen file (or descriptor) fails, or the file shrinks
// just before that read. Every other call passes through unchanged.
//
//   FAIL_READ_PATH      the file, exactly as the program opens it; its descriptors are tracked
//   FAIL_READ_FD        instead of a path: a descriptor number
//   FAIL_READ_NTH       which read of it fails, counted from 1 (default 1)
//   FAIL_READ_ERRNO     the error of the failing read (default EIO)
//   FAIL_READ_TRUNCATE  instead of failing: truncate the file to this many bytes before the
//                       n-th read, which then runs normally (a file that shrinks between blocks)
//   FAIL_READ_STALL     instead of failing: create this file, then wait in the n-th read until a
//                       signal ends the program (a run held at a known point, to be interrupted)
#undef _FORTIFY_SOURCE
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);
typedef ssize_t (*read_fn)(int, void*, size_t);
typedef int (*close_fn)(int);

#define MAX_TRACKED 64
static int tracked[MAX_TRACKED];
static int tracked_count;
static long reads_seen;

static const char* target_path(void) { return getenv("FAIL_READ_PATH"); }

static long env_long(const char* name, long fallback) {
    const char* v = getenv(name);
    return v && *v ? strtol(v, NULL, 10) : fallback;
}

static void track(const char* path, int fd) {
    const char* target = target_path();
    if (fd < 0 || !target || !path || strcmp(path, target) != 0) return;
    if (tracked_count < MAX_TRACKED) tracked[tracked_count++] = fd;
}

static int is_tracked(int fd) {
    if (getenv("FAIL_READ_FD")) return fd == (int)env_long("FAIL_READ_FD", -1);
    for (int i = 0; i < tracked_count; i++) {
        if (tracked[i] == fd) return 1;
    }
    return 0;
}

static void untrack(int fd) {
    for (int i = 0; i < tracked_count; i++) {
        if (tracked[i] == fd) tracked[i] = tracked[--tracked_count];
    }
}

static int needs_mode(int flags) { return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE; }

#define OPEN_WRAPPER(symbol)                                                   \
    int symbol(const char* path, int flags, ...) {                             \
        mode_t mode = 0;                                                       \
        if (needs_mode(flags)) {                                               \
            va_list args;                                                      \
            va_start(args, flags);                                             \
            mode = va_arg(args, mode_t);                                       \
            va_end(args);                                                      \
        }                                                                      \
        open_fn next = (open_fn)dlsym(RTLD_NEXT, #symbol);                     \
        int fd = next(path, flags, mode);                                      \
        track(path, fd);                                                       \
        return fd;                                                             \
    }

#define OPENAT_WRAPPER(symbol)                                                 \
    int symbol(int dirfd, const char* path, int flags, ...) {                  \
        mode_t mode = 0;                                                       \
        if (needs_mode(flags)) {                                               \
            va_list args;                                                      \
            va_start(args, flags);                                             \
            mode = va_arg(args, mode_t);                                       \
            va_end(args);                                                      \
        }                                                                      \
        openat_fn next = (openat_fn)dlsym(RTLD_NEXT, #symbol);                 \
        int fd = next(dirfd, path, flags, mode);                               \
        track(path, fd);                                                       \
        return fd;                                                             \
    }

OPEN_WRAPPER(open)
OPEN_WRAPPER(open64)
OPENAT_WRAPPER(openat)
OPENAT_WRAPPER(openat64)

int close(int fd) {
    untrack(fd);
    close_fn next = (close_fn)dlsym(RTLD_NEXT, "close");
    return next(fd);
}

// Decides for one read of `fd`: 0 to let it run, or -1 when it must fail (errno set).
static int intercept(int fd) {
    if (!is_tracked(fd)) return 0;
    if (++reads_seen != env_long("FAIL_READ_NTH", 1)) return 0;
    const char* stall = getenv("FAIL_READ_STALL");
    if (stall && *stall) {
        int marker = open(stall, O_WRONLY | O_CREAT, 0644);
        if (marker >= 0) close(marker);
        for (;;) pause();
    }
    const char* shrink = getenv("FAIL_READ_TRUNCATE");
    if (shrink && *shrink) {
        const char* target = target_path();
        // Should the truncation fail, the read simply sees the file as it was.
        if (target && truncate(target, (off_t)strtoll(shrink, NULL, 10)) != 0) errno = 0;
        return 0;
    }
    errno = (int)env_long("FAIL_READ_ERRNO", EIO);
    return -1;
}

ssize_t read(int fd, void* buffer, size_t size) {
    if (intercept(fd) != 0) return -1;
    read_fn next = (read_fn)dlsym(RTLD_NEXT, "read");
    return next(fd, buffer, size);
}

ssize_t __read_chk(int fd, void* buffer, size_t size, size_t buffer_size) {
    (void)buffer_size;
    return read(fd, buffer, size);
}
