// A run that fails or is interrupted keeps the previous output and map; a run that succeeds
// replaces an existing regular file (through a symbolic link, with its mode) and writes in place
// what a rename would break or cannot reach.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "e2e_util.h"

namespace {

using namespace e2e;
using testing_support::random_bytes;
using testing_support::read_file;
using testing_support::ScopedTempDir;
using testing_support::write_file;

const size_t BLOCK = 2 * 1024 * 1024;

std::set<std::string> entries(const ScopedTempDir& dir) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) names.insert(e.path().filename());
    return names;
}

ino_t inode(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Once the program has read a whole block from the FIFO `fifo`, it is inside the block loop:
// then `sig` is sent. Waits for the program to open the FIFO without blocking the test forever.
void feed_then_signal(const std::string& fifo, const std::string& data, int pid, int sig, std::atomic<bool>& done) {
    int fd = -1;
    while (fd < 0 && !done) fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd < 0) return;
    if (fcntl(fd, F_SETFL, 0) == 0 && write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size())) {
        kill(pid, sig);
    }
    close(fd);
}

}  // namespace

TEST(KeptOnFailure, AFailedOrInterruptedRunKeepsThePreviousOutputAndMap) {
    const struct {
        int sig;            // 0: the third input's second read fails
        std::string end;    // how standard error ends
    } cases[] = {
        {SIGINT, "\ncopyvote: write out.wav: interrupted; the previous out.wav was kept\n"
                 "copyvote: write map m.tsv: interrupted; the previous m.tsv was kept\n"},
        {SIGTERM, "\ncopyvote: write out.wav: interrupted; the previous out.wav was kept\n"
                  "copyvote: write map m.tsv: interrupted; the previous m.tsv was kept\n"},
        {SIGHUP, "\ncopyvote: write out.wav: interrupted; the previous out.wav was kept\n"
                 "copyvote: write map m.tsv: interrupted; the previous m.tsv was kept\n"},
        {0, "copyvote: write out.wav: the run failed; the previous out.wav was kept\n"
            "copyvote: write map m.tsv: the run failed; the previous m.tsv was kept\n"},
    };
    const std::string data = random_bytes(BLOCK + 1000, 90);
    for (const auto& c : cases) {
        ScopedTempDir dir;
        write_all(dir, {"1.wav", "2.wav"}, data);
        write_file(dir.file("out.wav"), "yesterday's output");
        write_file(dir.file("m.tsv"), "yesterday's map");
        if (c.sig) {
            ASSERT_EQ(mkfifo(dir.file("3.wav").c_str(), 0644), 0);
        } else {
            write_file(dir.file("3.wav"), data);
        }
        const std::set<std::string> before = entries(dir);
        std::atomic<bool> done(false);
        std::thread feeder;
        RunOptions options = in_dir(dir.path());
        if (!c.sig) options.env = shim_env("fail_read", {"FAIL_READ_PATH=3.wav", "FAIL_READ_NTH=2"});
        if (c.sig) options.on_start = [&](int pid) {
            feeder = std::thread(feed_then_signal, dir.file("3.wav"), data.substr(0, BLOCK), pid, c.sig, std::ref(done));
        };
        const RunResult r = run_copyvote({"1.wav", "2.wav", "3.wav", "--map", "m.tsv"}, options);
        done = true;
        if (feeder.joinable()) feeder.join();
        EXPECT_EQ(r.signal, c.sig);
        EXPECT_EQ(r.exit_code, c.sig ? -1 : 255);
        if (c.sig) {
            EXPECT_EQ(r.out, CLEAR_SCREEN);
        }
        ASSERT_GE(r.err.size(), c.end.size()) << r.err;
        EXPECT_EQ(r.err.substr(r.err.size() - c.end.size()), c.end);
        EXPECT_EQ(read_file(dir.file("out.wav")), "yesterday's output");
        EXPECT_EQ(read_file(dir.file("m.tsv")), "yesterday's map");
        EXPECT_EQ(entries(dir), before) << "a temporary file was left behind";
    }
}

TEST(KeptOnFailure, ASucceededRunReplacesAnExistingFileAndWritesInPlaceWhatARenameWouldBreak) {
    const struct {
        std::string out;   // the name given to -o
        std::string file;  // the file that ends up holding the result
        bool replaced;     // a new file (another inode) where the old one was
    } cases[] = {
        {"out.wav", "out.wav", true},    // mode 0604 kept
        {"link.wav", "real.wav", true},  // the link stays a link
        {"hard.wav", "hard2.wav", false},
        {"new.wav", "new.wav", false},
        {"fifo.wav", "", false},
    };
    const std::string data = random_bytes(5000, 91);
    for (const auto& c : cases) {
        ScopedTempDir dir;
        write_all(dir, {"1.wav", "2.wav", "3.wav"}, data);
        write_all(dir, {"out.wav", "real.wav", "hard.wav"}, "old");
        ASSERT_EQ(chmod(dir.file("out.wav").c_str(), 0604), 0);
        ASSERT_EQ(symlink("real.wav", dir.file("link.wav").c_str()), 0);
        ASSERT_EQ(link(dir.file("hard.wav").c_str(), dir.file("hard2.wav").c_str()), 0);
        ASSERT_EQ(mkfifo(dir.file("fifo.wav").c_str(), 0644), 0);
        const std::set<std::string> before = entries(dir);
        const ino_t old_inode = c.file.empty() ? 0 : inode(dir.file(c.file));
        std::string piped;
        std::thread reader([&] { if (c.file.empty()) piped = read_file(dir.file("fifo.wav")); });
        const RunResult r = run_copyvote({"1.wav", "2.wav", "3.wav", "-o", c.out, "--map", "m.tsv"}, in_dir(dir.path()));
        reader.join();
        EXPECT_EQ(r.exit_code, 0) << c.out;
        EXPECT_EQ(r.err, status_lines(c.out, {"1.wav", "2.wav", "3.wav"}) + "processing:\n...|...|\n") << c.out;
        EXPECT_TRUE((c.file.empty() ? piped : read_file(dir.file(c.file))) == data) << c.out;
        if (old_inode != 0) {  // new.wav and the FIFO have no old file to compare with
            EXPECT_EQ(inode(dir.file(c.file)) != old_inode, c.replaced) << c.out;
        }
        struct stat st;
        ASSERT_EQ(lstat(dir.file("link.wav").c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        ASSERT_EQ(stat(dir.file("out.wav").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0604u);
        ASSERT_EQ(stat(dir.file("hard.wav").c_str(), &st), 0);
        EXPECT_EQ(st.st_nlink, 2u);
        std::set<std::string> after = before;
        after.insert({"m.tsv", c.out});
        EXPECT_EQ(entries(dir), after) << "a temporary file was left behind";
    }
}
