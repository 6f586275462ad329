#pragma once
// G_CRYPT: one libgcrypt digest context per stream (slot 0: the output, slot i + 1: input i),
// all of one algorithm, with the finished digests kept in buffers of their own.
// Tables and digest buffers share one zero-filled allocation: the pointer table
// txt_hashes[count], the handle table ctx[count], then count digests of hash_length bytes.

#include <gcrypt.h>

#include <cstdint>

class G_CRYPT {
public:
    uint64_t all_length;     // bytes of the single allocation: count * 16 + hashes_length
    uint64_t table_length;   // count * 8
    uint64_t hashes_length;  // count * hash_length
    gcry_md_hd_t* ctx;       // count handles, inside the allocation
    uint32_t open_flags;     // flags for gcry_md_open: always 0
    bool enabled;            // a successful init() until free_context()
    uint32_t alg_id;         // libgcrypt algorithm of every slot
    uint8_t** txt_hashes;    // txt_hashes[slot]: that slot's digest; the start of the allocation
    uint32_t hash_length;    // digest length in bytes
    uint64_t count;          // number of slots

    G_CRYPT();
    ~G_CRYPT();
    G_CRYPT(const G_CRYPT&) = delete;
    G_CRYPT& operator=(const G_CRYPT&) = delete;

    // Releases any earlier set, checks the library version, opens `count` contexts of `alg_id`.
    // Returns 0, or the error value that was printed as an error line on standard output.
    // `flags` is ignored: every context opens with `open_flags`, which stays 0 (plain digests).
    uint32_t init(unsigned long count, unsigned int flags, unsigned int alg_id);
    // Closes every context, wipes and frees the allocation, returns to the reset state.
    void free_context();
    // Returns to the reset state without closing or freeing anything.
    void erase();
    // When enabled: clears the digest buffers and resets every context for new data.
    void reset();
    // Feeds `len` bytes to the digest of `slot` (REQUIRES: slot < count). -1 when not enabled.
    int hash_data(unsigned long slot, const unsigned char* data, unsigned long len);
    // Finalises every slot and copies its digest into txt_hashes[slot]. 0, or -1 when not
    // enabled or a digest could not be read (the first such slot is reported on standard output).
    int update_txt_hashes();
};
