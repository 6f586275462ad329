#pragma once
// What a whole-disc run needs to know of a track file before voting it: whether it is audio at
// all (WAV or FLAC, by content), how long its audio is, and which track it claims to be.

#include <cstdint>

struct track_file_info {
    bool audio = false;  // a RIFF/WAVE file or a FLAC stream
    bool flac = false;
    uint64_t audio_bytes = 0;  // bytes of 16-bit-or-other PCM the file stands for
    uint32_t frame_bytes = 0;  // bytes of one frame (all channels); 0 when not known
    uint32_t rate = 0;         // frames per second; 0 when not known
    uint32_t channels = 0;
    uint64_t data_offset = 0;   // where the audio starts in the voted file (44 for a FLAC copy)
    uint32_t track_number = 0;  // a FLAC's TRACKNUMBER tag (its leading number); 0: none
};

// Reads the header of the open regular file `fd` of `size` bytes: a WAV file's data chunk and
// frame size, or a FLAC stream's STREAMINFO and Vorbis comments (behind ID3v2 tags or not). A file that is
// neither is left with audio = false.
track_file_info read_track_file(int fd, uint64_t size);

// The leading track number of a file name: the first run of decimal digits, when only ASCII
// letters, blanks, '_' and '-' come before it ("01 - Title.flac", "track01.cdda.wav",
// "Track 7.wav"), and it is 1 to 99. 0 otherwise.
uint32_t name_track_number(const char* name);
