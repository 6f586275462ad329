#include "run/verdict.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "base/globals.h"
#include "g_console.h"

namespace {

std::string hex(const uint8_t* bytes, unsigned length) {
    std::string text;
    char pair[3];
    for (unsigned k = 0; k < length; k++) {
        snprintf(pair, sizeof pair, "%02x", bytes[k]);
        text += pair;
    }
    return text;
}

std::string hex32(uint32_t v) {
    char text[9];
    snprintf(text, sizeof text, "%08x", v);
    return text;
}

// The output's value of the kind `e` names, as hex; empty when it does not apply to this audio.
std::string actual(const expected_sum& e, const track_checksums& sums) {
    if (e.algo != 0) return hex(sums.digest(e.algo), e.length);
    if (!sums.applies) return "";
    if (strcmp(e.kind, "arv1") == 0) return hex32(sums.v1);
    return hex32(strcmp(e.kind, "arv2") == 0 ? sums.v2 : sums.crc32);
}

bool matches(const expected_sum& e, const track_checksums& sums) {
    return actual(e, sums) == hex(e.value, e.length);
}

// The best confidence among the response's entries that the output matches, as v1 or v2; -1
// when none does. `version` is set to 1 or 2, `index` to the entry's place among them.
int best_confidence(const ar_response& response, const track_checksums& sums, int& version,
                    size_t* index = nullptr) {
    int best = -1;
    for (size_t k = 0; k < response.entries.size(); k++) {
        const ar_entry& entry = response.entries[k];
        if (!sums.applies || (entry.sum != sums.v1 && entry.sum != sums.v2)) continue;
        if (entry.confidence > best) {
            best = entry.confidence;
            version = entry.sum == sums.v2 ? 2 : 1;
            if (index) *index = k;
        }
    }
    return best;
}

std::string expected_part(const expected_sum& e, const track_checksums& sums) {
    const std::string got = actual(e, sums);
    const std::string want = e.algo != 0 ? hex(e.value, e.length) : hex32(e.sum32());
    if (got.empty()) return std::string(e.kind) + " " + want + " cannot be checked on this audio";
    if (got == want) return std::string(e.kind) + " " + want + " matches";
    return std::string(e.kind) + " " + want + " expected, got " + got;
}

std::string response_part(const ar_response& response, const track_checksums& sums) {
    int version = 0;
    const int confidence = best_confidence(response, sums, version);
    if (confidence >= 0) {
        return "AccurateRip matches (v" + std::to_string(version) + ", confidence " +
               std::to_string(confidence) + ")";
    }
    const size_t entries = response.entries.size();
    return "AccurateRip matches none of " + std::to_string(entries) +
           (entries == 1 ? " entry in " : " entries in ") + std::to_string(response.records) +
           (response.records == 1 ? " record" : " records");
}

void put_name(const char* out_name) {
    FILE* out = con_out();
    fputc('[', out);
    con_put_right(out, out_name, NAME_COLUMNS);
    fputs("] ", out);
}

}  // namespace

void print_checksums(const char* out_name, const track_checksums& sums) {
    put_name(out_name);
    if (!sums.applies) {
        con_printf(con_out(),
                   "AccurateRip and CRC32 do not apply: the audio is not 16-bit stereo at 44.1 kHz\n");
        return;
    }
    con_printf(con_out(), "AccurateRip v1 %08x v2 %08x, CRC32 %08x\n", sums.v1, sums.v2, sums.crc32);
}

bool verified(const run_options& options, const track_checksums& sums, const ar_response* response) {
    for (unsigned k = 0; k < options.expected_count; k++) {
        if (!matches(options.expected[k], sums)) return false;
    }
    int version = 0;
    return !response || best_confidence(*response, sums, version) >= 0;
}

namespace {

// What the verdict line says after its colon: each expected value and the response file.
std::string verdict_parts(const run_options& options, const track_checksums& sums,
                          const ar_response* response) {
    std::string parts;
    for (unsigned k = 0; k < options.expected_count; k++) {
        parts += (parts.empty() ? "" : "; ") + expected_part(options.expected[k], sums);
    }
    if (response) parts += (parts.empty() ? "" : "; ") + response_part(*response, sums);
    return parts;
}

}  // namespace

void record_verdict(track_record& t, const run_options& options, const track_checksums& sums,
                    const ar_response* response) {
    t.has_sums = sums.applies;
    t.arv1 = sums.v1;
    t.arv2 = sums.v2;
    t.crc32 = sums.crc32;
    if (options.expected_count == 0 && !response) return;
    t.verdict = verified(options, sums, response) ? "verified" : "not verified";
    t.note = verdict_parts(options, sums, response);
    int version = 0;
    size_t index = 0;
    const int confidence = response ? best_confidence(*response, sums, version, &index) : -1;
    t.confidence = confidence > 0 ? static_cast<uint32_t>(confidence) : 0;
    t.has_pressing = confidence >= 0;
    t.pressing = static_cast<uint32_t>(index);
}

void print_verdict(const char* out_name, const run_options& options, const track_checksums& sums,
                   const ar_response* response) {
    if (options.expected_count == 0 && !response) return;
    const std::string parts = verdict_parts(options, sums, response);
    put_name(out_name);
    con_printf(con_out(), "%s: %s\n", verified(options, sums, response) ? "verified" : "not verified",
               parts.c_str());
}
