// The command line parsed in process: every switch, every refusal, the preview that prints
// nothing and sets no global; and the same-file rules that keep the output and the map off the
// inputs.

#include "cli/file_list.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "run/files.h"
#include "test_support.h"

namespace {

using testing_support::CaptureFd;
using testing_support::ScopedTempDir;

// The parse of `args` (after the program name) with the added switches taken.
struct parsed {
    int result;
    std::vector<std::string> names;
    std::string out_name;
    run_options options;   // its map name pointed into the arguments: see map_name
    std::string map_name;  // the value of --map, kept past the arguments' lifetime
    std::string printed;   // on standard output
};

parsed parse(std::vector<std::string> args, bool quiet = false) {
    args.insert(args.begin(), "copyvote");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::unique_ptr<name_row[]> names(new name_row[MAX_INPUTS]);
    char out_name[NAME_SIZE];
    uint64_t count = 0;
    parsed p;
    CaptureFd out(1);
    p.result = parse_command_line(names.get(), count, out_name, static_cast<int>(args.size()), argv.data(),
                                  p.options, true, quiet);
    p.printed = out.finish();
    for (uint64_t i = 0; i < count; i++) p.names.push_back(names[i]);
    if (p.options.map_name) p.map_name = p.options.map_name;
    p.options.map_name = nullptr;
    p.out_name = out_name;
    return p;
}

TEST(CommandLine, EverySwitchLandsInTheOptions) {
    const std::vector<std::string> three = {"a", "b", "c"};
    struct {
        std::vector<std::string> args;
        std::vector<std::string> names;
        std::string out_name;
        bool sample, direct, align, cd, help, version, map_missing;
        uint32_t digest;
        const char* map;
    } cases[] = {
        {{"a", "b", "c"}, three, "out.wav", false, false, false, false, false, false, false, 0, nullptr},
        {{"-a", "a", "-b", "b", "c"}, three, "out.wav", true, true, false, false, false, false, false, 0, nullptr},
        {{"a", "-MD5", "b", "-Sha256", "c"}, three, "out.wav", false, false, false, false, false, false, false,
         GCRY_MD_SHA256, nullptr},
        {{"-o", "-md5", "a", "b", "c"}, three, "-md5", false, false, false, false, false, false, false, 0, nullptr},
        {{"a", "b", "c", "-o"}, three, "out.wav", false, false, false, false, false, false, false, 0, nullptr},
        {{"-o", "x", "a", "b", "c", "-o", "y"}, three, "y", false, false, false, false, false, false, false, 0,
         nullptr},
        {{"-A", "-B", "-O", "-x", "-", "--Map"}, {"-A", "-B", "-O", "-x", "-", "--Map"}, "out.wav", false, false,
         false, false, false, false, false, 0, nullptr},
        {{"d/a", "b", "c", "--align", "--cd", "--map", "-o"}, {"d/a", "b", "c"}, "d/out.wav", false, false, true,
         true, false, false, false, 0, "-o"},
        {{"a", "b", "c", "--help", "--version", "--map"}, three, "out.wav", false, false, false, false, true, true,
         true, 0, nullptr},
    };
    for (const auto& c : cases) {
        const parsed p = parse(c.args);
        const std::string line = ::testing::PrintToString(c.args);
        EXPECT_EQ(p.result, 0) << line;
        EXPECT_EQ(p.names, c.names) << line;
        EXPECT_EQ(p.out_name, c.out_name) << line;
        EXPECT_EQ(p.options.sample_vote, c.sample) << line;
        EXPECT_EQ(p.options.direct_io, c.direct) << line;
        EXPECT_EQ(p.options.align, c.align) << line;
        EXPECT_EQ(p.options.cd, c.cd) << line;
        EXPECT_EQ(p.options.help, c.help) << line;
        EXPECT_EQ(p.options.version, c.version) << line;
        EXPECT_EQ(p.options.map_missing_name, c.map_missing) << line;
        EXPECT_EQ(p.options.digest_alg, c.digest) << line;
        EXPECT_EQ(p.map_name, c.map ? c.map : "") << line;
        EXPECT_EQ(p.printed, "") << line;
    }
}

TEST(CommandLine, RefusalsAndTheirMessagesQuietOnlyInThePreview) {
    const std::string long_name(NAME_SIZE, 'n');
    struct {
        std::vector<std::string> args;
        int result;
        const char* printed;  // the start of what the loud parse prints
    } cases[] = {
        {{}, -1, ""},
        {{"a", "b"}, -1, ""},
        {{"a", "b", "-o", "c"}, -1, ""},
        {{"a", "b", long_name}, LIST_REFUSED, "input name of 1024 bytes, longer than the 1023 bytes"},
        {{"a", "b", "c", "-o", long_name}, LIST_REFUSED, "output name of 1024 bytes"},
        {{std::string(1017, 'd') + "/a", "b", "c"}, LIST_REFUSED, "default output name: the directory"},
    };
    for (const auto& c : cases) {
        const std::string line = ::testing::PrintToString(c.args);
        const parsed loud = parse(c.args);
        EXPECT_EQ(loud.result, c.result) << line;
        EXPECT_EQ(loud.printed.rfind(c.printed, 0), 0u) << line << loud.printed;
        if (c.result == -1) {
            EXPECT_TRUE(loud.names.empty()) << line;
        }
        const parsed quiet = parse(c.args, true);
        EXPECT_EQ(quiet.result, c.result) << line;
        EXPECT_EQ(quiet.printed, "") << line;
    }
}

TEST(CommandLine, ThePreviewSetsNoGlobalAndTheClassicEntryAppliesTheSwitches) {
    const bool sample_before = AUDIOCD_IGNORE_CORRECTED;
    const uint32_t flags_before = DW_READ_FLAGS;
    std::vector<std::string> args = {"copyvote", "-a", "-b", "a", "b", "c", "--cd", "-md5"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    std::unique_ptr<name_row[]> names(new name_row[MAX_INPUTS]);
    char out_name[NAME_SIZE];
    run_options options;
    ASSERT_EQ(preview_output_name(names.get(), out_name, static_cast<int>(argv.size()), argv.data(), options), 0);
    EXPECT_TRUE(options.sample_vote && options.direct_io && options.cd);
    EXPECT_EQ(AUDIOCD_IGNORE_CORRECTED, sample_before);
    EXPECT_EQ(DW_READ_FLAGS, flags_before);

    // Without options, --cd is an input name like any other argument.
    G_CRYPT crypt;
    uint64_t count = 0;
    EXPECT_EQ(init_file_list(names.get(), count, out_name, static_cast<int>(argv.size()), argv.data(), crypt), 0);
    EXPECT_EQ(count, 4u);
    EXPECT_STREQ(names[3], "--cd");
    EXPECT_TRUE(AUDIOCD_IGNORE_CORRECTED);
    EXPECT_EQ(DW_READ_FLAGS, static_cast<uint32_t>(O_DIRECT));
    EXPECT_TRUE(crypt.enabled);
    EXPECT_EQ(crypt.count, 5u);
    AUDIOCD_IGNORE_CORRECTED = sample_before;
    DW_READ_FLAGS = flags_before;
}

// The same-file rules: by identity where the files exist, by resolved path where the output does
// not exist yet, character devices never refused.
TEST(SameFile, TheOutputIsRefusedWhereverItLeadsToAnInput) {
    ScopedTempDir dir;
    const std::string in = dir.file("in.wav");
    testing_support::write_file(in, "x");
    ASSERT_EQ(link(in.c_str(), dir.file("hard").c_str()), 0);
    ASSERT_EQ(symlink("in.wav", dir.file("soft").c_str()), 0);
    ASSERT_EQ(symlink("missing.wav", dir.file("dangling").c_str()), 0);
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    struct {
        std::string out;
        std::string input;
        bool refused;
    } cases[] = {
        {in, in, true},
        {dir.file("hard"), in, true},
        {dir.file("soft"), in, true},
        {dir.file("sub/../in.wav"), in, true},
        {dir.file("dangling"), dir.file("missing.wav"), true},
        {dir.file("missing.wav"), dir.file("sub/../missing.wav"), true},
        {dir.file("other.wav"), in, false},
        {dir.file("missing.wav"), dir.file("sub/missing.wav"), false},
        {"/dev/null", "/dev/null", false},
    };
    for (const auto& c : cases) {
        name_row names[3] = {};
        snprintf(names[1], NAME_SIZE, "%s", c.input.c_str());
        snprintf(names[0], NAME_SIZE, "%s", "/dev/zero");
        snprintf(names[2], NAME_SIZE, "%s", "/dev/zero");
        CaptureFd out(1);
        const int result = check_output_is_not_an_input(c.out.c_str(), names, 3);
        const std::string printed = out.finish();
        EXPECT_EQ(result, c.refused ? -1 : 0) << c.out << " / " << c.input;
        EXPECT_EQ(printed.find("the output file is also the input file " + c.input) != std::string::npos, c.refused)
            << printed;
    }
}

}  // namespace
