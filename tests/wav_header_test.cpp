#include "audio/wav_header.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

void put32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; i++) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void put16(std::vector<uint8_t>& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void tag(std::vector<uint8_t>& b, const char* t) { b.insert(b.end(), t, t + 4); }

// RIFF/WAVE with an optional odd-sized chunk before "fmt " and one after it.
std::vector<uint8_t> wav(uint16_t channels, uint32_t rate, uint16_t bits, uint32_t extra_before) {
    std::vector<uint8_t> b;
    tag(b, "RIFF");
    put32(b, 0);
    tag(b, "WAVE");
    if (extra_before) {
        tag(b, "LIST");
        put32(b, extra_before);
        b.resize(b.size() + extra_before + (extra_before & 1), 'x');
    }
    tag(b, "fmt ");
    put32(b, 16);
    put16(b, 1);
    put16(b, channels);
    put32(b, rate);
    put32(b, rate * channels * bits / 8);
    put16(b, static_cast<uint16_t>(channels * bits / 8));
    put16(b, bits);
    tag(b, "fact");
    put32(b, 4);
    put32(b, 0);
    tag(b, "data");
    put32(b, 1000);
    return b;
}

// The same header from memory and from an open file, the file read chunk header by chunk header:
// a data chunk behind a chunk of any size is found in the file.
TEST(WavHeader, FindsFormatAndDataPastOtherChunks) {
    for (uint32_t extra : {5u, 70001u}) {
        const std::vector<uint8_t> b = wav(2, 44100, 16, extra);
        FILE* f = tmpfile();
        ASSERT_EQ(fwrite(b.data(), 1, b.size(), f), b.size());
        fflush(f);
        for (const wav_header& h : {parse_wav_header(b.data(), b.size()), read_wav_header(fileno(f), b.size())}) {
            ASSERT_TRUE(h.valid) << extra;
            EXPECT_EQ(h.channels, 2);
            EXPECT_EQ(h.sample_rate, 44100u);
            EXPECT_EQ(h.block_align, 4);
            EXPECT_EQ(h.data_offset, b.size());
            EXPECT_EQ(h.data_size, 1000u);
            EXPECT_TRUE(wav_is_cd_audio(h));
        }
        EXPECT_FALSE(read_wav_header(fileno(f), b.size() - 1).valid) << "the data chunk's header cut";
        fclose(f);
    }
}

// A stated size of 0 or 0xFFFFFFFF runs to the end of the file; no data end lies past it.
TEST(WavHeader, DataEnd) {
    const struct {
        uint64_t stated, file_size, end;
    } cases[] = {
        {1000, 5000, 1044},      {0, 5000, 5000},         {0xFFFFFFFF, 5000, 5000},
        {9000, 5000, 5000},      {1000, UINT64_MAX, 1044}, {0, UINT64_MAX, UINT64_MAX},
    };
    for (const auto& c : cases) {
        wav_header h;
        h.data_offset = 44;
        h.data_size = c.stated;
        EXPECT_EQ(wav_data_end(h, c.file_size), c.end) << c.stated << " in " << c.file_size;
    }
}

TEST(WavHeader, ClassifiesLayouts) {
    const std::vector<uint8_t> mono = wav(1, 22050, 16, 0);
    const wav_header m = parse_wav_header(mono.data(), mono.size());
    EXPECT_TRUE(wav_is_16bit_pcm(m));
    EXPECT_FALSE(wav_is_cd_audio(m));
    const std::vector<uint8_t> b24 = wav(2, 44100, 24, 0);
    EXPECT_FALSE(wav_is_16bit_pcm(parse_wav_header(b24.data(), b24.size())));
}

TEST(WavHeader, AnythingElseIsData) {
    const std::vector<uint8_t> good = wav(2, 44100, 16, 0);
    // Cut before the data chunk's header, a foreign magic, a bare prefix.
    for (size_t n : {size_t{0}, size_t{11}, size_t{12}, size_t{40}, good.size() - 1}) {
        EXPECT_FALSE(parse_wav_header(good.data(), n).valid) << n;
    }
    std::vector<uint8_t> other = good;
    other[8] = 'A';
    EXPECT_FALSE(parse_wav_header(other.data(), other.size()).valid);
    // A chunk size that points far past the buffer ends the walk without reading out of bounds.
    std::vector<uint8_t> huge = good;
    huge[16] = huge[17] = huge[18] = huge[19] = 0xFF;
    EXPECT_FALSE(parse_wav_header(huge.data(), huge.size()).valid);
}

}  // namespace
