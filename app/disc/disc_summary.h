#pragma once
// What a whole disc says of its tracks: each track's figures and verdict in its line, the table,
// the summary line, the exit status, and the log, record and picture it leaves (disc_report.h).

#include <string>
#include <vector>

#include "disc/disc_state.h"

// "4 copies, 12 samples disputed, 0 guessed; verified: ..." for a track's line.
std::string figures_text(const track_result& r);

// The table of every track, after the tracks' lines.
void print_table(const disc_state& s, const std::vector<track_result>& results);

// "4 tracks: 3 verified, 1 not verified (track 4: ...)", with up to three guessed times per track.
std::string summary_line(const disc_state& s, const std::vector<track_result>& results);

// copyvote.log, copyvote.json and copyvote.svg in OUTDIR. Returns 0 or -1 after an error line.
int leave_disc_files(const disc_state& s, const std::vector<track_result>& results,
                     const std::string& summary, int argc, char** argv);

// 0 when every track was restored (and verified where asked), 1 when one was not verified or left
// out, -1 when a track's run failed.
int disc_status(const std::vector<track_result>& results);
