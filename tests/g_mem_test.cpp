#include "g_mem.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <regex.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "test_support.h"

using testing_support::CaptureFd;

namespace {

const uint64_t MiB = 1024 * 1024;
const char* const ALLOCATION_FAILED =
    "!! _aligned_malloc() failed to allocate RAM!\n   ^ERROR: 12, Cannot allocate memory\n\n";

bool all_zero(const void* p, uint64_t n) {
    const unsigned char* b = static_cast<const unsigned char*>(p);
    for (uint64_t i = 0; i < n; i++) {
        if (b[i] != 0) return false;
    }
    return true;
}

// Takes CAP_IPC_LOCK away from this process and forbids locking any memory, so that mlock()
// fails even for root. Only for a forked child.
bool forbid_memory_locking() {
    __user_cap_header_struct header;
    header.version = _LINUX_CAPABILITY_VERSION_3;
    header.pid = 0;
    __user_cap_data_struct data[2];
    if (syscall(SYS_capget, &header, data) != 0) return false;
    data[0].effective &= ~(1u << CAP_IPC_LOCK);
    data[0].permitted &= ~(1u << CAP_IPC_LOCK);
    data[0].inheritable &= ~(1u << CAP_IPC_LOCK);
    if (syscall(SYS_capset, &header, data) != 0) return false;
    rlimit none = {0, 0};
    return setrlimit(RLIMIT_MEMLOCK, &none) == 0;
}

}  // namespace

TEST(GMemTest, ConstructorLeavesItEmpty) {
    G_MEM mem;
    EXPECT_FALSE(mem.locked);
    EXPECT_FALSE(mem.verbose);
    EXPECT_EQ(0u, mem.blocks);
    EXPECT_EQ(2 * MiB, mem.alignment);
    EXPECT_EQ(0u, mem.length);
    EXPECT_EQ(nullptr, mem.address);
    EXPECT_EQ(-1, mem.free_ram());
}

TEST(GMemTest, AllocateAndFreeCycle) {
    G_MEM mem;
    CaptureFd err(2);
    int32_t result = mem.allocate_ram(4);
    std::string text = err.finish();
    ASSERT_EQ(0, result);
    EXPECT_EQ("", text);  // a quiet allocation prints nothing
    ASSERT_NE(nullptr, mem.address);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(mem.address) % (2 * MiB));
    EXPECT_EQ(4u, mem.blocks);
    EXPECT_EQ(8 * MiB, mem.length);
    if (mem.locked) {
        EXPECT_TRUE(all_zero(mem.address, mem.length));
    }
    memset(mem.address, 0xA5, mem.length);  // every block is ours to write

    bool was_locked = mem.locked;
    EXPECT_EQ(0, mem.free_ram());
    EXPECT_EQ(nullptr, mem.address);
    EXPECT_EQ(was_locked, mem.locked);  // free_ram keeps the bookkeeping of the last area
    EXPECT_EQ(4u, mem.blocks);
    EXPECT_EQ(8 * MiB, mem.length);
    EXPECT_EQ(-1, mem.free_ram());

    ASSERT_EQ(0, mem.allocate_ram(1));  // an emptied object takes a new area
    EXPECT_EQ(2 * MiB, mem.length);
    EXPECT_EQ(0, mem.free_ram());
}

TEST(GMemTest, VerboseReportIsOneLine) {
    G_MEM mem;
    mem.verbose = true;
    CaptureFd err(2);
    int32_t result = mem.allocate_ram(4);
    std::string text = err.finish();
    ASSERT_EQ(0, result);
    regex_t re;
    ASSERT_EQ(
        0, regcomp(&re, "^:: page size   2 MB  :: align    8 MB RAM at: 0x([0-9a-f]{8}) (\\[LOCKED\\])?\n$",
                   REG_EXTENDED));
    regmatch_t m[3];
    int found = regexec(&re, text.c_str(), 3, m, 0);
    regfree(&re);
    ASSERT_EQ(0, found) << text;
    std::string hex = text.substr(m[1].rm_so, m[1].rm_eo - m[1].rm_so);
    EXPECT_EQ(static_cast<unsigned long>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(mem.address))),
              std::stoul(hex, nullptr, 16));
    EXPECT_EQ(mem.locked, m[2].rm_so != -1);
    EXPECT_EQ(0, mem.free_ram());
}

TEST(GMemTest, RefusedLockStillAllocates) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer replaces mlock() with a no-op that always succeeds";
#endif
    EXPECT_EXIT(
        {
            if (!forbid_memory_locking()) _exit(2);
            G_MEM mem;
            mem.verbose = true;
            int32_t result = mem.allocate_ram(4);
            if (result != 0 || mem.locked || !mem.address) _exit(3);
            memset(mem.address, 1, mem.length);
            _exit(mem.free_ram() == 0 && mem.address == nullptr ? 0 : 4);
        },
        ::testing::ExitedWithCode(0),
        "^:: page size   2 MB  :: align    8 MB RAM at: 0x[0-9a-f]{2}[02468ace]00000 \n$");
}

TEST(GMemTest, OverflowingBlockCountFailsCleanly) {
    // 2^43 blocks of 2 MiB wrap to 0 bytes, one more wraps to a single block: both must fail
    // rather than hand out an area far smaller than asked for.
    for (uint64_t n : {uint64_t(1) << 43, (uint64_t(1) << 43) + 1, UINT64_MAX}) {
        G_MEM mem;
        CaptureFd err(2);
        int32_t result = mem.allocate_ram(n);
        std::string text = err.finish();
        EXPECT_EQ(-1, result) << n;
        EXPECT_EQ(nullptr, mem.address) << n;
        EXPECT_FALSE(mem.locked) << n;
        EXPECT_EQ(n, mem.blocks);
        EXPECT_EQ(ALLOCATION_FAILED, text) << n;
        EXPECT_EQ(-1, mem.free_ram());
    }
}

TEST(GMemTest, BlockCountBeyondMemoryFailsCleanly) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer aborts on oversized requests instead of returning null";
#endif
    G_MEM mem;
    CaptureFd err(2);
    int32_t result = mem.allocate_ram(uint64_t(1) << 40);  // 2^61 bytes: representable, not available
    std::string text = err.finish();
    EXPECT_EQ(-1, result);
    EXPECT_EQ(nullptr, mem.address);
    EXPECT_EQ(uint64_t(1) << 61, mem.length);
    EXPECT_EQ(ALLOCATION_FAILED, text);
    EXPECT_EQ(-1, mem.free_ram());
}
