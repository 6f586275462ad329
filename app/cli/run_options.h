#pragma once
// Switches beyond the classic command line. Each is recognised only by its exact name; every
// other argument keeps its classic meaning, so a command line without them behaves as before.

struct added_switches {
    const char* map_name = nullptr;  // --map FILE: where the copies disagreed, as a table
    bool map_missing_name = false;   // --map was the last argument
    bool help = false;               // --help
    bool version = false;            // --version
    bool align = false;              // --align: find each copy's read offset and vote aligned
    bool cd = false;                 // --cd: the sample vote made for CD audio
};

// Takes argv[i] if it is an added switch (consuming argv[i + 1] for one that takes a value, by
// advancing i). Returns false for every other argument.
bool take_added_switch(added_switches& added, int argc, char** argv, int& i);
