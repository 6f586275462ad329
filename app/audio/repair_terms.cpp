#include "audio/repair_terms.h"

namespace {

// ---- CRC32 of a change ----------------------------------------------------------------------

const uint32_t CRC_POLY = 0xEDB88320u;  // reflected
const int SHIFT_POWERS = 64;            // enough for any 64-bit distance

// A linear map of 32-bit CRC registers over GF(2), kept as one table per byte lane so that
// applying it costs four lookups instead of a loop over 32 columns.
struct gf2_map {
    uint32_t lane[4][256];
};

uint32_t apply(const gf2_map& m, uint32_t v) {
    return m.lane[0][v & 0xFF] ^ m.lane[1][(v >> 8) & 0xFF] ^ m.lane[2][(v >> 16) & 0xFF] ^
           m.lane[3][v >> 24];
}

// Fills the lanes from the images of the 32 single bits.
void set_columns(gf2_map& m, const uint32_t (&column)[32]) {
    for (int j = 0; j < 4; j++) {
        m.lane[j][0] = 0;
        for (int b = 1; b < 256; b++)
            m.lane[j][b] = m.lane[j][b & (b - 1)] ^ column[8 * j + __builtin_ctz(b)];
    }
}

// What one zero byte does to the register of a CRC with no final XOR.
uint32_t feed_zero_byte(uint32_t crc) {
    for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ ((crc & 1) ? CRC_POLY : 0);
    return crc;
}

// zeros[k] feeds 2^k zero bytes; any distance is then the product of at most 64 of them.
// Built once: the maps do not depend on the track.
struct zero_feeders {
    gf2_map zeros[SHIFT_POWERS];

    zero_feeders() {
        uint32_t column[32];
        for (int i = 0; i < 32; i++) column[i] = feed_zero_byte(1u << i);
        set_columns(zeros[0], column);
        for (int k = 1; k < SHIFT_POWERS; k++) {
            for (int i = 0; i < 32; i++) column[i] = apply(zeros[k - 1], apply(zeros[k - 1], 1u << i));
            set_columns(zeros[k], column);
        }
    }
};

const zero_feeders& feeders() {
    static const zero_feeders f;
    return f;
}

}  // namespace

uint32_t ar_v1_term(uint64_t index, uint32_t word) { return static_cast<uint32_t>(index * word); }

uint32_t ar_v2_term(uint64_t index, uint32_t word) {
    const uint64_t p = index * word;
    return static_cast<uint32_t>(p) + static_cast<uint32_t>(p >> 32);
}

// The CRC register is linear in the data once init and final XOR are set aside, so a change
// XORed into 4 bytes changes the CRC by the change alone run through the rest of the track. Its
// own 4 bytes fed into a zero register leave the register equal to them (the reflected CRC XORs
// data into the low byte), so the whole effect is `delta` followed by the zero bytes that remain.
uint32_t crc32_xor_effect(uint64_t track_bytes, uint64_t offset, uint32_t delta) {
    if (offset > track_bytes || track_bytes - offset < 4) return 0;
    const zero_feeders& f = feeders();
    uint32_t v = delta;
    uint64_t n = track_bytes - offset;
    for (int k = 0; n != 0; k++, n >>= 1) {
        if (n & 1) v = apply(f.zeros[k], v);
    }
    return v;
}

unsigned ar_high_reach(uint64_t index, uint32_t from, uint32_t to) {
    const uint64_t delta = from < to ? to - from : from - to;
    const uint64_t most = static_cast<uint64_t>((static_cast<unsigned __int128>(index) * delta) >> 32) + 1;
    return static_cast<unsigned>(63 - __builtin_clzll(2 * most + 1));
}

unsigned ar_v1_reach(uint64_t index, bool left_changes) {
    const unsigned low_zeros = index == 0 ? 64 : static_cast<unsigned>(__builtin_ctzll(index));
    const unsigned top = left_changes ? 32 : 16;
    return low_zeros >= top ? 0 : top - low_zeros;
}
