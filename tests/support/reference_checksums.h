#pragma once
// The track checksums as written down, for the unit and end-to-end tests: the CRC-32 bit by bit,
// AccurateRip frame by frame, and a change forged to give a chosen CRC-32.

#include <cstdint>
#include <string>
#include <utility>

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

// The change XORed into the 4 bytes at `offset` of any `bytes`-byte data that changes its CRC-32 by
// XOR with `effect`, as a copy made to fool a CRC-32 holds it (little-endian word). The CRC-32 is
// linear in such a change, so the images of the 32 single bits are inverted by elimination.
inline uint32_t reference_crc_forgery(size_t bytes, size_t offset, uint32_t effect) {
    const std::string zeros(bytes, '\0');
    const uint32_t base = reference_crc32(zeros);
    uint32_t image[32], made_of[32];
    for (int b = 0; b < 32; b++) {
        std::string flipped = zeros;
        flipped[offset + static_cast<size_t>(b / 8)] = static_cast<char>(1 << (b % 8));
        image[b] = reference_crc32(flipped) ^ base;
        made_of[b] = 1u << b;
    }
    for (int bit = 0; bit < 32; bit++) {
        int pivot = bit;
        while (!(image[pivot] >> bit & 1)) pivot++;
        std::swap(image[pivot], image[bit]);
        std::swap(made_of[pivot], made_of[bit]);
        for (int r = 0; r < 32; r++) {
            if (r != bit && (image[r] >> bit & 1)) image[r] ^= image[bit], made_of[r] ^= made_of[bit];
        }
    }
    uint32_t change = 0;  // image[b] is now bit b alone, made by the change made_of[b]
    for (int b = 0; b < 32; b++) change ^= (effect >> b & 1) ? made_of[b] : 0;
    return change;
}

}  // namespace testing_support
