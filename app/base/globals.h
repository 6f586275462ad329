#pragma once
// Limits and globals shared by the driver, the command line and the engine.

#include <cstddef>
#include <cstdint>

const uint64_t MAX_INPUTS = 384;  // most inputs a run takes
const size_t NAME_SIZE = 1024;    // bytes of one name row, terminating NUL included
const uint64_t MIN_INPUTS = 3;    // fewest inputs a vote makes sense with

typedef char name_row[NAME_SIZE];

// Columns in which a name is right-aligned in the status lines, the report and the shift lines.
const size_t NAME_COLUMNS = 24;

// Set by -a: disputed words are voted by 16-bit samples with corrected-sample screening.
extern bool AUDIOCD_IGNORE_CORRECTED;
// Set to O_DIRECT by -b: extra open flags for every input.
extern uint32_t DW_READ_FLAGS;

// Time-stamp-counter readings at the start of the current I/O and voting phase, and the
// summed cycles of all I/O and voting phases of the run.
extern uint64_t a_disk, a_cpu, t_disk, t_cpu;
