#include "run/digest_pool.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

// The digests of `streams` streams fed block by block, as the block loop feeds them (a slot's
// bytes change only after wait()), through a pool of `workers` threads.
std::vector<std::string> pooled_digests(unsigned workers, size_t streams, size_t rounds) {
    G_CRYPT crypt;
    EXPECT_EQ(0u, crypt.init(streams, 0, GCRY_MD_SHA256));
    std::vector<std::string> blocks(streams);
    digest_pool pool;
    pool.start(&crypt, workers);
    for (size_t r = 0; r < rounds; r++) {
        for (size_t s = 0; s < streams; s++) {
            pool.wait(s);
            // Lengths vary, an empty feed included, as at the end of a run.
            blocks[s] = testing_support::random_bytes((r * 7919 + s * 104729) % 70000, r * 31 + s);
            pool.submit(s, reinterpret_cast<const uint8_t*>(blocks[s].data()), blocks[s].size());
        }
    }
    pool.stop();
    crypt.update_txt_hashes();
    std::vector<std::string> digests;
    for (size_t s = 0; s < streams; s++) digests.emplace_back(crypt.txt_hashes[s], crypt.txt_hashes[s] + crypt.hash_length);
    crypt.free_context();
    return digests;
}

TEST(DigestPool, WorkersFeedEveryStreamAsOneThreadWould) {
    const std::vector<std::string> alone = pooled_digests(0, 5, 6);
    for (unsigned workers : {1u, 3u, 8u}) EXPECT_EQ(alone, pooled_digests(workers, 5, 6)) << workers;
    // Different streams got different bytes, so equal digests would mean a mix-up.
    EXPECT_NE(alone[0], alone[1]);
}

}  // namespace
