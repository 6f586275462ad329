// --report FILE: the run's record as JSON, read back and compared with what the copies hold; and
// the rules every result file keeps (identity, replacement, nothing left by a failed run).

#include <nlohmann/json.hpp>

#include <filesystem>

#include "e2e_util.h"
#include "reference_vote.h"

namespace {

using namespace e2e;
using testing_support::read_file;
using testing_support::ScopedTempDir;
using testing_support::write_file;

// Three copies of a WAV track: copy 1 misreads one byte of sample `lone`, and at sample `split`
// every copy holds another value (no two agree: a guess).
struct damaged_track {
    std::string pcm = testing_support::synth_pcm(20000, 100, 7);
    size_t lone = 2 * 5000 + 1, split = 2 * 12345;  // 16-bit sample indexes (frame 5000 right, 12345 left)
    std::vector<std::string> copies() const {
        std::vector<std::string> c(3, pcm);
        c[1][2 * lone] ^= 0x10;
        c[1][2 * split] ^= 0x01;
        c[2][2 * split] ^= 0x02;
        for (std::string& s : c) s = testing_support::wav_file(s);
        return c;
    }
};

TEST(Report, TheRecordTellsWhatTheCopiesHeldAndTheVoteDid) {
    ScopedTempDir dir;
    const damaged_track t;
    const std::vector<std::string> copies = t.copies();
    for (int i = 0; i < 3; i++) write_file(dir.file("c" + std::to_string(i) + ".wav"), copies[i]);
    const RunResult r = run_copyvote({"c0.wav", "c1.wav", "c2.wav", "-o", "out.wav", "--report", "r.json", "--ar"},
                                     in_dir(dir.path()));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const reference_vote::run_result ref = reference_vote::vote_run(copies, false);
    EXPECT_EQ(read_file(dir.file("out.wav")), ref.output);

    const nlohmann::json j = nlohmann::json::parse(read_file(dir.file("r.json")));
    EXPECT_EQ(j["command"], testing_support::copyvote_path() +
                                " c0.wav c1.wav c2.wav -o out.wav --report r.json --ar");
    ASSERT_EQ(j["inputs"].size(), 3u);
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(j["inputs"][i]["name"], "c" + std::to_string(i) + ".wav");
        EXPECT_EQ(j["inputs"][i]["format"], "wav");
        EXPECT_EQ(j["inputs"][i]["hits"], ref.hits[i]);
        EXPECT_EQ(j["inputs"][i]["samples_lost"], 0);
    }
    ASSERT_EQ(j["tracks"].size(), 1u);
    const nlohmann::json& track = j["tracks"][0];
    EXPECT_EQ(track["file"], "out.wav");
    EXPECT_EQ(track["copies"], 3);
    EXPECT_EQ(track["disputed_samples"], 2);
    EXPECT_EQ(track["guessed_samples"], 1);
    EXPECT_EQ(track["overruled_samples"], 0);
    EXPECT_EQ(track["disputed_bytes"], ref.disputed);
    EXPECT_EQ(track["verdict"], "unchecked");
    EXPECT_TRUE(track["crc32"].is_string());
    EXPECT_EQ(r.out.find("CRC32 " + track["crc32"].get<std::string>()) != std::string::npos, true) << r.out;
    ASSERT_EQ(track["suspicious"].size(), 1u);
    EXPECT_EQ(track["suspicious"][0]["sample"], t.split / 2);
    EXPECT_EQ(track["suspicious"][0]["time"], "00:00.279");
    EXPECT_EQ(track["suspicious"][0]["why"], "guess");
    EXPECT_EQ(j["status"], 0);
}

TEST(Report, FollowsTheRulesOfEveryResultFile) {
    struct result_case {
        const char* what;
        std::vector<std::string> args;
        const char* report;      // the report's name
        const char* old_report;  // written before the run, or null
        int exit_code;
        const char* err_line;  // a line standard error must hold, or null
        bool report_is_json;   // afterwards the report is the run's JSON (else the old one, or none)
    };
    const std::vector<result_case> cases = {
        {"a new report", {"c0.wav", "c1.wav", "c2.wav"}, "r.json", nullptr, 0, nullptr, true},
        {"an old report replaced", {"c0.wav", "c1.wav", "c2.wav"}, "r.json", "old text", 0, nullptr, true},
        {"a report that is an input",
         {"c0.wav", "c1.wav", "c2.wav"},
         "c1.wav",
         nullptr,
         255,
         "copyvote: open report c1.wav: it is also the input c1.wav; nothing was written\n",
         false},
        {"a report that is the output",
         {"c0.wav", "c1.wav", "c2.wav", "-o", "r.json"},
         "r.json",
         "old text",
         255,
         "copyvote: open report r.json: it is also the output r.json; nothing was written\n",
         false},
        {"a run that fails keeps the old report", {"c0.wav", "missing.wav", "c2.wav"}, "r.json", "old text", 255,
         nullptr, false},
        {"a run that fails leaves none", {"c0.wav", "missing.wav", "c2.wav"}, "r.json", nullptr, 255, nullptr, false},
    };
    const std::vector<std::string> copies = damaged_track().copies();
    for (const result_case& c : cases) {
        ScopedTempDir dir;
        for (int i = 0; i < 3; i++) write_file(dir.file("c" + std::to_string(i) + ".wav"), copies[i]);
        if (c.old_report) write_file(dir.file(c.report), c.old_report);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--report", c.report});
        const RunResult r = run_copyvote(args, in_dir(dir.path()));
        EXPECT_EQ(r.exit_code, c.exit_code) << c.what << "\n" << r.err;
        if (c.err_line) {
            EXPECT_NE(r.err.find(c.err_line), std::string::npos) << c.what << "\n" << r.err;
        }
        const bool exists = testing_support::file_exists(dir.file(c.report));
        if (c.report_is_json) {
            ASSERT_TRUE(exists) << c.what;
            EXPECT_FALSE(nlohmann::json::parse(read_file(dir.file(c.report)), nullptr, false).is_discarded())
                << c.what;
        } else if (std::string(c.report) == "c1.wav") {
            EXPECT_EQ(read_file(dir.file(c.report)), copies[1]) << c.what;
        } else if (c.old_report) {
            EXPECT_EQ(read_file(dir.file(c.report)), c.old_report) << c.what;
        } else {
            EXPECT_FALSE(exists) << c.what;
        }
        std::vector<std::string> left;
        for (const auto& e : std::filesystem::directory_iterator(dir.path()))
            if (e.path().filename().string()[0] == '.') left.push_back(e.path().filename());
        EXPECT_EQ(left, std::vector<std::string>()) << c.what;
    }
}

}  // namespace
