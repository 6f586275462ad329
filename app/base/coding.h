#pragma once
// Little-endian loads and stores of 16-, 32- and 64-bit values at any byte address: WAV headers,
// 16-bit samples and the vote's 8-byte words all go through these.

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
