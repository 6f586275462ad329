#pragma once
// The track checksums as written down, for the unit and end-to-end tests: the CRC-32 bit by bit,
// AccurateRip frame by frame.

#include <cstdint>
#include <string>

namespace testing_support {

struct reference_sums {
    uint32_t v1, v2, crc32;
};

inline uint32_t reference_crc32(const std::string& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : bytes) {
        crc ^= c;
        for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

// AccurateRip over frames first..last (1-based) of `pcm`, and the CRC-32 of all of it.
inline reference_sums reference_track_sums(const std::string& pcm, uint64_t first, uint64_t last) {
    reference_sums s{0, 0, reference_crc32(pcm)};
    for (uint64_t i = first; i <= last && i <= pcm.size() / 4; i++) {
        uint32_t w = 0;
        for (int b = 3; b >= 0; b--) w = w << 8 | static_cast<uint8_t>(pcm[4 * (i - 1) + static_cast<uint64_t>(b)]);
        const uint64_t p = i * static_cast<uint64_t>(w);
        s.v1 += static_cast<uint32_t>(p);
        s.v2 += static_cast<uint32_t>(p) + static_cast<uint32_t>(p >> 32);
    }
    return s;
}

}  // namespace testing_support
