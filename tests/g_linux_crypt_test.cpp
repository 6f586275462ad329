#include "g_linux_crypt.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"

using testing_support::CaptureFd;
using testing_support::random_bytes;
using testing_support::run_program;
using testing_support::ScopedTempDir;
using testing_support::write_file;

namespace {

std::string hex(const uint8_t* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

std::string slot_hex(const G_CRYPT& set, uint64_t slot) { return hex(set.txt_hashes[slot], set.hash_length); }

void feed(G_CRYPT& set, uint64_t slot, const std::string& data) {
    ASSERT_EQ(0, set.hash_data(slot, reinterpret_cast<const unsigned char*>(data.data()), data.size()));
}

// Captures standard output and standard error around one call.
struct Console {
    std::string out;
    std::string err;
};

template <typename F>
Console capture(F f) {
    CaptureFd err(2);
    CaptureFd out(1);
    f();
    Console c;
    c.out = out.finish();
    c.err = err.finish();
    return c;
}

void expect_reset_state(const G_CRYPT& set) {
    EXPECT_EQ(0u, set.all_length);
    EXPECT_EQ(0u, set.table_length);
    EXPECT_EQ(0u, set.hashes_length);
    EXPECT_EQ(nullptr, set.ctx);
    EXPECT_EQ(0u, set.open_flags);
    EXPECT_FALSE(set.enabled);
    EXPECT_EQ(2u, set.alg_id);
    EXPECT_EQ(nullptr, set.txt_hashes);
    EXPECT_EQ(0u, set.hash_length);
    EXPECT_EQ(0u, set.count);
}

// The digest of `data` as a coreutils tool computes it from a file.
std::string coreutils_digest(const std::string& tool, const std::string& data) {
    ScopedTempDir dir;
    write_file(dir.file("data"), data);
    testing_support::RunResult r = run_program({"/usr/bin/" + tool, dir.file("data")});
    EXPECT_EQ(0, r.exit_code) << tool << ": " << r.err;
    return r.out.substr(0, r.out.find(' '));
}

struct Vector {
    unsigned alg;
    const char* message;
    const char* digest;
};

// Published test vectors: RFC 1320 (MD4), RFC 1321 (MD5), FIPS 180 examples (SHA family).
const Vector kVectors[] = {
    {GCRY_MD_MD4, "", "31d6cfe0d16ae931b73c59d7e0c089c0"},
    {GCRY_MD_MD4, "a", "bde52cb31de33e46245e05fbdbd6fb24"},
    {GCRY_MD_MD4, "abc", "a448017aaf21d8525fc10ae87aa6729d"},
    {GCRY_MD_MD4, "message digest", "d9130a8164549fe818874806e1c7014b"},
    {GCRY_MD_MD4, "abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"},
    {GCRY_MD_MD4, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "043f8582f241db351ce627e153e7f0e4"},
    {GCRY_MD_MD4, "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "e33b4ddc9c38f2199c3e7b164fcc0536"},
    {GCRY_MD_MD5, "", "d41d8cd98f00b204e9800998ecf8427e"},
    {GCRY_MD_MD5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
    {GCRY_MD_SHA1, "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    {GCRY_MD_SHA1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {GCRY_MD_SHA256, "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {GCRY_MD_SHA256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {GCRY_MD_SHA384, "",
     "38b060a751ac96384cd9327eb1b1e36a21fdb71114be07434c0cc7bf63f6e1da274edebfe76f65fbd51ad2f14898b95b"},
    {GCRY_MD_SHA384, "abc",
     "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c825a7"},
    {GCRY_MD_SHA512, "",
     "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
     "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e"},
    {GCRY_MD_SHA512, "abc",
     "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
     "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
};

TEST(GCrypt, ConstructedSetIsInResetStateAndRefusesWork) {
    G_CRYPT set;
    expect_reset_state(set);
    unsigned char byte = 1;
    Console c = capture([&] {
        EXPECT_EQ(-1, set.hash_data(0, &byte, 1));
        EXPECT_EQ(-1, set.update_txt_hashes());
        set.reset();
    });
    EXPECT_EQ("", c.out);
    EXPECT_EQ("", c.err);
    expect_reset_state(set);
}

TEST(GCrypt, KnownVectorsOfEveryAlgorithm) {
    for (const Vector& v : kVectors) {
        SCOPED_TRACE(std::to_string(v.alg) + " \"" + v.message + "\"");
        G_CRYPT set;
        ASSERT_EQ(0u, set.init(1, 0, v.alg));
        ASSERT_EQ(strlen(v.digest) / 2, set.hash_length);
        feed(set, 0, v.message);
        ASSERT_EQ(0, set.update_txt_hashes());
        EXPECT_EQ(v.digest, slot_hex(set, 0));
    }
}

TEST(GCrypt, AgreesWithCoreutilsOnLargeDataFedInPieces) {
    const std::string data = random_bytes(3 * 1024 * 1024 + 12345, 7);
    const struct {
        unsigned alg;
        const char* tool;
    } algs[] = {{GCRY_MD_MD5, "md5sum"},
                {GCRY_MD_SHA1, "sha1sum"},
                {GCRY_MD_SHA256, "sha256sum"},
                {GCRY_MD_SHA384, "sha384sum"},
                {GCRY_MD_SHA512, "sha512sum"}};
    for (const auto& a : algs) {
        SCOPED_TRACE(a.tool);
        G_CRYPT set;
        ASSERT_EQ(0u, set.init(3, 0, a.alg));
        feed(set, 1, data);  // at once
        // In pieces of uneven sizes, an empty one among them.
        size_t pos = 0;
        const size_t sizes[] = {1, 0, 63, 64, 65, 1000, 2097152};
        for (size_t k = 0; pos < data.size(); k++) {
            size_t n = std::min(sizes[k % 7], data.size() - pos);
            feed(set, 2, data.substr(pos, n));
            pos += n;
        }
        ASSERT_EQ(0, set.update_txt_hashes());
        const std::string expected = coreutils_digest(a.tool, data);
        EXPECT_EQ(expected, slot_hex(set, 1));
        EXPECT_EQ(expected, slot_hex(set, 2));
        // Slot 0 received nothing: the digest of the empty message.
        EXPECT_EQ(coreutils_digest(a.tool, ""), slot_hex(set, 0));
    }
}

TEST(GCrypt, SlotsAreIndependent) {
    G_CRYPT set;
    ASSERT_EQ(0u, set.init(4, 0, GCRY_MD_MD5));
    feed(set, 3, "ab");
    feed(set, 1, "abc");
    feed(set, 3, "c");
    feed(set, 2, "message digest");
    ASSERT_EQ(0, set.update_txt_hashes());
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", slot_hex(set, 0));
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", slot_hex(set, 1));
    EXPECT_EQ("f96b697d7cb7938d525a2f31aaf161d0", slot_hex(set, 2));
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", slot_hex(set, 3));
}

TEST(GCrypt, OneAllocationHoldsPointerTableHandleTableAndDigests) {
    G_CRYPT set;
    ASSERT_EQ(0u, set.init(5, 0, GCRY_MD_SHA256));
    EXPECT_TRUE(set.enabled);
    EXPECT_EQ(5u, set.count);
    EXPECT_EQ(8u, set.alg_id);
    EXPECT_EQ(0u, set.open_flags);
    EXPECT_EQ(32u, set.hash_length);
    EXPECT_EQ(40u, set.table_length);
    EXPECT_EQ(160u, set.hashes_length);
    EXPECT_EQ(5u * (16 + 32), set.all_length);
    uint8_t* start = reinterpret_cast<uint8_t*>(set.txt_hashes);
    EXPECT_EQ(start + 40, reinterpret_cast<uint8_t*>(set.ctx));
    for (uint64_t i = 0; i < 5; i++) {
        EXPECT_EQ(start + 80 + i * 32, set.txt_hashes[i]);
        EXPECT_NE(nullptr, set.ctx[i]);
        EXPECT_EQ(std::string(32, '\0'), std::string(reinterpret_cast<char*>(set.txt_hashes[i]), 32));
    }
}

TEST(GCrypt, FreeContextTwiceEndsInResetState) {
    G_CRYPT set;
    ASSERT_EQ(0u, set.init(4, 0, GCRY_MD_SHA512));
    feed(set, 2, "data");
    Console c = capture([&] {
        set.free_context();
        expect_reset_state(set);
        set.free_context();
    });
    expect_reset_state(set);
    EXPECT_EQ("", c.out);
    EXPECT_EQ("", c.err);
    unsigned char byte = 0;
    EXPECT_EQ(-1, set.hash_data(0, &byte, 1));
    EXPECT_EQ(-1, set.update_txt_hashes());
}

TEST(GCrypt, InitOnAnEnabledSetStartsAFreshOne) {
    G_CRYPT set;
    ASSERT_EQ(0u, set.init(3, 0, GCRY_MD_MD5));
    feed(set, 0, "abc");
    feed(set, 2, "abc");
    ASSERT_EQ(0u, set.init(6, 0, GCRY_MD_SHA1));
    EXPECT_TRUE(set.enabled);
    EXPECT_EQ(6u, set.count);
    EXPECT_EQ(20u, set.hash_length);
    EXPECT_EQ(6u * 36, set.all_length);
    ASSERT_EQ(0, set.update_txt_hashes());
    for (uint64_t i = 0; i < 6; i++) EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", slot_hex(set, i)) << i;
}

TEST(GCrypt, ResetClearsDigestsAndTakesNewData) {
    G_CRYPT set;
    ASSERT_EQ(0u, set.init(2, 0, GCRY_MD_MD5));
    feed(set, 0, "message digest");
    feed(set, 1, "abc");
    ASSERT_EQ(0, set.update_txt_hashes());
    set.reset();
    EXPECT_EQ(std::string(32, '0'), slot_hex(set, 0));
    EXPECT_EQ(std::string(32, '0'), slot_hex(set, 1));
    feed(set, 0, "abc");
    ASSERT_EQ(0, set.update_txt_hashes());
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", slot_hex(set, 0));
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", slot_hex(set, 1));
}

TEST(GCrypt, EraseForgetsTheSetWithoutReleasingIt) {
    G_CRYPT set;
    ASSERT_EQ(0u, set.init(2, 0, GCRY_MD_MD5));
    G_CRYPT keeper;  // takes over the contexts and memory so that they are still released
    std::memcpy(static_cast<void*>(&keeper), &set, sizeof set);
    set.erase();
    expect_reset_state(set);
    EXPECT_TRUE(keeper.enabled);
    feed(keeper, 1, "abc");
    ASSERT_EQ(0, keeper.update_txt_hashes());
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", slot_hex(keeper, 1));
}

TEST(GCrypt, UnavailableAlgorithmPrintsTheErrorLineOnlyAndLeavesTheResetState) {
    if (gcry_check_version(nullptr) && gcry_md_test_algo(GCRY_MD_MD2) == 0) {
        GTEST_SKIP() << "this libgcrypt was built with MD2";
    }
    G_CRYPT set;
    ASSERT_EQ(0u, set.init(3, 0, GCRY_MD_MD5));  // an enabled set is released first
    uint32_t result = 0;
    Console c = capture([&] { result = set.init(4, 0, GCRY_MD_MD2); });
    const uint32_t expected = gcry_err_make(GPG_ERR_SOURCE_GCRYPT, GPG_ERR_DIGEST_ALGO);
    EXPECT_EQ(expected, result);
    EXPECT_EQ("gcry_md_open(&ctx[i], alg_id, 0\n   ^ERROR: " + std::to_string(expected) + ", " +
                  strerror(static_cast<int>(expected)) + "\n\n",
              c.out);
    EXPECT_EQ("", c.err);  // no message of the library's own
    expect_reset_state(set);
    // The set works again afterwards.
    ASSERT_EQ(0u, set.init(1, 0, GCRY_MD_SHA1));
    feed(set, 0, "abc");
    ASSERT_EQ(0, set.update_txt_hashes());
    EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", slot_hex(set, 0));
}

TEST(GCrypt, SlotCountTooLargeToAllocateIsRefusedWithTheAllocationErrorLine) {
    G_CRYPT set;
    ASSERT_EQ(0u, set.init(2, 0, GCRY_MD_MD5));  // released first
    // count * (16 + 16) does not fit into 64 bits; no smaller block may be allocated instead.
    const unsigned long count = UINT64_MAX / 8;
    uint32_t result = 0;
    Console c = capture([&] { result = set.init(count, 0, GCRY_MD_MD5); });
    EXPECT_EQ(static_cast<uint32_t>(ENOMEM), result);
    EXPECT_EQ(std::string("G_CRYPT::init(){ txt_hashes = malloc(all_length); }\n   ^ERROR: ") +
                  std::to_string(ENOMEM) + ", " + strerror(ENOMEM) + "\n\n",
              c.out);
    EXPECT_EQ("", c.err);
    EXPECT_FALSE(set.enabled);
    EXPECT_EQ(nullptr, set.txt_hashes);
    EXPECT_EQ(nullptr, set.ctx);
    EXPECT_EQ(count, set.count);
    EXPECT_EQ(1u, set.alg_id);
    EXPECT_EQ(16u, set.hash_length);
    set.free_context();
    expect_reset_state(set);
}

TEST(GCrypt, ASetWithoutSlotsHoldsNothingToWrite) {
    G_CRYPT set;
    ASSERT_EQ(0u, set.init(0, 0, GCRY_MD_MD5));
    EXPECT_EQ(0u, set.all_length);
    EXPECT_EQ(0, set.update_txt_hashes());
    set.reset();
    set.free_context();
    expect_reset_state(set);
}

}  // namespace

namespace {

TEST(GCrypt, OldLibraryIsRefused) {
#ifndef COPYVOTE_GCRYPT_PROBE
    GTEST_SKIP() << "the system's libgcrypt is new enough; no older library to try";
#else
    testing_support::RunResult r = run_program({COPYVOTE_GCRYPT_PROBE});
    ASSERT_EQ(0, r.exit_code) << r.err;
    // The code is whatever errno held after the failed check; it must be printed with its text.
    const std::string prefix = "init=";
    ASSERT_EQ(0u, r.err.rfind(prefix, 0)) << r.err;
    const int code = std::stoi(r.err.substr(prefix.size()));
    EXPECT_EQ("gcry_check_version(GCRYPT_VERSION)  libgcrypt version mismatch\n   ^ERROR: " + std::to_string(code) +
                  ", " + strerror(code) + "\n\n",
              r.out);
    // Disabled, holding nothing, with the slot count and algorithm kept; nothing more printed.
    EXPECT_EQ("init=" + std::to_string(code) +
                  " enabled=0 count=4 alg_id=1 ctx=null txt_hashes=null lengths=0/0/0/0"
                  " hash_data=-1 update_txt_hashes=-1\n",
              r.err);
#endif
}

}  // namespace
