// Fuzz target: the sample vote (-a) of 1 to 32 copies over a few blocks, with corrected-sample
// screening, by every way through the engine, against the reference vote (see vote_harness.h).

#include "vote_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return vote_fuzz::check_every_way(data, size, true);
}
