#pragma once
// Where the audio of a RIFF/WAVE file lies and how it is laid out. Any file can be voted; this
// only tells the features that care about audio (time stamps, frames, channels) what the first
// copy looks like. Nothing is refused: a file that is not WAV is simply data.

#include <cstdint>

struct wav_header {
    bool valid = false;   // a RIFF/WAVE header with a "fmt " chunk and a "data" chunk
    uint16_t format = 0;  // format tag: 1 integer PCM, 3 float, 0xFFFE extensible
    uint16_t channels = 0;
    uint32_t sample_rate = 0;  // frames per second
    uint32_t byte_rate = 0;    // as the header states it
    uint16_t block_align = 0;  // bytes of one frame (all channels)
    uint16_t bits_per_sample = 0;
    uint64_t data_offset = 0;  // file offset of the data chunk's first byte
    uint64_t data_size = 0;    // the data chunk's size as its header states it
};

// Parses the header from the first `n` bytes of a file. Chunks other than "fmt " and "data" are
// skipped; the data chunk must start within the `n` bytes. Returns a header with valid = false
// for anything that is not such a file (too short, another format, a fmt chunk without channels
// or frame size).
wav_header parse_wav_header(const uint8_t* bytes, uint64_t n);

// What is wrong with the WAV header in the first `n` bytes, said for an error line ("it has no
// fmt chunk", "its fmt chunk comes after its data chunk", a frame size of 0 or one that does not
// fit the channels and sample size, ...), or null when nothing is. REQUIRES: a RIFF/WAVE file.
const char* wav_fault(const uint8_t* bytes, uint64_t n);

// The same for an open file of `size` bytes, read by position chunk header by chunk header, so
// that the data chunk is found behind chunks of any size (tags, cover art). A failed read ends
// the walk as the end of the file would. A descriptor opened for direct I/O is read through the
// page cache meanwhile (its flags are as they were on return).
wav_header read_wav_header(int fd, uint64_t size);

// One past the data chunk's last byte in a file of `file_size` bytes (UINT64_MAX when the size is
// not known). A chunk size of 0 or 0xFFFFFFFF, which programs streaming the audio leave behind,
// means the data run to the end of the file; any data chunk ends there at the latest.
uint64_t wav_data_end(const wav_header& h, uint64_t file_size);

// True when the header describes 16-bit integer samples, the layout of CD audio.
bool wav_is_16bit_pcm(const wav_header& h);

// True when the header describes CD audio: 44.1 kHz, 16 bits, two channels.
bool wav_is_cd_audio(const wav_header& h);
