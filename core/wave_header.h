// The 44-byte RIFF/WAVE header the audio recorder puts in front of raw PCM samples.
//
// Typical usage:
//   uint8_t header[kWaveHeaderSize];
//   if (WriteWaveHeader(header, 1, 2, 8000, pcmBytes)) file.Write(header, sizeof header);
//
// No state: any thread may call it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qav {

constexpr size_t kWaveHeaderSize = 44;

// The largest data size the header's 32-bit RIFF size (data size + 36) can describe.
constexpr uint64_t kMaxWaveDataSize = 0xFFFFFFFFu - 36;

// Fills `header` (kWaveHeaderSize bytes) for PCM data of `dataSize` bytes. A data size
// beyond kMaxWaveDataSize is written as the largest whole number of sample frames that
// fits, so readers take the first 4 GiB of a longer recording. False, with `header`
// untouched, when the format cannot be described: no channel, no byte per sample, or a
// block align, bit depth, channel count or byte rate beyond its field.
bool WriteWaveHeader(uint8_t* header, uint32_t channels, uint32_t bytesPerSample,
                     uint32_t sampleRate, uint64_t dataSize);

}  // namespace qav
