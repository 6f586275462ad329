// G_CRYPT when the library fails in ways that cannot be provoked from outside. The program is
// linked with gcry_md_open, gcry_md_close and gcry_md_read wrapped: the wrappers fail where
// the tests say and record what was closed.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "g_linux_crypt.h"
#include "test_support.h"

namespace {
std::set<gcry_md_hd_t> failing;
int reads = 0;
int opens = 0;
int failing_open = -1;           // the 0-based call of gcry_md_open that fails
gcry_error_t open_result = 0;    // what that call returns (it leaves no handle)
std::vector<gcry_md_hd_t> opened;  // handles handed out, in order
std::vector<gcry_md_hd_t> closed;  // handles closed, in order
}  // namespace

extern "C" unsigned char* __real_gcry_md_read(gcry_md_hd_t hd, int algo);
extern "C" gcry_error_t __real_gcry_md_open(gcry_md_hd_t* hd, int algo, unsigned int flags);
extern "C" void __real_gcry_md_close(gcry_md_hd_t hd);

extern "C" gcry_error_t __wrap_gcry_md_open(gcry_md_hd_t* hd, int algo, unsigned int flags) {
    if (opens++ == failing_open) {
        *hd = nullptr;
        return open_result;
    }
    gcry_error_t r = __real_gcry_md_open(hd, algo, flags);
    if (r == 0) opened.push_back(*hd);
    return r;
}

extern "C" void __wrap_gcry_md_close(gcry_md_hd_t hd) {
    closed.push_back(hd);
    __real_gcry_md_close(hd);
}

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

// Runs init for `slots` slots with the `fail_at`-th open (0-based) failing with `result`;
// returns init's result and what it printed on standard output and standard error.
uint32_t init_failing_at(G_CRYPT& set, uint64_t slots, int fail_at, gcry_error_t result, std::string& out_text,
                         std::string& err_text) {
    opens = 0;
    failing_open = fail_at;
    open_result = result;
    opened.clear();
    closed.clear();
    testing_support::CaptureFd err(2);
    testing_support::CaptureFd out(1);
    uint32_t r = set.init(slots, 0, GCRY_MD_SHA256);
    out_text = out.finish();
    err_text = err.finish();
    failing_open = -1;
    return r;
}

void expect_reset_state(const G_CRYPT& set) {
    EXPECT_FALSE(set.enabled);
    EXPECT_EQ(nullptr, set.txt_hashes);
    EXPECT_EQ(nullptr, set.ctx);
    EXPECT_EQ(0u, set.count);
    EXPECT_EQ(0u, set.all_length);
    EXPECT_EQ(0u, set.hash_length);
    EXPECT_EQ(2u, set.alg_id);
}

TEST(GCryptOpenFailure, EarlierContextsAreClosedOnceFromTheLastDown) {
    G_CRYPT set;
    std::string out, err;
    const gcry_error_t code = gcry_err_make(GPG_ERR_SOURCE_GCRYPT, GPG_ERR_ENOMEM);
    const uint32_t r = init_failing_at(set, 6, 3, code, out, err);
    EXPECT_EQ(code, r);
    EXPECT_EQ(4, opens);  // no slot after the failing one is tried
    EXPECT_EQ("gcry_md_open(&ctx[i], alg_id, 0\n   ^ERROR: " + std::to_string(code) + ", " +
                  strerror(static_cast<int>(code)) + "\n\n",
              out);
    EXPECT_EQ("", err);
    ASSERT_EQ(3u, opened.size());
    EXPECT_EQ(std::vector<gcry_md_hd_t>(opened.rbegin(), opened.rend()), closed);
    expect_reset_state(set);
    set.free_context();  // nothing is closed a second time
    EXPECT_EQ(3u, closed.size());
}

TEST(GCryptOpenFailure, FirstSlotFailingClosesNothing) {
    G_CRYPT set;
    std::string out, err;
    const gcry_error_t code = gcry_err_make(GPG_ERR_SOURCE_GCRYPT, GPG_ERR_DIGEST_ALGO);
    EXPECT_EQ(code, init_failing_at(set, 4, 0, code, out, err));
    EXPECT_TRUE(closed.empty());
    expect_reset_state(set);
}

TEST(GCryptOpenFailure, NoHandleWithoutAnErrorIsAFailureToo) {
    G_CRYPT set;
    std::string out, err;
    const uint32_t r = init_failing_at(set, 4, 2, 0, out, err);
    EXPECT_EQ(0u, r);
    EXPECT_EQ("gcry_md_open(&ctx[i], alg_id, 0\n   ^ERROR: 0, Success\n\n", out);
    EXPECT_EQ(std::vector<gcry_md_hd_t>(opened.rbegin(), opened.rend()), closed);
    expect_reset_state(set);
    unsigned char byte = 0;
    EXPECT_EQ(-1, set.hash_data(0, &byte, 1));
    EXPECT_EQ(-1, set.update_txt_hashes());
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
