#pragma once
// Loads and stores of 16-, 32- and 64-bit values at any byte address. Little-endian: WAV headers,
// 16-bit samples, the vote's 8-byte words, response files, Vorbis comments. Big-endian: FLAC's
// metadata block headers and the bytes of an expected 32-bit sum.

#include <cstdint>
#include <cstring>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "a word holds its first byte in its lowest bits");

inline uint16_t load16(const uint8_t* p) {
    uint16_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

inline uint32_t load32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

inline uint64_t load64(const uint8_t* p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

// A 16-bit sample as the signed value it plays.
inline int16_t load_sample16(const uint8_t* p) { return static_cast<int16_t>(load16(p)); }

inline void store16(uint8_t* p, uint16_t v) { memcpy(p, &v, sizeof v); }
inline void store32(uint8_t* p, uint32_t v) { memcpy(p, &v, sizeof v); }
inline void store64(uint8_t* p, uint64_t v) { memcpy(p, &v, sizeof v); }

// Big-endian: the most significant byte first.
inline uint32_t load_be24(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
}
inline uint32_t load_be32(const uint8_t* p) { return __builtin_bswap32(load32(p)); }
inline void store_be32(uint8_t* p, uint32_t v) { store32(p, __builtin_bswap32(v)); }
