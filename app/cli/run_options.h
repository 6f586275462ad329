#pragma once
// Everything a command line asks of a run besides its names: the classic switches as parsed
// (which the classic code reads through the process-wide globals, set from here in one place) and
// the switches copyvote added. Each added switch is recognised only by its exact name; every other
// argument keeps its classic meaning, so a command line without them behaves as before.

#include <cstdint>

struct run_options {
    // Classic switches.
    bool sample_vote = false;  // -a: vote 16-bit samples with corrected-sample screening
    bool direct_io = false;    // -b: open the inputs with O_DIRECT
    uint32_t digest_alg = 0;   // the last digest switch's libgcrypt algorithm; 0: no digest

    // Added switches.
    const char* map_name = nullptr;  // --map FILE: where the copies disagreed, as a table
    bool map_missing_name = false;   // --map was the last argument
    bool help = false;               // --help
    bool version = false;            // --version
    bool align = false;              // --align: find each copy's read offset and vote aligned
    bool cd = false;                 // --cd: the sample vote made for CD audio

    // The name of the vote the options select, as the map's comment line gives it.
    const char* vote_name() const;
};

// Takes argv[i] into `options` if it is an added switch (consuming argv[i + 1] for one that takes
// a value, by advancing i). Returns false for every other argument.
bool take_added_switch(run_options& options, int argc, char** argv, int& i);

// Sets the process-wide switches that the classic vote and the input opening read
// (AUDIOCD_IGNORE_CORRECTED, DW_READ_FLAGS) from the parsed classic switches. Only sets: a switch
// that is off leaves its global as it was.
void apply_classic_switches(const run_options& options);
