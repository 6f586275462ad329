#include "file_list.h"

#include <fcntl.h>
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "g_console.h"
#include "g_dir.h"
#include "g_print.h"

namespace {

const char DEFAULT_OUTPUT[] = "out.wav";

struct digest_switch {
    const char* name;
    uint32_t alg_id;
};

const digest_switch DIGEST_SWITCHES[] = {
    {"-md2", GCRY_MD_MD2},       {"-md4", GCRY_MD_MD4},       {"-md5", GCRY_MD_MD5},
    {"-sha1", GCRY_MD_SHA1},     {"-sha256", GCRY_MD_SHA256}, {"-sha384", GCRY_MD_SHA384},
    {"-sha512", GCRY_MD_SHA512},
};

// The algorithm of a digest switch (any letter case), or 0 when `arg` is none.
uint32_t digest_algorithm(const char* arg) {
    for (const digest_switch& d : DIGEST_SWITCHES) {
        if (strcasecmp(arg, d.name) == 0) return d.alg_id;
    }
    return 0;
}

bool has_wildcard(const char* arg) { return strpbrk(arg, "*?") != nullptr; }

void print_skipped(const char* name) {
    con_printf(con_out(), "[%s]\n\t^ skipped: maximum input files allowed %u\n\n", name,
               static_cast<unsigned>(MAX_INPUTS));
}

// Stores one accepted name, or prints the skip message when the table is full.
// Returns false when the name was skipped.
bool add_name(name_row* names, uint64_t& count, const char* prefix, const char* name) {
    if (count >= MAX_INPUTS) {
        print_skipped(name);
        return false;
    }
    snprintf(names[count], NAME_SIZE, "%s%s", prefix, name);
    count++;
    return true;
}

// Adds the files of the argument's directory whose names match its last path component.
void expand_wildcard(name_row* names, uint64_t& count, const char* arg) {
    const char* slash = strrchr(arg, '/');
    const std::string dir_part = slash ? std::string(arg, static_cast<size_t>(slash - arg + 1)) : std::string();
    const char* pattern = slash ? slash + 1 : arg;
    g_dir listing(slash ? dir_part.c_str() : ".", nullptr);
    while (listing.next(pattern) == 0) {
        const char* name = listing.get_name();
        if (listing.is_directory() || strcmp(name, DEFAULT_OUTPUT) == 0) continue;
        if (!add_name(names, count, dir_part.c_str(), name)) break;
    }
    listing.close();
}

// Derives "out.wav" beside the first input. Fails, with an error line, when the first input's
// directory part leaves no room for the name in a row.
bool derive_output_name(const name_row* names, char* out_name) {
    const char* first = names[0];
    const size_t len = strnlen(first, NAME_SIZE);
    size_t dir_len = 0;
    for (size_t i = 0; i < len; i++) {
        if (first[i] == '/' || first[i] == '\\') dir_len = i + 1;
    }
    if (dir_len + sizeof DEFAULT_OUTPUT > NAME_SIZE) {
        print_format_inline(ENAMETOOLONG,
                            L"default output name: the directory of the first input is too long for out.wav");
        return false;
    }
    memcpy(out_name, first, dir_len);
    memcpy(out_name + dir_len, DEFAULT_OUTPUT, sizeof DEFAULT_OUTPUT);
    return true;
}

}  // namespace

const char* find_output_argument(int argc, char** argv, added_switches* added) {
    const char* output = nullptr;
    added_switches ignored;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-o") != 0) {
            take_added_switch(added ? *added : ignored, argc, argv, i);
            continue;
        }
        if (i + 1 >= argc) break;
        output = argv[++i];
    }
    return output;
}

int init_file_list(name_row* names, uint64_t& count, char* out_name, int argc, char** argv, G_CRYPT& crypt,
                   added_switches* added) {
    memset(names, 0, MAX_INPUTS * NAME_SIZE);
    memset(out_name, 0, NAME_SIZE);
    count = 0;
    if (argc < 2) return -1;

    bool output_given = false;
    uint32_t alg_id = GCRY_MD_SHA1;
    bool digest_requested = false;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (uint32_t alg = digest_algorithm(arg)) {
            digest_requested = true;
            alg_id = alg;
        } else if (added && take_added_switch(*added, argc, argv, i)) {
            continue;
        } else if (has_wildcard(arg)) {
            expand_wildcard(names, count, arg);
        } else if (strcmp(arg, "-a") == 0) {
            AUDIOCD_IGNORE_CORRECTED = true;
        } else if (strcmp(arg, "-b") == 0) {
            DW_READ_FLAGS = O_DIRECT;
        } else if (strcmp(arg, "-o") == 0) {
            if (i + 1 >= argc) break;
            snprintf(out_name, NAME_SIZE, "%s", argv[++i]);
            output_given = true;
        } else {
            add_name(names, count, "", arg);
        }
    }
    if (count < MIN_INPUTS) {
        count = 0;
        return -1;
    }
    if (!output_given && !derive_output_name(names, out_name)) return -1;
    if (digest_requested) crypt.init(count + 1, 0, alg_id);
    return 0;
}
