#pragma once
// The command line of a whole disc (--disc): rip folders instead of copies, -o the folder of the
// restored tracks, -v or --verbose, and the switches that every track's run takes over as given.

#include <string>
#include <vector>

struct disc_line {
    std::vector<std::string> rips;  // the rip folders, in the order given
    std::string out_dir;            // -o OUTDIR
    bool verbose = false;           // -v, --verbose: each track's classic output too
    bool align = false;             // --align on the line: every track is aligned
    std::string map_dir;            // --map DIR: each track's map goes there; empty: none
    std::string response_name;      // --accuraterip FILE; empty: none
    std::vector<std::string> pass;  // -a, -b, --cd, digest switches: handed to every track
    bool byte_vote = true;          // neither -a nor --cd: the map counts bytes, not samples
};

// Parses argv of a --disc run. Returns 0, or -1 after a "copyvote: ..." line for a line that
// cannot be run: a switch without its value, --track or --expect (a disc's tracks get their own
// positions and sums), fewer than two rip folders, no -o.
int parse_disc_line(int argc, char** argv, disc_line& line);
