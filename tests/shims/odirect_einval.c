// LD_PRELOAD shim: every open that asks for O_DIRECT fails with EINVAL, as it does on file
// systems without direct I/O. Opens without O_DIRECT pass through unchanged.
#undef _FORTIFY_SOURCE
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/types.h>

typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);

static int needs_mode(int flags) { return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE; }

static int refuse(void) {
    errno = EINVAL;
    return -1;
}

static int pass_open(const char* symbol, const char* path, int flags, mode_t mode) {
    open_fn next = (open_fn)dlsym(RTLD_NEXT, symbol);
    return next(path, flags, mode);
}

static mode_t mode_of(int flags, va_list args) { return needs_mode(flags) ? va_arg(args, mode_t) : 0; }

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_of(flags, args);
    va_end(args);
    if (flags & O_DIRECT) return refuse();
    return pass_open("open", path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_of(flags, args);
    va_end(args);
    if (flags & O_DIRECT) return refuse();
    return pass_open("open64", path, flags, mode);
}

static int pass_openat(const char* symbol, int dirfd, const char* path, int flags, mode_t mode) {
    openat_fn next = (openat_fn)dlsym(RTLD_NEXT, symbol);
    return next(dirfd, path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_of(flags, args);
    va_end(args);
    if (flags & O_DIRECT) return refuse();
    return pass_openat("openat", dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_of(flags, args);
    va_end(args);
    if (flags & O_DIRECT) return refuse();
    return pass_openat("openat64", dirfd, path, flags, mode);
}
