// LD_PRELOAD shim: writes to one chosen file are accepted only in part, as a pipe, a socket or
// a nearly full device may do. Every other call passes through unchanged.
//
//   SHORT_WRITE_PATH   the file, exactly as the program opens it; its descriptors are tracked
//   SHORT_WRITE_MAX    the most bytes one write to it accepts (default 4093)
//   SHORT_WRITE_EINTR  when 1, every other write to it fails with EINTR before taking anything
#undef _FORTIFY_SOURCE
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);
typedef ssize_t (*write_fn)(int, const void*, size_t);
typedef int (*close_fn)(int);

#define MAX_TRACKED 16
static int tracked[MAX_TRACKED];
static int tracked_count;
static long writes_seen;

static void track(const char* path, int fd) {
    const char* target = getenv("SHORT_WRITE_PATH");
    if (fd < 0 || !target || !path || strcmp(path, target) != 0) return;
    if (tracked_count < MAX_TRACKED) tracked[tracked_count++] = fd;
}

static int is_tracked(int fd) {
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

ssize_t write(int fd, const void* buffer, size_t size) {
    write_fn next = (write_fn)dlsym(RTLD_NEXT, "write");
    if (!is_tracked(fd) || size == 0) return next(fd, buffer, size);
    const char* eintr = getenv("SHORT_WRITE_EINTR");
    if (eintr && strcmp(eintr, "1") == 0 && (writes_seen++ % 2) == 0) {
        errno = EINTR;
        return -1;
    }
    const char* max_text = getenv("SHORT_WRITE_MAX");
    size_t max = max_text && *max_text ? (size_t)strtoull(max_text, NULL, 10) : 4093;
    if (max == 0) max = 1;
    return next(fd, buffer, size < max ? size : max);
}
