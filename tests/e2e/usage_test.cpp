// The usage text, and every command line that leads to it.

#include <gcrypt.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "e2e_util.h"
#include "test_support.h"

using namespace e2e;
using testing_support::file_exists;
using testing_support::run_program;
using testing_support::ScopedTempDir;
using testing_support::write_file;

namespace {

// The whole usage text with `program` as the program's name.
std::string usage_text(const std::string& program) {
    return std::string(":: statistical data restore utility - copyvote\n") +
           "-------------------------------------------------------------------------------\n" +
           ":: Helps to restore data from files that cannot be read accurately. For example\n" +
           ":: tracks from scratched Audio-CDs may contain random errors. If a track is\n" +
           ":: read multiple times and saved to 3 or more files (maximum supported:384), \n" +
           ":: then usually the different copies will have different errors. In that case\n" +
           ":: it is possible to analyse them and statistically choose the best value\n" +
           ":: for each byte.\n" +
           "-------------------------------------------------------------------------------\n" +
           "::usage::\n" +
           "\t" + program + " <file1> <file2> <file3> [file 4-384] [-o out file] [-a] [-b]\n" +
           "\t[-md2|-md4|-md5|-sha1|-sha256|-sha384|-sha512]\n" +
           "\n" +
           "::example::\n" +
           "\t" + program + " 1.wav 2.wav 3.wav 4.wav 5.wav 6.wav -o out.wav\n" +
           "\t" + program + " r:\\01\\1.wav 3.wav 4.wav 5.wav 6.wav -b -sha1\n" +
           "\t" + program + " *.wav -a -b -sha1 \t:: Wildcards are supported [* ?].\n" +
           "\n" +
           "::If no output file is specified, out.wav is created in the same directory\n" +
           "\tas the first file, or if no slash \"/\" or backslash \"\\\" is found in\n" +
           "\tit's file name, then the current directory is used.\n" +
           "\n" +
           ":: By default read buffering is enabled to spead-up reading of files cached\n" +
           "\tin RAM. However when reading many large files that cannot fit in the,\n" +
           "\tRAM, it might be better to disable the read buffering by adding the\n" +
           "\t-b switch. Note: write buffering to the output file is always disabled.\n" +
           "\n" +
           ":: Each file requires 2 or 4 MB of RAM for read buffers (1 large page).\n" +
           "\t63 input files + 1 output file will use 128 or 256 MB RAM.\n" +
           "\n" +
           ":: CD drives may conceal read errors from Audio-CDs by taking the average value\n" +
           "\tof the previous and next sample, if they don't have errors. If most\n" +
           "\tof the input files have such a corrected sample, it will get most of\n" +
           "\tthe hits and is copied to the output. To avoid this, specify the\n" +
           "\t-a switch. Corrected samples are detected and don't count as hits.\n" +
           "\tIn most cases this may find a better match, but may also introduce\n" +
           "\terrors, so avoid input files with many errors. Use the hit score from a\n" +
           "\tprevious scan to find the input files with least hits and remove them.\n" +
           "\tNote: the -a switch will force 16 bit scanning, instead of 8 bit, so\n" +
           "\tthe samples must be aligned to 16 bits.\n" +
           "\n" +
           ":: If the current sample is different in all input files, then the value is\n" +
           "\tcopied from the input with highest total number of hits so far.\n" +
           "\t\n" +
           "\n" +
           "\n" +
           "::added switches::\n" +
           "\t--map FILE  write where the copies disagreed to FILE, a tab-separated table\n" +
           "\t--report FILE\n\t            write what the run came to as JSON to FILE\n" +
           "\t--picture FILE\n\t            draw the damage and the places to listen to again as SVG\n" +
           "\t--cd        vote CD audio by samples, overruling values the drive concealed\n" +
           "\t--align     find each copy's read offset against the first; vote them aligned\n" +
           "\t--ar        print the output's AccurateRip v1 and v2 and CRC32\n" +
           "\t--track N/M the output is track N of a disc of M (the first and last count less)\n" +
           "\t--expect KIND:HEX\n\t            the output must match it: arv1 arv2 crc32 md5 sha1 sha256 ...\n" +
           "\t--accuraterip FILE\n\t            the output must match its track's entry in this response file\n" +
           "\t--disc DIR1 DIR2 ...\n\t            vote whole rips of a disc, one folder each, into -o OUTDIR\n" +
           "\t--verbose   with --disc (also -v): print each track's classic output\n" +
           "\t--help      print copyvote's own help on standard output and exit\n" +
           "\t--version   print the versions of copyvote and libgcrypt and exit\n" +
           "\n";
}

void expect_usage(const RunResult& r, const std::string& program) {
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out, CLEAR_SCREEN + usage_text(program));
    EXPECT_EQ(r.err, "");
}

}  // namespace

TEST(Usage, NoArgumentsPrintTheUsageText) {
    expect_usage(run_copyvote({}), testing_support::copyvote_path());
}

TEST(Usage, FewerThanThreeNamesPrintTheUsageTextAndOpenNothing) {
    ScopedTempDir dir;
    write_file(dir.file("1.wav"), "abc");
    write_file(dir.file("2.wav"), "abc");
    const std::string program = testing_support::copyvote_path();
    expect_usage(run_copyvote({"-h"}, in_dir(dir.path())), program);
    expect_usage(run_copyvote({"--HELP"}, in_dir(dir.path())), program);
    // A switch's value is not a switch: here "--help" names the map.
    expect_usage(run_copyvote({"--map", "--help", "1.wav"}, in_dir(dir.path())), program);
    expect_usage(run_copyvote({"1.wav", "2.wav"}, in_dir(dir.path())), program);
    // Switches and their values are not names, and a pattern without matches adds none. The
    // digest set is not touched for a list that is too short.
    expect_usage(run_copyvote({"1.wav", "-o", "3.wav", "-md5", "-a", "-b", "2.wav", "*.none"}, in_dir(dir.path())),
                 program);
    EXPECT_FALSE(file_exists(dir.file("3.wav")));
    EXPECT_FALSE(file_exists(dir.file("out.wav")));
}

TEST(Usage, TheProgramNameIsPrintedAsGiven) {
    const std::string path = testing_support::copyvote_path();
    const std::string directory = path.substr(0, path.rfind('/'));
    const std::string base = path.substr(path.rfind('/') + 1);
    expect_usage(run_program({"./" + base, "x"}, in_dir(directory)), "./" + base);
}

TEST(Usage, AProgramNameWithPercentSignsAndNonAsciiBytesIsPrintedLiterally) {
    ScopedTempDir dir;
    const std::string link = dir.file("cv%s%n-\xc3\xbc-\xe4");
    ASSERT_EQ(symlink(testing_support::copyvote_path().c_str(), link.c_str()), 0);
    expect_usage(run_program({link}), link);
}

TEST(Usage, WithTheOutputOnStandardOutputTheUsageGoesToStandardError) {
    const RunResult r = run_copyvote({"1.wav", "-o", "-"});
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, CLEAR_SCREEN + usage_text(testing_support::copyvote_path()));
}

// Help and the version are asked for, so they exit with 0, and a script reading them gets the
// text alone, without the screen-clearing sequence; nothing is opened even with three inputs.
TEST(Usage, HelpAndVersionPrintCleanTextOnStandardOutputAndExitWithZero) {
    ScopedTempDir dir;
    write_all(dir, {"1.wav", "2.wav", "3.wav"}, "abc");
    const std::string program = testing_support::copyvote_path();
    const std::string version = std::string("copyvote ") + COPYVOTE_VERSION + "\nlibgcrypt " +
                                gcry_check_version(nullptr) + "\n";
    // copyvote's own help names every switch the usage text's added block lists, the classic
    // ones and the right limits, in lines a terminal shows whole.
    const std::string own_help = run_copyvote({"--help"}).out;
    const std::string usage = usage_text(program);
    const std::regex added_switch("\n\t(--?[a-z0-9]+)");
    for (std::sregex_iterator m(usage.begin(), usage.end(), added_switch), end; m != end; ++m)
        EXPECT_NE(own_help.find("  " + (*m)[1].str()), std::string::npos) << (*m)[1];
    for (const char* s : {"-o ", "-a ", "-b ", "-md2", "-sha512", "3 to 384", "man copyvote"})
        EXPECT_NE(own_help.find(s), std::string::npos) << s;
    EXPECT_EQ(own_help.find("63 input"), std::string::npos);
    for (size_t at = 0, next; (next = own_help.find('\n', at)) != std::string::npos; at = next + 1)
        EXPECT_LE(next - at, 100u) << own_help.substr(at, next - at);
    const struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"--help"}, own_help},
        {{"1.wav", "2.wav", "3.wav", "--help", "-o", "-"}, own_help},
        {{"--version", "--help"}, own_help},
        {{"--version"}, version},
        {{"1.wav", "-o", "x", "2.wav", "3.wav", "--version"}, version},
    };
    for (const auto& c : cases) {
        const RunResult r = run_copyvote(c.args, in_dir(dir.path()));
        EXPECT_EQ(r.exit_code, 0) << c.args[0];
        EXPECT_EQ(r.out, c.out) << c.args[0];
        EXPECT_EQ(r.err, "") << c.args[0];
    }
    EXPECT_FALSE(file_exists(dir.file("out.wav")));
    EXPECT_FALSE(file_exists(dir.file("x")));
}
