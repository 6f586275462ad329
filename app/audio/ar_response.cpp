#include "audio/ar_response.h"

#include "base/coding.h"

namespace {
const uint64_t RECORD_HEAD = 13;  // track count and three disc ids
const uint64_t ENTRY_BYTES = 9;   // confidence and two sums
}  // namespace

int parse_ar_response(const uint8_t* bytes, uint64_t n, uint32_t track, ar_response& response, const char** why) {
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
        response.records++;
        at += size;
    }
    return 0;
}
