// G_CRYPT::update_txt_hashes when the library yields no digest for some slots. The program is
// linked with gcry_md_read wrapped: the wrapper yields null for the contexts listed here.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "g_linux_crypt.h"
#include "test_support.h"

namespace {
std::set<gcry_md_hd_t> failing;
int reads = 0;
}  // namespace

extern "C" unsigned char* __real_gcry_md_read(gcry_md_hd_t hd, int algo);

extern "C" unsigned char* __wrap_gcry_md_read(gcry_md_hd_t hd, int algo) {
    reads++;
    if (failing.count(hd)) return nullptr;
    return __real_gcry_md_read(hd, algo);
}

namespace {

std::string slot_hex(const G_CRYPT& set, uint64_t slot) {
    std::string s;
    char two[3];
    for (uint32_t b = 0; b < set.hash_length; b++) {
        snprintf(two, sizeof two, "%02x", set.txt_hashes[slot][b]);
        s += two;
    }
    return s;
}

TEST(GCryptReadFailure, FirstFailingSlotIsReportedOnceAndFailedSlotsStayZero) {
    G_CRYPT set;
    ASSERT_EQ(0u, set.init(5, 0, GCRY_MD_MD5));
    for (uint64_t i = 0; i < 5; i++) ASSERT_EQ(0, set.hash_data(i, reinterpret_cast<const unsigned char*>("abc"), 3));
    failing = {set.ctx[1], set.ctx[3], set.ctx[4]};
    reads = 0;
    testing_support::CaptureFd err(2);
    testing_support::CaptureFd out(1);
    const int result = set.update_txt_hashes();
    const std::string printed = out.finish();
    const std::string errors = err.finish();
    failing.clear();

    EXPECT_EQ(-1, result);
    EXPECT_EQ("update_txt_hashes::gcry_md_read(ctx[1], alg_id) FAILED\n", printed);
    EXPECT_EQ("", errors);
    EXPECT_EQ(5, reads);  // the slots after a failure are still read
    EXPECT_TRUE(set.enabled);
    const std::string zero(32, '0');
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", slot_hex(set, 0));
    EXPECT_EQ(zero, slot_hex(set, 1));
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", slot_hex(set, 2));
    EXPECT_EQ(zero, slot_hex(set, 3));
    EXPECT_EQ(zero, slot_hex(set, 4));

    // Once the library yields digests again, every slot is filled and nothing is printed.
    testing_support::CaptureFd out2(1);
    EXPECT_EQ(0, set.update_txt_hashes());
    EXPECT_EQ("", out2.finish());
    for (uint64_t i = 0; i < 5; i++) EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", slot_hex(set, i)) << i;
}

TEST(GCryptReadFailure, LaterFailingSlotIsTheOneReported) {
    G_CRYPT set;
    ASSERT_EQ(0u, set.init(4, 0, GCRY_MD_SHA1));
    failing = {set.ctx[3]};
    testing_support::CaptureFd out(1);
    const int result = set.update_txt_hashes();
    const std::string printed = out.finish();
    failing.clear();
    EXPECT_EQ(-1, result);
    EXPECT_EQ("update_txt_hashes::gcry_md_read(ctx[3], alg_id) FAILED\n", printed);
    EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", slot_hex(set, 2));
    EXPECT_EQ(std::string(40, '0'), slot_hex(set, 3));
}

}  // namespace
