#include "test_support.h"


#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testing_support {

namespace {

uint32_t be32(const std::string& s, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(s[at])) << 24 | static_cast<uint32_t>(static_cast<uint8_t>(s[at + 1])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(s[at + 2])) << 8 | static_cast<uint8_t>(s[at + 3]);
}

int paeth(int a, int b, int c) {
    const int p = a + b - c, pa = abs(p - a), pb = abs(p - b), pc = abs(p - c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// Undoes the filter of every row (types 0 to 4) of `raw` into image.data.
bool unfilter(const std::vector<uint8_t>& raw, png_image& image) {
    const size_t stride = static_cast<size_t>(image.width) * image.channels, bpp = image.channels;
    if (raw.size() != (stride + 1) * image.height) return false;
    image.data.assign(stride * image.height, 0);
    for (size_t y = 0; y < image.height; y++) {
        const uint8_t type = raw[y * (stride + 1)];
        const uint8_t* in = &raw[y * (stride + 1) + 1];
        uint8_t* out = &image.data[y * stride];
        const uint8_t* up = y ? out - stride : nullptr;
        for (size_t x = 0; x < stride; x++) {
            const int a = x >= bpp ? out[x - bpp] : 0, b = up ? up[x] : 0, c = up && x >= bpp ? up[x - bpp] : 0;
            const int add = type == 0 ? 0 : type == 1 ? a : type == 2 ? b : type == 3 ? (a + b) / 2 : paeth(a, b, c);
            if (type > 4) return false;
            out[x] = static_cast<uint8_t>(in[x] + add);
        }
    }
    return true;
}

}  // namespace

bool decode_png(const std::string& png, png_image& image) {
    if (png.size() < 8 || png.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return false;
    std::string idat;
    for (size_t at = 8; at + 12 <= png.size();) {
        const uint32_t length = be32(png, at);
        const std::string type = png.substr(at + 4, 4);
        if (at + 12 + length > png.size()) return false;
        if (type == "IHDR") {
            image.width = be32(png, at + 8);
            image.height = be32(png, at + 12);
            const uint8_t depth = static_cast<uint8_t>(png[at + 16]), colour = static_cast<uint8_t>(png[at + 17]);
            if (depth != 8 || (colour != 2 && colour != 6) || png[at + 20] != 0) return false;
            image.channels = colour == 6 ? 4 : 3;
        } else if (type == "IDAT") {
            idat += png.substr(at + 8, length);
        }
        at += 12 + length;
    }
    std::vector<uint8_t> raw((static_cast<size_t>(image.width) * image.channels + 1) * image.height);
    uLongf size = raw.size();
    if (image.channels == 0 ||
        uncompress(raw.data(), &size, reinterpret_cast<const Bytef*>(idat.data()), idat.size()) != Z_OK)
        return false;
    return size == raw.size() && unfilter(raw, image);
}


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
    if (options.on_start) options.on_start(pid);
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

namespace {

void put_le(std::string& out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; i++) out.push_back(static_cast<char>(v >> (8 * i)));
}

// One section's sample for channel c at frame f of n frames; r holds the section's random draws.
double section_sample(uint64_t kind, const double* r, size_t f, size_t n, int c, uint64_t& noise) {
    const double t = static_cast<double>(f) / 44100.0;
    const double fade = std::min(1.0, std::min(static_cast<double>(f), static_cast<double>(n - f)) / 2000.0);
    noise = noise * 6364136223846793005ull + 1442695040888963407ull;
    const double white = static_cast<double>(static_cast<int64_t>(noise >> 11) % 20001 - 10000) / 10000.0;
    const double pan = c ? 0.6 : 1.0;
    const double root = 200 + 300 * r[1];  // of the chord
    switch (kind) {
    case 0:  // a tone with vibrato
        return fade * pan * 9000 *
               std::sin(2 * M_PI * (110 + 800 * r[0]) * t + 3 * std::sin(2 * M_PI * 5 * t));
    case 1:  // a chord of three tones
        return fade * 4000 *
               (std::sin(2 * M_PI * root * t + c) + std::sin(2 * M_PI * 1.26 * root * t) +
                std::sin(2 * M_PI * 1.5 * root * t));
    case 2:  // a noise burst
        return fade * 12000 * white;
    default:  // a quiet passage: a faint tone with a little noise
        return fade * (60 * std::sin(2 * M_PI * 330 * t) + 8 * white);
    }
}

}  // namespace

std::string synth_pcm(size_t frames, size_t silent, uint64_t seed) {
    std::string pcm(4 * std::min(frames, silent), '\0');
    uint64_t noise = seed * 0x9E3779B97F4A7C15ull + 7;
    std::string draws = random_bytes(64 * 1024, seed + 1);
    for (size_t at = silent, s = 0; at < frames; s++) {
        const uint8_t* d = reinterpret_cast<const uint8_t*>(draws.data()) + (s * 4) % (draws.size() - 4);
        const double r[2] = {d[0] / 255.0, d[1] / 255.0};
        const size_t n = std::min<size_t>(frames - at, 4000 + 80 * d[2]);
        for (size_t f = 0; f < n; f++) {
            for (int c = 0; c < 2; c++) {
                const double v = section_sample(d[3] % 4, r, f, n, c, noise);
                const double clipped = std::max(-32768.0, std::min(32767.0, v));
                put_le(pcm, static_cast<uint16_t>(static_cast<int16_t>(clipped)), 2);
            }
        }
        at += n;
    }
    return pcm;
}

std::string shifted_pcm(const std::string& pcm, long n) {
    const size_t k = static_cast<size_t>(n < 0 ? -n : n);
    if (n >= 0) return synth_pcm(k / 4 + 1, 0, 99).substr(0, k) + pcm.substr(0, pcm.size() - k);
    return pcm.substr(k) + std::string(k, '\0');
}

std::string le16(uint16_t v) {
    std::string s;
    put_le(s, v, 2);
    return s;
}

std::string le32(uint32_t v) {
    std::string s;
    put_le(s, v, 4);
    return s;
}

std::string wav_file(const std::string& pcm) {
    std::string w = "RIFF";
    put_le(w, static_cast<uint32_t>(36 + pcm.size()), 4);
    w += "WAVEfmt ";
    put_le(w, 16, 4);
    put_le(w, 1, 2);
    put_le(w, 2, 2);
    put_le(w, 44100, 4);
    put_le(w, 44100 * 4, 4);
    put_le(w, 4, 2);
    put_le(w, 16, 2);
    w += "data";
    put_le(w, static_cast<uint32_t>(pcm.size()), 4);
    return w + pcm;
}

}  // namespace testing_support
