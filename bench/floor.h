#pragma once
// The I/O that a restore run cannot avoid, and nothing else: open the output and the inputs,
// read every input in lock-step 2 MiB blocks into one 2 MiB-aligned area, and write input 0's
// block, cut to the shortest delivered length, to the output. The restore program is measured
// against this loop; `Feed` lets the digest floor add the hashing of every stream.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace floor_io {

const uint64_t BLOCK = 0x200000;

bool write_all(int fd, const uint8_t* p, uint64_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w <= 0) return false;
        p += w;
        n -= static_cast<uint64_t>(w);
    }
    return true;
}

// Runs the loop over argv[first] (the output) and the inputs after it. feed(stream, data, n) is
// called for every input block read (stream i + 1) and every output block written (stream 0).
// Returns the process exit status.
template <class Feed>
int run(int argc, char** argv, int first, Feed&& feed) {
    const int count = argc - first - 1;
    if (count < 1) {
        fprintf(stderr, "usage: %s OUTPUT INPUT...\n", argv[0]);
        return 2;
    }
    uint8_t* area = static_cast<uint8_t*>(aligned_alloc(BLOCK, BLOCK * static_cast<uint64_t>(count + 1)));
    if (!area) return 1;
    const int out = open(argv[first], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) {
        perror(argv[first]);
        return 1;
    }
    int* in = static_cast<int*>(calloc(static_cast<size_t>(count), sizeof(int)));
    for (int i = 0; i < count; i++) {
        in[i] = open(argv[first + 1 + i], O_RDONLY);
        if (in[i] < 0) {
            perror(argv[first + 1 + i]);
            return 1;
        }
    }
    for (;;) {
        uint64_t len = BLOCK;
        for (int i = 0; i < count; i++) {
            uint8_t* block = area + BLOCK * static_cast<uint64_t>(i + 1);
            const ssize_t got = ::read(in[i], block, BLOCK);
            if (got < 0) return 1;
            feed(i + 1, block, static_cast<uint64_t>(got));
            if (static_cast<uint64_t>(got) < len) len = static_cast<uint64_t>(got);
        }
        feed(0, area + BLOCK, len);
        if (!write_all(out, area + BLOCK, len)) return 1;
        if (len == 0) break;
    }
    for (int i = 0; i < count; i++) close(in[i]);
    free(in);
    free(area);
    return close(out) == 0 ? 0 : 1;
}

}  // namespace floor_io
