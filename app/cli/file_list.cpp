#include "cli/file_list.h"

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

// The error line for a name that does not fit in a row. A name cut to fit would be another
// file (or, for several names of one long directory, the same prefix four times), so such a
// name ends the run instead. Long names are shown by their two ends.
void refuse_long_name(const char* what, const std::string& name) {
    const size_t shown_end = 60;
    const std::string shown = name.size() <= 2 * shown_end + 3
                                  ? name
                                  : name.substr(0, shown_end) + "..." + name.substr(name.size() - shown_end);
    char head[160];
    snprintf(head, sizeof head, "%s of %zu bytes, longer than the %zu bytes a name may have: ", what,
             name.size(), NAME_SIZE - 1);
    wchar_t context[512] = L"";
    con_widen_append(context, 512, head);
    con_widen_append(context, 512, shown.c_str());
    print_format_inline(ENAMETOOLONG, context);
}

// One parse of the command line. A preview prints nothing: it only finds out which output the
// run will have.
struct list_builder {
    name_row* names;
    uint64_t& count;
    bool preview;
    bool refused;  // a name did not fit; its error line has been printed unless previewing
};

// Refuses (with the error line unless previewing) a name longer than a row holds.
bool fits_in_row(list_builder& list, const char* what, const std::string& name) {
    if (name.size() < NAME_SIZE) return true;
    if (!list.preview) refuse_long_name(what, name);
    list.refused = true;
    return false;
}

// Stores prefix + name, or prints the skip message when the table is full.
// Returns false when the name was skipped or refused.
bool add_name(list_builder& list, const char* what, const char* prefix, const char* name) {
    if (list.count >= MAX_INPUTS) {
        if (!list.preview) print_skipped(name);
        return false;
    }
    if (!fits_in_row(list, what, std::string(prefix) + name)) return false;
    snprintf(list.names[list.count], NAME_SIZE, "%s%s", prefix, name);
    list.count++;
    return true;
}

// Adds the files of the argument's directory whose names match its last path component.
void expand_wildcard(list_builder& list, const char* arg) {
    const char* slash = strrchr(arg, '/');
    const std::string dir_part =
        slash ? std::string(arg, static_cast<size_t>(slash - arg + 1)) : std::string();
    const char* pattern = slash ? slash + 1 : arg;
    g_dir listing(slash ? dir_part.c_str() : ".", nullptr);
    while (listing.next(pattern) == 0) {
        const char* name = listing.get_name();
        if (listing.is_directory() || strcmp(name, DEFAULT_OUTPUT) == 0) continue;
        if (!add_name(list, "wildcard match", dir_part.c_str(), name)) break;
    }
    listing.close();
}

// Derives "out.wav" beside the first input. Fails, with an error line unless previewing, when
// the first input's directory part leaves no room for the name in a row.
bool derive_output_name(const list_builder& list, char* out_name) {
    const char* first = list.names[0];
    const size_t len = strnlen(first, NAME_SIZE);
    size_t dir_len = 0;
    for (size_t i = 0; i < len; i++) {
        if (first[i] == '/' || first[i] == '\\') dir_len = i + 1;
    }
    if (dir_len + sizeof DEFAULT_OUTPUT > NAME_SIZE) {
        if (!list.preview) {
            print_format_inline(
                ENAMETOOLONG,
                L"default output name: the directory of the first input is too long for out.wav");
        }
        return false;
    }
    memcpy(out_name, first, dir_len);
    memcpy(out_name + dir_len, DEFAULT_OUTPUT, sizeof DEFAULT_OUTPUT);
    return true;
}

}  // namespace

int parse_command_line(name_row* names, uint64_t& count, char* out_name, int argc, char** argv,
                       run_options& options, bool take_added, bool quiet) {
    list_builder list{names, count, quiet, false};
    memset(list.names, 0, MAX_INPUTS * NAME_SIZE);
    memset(out_name, 0, NAME_SIZE);
    list.count = 0;
    options = run_options();
    if (argc < 2) return -1;

    const char* output = nullptr;
    for (int i = 1; i < argc && !list.refused; i++) {
        const char* arg = argv[i];
        if (uint32_t alg = digest_algorithm(arg)) {
            options.digest_alg = alg;
        } else if (take_added && take_added_switch(options, argc, argv, i)) {
            continue;
        } else if (has_wildcard(arg)) {
            expand_wildcard(list, arg);
        } else if (strcmp(arg, "-a") == 0) {
            options.sample_vote = true;
        } else if (strcmp(arg, "-b") == 0) {
            options.direct_io = true;
        } else if (strcmp(arg, "-o") == 0) {
            if (i + 1 >= argc) break;
            output = argv[++i];
        } else {
            add_name(list, "input name", "", arg);
        }
    }
    if (!list.refused && output && fits_in_row(list, "output name", output)) {
        snprintf(out_name, NAME_SIZE, "%s", output);
    }
    if (!list.refused && options.map_name) fits_in_row(list, "map name", options.map_name);
    if (list.refused) return LIST_REFUSED;
    if (list.count < MIN_INPUTS) {
        list.count = 0;
        return -1;
    }
    if (!output && !derive_output_name(list, out_name)) return LIST_REFUSED;
    return 0;
}

int init_file_list(name_row* names, uint64_t& count, char* out_name, int argc, char** argv, G_CRYPT& crypt,
                   run_options* options) {
    run_options parsed;
    const int result =
        parse_command_line(names, count, out_name, argc, argv, parsed, options != nullptr, false);
    apply_classic_switches(parsed);
    if (result == 0 && parsed.digest_alg != 0) crypt.init(count + 1, 0, parsed.digest_alg);
    if (options) *options = parsed;
    return result;
}

int preview_output_name(name_row* names, char* out_name, int argc, char** argv, run_options& options) {
    uint64_t count = 0;
    const int result = parse_command_line(names, count, out_name, argc, argv, options, true, true);
    return result == LIST_REFUSED ? LIST_REFUSED : 0;
}
