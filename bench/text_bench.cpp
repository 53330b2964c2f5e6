// Text conversions against well-known implementations of the same job: UTF-8 <-> UTF-16
// against glibc's iconv (and a plain memcpy of the same bytes as a floor), base64
// against OpenSSL's block coder.
#include <benchmark/benchmark.h>
#include <iconv.h>
#include <openssl/evp.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/text_utils.h"

namespace {

constexpr size_t kKiB = 1024;
constexpr size_t kMiB = 1024 * 1024;

// Mostly ASCII with some two- and three-byte characters, as in log and XML texts.
qav::WString MixedText(size_t utf8Bytes) {
    qav::WString text;
    uint32_t seed = 12345;
    size_t bytes = 0;
    while (bytes < utf8Bytes) {
        seed = seed * 1103515245 + 12345;
        const uint32_t pick = (seed >> 16) % 100;
        qav::WChar unit;
        if (pick < 88) {
            unit = static_cast<qav::WChar>(' ' + (seed >> 8) % 95);
            bytes += 1;
        } else if (pick < 96) {
            unit = static_cast<qav::WChar>(0xC0 + (seed >> 8) % 0x180);
            bytes += 2;
        } else {
            unit = static_cast<qav::WChar>(0x4E00 + (seed >> 8) % 0x1000);
            bytes += 3;
        }
        text.push_back(unit);
    }
    return text;
}

std::string Utf8Of(const qav::WString& text) {
    std::string bytes;
    qav::WideToUtf8(text.data(), static_cast<int>(text.size()), bytes);
    return bytes;
}

// Runs `convert` once per iteration and counts `inputBytes` for each run.
template <typename Convert>
void Measure(benchmark::State& state, size_t inputBytes, Convert convert) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(convert());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * inputBytes);
}

// One iconv conversion of the whole input per iteration.
void MeasureIconv(benchmark::State& state, const char* to, const char* from, const void* input,
                  size_t inputBytes, size_t outputBytes) {
    std::vector<char> out(outputBytes);
    iconv_t converter = iconv_open(to, from);
    Measure(state, inputBytes, [&] {
        char* in = static_cast<char*>(const_cast<void*>(input));
        size_t inLeft = inputBytes;
        char* at = out.data();
        size_t outLeft = out.size();
        iconv(converter, nullptr, nullptr, nullptr, nullptr);
        return iconv(converter, &in, &inLeft, &at, &outLeft);
    });
    iconv_close(converter);
}

// The floor for either direction: copying the input bytes and nothing else.
void MeasureCopy(benchmark::State& state, const void* input, size_t inputBytes) {
    std::vector<char> out(inputBytes);
    Measure(state, inputBytes, [&] { return std::memcpy(out.data(), input, inputBytes); });
}

// ---- UTF-8 -> UTF-16 --------------------------------------------------------------

void Utf8ToUtf16Qav(benchmark::State& state) {
    const std::string input = Utf8Of(MixedText(state.range(0)));
    qav::WString out;
    int invalid = 0;
    Measure(state, input.size(), [&] {
        return qav::Utf8ToWide(input.data(), static_cast<int>(input.size()), out, &invalid);
    });
}

void Utf8ToUtf16Iconv(benchmark::State& state) {
    const std::string input = Utf8Of(MixedText(state.range(0)));
    MeasureIconv(state, "UTF-16LE", "UTF-8", input.data(), input.size(), 2 * input.size() + 2);
}

void MemcpyUtf8(benchmark::State& state) {
    const std::string input = Utf8Of(MixedText(state.range(0)));
    MeasureCopy(state, input.data(), input.size());
}

// ---- UTF-16 -> UTF-8 --------------------------------------------------------------

void Utf16ToUtf8Qav(benchmark::State& state) {
    const qav::WString input = MixedText(state.range(0));
    std::string out;
    Measure(state, input.size() * 2,
            [&] { return qav::WideToUtf8(input.data(), static_cast<int>(input.size()), out); });
}

void Utf16ToUtf8Iconv(benchmark::State& state) {
    const qav::WString input = MixedText(state.range(0));
    MeasureIconv(state, "UTF-8", "UTF-16LE", input.data(), input.size() * 2, 3 * input.size() + 1);
}

void MemcpyUtf16(benchmark::State& state) {
    const qav::WString input = MixedText(state.range(0));
    MeasureCopy(state, input.data(), input.size() * 2);
}

// ---- Base64 -----------------------------------------------------------------------

std::vector<unsigned char> RandomBytes(size_t count) {
    std::vector<unsigned char> bytes(count);
    uint32_t seed = 99;
    for (unsigned char& b : bytes) {
        seed = seed * 1103515245 + 12345;
        b = static_cast<unsigned char>(seed >> 16);
    }
    return bytes;
}

std::string Base64Of(const std::vector<unsigned char>& bytes) {
    std::string text(bytes.size() / 3 * 4 + 5, '\0');
    text.resize(qav::Base64Encode(bytes.data(), static_cast<int>(bytes.size()), text.data(),
                                  static_cast<int>(text.size())));
    return text;
}

void Base64EncodeQav(benchmark::State& state) {
    const std::vector<unsigned char> input = RandomBytes(state.range(0));
    std::vector<char> out(input.size() / 3 * 4 + 5);
    Measure(state, input.size(), [&] {
        return qav::Base64Encode(input.data(), static_cast<int>(input.size()), out.data(),
                                 static_cast<int>(out.size()));
    });
}

void Base64EncodeOpenSsl(benchmark::State& state) {
    const std::vector<unsigned char> input = RandomBytes(state.range(0));
    std::vector<unsigned char> out(input.size() / 3 * 4 + 5);
    Measure(state, input.size(), [&] {
        return EVP_EncodeBlock(out.data(), input.data(), static_cast<int>(input.size()));
    });
}

void Base64DecodeQav(benchmark::State& state) {
    const std::string input = Base64Of(RandomBytes(state.range(0)));
    std::vector<unsigned char> out(input.size());
    Measure(state, input.size(), [&] {
        return qav::Base64Decode(input.data(), static_cast<int>(input.size()), out.data(),
                                 static_cast<int>(out.size()));
    });
}

void Base64DecodeOpenSsl(benchmark::State& state) {
    const std::string input = Base64Of(RandomBytes(state.range(0)));
    std::vector<unsigned char> out(input.size());
    Measure(state, input.size(), [&] {
        return EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(input.data()),
                               static_cast<int>(input.size()));
    });
}

#define QAV_TEXT_PAIR(name, size, qav, anchor)    \
    BENCHMARK(qav)->Arg(size)->Name(name "/qav"); \
    BENCHMARK(anchor)->Arg(size)->Name(name "/anchor")

QAV_TEXT_PAIR("utf8_to_utf16_1KiB", kKiB, Utf8ToUtf16Qav, Utf8ToUtf16Iconv);
QAV_TEXT_PAIR("utf8_to_utf16_1KiB_memcpy", kKiB, Utf8ToUtf16Qav, MemcpyUtf8);
QAV_TEXT_PAIR("utf8_to_utf16_1MiB", kMiB, Utf8ToUtf16Qav, Utf8ToUtf16Iconv);
QAV_TEXT_PAIR("utf8_to_utf16_1MiB_memcpy", kMiB, Utf8ToUtf16Qav, MemcpyUtf8);
QAV_TEXT_PAIR("utf16_to_utf8_1KiB", kKiB, Utf16ToUtf8Qav, Utf16ToUtf8Iconv);
QAV_TEXT_PAIR("utf16_to_utf8_1KiB_memcpy", kKiB, Utf16ToUtf8Qav, MemcpyUtf16);
QAV_TEXT_PAIR("utf16_to_utf8_1MiB", kMiB, Utf16ToUtf8Qav, Utf16ToUtf8Iconv);
QAV_TEXT_PAIR("utf16_to_utf8_1MiB_memcpy", kMiB, Utf16ToUtf8Qav, MemcpyUtf16);
QAV_TEXT_PAIR("base64_encode_1KiB", kKiB, Base64EncodeQav, Base64EncodeOpenSsl);
QAV_TEXT_PAIR("base64_encode_64KiB", 64 * kKiB, Base64EncodeQav, Base64EncodeOpenSsl);
QAV_TEXT_PAIR("base64_decode_1KiB", kKiB, Base64DecodeQav, Base64DecodeOpenSsl);
QAV_TEXT_PAIR("base64_decode_64KiB", 64 * kKiB, Base64DecodeQav, Base64DecodeOpenSsl);

}  // namespace
