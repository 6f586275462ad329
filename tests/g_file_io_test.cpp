#include "g_file_io.h"

#include <fcntl.h>
#include <linux/limits.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "test_support.h"

using testing_support::CaptureFd;
using testing_support::file_exists;
using testing_support::random_bytes;
using testing_support::read_file;
using testing_support::RunOptions;
using testing_support::RunResult;
using testing_support::ScopedTempDir;
using testing_support::write_file;

namespace {

const uint32_t kMinusOne = 0xFFFFFFFF;  // -1 in the unsigned error fields

// Child mode of this binary: started with GFILE_ODIRECT_CHILD=<path> and the O_DIRECT-refusing
// shim preloaded, it opens <path> for direct reading and answers by exit status before any
// test runs. 0 means the handle fell back to a cached open and reads the file.
int odirect_child(const char* path) {
    int raw = ::open(path, O_RDONLY | O_DIRECT);
    if (raw != -1 || errno != EINVAL) return 10;  // the shim is not in effect
    g_file h;
    if (h.open(path, O_RDONLY, 0, O_DIRECT, g_file::DEFAULT_PERMISSIONS) != 0 || !h.is_open) return 11;
    if (fcntl(h.descriptor, F_GETFL) & O_DIRECT) return 12;
    char buf[16] = {};
    if (h.read(buf, sizeof buf) != 5 || memcmp(buf, "abcde", 5) != 0) return 13;
    return h.close() == 0 ? 0 : 14;
}

__attribute__((constructor)) void run_odirect_child_mode() {
    const char* path = getenv("GFILE_ODIRECT_CHILD");
    if (!path) return;
    fflush(stdout);
    _exit(odirect_child(path));
}

std::string self_path() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

// Runs `body` in a forked child and returns its exit status, for tests that change
// process-wide state (descriptors 1 and 2, resource limits).
template <typename Body>
int in_child(Body body) {
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class ScopedCwd {
public:
    explicit ScopedCwd(const std::string& dir) {
        if (!getcwd(saved_, sizeof saved_) || chdir(dir.c_str()) != 0) ADD_FAILURE() << "chdir " << dir;
    }
    ~ScopedCwd() {
        if (chdir(saved_) != 0) ADD_FAILURE() << "chdir back";
    }

private:
    char saved_[PATH_MAX];
};

class ScopedStdin {
public:
    explicit ScopedStdin(const std::string& path) : saved_(dup(0)) {
        int fd = ::open(path.c_str(), O_RDONLY);
        dup2(fd, 0);
        ::close(fd);
    }
    ~ScopedStdin() {
        dup2(saved_, 0);
        ::close(saved_);
    }

private:
    int saved_;
};

bool descriptor_valid(int fd) { return fcntl(fd, F_GETFD) != -1; }

mode_t mode_of(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

std::string read_all(g_file& h, size_t max) {
    std::string buf(max, '\0');
    int64_t n = h.read(&buf[0], max);
    return n > 0 ? buf.substr(0, static_cast<size_t>(n)) : std::string();
}

void ignore_signal(int) {}

class GFileTest : public ::testing::Test {
protected:
    std::string make(const std::string& name, const std::string& bytes) {
        std::string path = dir.file(name);
        write_file(path, bytes);
        return path;
    }
    int32_t open_read(g_file& h, const std::string& path) {
        return h.open(path.c_str(), O_RDONLY, 0, 0, g_file::DEFAULT_PERMISSIONS);
    }
    int32_t open_output(g_file& h, const std::string& path) {
        return h.open(path.c_str(), O_WRONLY, O_CREAT | O_TRUNC, 0, g_file::DEFAULT_PERMISSIONS);
    }

    ScopedTempDir dir;
};

TEST_F(GFileTest, OpenMissingFilePrintsErrorLineAndReturnsErrno) {
    std::string path = dir.file("missing.wav");
    g_file h;
    CaptureFd out(1);
    int32_t result = open_read(h, path);
    std::string text = out.finish();
    EXPECT_EQ(2, result);
    EXPECT_EQ(2u, h.read_error);
    EXPECT_FALSE(h.is_open);
    EXPECT_EQ(-1, h.descriptor);
    EXPECT_EQ("open(" + path + ")\n   ^ERROR: 2, No such file or directory\n\n", text);
}

TEST_F(GFileTest, ErrorLinePrintsNamesByteForByte) {
    for (std::string name : {"Tr\xC3\xA4" "ck 01.wav", "Tr\xE4" "ck 02.wav", "100%s %n %ls%%.wav"}) {
        std::string path = dir.file(name);
        g_file h;
        CaptureFd out(1);
        EXPECT_EQ(2, open_read(h, path));
        EXPECT_EQ("open(" + path + ")\n   ^ERROR: 2, No such file or directory\n\n", out.finish());
    }
}

TEST_F(GFileTest, ErrorLineContextIsCutAt511Characters) {
    std::string path = dir.file(std::string(600, 'a'));
    g_file h;
    CaptureFd out(1);
    EXPECT_EQ(ENAMETOOLONG, open_read(h, path));
    std::string context = ("open(" + path + ")").substr(0, 511);
    EXPECT_EQ(context + "\n   ^ERROR: 36, File name too long\n\n", out.finish());
}

TEST_F(GFileTest, SilentHandlePrintsNothing) {
    g_file::default_silent = true;
    g_file h;
    g_file::default_silent = false;
    EXPECT_TRUE(h.is_silent);
    CaptureFd out(1);
    EXPECT_EQ(2, open_read(h, dir.file("missing")));
    EXPECT_EQ("", out.finish());
    EXPECT_EQ(2u, h.read_error);
}

TEST_F(GFileTest, ExclusiveCreateOfExistingFileOpensIt) {
    std::string path = make("in.wav", "abc");
    g_file h;
    EXPECT_EQ(0, h.open(path.c_str(), O_RDWR, O_CREAT | O_EXCL, 0, 0600));
    EXPECT_TRUE(h.is_open);
    EXPECT_EQ(0u, h.read_error);
    EXPECT_EQ("abc", read_all(h, 16));

    // The retried open drops the delete-on-close request with the other handle bits.
    g_file again;
    EXPECT_EQ(0, again.open(path.c_str(), O_RDONLY, O_CREAT | O_EXCL, g_file::DELETE_ON_CLOSE, 0xFFFF));
    EXPECT_TRUE(file_exists(path));
}

TEST_F(GFileTest, DeleteOnCloseUnlinksTheName) {
    std::string path = make("tmp.bin", "data");
    g_file h;
    ASSERT_EQ(0, h.open(path.c_str(), O_RDONLY, 0, g_file::DELETE_ON_CLOSE, 0xFFFF));
    EXPECT_FALSE(file_exists(path));
    EXPECT_EQ("data", read_all(h, 16));
    EXPECT_EQ(0, h.close());
}

TEST_F(GFileTest, OutputIsTruncatedAndKeepsModeNewOneGets0644MinusUmask) {
    std::string existing = make("old.wav", "old contents");
    chmod(existing.c_str(), 0600);
    g_file a;
    ASSERT_EQ(0, open_output(a, existing));
    EXPECT_EQ("", read_file(existing));
    EXPECT_EQ(0600u, mode_of(existing));

    mode_t saved = umask(027);
    g_file b, c;
    EXPECT_EQ(0, open_output(b, dir.file("new.wav")));
    EXPECT_EQ(0, c.open(dir.file("explicit.wav").c_str(), O_WRONLY, O_CREAT, 0, 0604));
    umask(saved);
    EXPECT_EQ(0640u, mode_of(dir.file("new.wav")));
    EXPECT_EQ(0600u, mode_of(dir.file("explicit.wav")));
}

TEST_F(GFileTest, AppendAccessImpliesWritingUnlessReadWrite) {
    std::string path = make("log", "abc");
    g_file w;
    ASSERT_EQ(0, w.open(path.c_str(), O_APPEND, 0, 0, 0xFFFF));
    EXPECT_EQ(2, w.write("de", 2));
    EXPECT_EQ("abcde", read_file(path));

    g_file rw;
    ASSERT_EQ(0, rw.open(path.c_str(), O_RDWR | O_APPEND, 0, 0, 0xFFFF));
    EXPECT_EQ("abcde", read_all(rw, 16));
    EXPECT_EQ(1, rw.write("f", 1));
    EXPECT_EQ("abcdef", read_file(path));
}

TEST_F(GFileTest, DirectIoIsPassedThroughWhereAccepted) {
    std::string path = make("direct.bin", std::string(4096, 'x'));
    int probe = ::open(path.c_str(), O_RDONLY | O_DIRECT);
    if (probe == -1) GTEST_SKIP() << "this file system refuses O_DIRECT";
    ::close(probe);
    g_file h;
    ASSERT_EQ(0, h.open(path.c_str(), O_RDONLY, 0, O_DIRECT, 0xFFFF));
    EXPECT_TRUE(fcntl(h.descriptor, F_GETFL) & O_DIRECT);
}

TEST_F(GFileTest, RefusedDirectIoFallsBackSilentlyToCachedOpen) {
    std::string path = make("cd.wav", "abcde");
    RunOptions options;
    options.env = {"GFILE_ODIRECT_CHILD=" + path, std::string("LD_PRELOAD=") + COPYVOTE_SHIM_DIR + "/odirect_einval.so",
                   "ASAN_OPTIONS=verify_asan_link_order=0"};
    RunResult run = testing_support::run_program({self_path()}, options);
    EXPECT_EQ(0, run.exit_code) << run.err;
    EXPECT_EQ("", run.out);
    EXPECT_EQ("", run.err);
}

TEST(GFileStdioTest, PseudoNamesAreExactAndCaseSensitive) {
    EXPECT_TRUE(g_file::is_stdio("-"));
    EXPECT_TRUE(g_file::is_stdio("con"));
    EXPECT_TRUE(g_file::is_stdio("CON"));
    for (const char* name : {"Con", "cON", "con.txt", "-x", "--", "", "./-"}) EXPECT_FALSE(g_file::is_stdio(name)) << name;
    EXPECT_FALSE(g_file::is_stdio(nullptr));
    g_file h;
    EXPECT_EQ(-1, h.open_stdio("Con", false));
    EXPECT_FALSE(h.is_open);
}

TEST_F(GFileTest, ReadingPseudoNamesDuplicatesStdinWithSharedPosition) {
    ScopedStdin in(make("stdin.bin", "hello"));
    g_file a, b, c;
    ASSERT_EQ(0, open_read(a, "-"));
    ASSERT_EQ(0, open_read(b, "con"));
    ASSERT_EQ(0, open_read(c, "CON"));
    EXPECT_NE(0, a.descriptor);
    EXPECT_NE(a.descriptor, b.descriptor);
    EXPECT_EQ("he", read_all(a, 2));
    EXPECT_EQ("ll", read_all(b, 2));
    EXPECT_EQ("o", read_all(c, 16));
    EXPECT_EQ(-1, a.open_stdio("-", false));  // already open
}

TEST_F(GFileTest, LookalikeNamesAndDisallowedStdioAreOrdinaryFiles) {
    ScopedCwd cwd(dir.path());
    for (const char* name : {"Con", "con.txt", "-x"}) {
        g_file h;
        EXPECT_EQ(0, open_output(h, name));
        EXPECT_EQ(1, h.write("z", 1));
        EXPECT_EQ("z", read_file(dir.file(name))) << name;
    }
    g_file::disallow_stdio = true;
    g_file dash, con;
    int32_t dash_result = open_output(dash, "-");
    int32_t con_result = open_output(con, "con");
    g_file::disallow_stdio = false;
    EXPECT_EQ(0, dash_result);
    EXPECT_EQ(0, con_result);
    EXPECT_TRUE(file_exists(dir.file("-")));
    EXPECT_TRUE(file_exists(dir.file("con")));
}

TEST_F(GFileTest, WritingPseudoNameSendsDataToStdoutAndStdoutTextToStderr) {
    for (const char* name : {"-", "con", "CON"}) {
        std::string out = dir.file("out"), err = dir.file("err");
        int status = in_child([&] {
            int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (dup2(o, 1) != 1 || dup2(e, 2) != 2 || chdir(dir.path().c_str()) != 0) return 1;
            fputs("before|", stdout);  // still buffered: must reach the old stdout first
            g_file h;
            if (h.open(name, O_WRONLY, O_CREAT | O_TRUNC, 0, 0xFFFF) != 0) return 2;
            if (h.write("DATA", 4) != 4) return 3;
            fputs("report|", stdout);
            fflush(stdout);
            fputs("stderr", stderr);
            fflush(stderr);
            return 0;
        });
        EXPECT_EQ(0, status) << name;
        EXPECT_EQ("before|DATA", read_file(out)) << name;
        EXPECT_EQ("report|stderr", read_file(err)) << name;
        EXPECT_FALSE(file_exists(dir.file(name))) << name;
    }
}

TEST_F(GFileTest, OpenAndCloseRefuseTheWrongState) {
    g_file never;
    errno = 1234;
    EXPECT_EQ(-1, never.close());
    EXPECT_EQ(1234, errno);

    std::string path = make("a", "0123456789");
    g_file h;
    ASSERT_EQ(0, open_read(h, path));
    int fd = h.descriptor;
    EXPECT_EQ(-1, open_read(h, make("b", "other")));
    EXPECT_EQ(fd, h.descriptor);
    EXPECT_EQ("0123", read_all(h, 4));
    EXPECT_EQ(0, h.close());
    EXPECT_EQ(-1, h.descriptor);
    EXPECT_FALSE(h.is_open);
    EXPECT_FALSE(descriptor_valid(fd));
    EXPECT_EQ(-1, h.close());

    {
        g_file scoped;
        ASSERT_EQ(0, open_read(scoped, path));
        fd = scoped.descriptor;
    }
    EXPECT_FALSE(descriptor_valid(fd));  // the destructor closed it
}

TEST_F(GFileTest, MoveCloneAndDestroy) {
    std::string path = make("a", "0123456789");
    g_file src;
    ASSERT_EQ(0, open_read(src, path));
    int fd = src.descriptor;

    g_file moved;
    EXPECT_EQ(0, moved.init_move(src));
    EXPECT_EQ(fd, moved.descriptor);
    EXPECT_TRUE(moved.is_open);
    EXPECT_EQ(-1, src.descriptor);
    EXPECT_FALSE(src.is_open);
    g_file other;
    EXPECT_EQ(-1, other.init_move(src));    // the source is closed
    EXPECT_EQ(-1, other.init_clone(src));
    EXPECT_EQ(-1, moved.init_move(other));  // the target is open

    {
        g_file clone;
        EXPECT_EQ(0, clone.init_clone(moved));
        EXPECT_TRUE(clone.borrowed);
        EXPECT_EQ(fd, clone.descriptor);
        EXPECT_EQ("01", read_all(clone, 2));
        EXPECT_EQ(0, clone.close());
        EXPECT_FALSE(clone.borrowed);
        EXPECT_EQ(0, clone.init_clone(moved));
    }  // the clone's destructor must not close the shared descriptor either
    EXPECT_EQ("23", read_all(moved, 2));

    moved.destroy();
    EXPECT_EQ(-1, moved.descriptor);
    EXPECT_FALSE(moved.is_open);
    EXPECT_TRUE(descriptor_valid(fd));
    ::close(fd);
}

TEST_F(GFileTest, ReopenDuplicatesAnotherHandle) {
    std::string path = make("a", "0123456789");
    g_file a, b;
    ASSERT_EQ(0, a.open(path.c_str(), O_RDWR, 0, 0, 0xFFFF));
    EXPECT_EQ(0, b.reopen(&a, O_RDWR, 0, O_APPEND));
    EXPECT_TRUE(b.is_open);
    EXPECT_NE(a.descriptor, b.descriptor);
    EXPECT_TRUE(fcntl(b.descriptor, F_GETFL) & O_APPEND);
    EXPECT_EQ("012", read_all(a, 3));
    EXPECT_EQ("345", read_all(b, 3));  // one file position for both
    EXPECT_EQ(-1, b.reopen(&a, O_RDONLY, 0, 0));

    g_file closed, c;
    EXPECT_EQ(EBADF, c.reopen(&closed, O_RDONLY, 0, 0));
    EXPECT_EQ(uint32_t(EBADF), c.read_error);
    EXPECT_FALSE(c.is_open);
}

TEST_F(GFileTest, ReadReturnsOneCallCountAndKeepsErrorOnSuccess) {
    g_file h;
    ASSERT_EQ(0, open_read(h, make("a", "12345")));
    char buf[100];
    h.read_error = 77;
    EXPECT_EQ(5, h.read(buf, sizeof buf));
    EXPECT_EQ(0, h.read(buf, sizeof buf));
    EXPECT_EQ(77u, h.read_error);

    g_file closed;
    EXPECT_EQ(-1, closed.read(buf, sizeof buf));
    EXPECT_EQ(uint32_t(EBADF), closed.read_error);
}

TEST_F(GFileTest, WriteReportsFailuresInWriteError) {
    g_file full;
    ASSERT_EQ(0, full.open("/dev/full", O_WRONLY, 0, 0, 0xFFFF));
    EXPECT_EQ(-1, full.write("abc", 3));
    EXPECT_EQ(uint32_t(ENOSPC), full.write_error);

    g_file ro;
    ASSERT_EQ(0, open_read(ro, make("ro", "x")));
    EXPECT_EQ(-1, ro.write("abc", 3));
    EXPECT_EQ(uint32_t(EBADF), ro.write_error);

    g_file ok;
    ASSERT_EQ(0, open_output(ok, dir.file("ok")));
    ok.write_error = 77;
    EXPECT_EQ(5, ok.write("hello", 5));
    EXPECT_EQ(0, ok.write("", 0));
    EXPECT_EQ(77u, ok.write_error);
    EXPECT_EQ("hello", read_file(dir.file("ok")));
}

TEST_F(GFileTest, WriteCutShortByFileSizeLimitFailsWithEfbig) {
    std::string path = dir.file("limited");
    int status = in_child([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {1000, 1000};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 1;
        g_file h;
        if (h.open(path.c_str(), O_WRONLY, O_CREAT | O_TRUNC, 0, 0xFFFF) != 0) return 2;
        std::string data(4096, 'x');
        if (h.write(data.data(), data.size()) != -1) return 3;  // the first call takes 1000 bytes
        return h.write_error == EFBIG ? 0 : 4;
    });
    EXPECT_EQ(0, status);
    EXPECT_EQ(1000u, read_file(path).size());
}

TEST_F(GFileTest, WriteFinishesAfterInterruptedPartialTransfer) {
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    struct sigaction action, old;
    memset(&action, 0, sizeof action);
    action.sa_handler = ignore_signal;  // no SA_RESTART: a blocked write returns what it has taken
    sigaction(SIGUSR1, &action, &old);

    std::string data = random_bytes(1 << 20, 7), received;
    pthread_t writer = pthread_self();
    std::thread reader([&] {
        int fd = ::open(fifo.c_str(), O_RDONLY);
        int capacity = fcntl(fd, F_GETPIPE_SZ), queued = 0;
        // Once the pipe is full the writer sits inside write(2) with part of the data taken.
        while (ioctl(fd, FIONREAD, &queued) == 0 && queued < capacity) usleep(1000);
        pthread_kill(writer, SIGUSR1);
        usleep(20000);
        char buf[65536];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) received.append(buf, static_cast<size_t>(n));
        ::close(fd);
    });
    g_file h;
    int32_t opened = h.open(fifo.c_str(), O_WRONLY, 0, 0, 0xFFFF);
    int64_t written = h.write(data.data(), data.size());
    h.close();
    reader.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(0, opened);
    EXPECT_EQ(static_cast<int64_t>(data.size()), written);
    EXPECT_TRUE(received == data) << received.size() << " bytes arrived";
}

TEST_F(GFileTest, PositionSizeAndTimeOfRegularFile) {
    g_file h;
    ASSERT_EQ(0, h.open(make("f", random_bytes(10000, 1)).c_str(), O_RDWR, 0, 0, 0xFFFF));
    EXPECT_EQ(10000, h.get_size_file());
    EXPECT_EQ(10000, h.get_size());
    EXPECT_EQ(10000, h.get_size_disk_volume());
    EXPECT_EQ(0, h.seek(100, SEEK_SET));
    EXPECT_EQ(0, h.seek(-10, SEEK_CUR));
    EXPECT_EQ(90, h.get_file_pointer());
    EXPECT_EQ(EINVAL, h.seek(-1, SEEK_SET));
    EXPECT_EQ(uint32_t(EINVAL), h.read_error);
    EXPECT_EQ(0, h.seek(-1, SEEK_END));
    EXPECT_EQ(0u, h.read_error);
    EXPECT_EQ(9999, h.get_file_pointer());

    EXPECT_EQ(0, h.seek(90, SEEK_SET));
    EXPECT_EQ(0, h.set_eof());
    EXPECT_EQ(90, h.get_size_file());
    EXPECT_EQ(0, h.seek(0, SEEK_SET));
    EXPECT_EQ(0, h.set_eof());
    EXPECT_EQ(0, h.seek(50, SEEK_SET));
    EXPECT_EQ(0, h.get_size_file());
    EXPECT_EQ(0, h.get_size());
    EXPECT_EQ(0, h.get_size_disk_volume());  // measured from the end ...
    EXPECT_EQ(50, h.get_file_pointer());     // ... and the position restored

    timespec stamp[2] = {{1234567890, 123456789}, {1234567890, 123456789}};
    ASSERT_EQ(0, futimens(h.descriptor, stamp));
    timespec t = h.get_time_modified();
    EXPECT_EQ(1234567890, t.tv_sec);
    EXPECT_EQ(123456789, t.tv_nsec);
    file_info* info = h.get_info();
    ASSERT_EQ(&h.last_info, info);
    EXPECT_EQ(0, info->file_size);
    EXPECT_EQ(123456789, info->time_modified.tv_nsec);
    EXPECT_FALSE(info->is_dir);
    EXPECT_FALSE(h.is_directory());
    t = h.get_time_created();
    EXPECT_EQ(0, t.tv_sec + t.tv_nsec);
    EXPECT_EQ(kMinusOne, h.read_error);
}

TEST_F(GFileTest, QueriesOnDirectoryReadOnlyAndClosedHandles) {
    g_file d;
    ASSERT_EQ(0, open_read(d, dir.path()));
    EXPECT_TRUE(d.is_directory());
    ASSERT_NE(nullptr, d.get_info());
    EXPECT_TRUE(d.last_info.is_dir);

    g_file ro;
    ASSERT_EQ(0, open_read(ro, make("ro", "abc")));
    EXPECT_EQ(EINVAL, ro.set_eof());
    EXPECT_EQ(uint32_t(EINVAL), ro.write_error);

    g_file closed;
    closed.last_info.file_size = 5;
    EXPECT_EQ(-1, closed.get_file_pointer());
    EXPECT_EQ(uint32_t(EBADF), closed.read_error);
    EXPECT_EQ(-1, closed.set_eof());
    EXPECT_EQ(kMinusOne, closed.write_error);
    EXPECT_EQ(-1, closed.get_size_file());
    EXPECT_EQ(0, closed.get_size_disk_volume());
    EXPECT_EQ(0, closed.get_size());
    EXPECT_EQ(uint32_t(EBADF), closed.read_error);
    EXPECT_EQ(0, closed.get_time_modified().tv_sec);
    EXPECT_EQ(nullptr, closed.get_info());
    EXPECT_EQ(0, closed.last_info.file_size);
    EXPECT_FALSE(closed.is_directory());
}

TEST_F(GFileTest, AdvisoryLocksAreHeldAgainstOthers) {
    std::string path = make("lock", "x");
    g_file h;
    ASSERT_EQ(0, h.open(path.c_str(), O_RDWR, 0, 0, 0xFFFF));
    auto other_process_can_lock = [&] {
        return in_child([&] {
            int fd = ::open(path.c_str(), O_RDWR);
            struct flock record;
            memset(&record, 0, sizeof record);
            record.l_type = F_RDLCK;
            record.l_whence = SEEK_SET;
            return fcntl(fd, F_SETLK, &record) == 0 ? 0 : 1;
        }) == 0;
    };
    EXPECT_EQ(0, h.lock(false));
    EXPECT_FALSE(other_process_can_lock());
    EXPECT_EQ(0, h.unlock());
    EXPECT_TRUE(other_process_can_lock());

    int other = ::open(path.c_str(), O_RDONLY);
    EXPECT_EQ(0, h.lock_bsd(false));
    EXPECT_EQ(-1, flock(other, LOCK_SH | LOCK_NB));
    EXPECT_EQ(0, h.unlock_bsd());
    EXPECT_EQ(0, flock(other, LOCK_SH | LOCK_NB));
    EXPECT_EQ(0, h.lock_bsd(true));  // shared locks coexist
    ::close(other);

    g_file ro;
    ASSERT_EQ(0, open_read(ro, path));
    EXPECT_EQ(0, ro.lock(true));
    EXPECT_EQ(EBADF, ro.lock(false));  // a write lock needs a writable descriptor
    g_file closed;
    EXPECT_EQ(EBADF, closed.lock(true));
    EXPECT_EQ(EBADF, closed.unlock_bsd());
}

TEST_F(GFileTest, FlushAndDeviceControls) {
    g_file f;
    ASSERT_EQ(0, open_output(f, dir.file("f")));
    EXPECT_EQ(0, f.file_flush());
    EXPECT_EQ(0u, f.write_error);
    EXPECT_EQ(-1, f.set_readonly(true));  // not a device
    EXPECT_EQ(kMinusOne, f.write_error);
    f.write_error = 0;
    EXPECT_EQ(-1, f.volume_flush());
    EXPECT_EQ(kMinusOne, f.write_error);
    f.write_error = 0;
    EXPECT_EQ(0, f.disk_offline(true));
    EXPECT_EQ(kMinusOne, f.write_error);
    EXPECT_EQ(-1, f.volume_extended_access());
    EXPECT_EQ(-1, f.volume_dismount());
    EXPECT_EQ(-1, f.volume_unlock());

    // A character device is a device but answers no block request.
    g_file null;
    ASSERT_EQ(0, null.open("/dev/null", O_RDWR, 0, 0, 0xFFFF));
    EXPECT_EQ(ENOTTY, null.set_readonly(false));
    EXPECT_EQ(ENOTTY, null.volume_flush());
    EXPECT_EQ(0, null.disk_offline(false));
    EXPECT_EQ(uint32_t(ENOTTY), null.write_error);
    EXPECT_EQ(-1, null.get_size_file());
    EXPECT_EQ(0u, null.read_error);
    EXPECT_EQ(0, null.get_size_disk_volume());
    EXPECT_EQ(kMinusOne, null.read_error);  // what the failed size request returned
    EXPECT_EQ(0, null.get_size());

    g_file closed;
    EXPECT_EQ(EBADF, closed.file_flush());
    EXPECT_EQ(EBADF, closed.set_readonly(true));
    EXPECT_EQ(0, closed.disk_offline(true));
    EXPECT_EQ(uint32_t(EBADF), closed.write_error);
}

}  // namespace
