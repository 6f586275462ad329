#include "test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testing_support {

ScopedTempDir::ScopedTempDir() {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/copyvote-test-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

ScopedTempDir::~ScopedTempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool file_exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

CaptureFd::CaptureFd(int fd) : fd_(fd), saved_(-1), done_(false) {
    char templ[] = "/tmp/copyvote-capture-XXXXXX";
    int tmp = mkstemp(templ);
    if (tmp < 0) throw std::runtime_error("mkstemp failed");
    path_ = templ;
    fflush(stdout);
    fflush(stderr);
    saved_ = dup(fd_);
    dup2(tmp, fd_);
    ::close(tmp);
}

CaptureFd::~CaptureFd() { finish(); }

std::string CaptureFd::finish() {
    if (done_) return std::string();
    done_ = true;
    fflush(stdout);
    fflush(stderr);
    dup2(saved_, fd_);
    ::close(saved_);
    std::string text = read_file(path_);
    unlink(path_.c_str());
    return text;
}

namespace {
std::string drain(int fd) {
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) text.append(buf, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR) break;
    }
    return text;
}

void feed(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n > 0) done += static_cast<size_t>(n);
        else if (errno != EINTR) break;
    }
    ::close(fd);
}
}  // namespace

RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options) {
    int out_pipe[2], err_pipe[2], in_pipe[2];
    if (pipe(out_pipe) || pipe(err_pipe) || pipe(in_pipe)) throw std::runtime_error("pipe failed");
    signal(SIGPIPE, SIG_IGN);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (!options.stdin_file.empty()) {
            int in = ::open(options.stdin_file.c_str(), O_RDONLY);
            dup2(in, 0);
        } else {
            dup2(in_pipe[0], 0);
        }
        if (options.stdout_file.empty()) {
            dup2(out_pipe[1], 1);
        } else {
            const int out = ::open(options.stdout_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (out < 0) _exit(125);
            dup2(out, 1);
            ::close(out);
        }
        dup2(options.stderr_to_stdout ? 1 : err_pipe[1], 2);
        for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1], in_pipe[0], in_pipe[1]}) ::close(fd);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
        for (const std::string& e : options.env) putenv(strdup(e.c_str()));
        for (int fd : options.closed_fds) ::close(fd);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execve(args[0], args.data(), environ);
        _exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    ::close(in_pipe[0]);
    RunResult result;
    std::thread in_thread(feed, in_pipe[1], options.stdin_file.empty() ? options.stdin_data : std::string());
    std::thread err_thread([&] { result.err = drain(err_pipe[0]); });
    result.out = drain(out_pipe[0]);
    err_thread.join();
    in_thread.join();
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

std::string copyvote_path() { return COPYVOTE_BIN; }

std::string random_bytes(size_t n, uint64_t seed) {
    std::string s(n, '\0');
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

}  // namespace testing_support
