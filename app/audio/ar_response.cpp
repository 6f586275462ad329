#include "audio/ar_response.h"

#include <cstdio>

#include "base/coding.h"

namespace {
const uint64_t RECORD_HEAD = 13;  // track count and three disc ids
const uint64_t ENTRY_BYTES = 9;   // confidence and two sums
}  // namespace

int parse_ar_response(const uint8_t* bytes, uint64_t n, uint32_t track, ar_response& response,
                      const char** why) {
    response = ar_response();
    if (n == 0) {
        *why = "the file is empty";
        return -1;
    }
    uint64_t at = 0;
    while (at < n) {
        const uint64_t tracks = bytes[at];
        const uint64_t size = RECORD_HEAD + tracks * ENTRY_BYTES;
        if (tracks == 0 || n - at < size) {
            *why = tracks == 0 ? "a record lists no tracks" : "the file ends inside a record";
            return -1;
        }
        if (track >= 1 && track <= tracks) {
            const uint8_t* entry = bytes + at + RECORD_HEAD + (track - 1) * ENTRY_BYTES;
            response.entries.push_back({entry[0], load32(entry + 1)});
        }
        response.ids.push_back({static_cast<uint32_t>(tracks), load32(bytes + at + 1), load32(bytes + at + 5),
                                load32(bytes + at + 9)});
        response.records++;
        at += size;
    }
    return 0;
}

namespace {
const uint64_t FRAMES_PER_SECTOR = 588;
const uint64_t LEAD_IN_SECTORS = 150;
const uint64_t SECTORS_PER_SECOND = 75;

uint32_t digit_sum(uint64_t n) {
    uint32_t sum = 0;
    for (; n > 0; n /= 10) sum += static_cast<uint32_t>(n % 10);
    return sum;
}
}  // namespace

ar_disc_ids disc_ids_from_lengths(const std::vector<uint64_t>& frames) {
    ar_disc_ids ids;
    ids.tracks = static_cast<uint32_t>(frames.size());
    uint64_t offset = 0, seconds_digits = 0;
    for (size_t k = 0; k <= frames.size(); k++) {
        ids.id1 += static_cast<uint32_t>(offset);
        ids.id2 += static_cast<uint32_t>((offset > 0 ? offset : 1) * (k + 1));
        if (k == frames.size()) break;
        seconds_digits += digit_sum((offset + LEAD_IN_SECTORS) / SECTORS_PER_SECOND);
        offset += (frames[k] + FRAMES_PER_SECTOR - 1) / FRAMES_PER_SECTOR;
    }
    const uint64_t seconds =
        (offset + LEAD_IN_SECTORS) / SECTORS_PER_SECOND - LEAD_IN_SECTORS / SECTORS_PER_SECOND;
    ids.id3 = static_cast<uint32_t>((seconds_digits % 255) << 24 | seconds << 8 | frames.size());
    return ids;
}

std::string format_disc_ids(const ar_disc_ids& ids) {
    char text[40];
    snprintf(text, sizeof text, "%03u-%08x-%08x-%08x", ids.tracks, ids.id1, ids.id2, ids.id3);
    return text;
}
