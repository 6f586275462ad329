#include "cli/usage.h"

#include <gcrypt.h>

#include <cstdio>
#include <cstring>

#include "base/globals.h"
#include "g_console.h"

namespace {

struct added_switch_line {
    const char* name;  // the switch with its value, as typed
    const char* text;
};

// The switches beyond the classic command line, one line each.
const added_switch_line ADDED_SWITCH_LINES[] = {
    {"--map FILE", "write where the copies disagreed to FILE, a tab-separated table"},
    {"--report FILE", "write what the run came to as JSON to FILE"},
    {"--picture FILE", "draw the damage and the places to listen to again as SVG"},
    {"--cd", "vote CD audio by samples, overruling values the drive concealed"},
    {"--align", "find each copy's read offset against the first; vote them aligned"},
    {"--ar", "print the output's AccurateRip v1 and v2 and CRC32"},
    {"--track N/M", "the output is track N of a disc of M (the first and last count less)"},
    {"--expect KIND:HEX", "the output must match it: arv1 arv2 crc32 md5 sha1 sha256 ..."},
    {"--accuraterip FILE", "the output must match its track's entry in this response file"},
    {"--disc DIR1 DIR2 ...", "vote whole rips of a disc, one folder each, into -o OUTDIR"},
    {"--verbose", "with --disc (also -v): print each track's classic output"},
    {"--help", "print copyvote's own help on standard output and exit"},
    {"--version", "print the versions of copyvote and libgcrypt and exit"},
};

void print_added_switches(FILE* out) {
    con_printf(out, "::added switches::\n");
    for (const added_switch_line& line : ADDED_SWITCH_LINES) {
        // A switch too long for the column gets a line of its own.
        if (strlen(line.name) >= 12) {
            con_printf(out, "\t%s\n\t%12s%s\n", line.name, "", line.text);
        } else {
            con_printf(out, "\t%-12s%s\n", line.name, line.text);
        }
    }
    con_printf(out, "\n");
}

}  // namespace

void help(const char* program_name) {
    FILE* out = con_out();
    const unsigned max = static_cast<unsigned>(MAX_INPUTS);
    const char* name = program_name ? program_name : "";
    const char* def = "out.wav";
    con_printf(out, ":: statistical data restore utility - copyvote\n");
    con_printf(out, "-------------------------------------------------------------------------------\n");
    con_printf(out, ":: Helps to restore data from files that cannot be read accurately. For example\n");
    con_printf(out, ":: tracks from scratched Audio-CDs may contain random errors. If a track is\n");
    con_printf(out, ":: read multiple times and saved to 3 or more files (maximum supported:%u), \n", max);
    con_printf(out, ":: then usually the different copies will have different errors. In that case\n");
    con_printf(out, ":: it is possible to analyse them and statistically choose the best value\n");
    con_printf(out, ":: for each byte.\n");
    con_printf(out, "-------------------------------------------------------------------------------\n");
    con_printf(out, "::usage::\n");
    con_printf(out, "\t%s <file1> <file2> <file3> [file 4-%u] [-o out file] [-a] [-b]\n", name, max);
    con_printf(out, "\t[-md2|-md4|-md5|-sha1|-sha256|-sha384|-sha512]\n");
    con_printf(out, "\n");
    con_printf(out, "::example::\n");
    con_printf(out, "\t%s 1.wav 2.wav 3.wav 4.wav 5.wav 6.wav -o %s\n", name, def);
    con_printf(out, "\t%s r:\\01\\1.wav 3.wav 4.wav 5.wav 6.wav -b -sha1\n", name);
    con_printf(out, "\t%s *.wav -a -b -sha1 \t:: Wildcards are supported [* ?].\n", name);
    con_printf(out, "\n");
    con_printf(out, "::If no output file is specified, %s is created in the same directory\n", def);
    con_printf(out, "\tas the first file, or if no slash \"/\" or backslash \"\\\" is found in\n");
    con_printf(out, "\tit's file name, then the current directory is used.\n");
    con_printf(out, "\n");
    con_printf(out, ":: By default read buffering is enabled to spead-up reading of files cached\n");
    con_printf(out, "\tin RAM. However when reading many large files that cannot fit in the,\n");
    con_printf(out, "\tRAM, it might be better to disable the read buffering by adding the\n");
    con_printf(out, "\t-b switch. Note: write buffering to the output file is always disabled.\n");
    con_printf(out, "\n");
    con_printf(out, ":: Each file requires 2 or 4 MB of RAM for read buffers (1 large page).\n");
    con_printf(out, "\t63 input files + 1 output file will use 128 or 256 MB RAM.\n");
    con_printf(out, "\n");
    con_printf(out, ":: CD drives may conceal read errors from Audio-CDs by taking the average value\n");
    con_printf(out, "\tof the previous and next sample, if they don't have errors. If most\n");
    con_printf(out, "\tof the input files have such a corrected sample, it will get most of\n");
    con_printf(out, "\tthe hits and is copied to the output. To avoid this, specify the\n");
    con_printf(out, "\t-a switch. Corrected samples are detected and don't count as hits.\n");
    con_printf(out, "\tIn most cases this may find a better match, but may also introduce\n");
    con_printf(out, "\terrors, so avoid input files with many errors. Use the hit score from a\n");
    con_printf(out, "\tprevious scan to find the input files with least hits and remove them.\n");
    con_printf(out, "\tNote: the -a switch will force 16 bit scanning, instead of 8 bit, so\n");
    con_printf(out, "\tthe samples must be aligned to 16 bits.\n");
    con_printf(out, "\n");
    con_printf(out, ":: If the current sample is different in all input files, then the value is\n");
    con_printf(out, "\tcopied from the input with highest total number of hits so far.\n");
    con_printf(out, "\t\n");
    con_printf(out, "\n");
    con_printf(out, "\n");
    print_added_switches(out);
}

void print_own_help() {
    static const char* const TEXT[] = {
        "copyvote %s: restores a file from three or more damaged copies of it, such as several",
        "rips of one track of a scratched CD, by a vote at every byte or 16-bit sample; it marks",
        "where the copies disagreed, scores every copy and can verify the result.",
        "",
        "Three ways to use it:",
        "  copyvote [switches] COPY COPY COPY... [-o OUTPUT]   restore one track or file",
        "  copyvote --disc RIPDIR RIPDIR RIPDIR... -o OUTDIR   restore a whole disc, one folder per rip",
        "  copyvote --cd --track N/M --accuraterip FILE COPY COPY COPY... -o OUTPUT",
        "                                                      restore a track and verify it",
        "",
        "Copies: 3 to 384 files: WAV, FLAC or any bytes. Wildcards * and ? are expanded by copyvote",
        "too: quote them ('rip*.wav'). The output defaults to out.wav beside the first copy; its",
        "name ending in .flac writes FLAC. An existing output is replaced only by a complete run.",
        "",
        "Switches:",
        "  -o FILE             the output (- for standard output)",
        "  -a                  vote 16-bit samples, passing over values that look interpolated",
        "                      (mono-minded; for CD audio use --cd)",
        "  --cd                vote CD audio by samples, overruling values a drive concealed",
        "  --align             find each copy's read offset against the first and vote them aligned",
        "  -b                  read the copies with direct I/O (bypassing the page cache)",
        "  -md2 -md4 -md5 -sha1 -sha256 -sha384 -sha512",
        "                      print that digest of every copy and of the output",
        "  --map FILE          write where the copies disagreed to FILE, a tab-separated table",
        "  --report FILE       write what the run came to as JSON to FILE",
        "  --picture FILE      draw the damage and the places to listen to again as SVG",
        "  --ar                print the output's AccurateRip v1 and v2 sums and its CRC32",
        "  --track N/M         the output is track N of a disc of M tracks",
        "  --expect KIND:HEX   the output must match it (arv1 arv2 crc32 md5 sha1 sha256 ...)",
        "  --accuraterip FILE  the output must match its track's entry in this response file",
        "                      (dBAR-NNN-xxxxxxxx-xxxxxxxx-xxxxxxxx.bin, as rippers fetch it)",
        "  --disc              the names are rip folders of a whole disc; -o names the folder",
        "  --verbose, -v       with --disc: print each track's own output",
        "  --help              print this text",
        "  --version           print the versions of copyvote and libgcrypt",
        "",
        "Examples (make examples makes their material):",
        "  copyvote 'rip*.wav' -o restored.wav --map restored.tsv",
        "  copyvote --cd --track 3/12 --accuraterip resp.bin rip1/03*.flac rip2/track03.cdda.wav \\",
        "           rip3/03*.flac -o 03.flac",
        "  copyvote --disc rip1 rip2 rip3 rip4 rip5 -o restored --cd --accuraterip resp.bin",
        "",
        "Exit status: 0 restored (and verified where asked), 1 complete but not verified, 255 failed.",
        "More: man copyvote (the glossary there explains samples, frames, read offsets, pressings,",
        "confidence and response files).",
    };
    FILE* out = con_out();
    con_printf(out, TEXT[0], COPYVOTE_VERSION);
    con_printf(out, "\n");
    for (size_t k = 1; k < sizeof TEXT / sizeof TEXT[0]; k++) con_printf(out, "%s\n", TEXT[k]);
}

void print_version() {
    FILE* out = con_out();
    con_printf(out, "copyvote %s\n", COPYVOTE_VERSION);
    // Asking for no minimum returns the version of the library that is linked in.
    const char* library = gcry_check_version(nullptr);
    con_printf(out, "libgcrypt %s\n", library ? library : "(unknown)");
}
