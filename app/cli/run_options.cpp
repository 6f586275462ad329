#include "cli/run_options.h"

#include <fcntl.h>

#include <cstring>

#include "base/globals.h"

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
    } else if (strcmp(arg, "--help") == 0) {
        options.help = true;
    } else if (strcmp(arg, "--version") == 0) {
        options.version = true;
    } else if (strcmp(arg, "--align") == 0) {
        options.align = true;
    } else if (strcmp(arg, "--cd") == 0) {
        options.cd = true;
    } else {
        return false;
    }
    return true;
}

void apply_classic_switches(const run_options& options) {
    if (options.sample_vote) AUDIOCD_IGNORE_CORRECTED = true;
    if (options.direct_io) DW_READ_FLAGS = O_DIRECT;
}
