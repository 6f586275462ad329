// A run that fails or is interrupted keeps the previous output and map; a run that succeeds
// replaces an existing regular file (through a symbolic link, with its mode) and writes in place
// what a rename would break or cannot reach.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <map>
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

// The reader of the program's text takes the screen-clearing sequence (one write) and goes away;
// only then is the third input fed, so that the run is armed when its report meets the closed pipe.
void close_text_then_feed(const std::string& text_fifo, const std::string& input_fifo, const std::string& data) {
    char clear[16];
    const int text = open(text_fifo.c_str(), O_RDONLY);
    EXPECT_TRUE(text >= 0 && read(text, clear, sizeof clear) == static_cast<ssize_t>(CLEAR_SCREEN.size()));
    if (text >= 0) close(text);
    const int in = open(input_fifo.c_str(), O_WRONLY);
    ASSERT_GE(in, 0);
    EXPECT_EQ(write(in, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    close(in);
}

}  // namespace

TEST(KeptOnFailure, AFailedOrInterruptedRunKeepsThePreviousOutputAndMap) {
    const std::string interrupted = "\ncopyvote: write out.wav: interrupted; the previous out.wav was kept\n"
                                    "copyvote: write map m.tsv: interrupted; the previous m.tsv was kept\n";
    const std::string failed = "copyvote: write out.wav: the run failed; the previous out.wav was kept\n"
                               "copyvote: write map m.tsv: the run failed; the previous m.tsv was kept\n";
    const int FAILED_READ = 0, BROKEN_PIPE = -1;
    const struct {
        int sig;            // a signal; FAILED_READ: the third input's second read fails; BROKEN_PIPE:
                            // the reader of the program's text goes away
        std::string end;    // how standard error ends
    } cases[] = {
        {SIGINT, interrupted},  {SIGTERM, interrupted}, {SIGHUP, interrupted},   {SIGQUIT, interrupted},
        {SIGPIPE, interrupted}, {SIGALRM, interrupted}, {SIGUSR1, interrupted},  {SIGUSR2, interrupted},
        {SIGXCPU, interrupted}, {SIGXFSZ, interrupted}, {SIGVTALRM, interrupted}, {FAILED_READ, failed},
        {BROKEN_PIPE, "copyvote: write standard output: Broken pipe\n" + failed},
    };
    const struct rlimit no_core = {0, 0};  // SIGQUIT, SIGXCPU and SIGXFSZ would dump one
    ASSERT_EQ(0, setrlimit(RLIMIT_CORE, &no_core));
    const std::string data = random_bytes(BLOCK + 1000, 90);
    for (const auto& c : cases) {
        ScopedTempDir dir;
        write_all(dir, {"1.wav", "2.wav"}, data);
        write_file(dir.file("out.wav"), "yesterday's output");
        write_file(dir.file("m.tsv"), "yesterday's map");
        if (c.sig != FAILED_READ) {
            ASSERT_EQ(mkfifo(dir.file("3.wav").c_str(), 0644), 0);
        } else {
            write_file(dir.file("3.wav"), data);
        }
        if (c.sig == BROKEN_PIPE) {
            ASSERT_EQ(mkfifo(dir.file("text").c_str(), 0644), 0);
        }
        const std::set<std::string> before = entries(dir);
        std::atomic<bool> done(false);
        std::thread feeder;
        RunOptions options = in_dir(dir.path());
        if (c.sig == FAILED_READ) options.env = shim_env("fail_read", {"FAIL_READ_PATH=3.wav", "FAIL_READ_NTH=2"});
        if (c.sig > 0) options.on_start = [&](int pid) {
            feeder = std::thread(feed_then_signal, dir.file("3.wav"), data.substr(0, BLOCK), pid, c.sig, std::ref(done));
        };
        if (c.sig == BROKEN_PIPE) {
            options.stdout_file = dir.file("text");
            feeder = std::thread(close_text_then_feed, dir.file("text"), dir.file("3.wav"), data);
        }
        // The tests run with SIGPIPE ignored, which the program would keep: it gets its default back.
        const RunResult r = testing_support::run_program(
            {"/usr/bin/env", "--default-signal=PIPE", testing_support::copyvote_path(), "1.wav", "2.wav", "3.wav", "--map", "m.tsv"},
            options);
        done = true;
        if (feeder.joinable()) feeder.join();
        EXPECT_EQ(r.signal, std::max(c.sig, 0)) << c.sig;
        EXPECT_EQ(r.exit_code, c.sig > 0 ? -1 : 255) << c.sig;
        if (c.sig > 0) {
            EXPECT_EQ(r.out, CLEAR_SCREEN);
        }
        EXPECT_TRUE(r.err.size() >= c.end.size() && r.err.compare(r.err.size() - c.end.size(), std::string::npos, c.end) == 0)
            << c.sig << ": " << r.err;
        EXPECT_EQ(read_file(dir.file("out.wav")), "yesterday's output") << c.sig;
        EXPECT_EQ(read_file(dir.file("m.tsv")), "yesterday's map") << c.sig;
        EXPECT_EQ(entries(dir), before) << c.sig << ": a temporary file was left behind";
    }
}

// Every extended attribute of `path`: name, value.
std::map<std::string, std::string> attributes(const std::string& path) {
    std::map<std::string, std::string> all;
    char names[4096], value[4096];
    const ssize_t n = listxattr(path.c_str(), names, sizeof names);
    for (ssize_t at = 0; at < n; at += static_cast<ssize_t>(strlen(names + at)) + 1) {
        const ssize_t size = getxattr(path.c_str(), names + at, value, sizeof value);
        all[names + at] = std::string(value, static_cast<size_t>(std::max<ssize_t>(size, 0)));
    }
    return all;
}

// Gives `path` user.note and the access ACL user::rw- user:nobody:rw- group::r-- mask::rw-
// other::r-- in the kernel's form (a version, then tag, permissions and id per entry). False when
// the file system takes neither.
bool set_attributes(const std::string& path) {
    using testing_support::le16, testing_support::le32;
    std::string acl = le32(2);
    for (const auto& e : {std::array<uint32_t, 3>{1, 6, ~0u}, {2, 6, 65534}, {4, 4, ~0u}, {0x10, 6, ~0u}, {0x20, 4, ~0u}})
        acl += le16(e[0]) + le16(e[1]) + le32(e[2]);
    const bool acl_set = setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
    return setxattr(path.c_str(), "user.note", "keep me", 7, 0) == 0 || acl_set;
}

TEST(KeptOnFailure, ASucceededRunReplacesAnExistingFileAndWritesInPlaceWhatARenameWouldBreak) {
    const struct {
        std::string out;   // the name given to -o
        std::string file;  // the file that ends up holding the result
        bool replaced;     // a new file (another inode) where the old one was
        bool deny_owner = false;  // no file can be given an owner: the old one is written in place
    } cases[] = {
        {"out.wav", "out.wav", true},    // mode 0604 kept
        {"link.wav", "real.wav", true},  // the link stays a link
        {"hard.wav", "hard2.wav", false},
        {"new.wav", "new.wav", false},
        {"fifo.wav", "", false},
        {"acl.wav", "acl.wav", true},  // its ACL, user.note and mode 0664 kept
        {"acl.wav", "acl.wav", false, true},
    };
    const std::string data = random_bytes(5000, 91);
    bool attributes_refused = false;
    for (const auto& c : cases) {
        ScopedTempDir dir;
        write_all(dir, {"1.wav", "2.wav", "3.wav"}, data);
        write_all(dir, {"out.wav", "real.wav", "hard.wav", "acl.wav"}, "old");
        if (c.out == "acl.wav" && !set_attributes(dir.file("acl.wav"))) {
            attributes_refused = true;  // the file system refuses extended attributes
            continue;
        }
        const std::map<std::string, std::string> old_attributes = attributes(dir.file("acl.wav"));
        struct stat old_acl;
        ASSERT_EQ(stat(dir.file("acl.wav").c_str(), &old_acl), 0);
        ASSERT_EQ(chmod(dir.file("out.wav").c_str(), 0604), 0);
        ASSERT_EQ(symlink("real.wav", dir.file("link.wav").c_str()), 0);
        ASSERT_EQ(link(dir.file("hard.wav").c_str(), dir.file("hard2.wav").c_str()), 0);
        ASSERT_EQ(mkfifo(dir.file("fifo.wav").c_str(), 0644), 0);
        const std::set<std::string> before = entries(dir);
        const ino_t old_inode = c.file.empty() ? 0 : inode(dir.file(c.file));
        std::string piped;
        std::thread reader([&] { if (c.file.empty()) piped = read_file(dir.file("fifo.wav")); });
        RunOptions options = in_dir(dir.path());
        if (c.deny_owner) options.env = shim_env("deny_owner", {});
        const RunResult r = run_copyvote({"1.wav", "2.wav", "3.wav", "-o", c.out, "--map", "m.tsv"}, options);
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
        ASSERT_EQ(stat(dir.file("acl.wav").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode, old_acl.st_mode) << c.out;
        EXPECT_EQ(attributes(dir.file("acl.wav")), old_attributes) << c.out;
        std::set<std::string> after = before;
        after.insert({"m.tsv", c.out});
        EXPECT_EQ(entries(dir), after) << "a temporary file was left behind";
    }
    if (attributes_refused) GTEST_SKIP() << "the file system takes no extended attributes: acl.wav not tried";
}
