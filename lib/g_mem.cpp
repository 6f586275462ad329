#include "g_mem.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "g_console.h"
#include "g_print.h"

G_MEM::G_MEM()
    : locked(false), verbose(false), blocks(0), alignment(BLOCK_SIZE), length(0), address(nullptr) {}

G_MEM::~G_MEM() { free_ram(); }

namespace {
// aligned_alloc() of `length` bytes; a length that did not fit in 64 bits (overflow) fails
// like any other request that exceeds memory, instead of wrapping into a small area.
void* allocate_aligned(uint64_t alignment, uint64_t length, bool overflow, int* error) {
    if (overflow) {
        *error = ENOMEM;
        return nullptr;
    }
    void* p = aligned_alloc(static_cast<size_t>(alignment), static_cast<size_t>(length));
    *error = p ? 0 : errno;
    return p;
}
}  // namespace

int32_t G_MEM::allocate_ram(uint64_t n) {
    blocks = n;
    alignment = BLOCK_SIZE;
    bool overflow = __builtin_mul_overflow(n, alignment, &length);
    if (overflow) length = 0;
    if (verbose) con_printf(stderr, ":: page size %3u MB  ", 2u);

    int alloc_error = 0;
    address = allocate_aligned(alignment, length, overflow, &alloc_error);
    // Huge pages make the lock and the clearing below several times cheaper; mere advice.
    if (address) madvise(address, static_cast<size_t>(length), MADV_HUGEPAGE);
    // A refused lock (RLIMIT_MEMLOCK) is no error: the area is then used unlocked.
    locked = address != nullptr && mlock(address, static_cast<size_t>(length)) == 0;

    if (verbose) {
        con_printf(stderr, ":: align %4u MB RAM at: 0x%08x %s\n", static_cast<unsigned>(length >> 20),
                   static_cast<unsigned>(reinterpret_cast<uintptr_t>(address)), locked ? "[LOCKED]" : "");
    }
    // Clearing touches every page now, so the first block read never waits for paging.
    if (locked) memset(address, 0, static_cast<size_t>(length));
    if (address) return 0;
    print_format_stderr(alloc_error, L"!! _aligned_malloc() failed to allocate RAM!");
    return -1;
}

int32_t G_MEM::free_ram() {
    if (!address) return -1;
    length = alignment * blocks;
    if (locked) {
        memset(address, 0, static_cast<size_t>(length));
        munlock(address, static_cast<size_t>(length));
    }
    free(address);
    address = nullptr;
    return 0;
}
