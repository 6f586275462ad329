#pragma once
// Helpers shared by the unit and end-to-end tests.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// A fresh directory made with mkdtemp, removed with everything in it on destruction.
class ScopedTempDir {
public:
    ScopedTempDir();
    ~ScopedTempDir();
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);

// Redirects descriptor `fd` (1 or 2) into a temporary file until finish() (or destruction),
// flushing the C streams on both sides, so that tests see exactly the bytes written.
class CaptureFd {
public:
    explicit CaptureFd(int fd);
    ~CaptureFd();
    CaptureFd(const CaptureFd&) = delete;
    CaptureFd& operator=(const CaptureFd&) = delete;
    // Restores the descriptor and returns what was written to it.
    std::string finish();

private:
    int fd_;
    int saved_;
    std::string path_;
    bool done_;
};

struct RunResult {
    int exit_code = -1;     // the exit status, or -1 when the process did not exit normally
    int signal = 0;         // the terminating signal, if any
    std::string out;        // everything written to standard output
    std::string err;        // everything written to standard error
};

struct RunOptions {
    std::string cwd;                    // working directory; empty: the current one
    std::string stdin_data;             // fed through a pipe when stdin_file is empty
    std::string stdin_file;             // a file to open as standard input
    std::vector<std::string> env;       // extra NAME=value entries added to the environment
    std::string stdout_file;            // standard output appended to this file instead of captured
    bool stderr_to_stdout = false;      // standard error joins standard output, as `2>&1`
    std::vector<int> closed_fds;        // standard descriptors the program starts without, as `>&-`
    std::function<void(int)> on_start;  // called with the process id once the program is started
};

// Runs `argv` (argv[0] is the program path) and collects exit status, stdout and stderr.
RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options = RunOptions());

// The built copyvote binary.
std::string copyvote_path();

// Deterministic pseudo-random bytes (xorshift), for test data.
std::string random_bytes(size_t n, uint64_t seed);

// `frames` frames of 16-bit stereo PCM that looks like a recording: `silent` frames of digital
// silence, then a sequence of sections (tones and chords with fades, noise bursts, a quiet
// stretch). `seed` picks the sections, so two seeds give two unrelated tracks.
std::string synth_pcm(size_t frames, size_t silent, uint64_t seed);

// `pcm` as a drive with another read offset delivers it: byte q + n holds byte q of `pcm`;
// outside the track it reads other audio (n > 0) or silence (n < 0). The length stays.
std::string shifted_pcm(const std::string& pcm, long n);

// `v` as 2 or 4 little-endian bytes, for building file headers in tests.
std::string le16(uint16_t v);
std::string le32(uint32_t v);

// A 44-byte RIFF/WAVE header for 44.1 kHz 16-bit stereo, followed by `pcm`.
std::string wav_file(const std::string& pcm);

// An image decoded from a PNG file of 8-bit RGB or RGBA pixels, not interlaced (what
// rsvg-convert writes). pixel(x, y) gives {r, g, b}.
struct png_image {
    uint32_t width = 0, height = 0, channels = 0;
    std::vector<uint8_t> data;  // rows of width * channels bytes
    std::vector<uint8_t> pixel(uint32_t x, uint32_t y) const {
        const uint8_t* p = &data[(static_cast<size_t>(y) * width + x) * channels];
        return {p[0], p[1], p[2]};
    }
};

// Decodes `png`. Returns false for anything else.
bool decode_png(const std::string& png, png_image& image);

}  // namespace testing_support
