#pragma once
// G_MEM: one memory area of `blocks` blocks of 2 MiB, aligned to 2 MiB, locked into memory
// when the system allows it (and then cleared), for all file data of a run.

#include <cstdint>

class G_MEM {
public:
    bool locked;         // the last allocate_ram() locked the area
    bool verbose;        // allocate_ram() reports page size and address on standard error
    uint64_t blocks;
    uint64_t alignment;  // alignment of the area and size of one block: 2 MiB
    uint64_t length;     // blocks * alignment
    void* address;       // start of the area; null while none is held

    static const uint64_t BLOCK_SIZE = 0x200000;

    G_MEM();
    ~G_MEM();
    G_MEM(const G_MEM&) = delete;
    G_MEM& operator=(const G_MEM&) = delete;

    // REQUIRES: no area held. Returns 0, or -1 after printing the allocation error on stderr.
    int32_t allocate_ram(uint64_t n);
    // Returns 0 when an area was released, -1 when none was held.
    int32_t free_ram();
};
