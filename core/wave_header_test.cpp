#include "core/wave_header.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "core/format.h"
#include "core/test_support.h"

namespace qav {
namespace {

TEST(WaveHeader, WritesTheStandardPcmHeaderAndRefusesWhatItCannotHold) {
    const uint8_t kGolden[kWaveHeaderSize] = {
        'R', 'I', 'F', 'F', 0xA4, 0x3E, 0,   0,   'W', 'A',  'V',  'E',  'f', 'm',  't',
        ' ', 16,  0,   0,   0,    1,    0,   1,   0,   0x40, 0x1F, 0,    0,   0x80, 0x3E,
        0,   0,   2,   0,   16,   0,    'd', 'a', 't', 'a',  0x80, 0x3E, 0,   0};
    uint8_t header[kWaveHeaderSize] = {};
    ASSERT_TRUE(WriteWaveHeader(header, 1, 2, 8000, 16000));
    EXPECT_EQ(std::memcmp(header, kGolden, kWaveHeaderSize), 0);

    // Beyond 4 GiB the sizes are clamped to whole frames (six bytes here).
    ASSERT_TRUE(WriteWaveHeader(header, 3, 2, 8000, uint64_t{5} << 30));
    EXPECT_EQ(std::memcmp(header + 4, "\xFC\xFF\xFF\xFF", 4), 0);
    EXPECT_EQ(std::memcmp(header + 40, "\xD8\xFF\xFF\xFF", 4), 0);

    const uint32_t kRefused[][3] = {
        {0, 2, 8000}, {65536, 1, 8000}, {32768, 2, 8000}, {2, 4, 1u << 31}};
    for (const auto& [channels, bytesPerSample, rate] : kRefused) {
        header[0] = 0x5A;
        EXPECT_FALSE(WriteWaveHeader(header, channels, bytesPerSample, rate, 0))
            << channels << " x " << bytesPerSample;
        EXPECT_EQ(header[0], 0x5A) << "a refused header is left untouched";
    }
}

// Python's wave module reads what we write: channels, sample width, rate, frames.
TEST(WaveHeader, AStandardReaderAgrees) {
    if (std::system("command -v python3 >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "python3 is missing: no outside WAVE reader";
    }
    const uint32_t kFormats[][4] = {{1, 2, 8000, 8000}, {2, 3, 44100, 100}, {6, 1, 48000, 7}};
    test_support::ScratchDirectory scratch;
    const std::string path = scratch.Narrow("audio.wav");
    for (const auto& [channels, bytesPerSample, rate, frames] : kFormats) {
        std::vector<char> file(kWaveHeaderSize + channels * bytesPerSample * frames, 0);
        ASSERT_TRUE(WriteWaveHeader(reinterpret_cast<uint8_t*>(file.data()), channels,
                                    bytesPerSample, rate, file.size() - kWaveHeaderSize));
        std::ofstream(path, std::ios::binary).write(file.data(), std::streamsize(file.size()));
        std::FILE* pipe = popen(("python3 -c 'import wave,sys; w=wave.open(sys.argv[1]); print("
                                 "w.getnchannels(), w.getsampwidth(), w.getframerate(), "
                                 "w.getnframes())' " +
                                 path + " 2>&1")
                                    .c_str(),
                                "r");
        ASSERT_NE(pipe, nullptr);
        char out[512] = {};
        std::fread(out, 1, sizeof out - 1, pipe);
        pclose(pipe);
        EXPECT_EQ(std::string(out),
                  FormatString("%u %u %u %u\n", channels, bytesPerSample, rate, frames));
    }
}

}  // namespace
}  // namespace qav
