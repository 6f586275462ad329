#pragma once
// Whole reads by position.

#include <cstdint>

// Reads up to `n` bytes at file offset `offset` of descriptor `fd` into `dst`, looping over short
// reads and EINTR. Returns the count (less than n only at the end of the file), or -1 with errno
// set. The descriptor's file position is not moved.
int64_t read_at(int fd, uint8_t* dst, uint64_t n, uint64_t offset);
