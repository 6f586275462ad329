// Fault injection end to end: failing reads, a full output device, writes the system takes
// only in part, a directory as input, FIFOs and pipes that deliver less than a block per read,
// and an input that shrinks while it is read. Every run must print the error line it owes,
// still print the report and the statistics, end with a status that tells the truth, and
// leave every input as it was.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "e2e_util.h"

namespace {

using namespace e2e;
using testing_support::read_file;
using testing_support::ScopedTempDir;
using testing_support::write_file;

const size_t BLOCK = 2 * 1024 * 1024;

// Three inputs 1.wav, 2.wav, 3.wav in a fresh directory, remembered so that the test can show
// that none of them was touched.
struct Inputs {
    ScopedTempDir dir;
    std::vector<std::string> names{"1.wav", "2.wav", "3.wav"};
    std::vector<std::string> bytes;

    explicit Inputs(const std::vector<std::string>& contents) : bytes(contents) {
        for (size_t i = 0; i < names.size(); i++) write_file(dir.file(names[i]), bytes[i]);
    }
    RunOptions options(const std::vector<std::string>& env = {}) const {
        RunOptions o;
        o.cwd = dir.path();
        o.env = env;
        return o;
    }
    void expect_unchanged(size_t skip = SIZE_MAX) const {
        for (size_t i = 0; i < names.size(); i++) {
            if (i == skip) continue;
            EXPECT_TRUE(read_file(dir.file(names[i])) == bytes[i]) << names[i] << " was modified";
        }
    }
    std::string output() const { return read_file(dir.file("out.wav")); }
};

std::vector<std::string> three_copies(size_t size, uint64_t seed) {
    const std::string data = testing_support::random_bytes(size, seed);
    return {data, data, data};
}

TEST(Faults, ReadFailingInTheSecondBlockEndsTheRunWithTheReportAndStatus255) {
    Inputs in(three_copies(3000000, 1));
    const RunResult r =
        run_copyvote(in.names, in.options(shim_env("fail_read", {"FAIL_READ_PATH=2.wav", "FAIL_READ_NTH=2"})));
    EXPECT_EQ(r.exit_code, 255);
    // Block 1 whole; block 2: input 0's dot, the failing input 1, no further input, the clean glyph.
    EXPECT_EQ(r.err, status_lines("out.wav", in.names) + "processing:\n...|.|\n");
    EXPECT_TRUE(ends_with_statistics(
        r.out, CLEAR_SCREEN + error_line("h_files[i].read()", EIO) + report(in.names, {0, 0, 0}), 0));
    EXPECT_TRUE(in.output() == in.bytes[0].substr(0, BLOCK));
    in.expect_unchanged();
}

TEST(Faults, ReadFailingAtOnceWritesNothingAndKeepsDigestsOfWhatWasRead) {
    Inputs in(three_copies(100000, 2));
    const RunResult r = run_copyvote({"1.wav", "2.wav", "3.wav", "-md5"},
                                     in.options(shim_env("fail_read", {"FAIL_READ_PATH=3.wav", "FAIL_READ_ERRNO=61"})));
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.err, status_lines("out.wav", in.names) + "processing:\n..|\n");
    const std::string head = CLEAR_SCREEN + error_line("h_files[i].read()", 61);
    ASSERT_EQ(r.out.compare(0, head.size(), head), 0) << r.out;
    // Inputs 0 and 1 delivered their whole file, input 2 nothing, the output nothing.
    EXPECT_NE(r.out.find("[                   1.wav]     0 best\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("d41d8cd98f00b204e9800998ecf8427e [                   3.wav]"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("d41d8cd98f00b204e9800998ecf8427e [                 out.wav]\n"), std::string::npos);
    EXPECT_EQ(in.output().size(), 0u);
    in.expect_unchanged();
}

TEST(Faults, FullOutputDeviceReportsTheWriteErrorWithoutBlockGlyph) {
    Inputs in(three_copies(100000, 3));
    const RunResult r = run_copyvote({"1.wav", "2.wav", "3.wav", "-o", "/dev/full"}, in.options());
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.err, status_lines("/dev/full", in.names) + "processing:\n...\n");
    EXPECT_TRUE(ends_with_statistics(
        r.out, CLEAR_SCREEN + error_line("h_out.write()", ENOSPC) + report(in.names, {0, 0, 0}), 0));
    in.expect_unchanged();
}

TEST(Faults, WritesAcceptedOnlyInPartAreCompleted) {
    // Two damaged bytes per copy at different places, across three blocks.
    const std::string data = testing_support::random_bytes(5 * 1024 * 1024 + 13, 4);
    Inputs in({with_bytes(data, {{10, 0x01}, {3 * 1024 * 1024, 0x02}}), with_bytes(data, {{20, 0x03}}),
               with_bytes(data, {{BLOCK + 5, 0x04}, {5 * 1024 * 1024 + 12, 0x05}})});
    for (const char* eintr : {"SHORT_WRITE_EINTR=0", "SHORT_WRITE_EINTR=1"}) {
        const RunResult r = run_copyvote(
            in.names, in.options(shim_env("short_write", {"SHORT_WRITE_PATH=out.wav", "SHORT_WRITE_MAX=4093", eintr})));
        EXPECT_EQ(r.exit_code, 0) << eintr;
        EXPECT_EQ(r.out.find("ERROR"), std::string::npos) << r.out;
        EXPECT_TRUE(in.output() == data) << "output differs with " << eintr;
        in.expect_unchanged();
    }
}

TEST(Faults, ADirectoryAsInputIsRefusedWhenOpenedAndTheOutputKeepsItsBytes) {
    Inputs in(three_copies(50000, 5));
    ASSERT_EQ(mkdir(in.dir.file("d.wav").c_str(), 0755), 0);
    write_file(in.dir.file("out.wav"), "old");
    const std::vector<std::string> names{"1.wav", "d.wav", "3.wav"};
    const RunResult r = run_copyvote(names, in.options());
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.err, status_line("out.wav") + status_line("1.wav") + status_line("d.wav", false));
    EXPECT_EQ(r.out, CLEAR_SCREEN + open_error("d.wav", EISDIR));
    EXPECT_EQ(in.output(), "old");
    in.expect_unchanged();
}

// Writes `data` into the FIFO at `path` in small pieces with pauses, as a slow producer would.
// Gives up when no reader opens the FIFO within a few seconds.
void feed_fifo(const std::string& path, const std::string& data) {
    int fd = -1;
    for (int tries = 0; tries < 2000 && fd < 0; tries++) {
        fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (fd < 0) return;
    fcntl(fd, F_SETFL, 0);
    size_t done = 0;
    for (size_t piece = 0; done < data.size(); piece++) {
        const size_t n = std::min<size_t>(data.size() - done, 1000 + piece % 70000);
        const ssize_t w = write(fd, data.data() + done, n);
        if (w <= 0) break;
        done += static_cast<size_t>(w);
        if (piece % 64 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    close(fd);
}

TEST(Faults, FifoInputIsReadUntilEveryBlockIsFull) {
    signal(SIGPIPE, SIG_IGN);
    const std::string data = testing_support::random_bytes(3000000, 6);
    Inputs in({with_bytes(data, {{7, 0x11}}), data, with_bytes(data, {{BLOCK + 9, 0x22}})});
    ASSERT_EQ(mkfifo(in.dir.file("f.wav").c_str(), 0644), 0);
    std::thread producer(feed_fifo, in.dir.file("f.wav"), data);
    const std::vector<std::string> names{"1.wav", "f.wav", "3.wav"};
    const RunResult r = run_copyvote(names, in.options());
    producer.join();
    EXPECT_EQ(r.exit_code, 0);
    // Two blocks with one disputed byte each (two copies agree: "#"), then the empty block.
    EXPECT_EQ(r.err, status_lines("out.wav", names) + "processing:\n...<\n#\n\n...<\n#\n\n...|\n");
    EXPECT_TRUE(ends_with_statistics(r.out, CLEAR_SCREEN + report(names, {1, 2, 1}), 2));
    EXPECT_TRUE(in.output() == data);
    in.expect_unchanged();
}

TEST(Faults, FifoFailingInTheMiddleOfABlockEndsTheRun) {
    signal(SIGPIPE, SIG_IGN);
    const std::string data = testing_support::random_bytes(3000000, 9);
    Inputs in(three_copies(3000000, 9));
    ASSERT_EQ(mkfifo(in.dir.file("f.wav").c_str(), 0644), 0);
    std::thread producer(feed_fifo, in.dir.file("f.wav"), data);
    const std::vector<std::string> names{"1.wav", "f.wav", "3.wav"};
    // The third read of the FIFO fails, after two reads delivered part of the first block.
    const RunResult r = run_copyvote(
        names, in.options(shim_env("fail_read", {"FAIL_READ_PATH=f.wav", "FAIL_READ_NTH=3"})));
    producer.join();
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.err, status_lines("out.wav", names) + "processing:\n.|\n");
    EXPECT_TRUE(ends_with_statistics(
        r.out, CLEAR_SCREEN + error_line("h_files[i].read()", EIO) + report(names, {0, 0, 0}), 0));
    EXPECT_EQ(in.output().size(), 0u);
    in.expect_unchanged();
}

TEST(Faults, StandardInputFromAPipeAsDash) {
    const std::string data = testing_support::random_bytes(5 * 1024 * 1024 + 3, 7);
    Inputs in({data, with_bytes(data, {{100, 0x33}}), data});
    RunOptions options = in.options();
    options.stdin_data = with_bytes(data, {{4 * 1024 * 1024 + 1, 0x44}});
    const std::vector<std::string> names{"1.wav", "-", "3.wav"};
    const RunResult r = run_copyvote(names, options);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, status_lines("out.wav", names) + "processing:\n...|...|...<\n#\n\n...|\n");
    EXPECT_TRUE(ends_with_statistics(r.out, CLEAR_SCREEN + report(names, {1, 0, 1}), 1));
    EXPECT_TRUE(in.output() == data);
    in.expect_unchanged();
}

TEST(Faults, InputShrinkingBetweenBlocksEndsTheOutputWhereItsDataEnded) {
    struct Case {
        const char* truncate_to;
        size_t output_size;
        const char* glyphs;
    };
    // Cut below the block already read: the next read finds the end at once. Cut inside the
    // second block: that block is shortened, and the run ends after it.
    const Case cases[] = {{"1000000", BLOCK, "...|...|\n"}, {"3000000", 3000000, "...|...|...|\n"}};
    for (const Case& c : cases) {
        Inputs in(three_copies(5 * 1024 * 1024, 8));
        const RunResult r = run_copyvote(
            in.names, in.options(shim_env("fail_read", {"FAIL_READ_PATH=2.wav", "FAIL_READ_NTH=2",
                                                        std::string("FAIL_READ_TRUNCATE=") + c.truncate_to})));
        EXPECT_EQ(r.exit_code, 0) << c.truncate_to;
        EXPECT_EQ(r.err, status_lines("out.wav", in.names) + "processing:\n" + c.glyphs) << c.truncate_to;
        EXPECT_TRUE(ends_with_statistics(r.out, CLEAR_SCREEN + report(in.names, {0, 0, 0}), 0));
        EXPECT_TRUE(in.output() == in.bytes[0].substr(0, c.output_size)) << c.truncate_to;
        EXPECT_EQ(read_file(in.dir.file("2.wav")).size(), strtoull(c.truncate_to, nullptr, 10));
        in.expect_unchanged(1);
    }
}

}  // namespace

namespace {

// Mistakes that used to pass for a successful run: standard input named twice, the program's own
// text lost to a full standard output.
TEST(Faults, RunsThatCannotDoWhatTheyShowEndWithStatus255) {
    const std::string lost = "copyvote: write standard output: " + std::string(strerror(ENOSPC)) + "\n";
    const struct {
        std::vector<std::string> args;
        std::string stdout_file;
        std::string out;
        std::string err_end;
        bool output_made;
    } cases[] = {
        {{"-", "2.wav", "con"}, "", CLEAR_SCREEN,
         "copyvote: read -: standard input is named 2 times among the inputs; it can be read only once\n", false},
        {{"1.wav", "2.wav", "3.wav"}, "/dev/full", "", lost, true},
        {{"--help"}, "/dev/full", "", lost, false},
    };
    for (const auto& c : cases) {
        ScopedTempDir dir;
        for (const char* name : {"1.wav", "2.wav", "3.wav"}) write_file(dir.file(name), "abc");
        RunOptions options;
        options.cwd = dir.path();
        options.stdout_file = c.stdout_file;
        const RunResult r = run_copyvote(c.args, options);
        EXPECT_EQ(r.exit_code, 255) << c.args[0];
        EXPECT_EQ(r.out, c.out) << c.args[0];
        ASSERT_GE(r.err.size(), c.err_end.size()) << c.args[0];
        EXPECT_EQ(r.err.substr(r.err.size() - c.err_end.size()), c.err_end) << c.args[0];
        EXPECT_EQ(testing_support::file_exists(dir.file("out.wav")), c.output_made) << c.args[0];
    }
}

}  // namespace
