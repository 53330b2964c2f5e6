// MD5 of a short and a long message against OpenSSL's MD5.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

#include "core/md5.h"

namespace {

std::vector<uint8_t> Message(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 131 + 7);
    }
    return bytes;
}

void Md5Qav(benchmark::State& state) {
    const std::vector<uint8_t> message = Message(static_cast<size_t>(state.range(0)));
    uint8_t digest[qav::Md5::kDigestSize];
    for (auto _ : state) {
        qav::Md5 md5;
        md5.Update(message.data(), message.size());
        md5.Final(digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * message.size());
}

void Md5OpenSsl(benchmark::State& state) {
    const std::vector<uint8_t> message = Message(static_cast<size_t>(state.range(0)));
    unsigned char digest[MD5_DIGEST_LENGTH];
    for (auto _ : state) {
        MD5(message.data(), message.size(), digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * message.size());
}

BENCHMARK(Md5Qav)->Arg(16)->Name("md5_16B/qav");
BENCHMARK(Md5OpenSsl)->Arg(16)->Name("md5_16B/anchor");
BENCHMARK(Md5Qav)->Arg(16384)->Name("md5_16KiB/qav");
BENCHMARK(Md5OpenSsl)->Arg(16384)->Name("md5_16KiB/anchor");

}  // namespace
