#include "run/report.h"

#include <cstdio>

#include "g_console.h"

namespace {

void print_digest(FILE* out, const G_CRYPT& crypt, uint64_t slot) {
    const uint8_t* digest = crypt.txt_hashes[slot];
    for (uint32_t b = 0; b < crypt.hash_length; b++) con_printf(out, "%02x", digest[b]);
}

uint64_t highest_score(uint64_t count, const uint64_t* total_hits) {
    uint64_t max_hits = 0;
    for (uint64_t i = 0; i < count; i++) {
        if (total_hits[i] > max_hits) max_hits = total_hits[i];
    }
    return max_hits;
}
}  // namespace

void print_report(uint64_t count, const name_row* names, const char* out_name, G_CRYPT& crypt,
                  const uint64_t* total_hits) {
    FILE* out = con_out();
    if (crypt.enabled) crypt.update_txt_hashes();
    const uint64_t max_hits = highest_score(count, total_hits);
    for (uint64_t i = 0; i < count; i++) {
        if (crypt.enabled) {
            print_digest(out, crypt, i + 1);
            fputc(' ', out);
        }
        fputc('[', out);
        con_put_right(out, names[i], NAME_COLUMNS);
        con_printf(out, "] %5llu%s\n", static_cast<unsigned long long>(total_hits[i]),
                   total_hits[i] == max_hits ? " best" : "");
    }
    if (crypt.enabled) {
        print_digest(out, crypt, 0);
        fputs(" [", out);
        con_put_right(out, out_name, NAME_COLUMNS);
        fputs("]\n", out);
    }
}
