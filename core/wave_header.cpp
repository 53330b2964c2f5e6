#include "core/wave_header.h"

#include <cstring>

namespace qav {

namespace {

constexpr uint64_t kMax16 = 0xFFFF;
constexpr uint64_t kMax32 = 0xFFFFFFFF;

void StoreLe16(uint8_t* at, uint64_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

void StoreLe32(uint8_t* at, uint64_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

}  // namespace

bool WriteWaveHeader(uint8_t* header, uint32_t channels, uint32_t bytesPerSample,
                     uint32_t sampleRate, uint64_t dataSize) {
    // In 64 bits none of these products can wrap before it is checked.
    const uint64_t blockAlign = uint64_t{channels} * bytesPerSample;
    const uint64_t bitsPerSample = uint64_t{bytesPerSample} * 8;
    const uint64_t byteRate = blockAlign * sampleRate;
    if (header == nullptr || blockAlign == 0 || channels > kMax16 || blockAlign > kMax16 ||
        bitsPerSample > kMax16 || byteRate > kMax32) {
        return false;
    }
    if (dataSize > kMaxWaveDataSize) {
        dataSize = kMaxWaveDataSize - kMaxWaveDataSize % blockAlign;
    }

    std::memcpy(header, "RIFF", 4);
    StoreLe32(header + 4, dataSize + 36);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    StoreLe32(header + 16, 16);  // format chunk size
    StoreLe16(header + 20, 1);   // PCM
    StoreLe16(header + 22, channels);
    StoreLe32(header + 24, sampleRate);
    StoreLe32(header + 28, byteRate);
    StoreLe16(header + 32, blockAlign);
    StoreLe16(header + 34, bitsPerSample);
    std::memcpy(header + 36, "data", 4);
    StoreLe32(header + 40, dataSize);
    return true;
}

}  // namespace qav
