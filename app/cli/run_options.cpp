#include "cli/run_options.h"

#include <fcntl.h>
#include <gcrypt.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/app_error.h"
#include "base/globals.h"

namespace {

struct sum_kind {
    const char* name;
    int algo;         // libgcrypt digest; 0 for a 32-bit sum
    unsigned length;  // bytes
};

const sum_kind SUM_KINDS[] = {
    {"arv1", 0, 4},
    {"arv2", 0, 4},
    {"crc32", 0, 4},
    {"md2", GCRY_MD_MD2, 16},
    {"md4", GCRY_MD_MD4, 16},
    {"md5", GCRY_MD_MD5, 16},
    {"sha1", GCRY_MD_SHA1, 20},
    {"sha256", GCRY_MD_SHA256, 32},
    {"sha384", GCRY_MD_SHA384, 48},
    {"sha512", GCRY_MD_SHA512, 64},
};

// A whole decimal number of up to six digits.
bool parse_count(const char* text, size_t length, uint32_t& n) {
    if (length == 0 || length > 6) return false;
    n = 0;
    for (size_t k = 0; k < length; k++) {
        if (text[k] < '0' || text[k] > '9') return false;
        n = n * 10 + static_cast<uint32_t>(text[k] - '0');
    }
    return true;
}

// "N/M" with 1 <= N <= M.
bool parse_track(const char* text, track_position& pos) {
    const char* slash = strchr(text, '/');
    if (!slash) return false;
    return parse_count(text, static_cast<size_t>(slash - text), pos.number) &&
           parse_count(slash + 1, strlen(slash + 1), pos.count) && pos.number >= 1 && pos.number <= pos.count;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parse_hex(const char* hex, uint8_t* out, unsigned length) {
    if (strlen(hex) != 2 * length) return false;
    for (unsigned k = 0; k < length; k++) {
        const int high = hex_digit(hex[2 * k]), low = hex_digit(hex[2 * k + 1]);
        if (high < 0 || low < 0) return false;
        out[k] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

// "KIND:HEX" with a kind of SUM_KINDS and as many hexadecimal digits as its value has.
bool parse_expected(const char* text, expected_sum& e) {
    const char* colon = strchr(text, ':');
    if (!colon) return false;
    const size_t kind_length = static_cast<size_t>(colon - text);
    for (const sum_kind& k : SUM_KINDS) {
        if (strlen(k.name) != kind_length || strncasecmp(text, k.name, kind_length) != 0) continue;
        memcpy(e.kind, k.name, kind_length + 1);
        e.algo = k.algo;
        e.length = k.length;
        return parse_hex(colon + 1, e.value, k.length);
    }
    return false;
}

// Takes the value of a switch that needs one; notes the first that is missing or malformed.
bool take_value(run_options& options, int argc, char** argv, int& i, const char** value) {
    if (i + 1 >= argc) {
        if (!options.bad_switch) options.bad_switch = argv[i];
        return false;
    }
    *value = argv[++i];
    return true;
}

void note_bad(run_options& options, const char* name, const char* value) {
    if (options.bad_switch) return;
    options.bad_switch = name;
    options.bad_value = value;
}

// The switches of the checksums; false for any other argument.
bool take_checksum_switch(run_options& options, int argc, char** argv, int& i) {
    const char* name = argv[i];
    const char* value = nullptr;
    if (strcmp(name, "--ar") == 0) {
        options.ar = true;
    } else if (strcmp(name, "--track") == 0) {
        if (take_value(options, argc, argv, i, &value) && !parse_track(value, options.track)) {
            note_bad(options, name, value);
        }
    } else if (strcmp(name, "--expect") == 0) {
        if (!take_value(options, argc, argv, i, &value)) return true;
        if (options.expected_count == MAX_EXPECTED ||
            !parse_expected(value, options.expected[options.expected_count])) {
            note_bad(options, name, value);
        } else {
            options.expected_count++;
        }
    } else if (strcmp(name, "--accuraterip") == 0) {
        if (take_value(options, argc, argv, i, &value)) options.response_name = value;
    } else {
        return false;
    }
    return true;
}

std::string hex_of(const expected_sum& e) {
    static const char DIGITS[] = "0123456789abcdef";
    std::string text;
    for (unsigned k = 0; k < e.length; k++)
        text += std::string{DIGITS[e.value[k] >> 4], DIGITS[e.value[k] & 15]};
    return text;
}

// Two --expect values of one kind that differ can never both match, so the run could only end
// unverified: refused with an error line (-1). The same value given twice is allowed.
int check_expectations_agree(const run_options& options) {
    for (unsigned b = 1; b < options.expected_count; b++) {
        const expected_sum& later = options.expected[b];
        for (unsigned a = 0; a < b; a++) {
            const expected_sum& earlier = options.expected[a];
            if (strcmp(earlier.kind, later.kind) != 0 ||
                memcmp(earlier.value, later.value, later.length) == 0)
                continue;
            const std::string what = std::string("--expect ") + later.kind + ":" + hex_of(later);
            const std::string why = std::string(later.kind) + " is expected as " + hex_of(earlier) +
                                    " too; no output can match both";
            app_error("read", what.c_str(), why.c_str());
            return -1;
        }
    }
    return 0;
}

}  // namespace

const char* run_options::vote_name() const {
    if (cd) return "CD sample vote (--cd)";
    return sample_vote ? "sample vote (-a)" : "byte vote";
}

bool take_added_switch(run_options& options, int argc, char** argv, int& i) {
    const char* arg = argv[i];
    if (arg[0] != '-' || arg[1] != '-') return false;
    if (strcmp(arg, "--map") == 0) {
        if (i + 1 >= argc) {
            options.map_missing_name = true;
        } else {
            options.map_name = argv[++i];
        }
    } else if (strcmp(arg, "--report") == 0) {
        const char* value = nullptr;
        if (take_value(options, argc, argv, i, &value)) options.report_name = value;
    } else if (strcmp(arg, "--picture") == 0) {
        const char* value = nullptr;
        if (take_value(options, argc, argv, i, &value)) options.picture_name = value;
    } else if (strcmp(arg, "--help") == 0) {
        options.help = true;
    } else if (strcmp(arg, "--version") == 0) {
        options.version = true;
    } else if (strcmp(arg, "--align") == 0) {
        options.align = true;
    } else if (strcmp(arg, "--cd") == 0) {
        options.cd = true;
    } else if (strcmp(arg, "--disc") == 0) {
        options.disc = true;
    } else {
        return take_checksum_switch(options, argc, argv, i);
    }
    return true;
}

int check_switch_values(const run_options& options) {
    if (options.bad_switch && !options.bad_value) {
        app_error("read", options.bad_switch, "the switch needs a value");
        return -1;
    }
    if (options.bad_switch) {
        const bool track = strcmp(options.bad_switch, "--track") == 0;
        const std::string what = std::string(options.bad_switch) + " " + options.bad_value;
        app_error("read", what.c_str(),
                  track ? "give the track as N/M, N from 1 to M"
                        : "give KIND:HEX, KIND one of arv1 arv2 crc32 md2 md4 md5 sha1 sha256 sha384 sha512, "
                          "HEX of the value's length (at most 16 values)");
        return -1;
    }
    if (check_expectations_agree(options) != 0) return -1;
    if (options.response_name && options.track.number == 0) {
        app_error("read", options.response_name,
                  "--accuraterip needs --track N/M to know which entry is this track");
        return -1;
    }
    return 0;
}

void apply_classic_switches(const run_options& options) {
    if (options.sample_vote) AUDIOCD_IGNORE_CORRECTED = true;
    if (options.direct_io) DW_READ_FLAGS = O_DIRECT;
}
