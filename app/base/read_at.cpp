#include "base/read_at.h"

#include <unistd.h>

#include <cerrno>

int64_t read_at(int fd, uint8_t* dst, uint64_t n, uint64_t offset) {
    uint64_t total = 0;
    while (total < n) {
        const ssize_t got = pread(fd, dst + total, n - total, static_cast<off_t>(offset + total));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        total += static_cast<uint64_t>(got);
    }
    return static_cast<int64_t>(total);
}
