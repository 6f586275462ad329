#pragma once
// The report after the block loop: one line per input with its digest (when digests are on),
// its name and hit score, " best" for the highest score, and a last line with the output's digest.

#include <cstdint>

#include "base/globals.h"
#include "g_linux_crypt.h"

void print_report(uint64_t count, const name_row* names, const char* out_name, G_CRYPT& crypt,
                  const uint64_t* total_hits);
