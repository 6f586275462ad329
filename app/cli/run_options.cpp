#include "cli/run_options.h"

#include <cstring>

bool take_added_switch(added_switches& added, int argc, char** argv, int& i) {
    const char* arg = argv[i];
    if (arg[0] != '-' || arg[1] != '-') return false;
    if (strcmp(arg, "--map") == 0) {
        if (i + 1 >= argc) {
            added.map_missing_name = true;
        } else {
            added.map_name = argv[++i];
        }
    } else if (strcmp(arg, "--help") == 0) {
        added.help = true;
    } else if (strcmp(arg, "--version") == 0) {
        added.version = true;
    } else if (strcmp(arg, "--align") == 0) {
        added.align = true;
    } else if (strcmp(arg, "--cd") == 0) {
        added.cd = true;
    } else {
        return false;
    }
    return true;
}
