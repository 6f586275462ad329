#include "cli/disc_line.h"

#include <strings.h>

#include <cstring>

#include "base/app_error.h"

namespace {

const char* const DIGEST_SWITCHES[] = {"-md2", "-md4", "-md5", "-sha1", "-sha256", "-sha384", "-sha512"};

bool is_digest_switch(const char* arg) {
    for (const char* d : DIGEST_SWITCHES) {
        if (strcasecmp(arg, d) == 0) return true;
    }
    return false;
}

// The switches that take a value; the value is stored through `slot`. False for other arguments.
bool take_valued(int argc, char** argv, int& i, disc_line& line, int& status) {
    const char* arg = argv[i];
    std::string* slot = nullptr;
    if (strcmp(arg, "-o") == 0) slot = &line.out_dir;
    if (strcmp(arg, "--map") == 0) slot = &line.map_dir;
    if (strcmp(arg, "--accuraterip") == 0) slot = &line.response_name;
    if (!slot) return false;
    if (i + 1 >= argc) {
        app_error("read", arg, "the switch needs a value");
        status = -1;
        return true;
    }
    *slot = argv[++i];
    return true;
}

// One argument that is no valued switch: a flag, a refused switch, or a rip folder.
int take_plain(const char* arg, disc_line& line) {
    if (strcmp(arg, "-v") == 0 || strcmp(arg, "--verbose") == 0) {
        line.verbose = true;
    } else if (strcmp(arg, "--disc") == 0) {
        // The switch that brought the run here.
    } else if (strcmp(arg, "--align") == 0) {
        line.align = true;
    } else if (strcmp(arg, "--ar") == 0) {
        // Every track's sums are printed anyway.
    } else if (strcmp(arg, "-a") == 0 || strcmp(arg, "--cd") == 0) {
        line.byte_vote = false;
        line.pass.push_back(arg);
    } else if (strcmp(arg, "-b") == 0 || is_digest_switch(arg)) {
        line.pass.push_back(arg);
    } else if (strcmp(arg, "--track") == 0 || strcmp(arg, "--expect") == 0) {
        app_error("read", arg, "--disc gives every track its own position and sums; leave it out");
        return -1;
    } else if (strcmp(arg, "--report") == 0 || strcmp(arg, "--picture") == 0) {
        app_error(
            "read", arg,
            "--disc writes its record and picture to OUTDIR (copyvote.json, copyvote.svg); leave it out");
        return -1;
    } else {
        line.rips.push_back(arg);
    }
    return 0;
}

}  // namespace

int parse_disc_line(int argc, char** argv, disc_line& line) {
    int status = 0;
    for (int i = 1; i < argc && status == 0; i++) {
        if (take_valued(argc, argv, i, line, status)) continue;
        status = take_plain(argv[i], line);
    }
    if (status != 0) return -1;
    if (line.rips.size() < 2) {
        app_error("read", "--disc", "give at least two rip folders (three for a vote)");
        return -1;
    }
    if (line.out_dir.empty()) {
        app_error("read", "--disc", "give the folder for the restored tracks with -o OUTDIR");
        return -1;
    }
    return 0;
}
