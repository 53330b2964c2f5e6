// Throughput of the stream buffer between a producer (the benchmark thread) and a
// consumer thread, copying (Write/Read) and in place (blocks), with 1,500-byte and
// 64 KiB blocks. Anchors: one memcpy of the same bytes on one thread (bandwidth), and
// a lock-free single-producer queue's bulk push and pop with the same two threads and
// ring size. The producer never waits: on a full ring it yields and tries again, on
// both sides of each pair, so its CPU time is close to the wall time of the transfer.
// "stream_buffer_send_queue_*" uses the ring as a connection's send queue does: on one
// thread at a time, each call under the connection's own lock, a 40-byte header and the
// message in each block, and a few messages queued before the oldest is taken out.
#include <benchmark/benchmark.h>

#include <boost/lockfree/spsc_queue.hpp>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "core/mutual_exclusion.h"
#include "core/stream_buffer.h"

namespace {

constexpr int32_t kRingBytes = 0x40000;  // the size of a connection's send queue

// Page-aligned buffers: on some processors memcpy slows down many times over when the
// destination lies a little above the source modulo 4096, which would make the anchor
// measure that accident rather than the copy.
struct FreeBytes {
    void operator()(uint8_t* bytes) const { std::free(bytes); }
};
using Bytes = std::unique_ptr<uint8_t[], FreeBytes>;

Bytes PageAligned(size_t size) {
    return Bytes(static_cast<uint8_t*>(std::aligned_alloc(4096, (size + 4095) / 4096 * 4096)));
}

Bytes Source(int32_t size) {
    Bytes bytes = PageAligned(size);
    for (int32_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 131 + 7);
    }
    return bytes;
}

// Runs `consume` on a second thread until it returns 0, produces one block per
// iteration with `produce`, then lets `finish` end the stream and checks the count.
template <typename Produce, typename Consume, typename Finish>
void Transfer(benchmark::State& state, int32_t block, Produce produce, Consume consume,
              Finish finish) {
    const Bytes source = Source(block);
    std::atomic<int64_t> consumed{0};
    std::thread consumer([&] {
        const Bytes sink = PageAligned(block);
        int64_t total = 0;
        while (int32_t got = consume(sink.get(), block)) {
            total += got;
        }
        consumed = total;
    });
    for (auto _ : state) {
        produce(source.get(), block);
    }
    finish();
    consumer.join();
    const int64_t produced = static_cast<int64_t>(state.iterations()) * block;
    if (consumed != produced) {
        state.SkipWithError("bytes were lost");
    }
    state.SetBytesProcessed(produced);
}

template <int32_t kBlock>
void CopyQav(benchmark::State& state) {
    qav::StreamBuffer ring;
    ring.SetCapacity(kRingBytes);
    Transfer(
        state, kBlock,
        [&](const uint8_t* data, int32_t length) {
            for (int32_t done = 0; done < length;) {
                const int32_t taken = ring.Write(data + done, length - done);
                done += taken;
                if (taken == 0) {
                    std::this_thread::yield();
                }
            }
        },
        [&](uint8_t* sink, int32_t length) { return ring.Read(sink, 1, length); },
        [&] { ring.CloseWriting(); });
}

template <int32_t kBlock>
void InPlaceQav(benchmark::State& state) {
    qav::StreamBuffer ring;
    ring.SetCapacity(kRingBytes);
    Transfer(
        state, kBlock,
        [&](const uint8_t* data, int32_t length) {
            uint8_t* block;
            while ((block = ring.AllocateBlock(length)) == nullptr) {
                std::this_thread::yield();
            }
            std::memcpy(block, data, length);
            ring.CommitWriteBlock(block, length, length);
        },
        [&](uint8_t* sink, int32_t length) {
            for (;;) {
                int32_t stored = 0;
                if (const uint8_t* run = ring.PeekBlockToRead(stored)) {
                    const int32_t taken = std::min(stored, length);  // like one send
                    std::memcpy(sink, run, taken);
                    ring.ReleaseReadBlock(run, taken);
                    return taken;
                }
                if (!ring.IsOpen()) {
                    return 0;
                }
                std::this_thread::yield();
            }
        },
        [&] { ring.CloseWriting(); });
}

template <int32_t kMessage>
void SendQueueQav(benchmark::State& state) {
    constexpr int32_t kHeader = 40;
    constexpr int32_t kQueued = 3;  // as many 64 KiB messages as a connection's queue holds
    qav::StreamBuffer ring;
    ring.SetCapacity(kRingBytes);
    qav::MutualExclusion connectionLock;
    const Bytes source = Source(kMessage);
    uint8_t header[kHeader] = {};
    int32_t queued = 0;
    for (auto _ : state) {
        qav::MutualExclusionLock lock(connectionLock);
        if (queued == kQueued) {
            int32_t stored = 0;
            const uint8_t* run = ring.PeekBlockToRead(stored);
            benchmark::DoNotOptimize(run);
            ring.ReleaseReadBlock(run, kHeader + kMessage);
            --queued;
        }
        uint8_t* block = ring.AllocateBlock(kHeader + kMessage);
        if (block == nullptr) {
            state.SkipWithError("no room");
            break;
        }
        std::memcpy(block, header, kHeader);
        std::memcpy(block + kHeader, source.get(), kMessage);
        ring.CommitWriteBlock(block, kHeader + kMessage, kHeader + kMessage);
        ++queued;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kMessage);
}

template <int32_t kBlock>
void SpscAnchor(benchmark::State& state) {
    boost::lockfree::spsc_queue<uint8_t> queue(kRingBytes);
    std::atomic<bool> closed{false};
    Transfer(
        state, kBlock,
        [&](const uint8_t* data, int32_t length) {
            for (int32_t done = 0; done < length;) {
                const int32_t taken = static_cast<int32_t>(queue.push(data + done, length - done));
                done += taken;
                if (taken == 0) {
                    std::this_thread::yield();
                }
            }
        },
        [&](uint8_t* sink, int32_t length) {
            for (;;) {
                if (const size_t got = queue.pop(sink, length)) {
                    return static_cast<int32_t>(got);
                }
                if (closed.load(std::memory_order_acquire) && queue.read_available() == 0) {
                    return 0;
                }
                std::this_thread::yield();
            }
        },
        [&] { closed.store(true, std::memory_order_release); });
}

// The same bytes copied once on one thread, into a rotating area the size of the ring.
template <int32_t kBlock>
void MemcpyAnchor(benchmark::State& state) {
    const int32_t block = kBlock;
    const Bytes source = Source(block);
    const Bytes area = PageAligned(kRingBytes + block);
    int32_t at = 0;
    for (auto _ : state) {
        std::memcpy(area.get() + at, source.get(), block);
        benchmark::ClobberMemory();
        at = at + 2 * block <= kRingBytes ? at + block : 0;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * block);
}

}  // namespace

#define QAV_STREAM_PAIR(name, qav, anchor)            \
    BENCHMARK(qav)->UseRealTime()->Name(name "/qav"); \
    BENCHMARK(anchor)->UseRealTime()->Name(name "/anchor")

QAV_STREAM_PAIR("stream_buffer_send_queue_64KiB_vs_memcpy", SendQueueQav<65536>,
                MemcpyAnchor<65536>);
QAV_STREAM_PAIR("stream_buffer_send_queue_1400B_vs_memcpy", SendQueueQav<1400>, MemcpyAnchor<1400>);
QAV_STREAM_PAIR("stream_buffer_copy_64KiB_vs_memcpy", CopyQav<65536>, MemcpyAnchor<65536>);
QAV_STREAM_PAIR("stream_buffer_in_place_64KiB_vs_memcpy", InPlaceQav<65536>, MemcpyAnchor<65536>);
QAV_STREAM_PAIR("stream_buffer_copy_1500B_vs_memcpy", CopyQav<1500>, MemcpyAnchor<1500>);
QAV_STREAM_PAIR("stream_buffer_in_place_1500B_vs_memcpy", InPlaceQav<1500>, MemcpyAnchor<1500>);
QAV_STREAM_PAIR("stream_buffer_copy_64KiB_vs_spsc_queue", CopyQav<65536>, SpscAnchor<65536>);
QAV_STREAM_PAIR("stream_buffer_in_place_64KiB_vs_spsc_queue", InPlaceQav<65536>, SpscAnchor<65536>);
QAV_STREAM_PAIR("stream_buffer_copy_1500B_vs_spsc_queue", CopyQav<1500>, SpscAnchor<1500>);
QAV_STREAM_PAIR("stream_buffer_in_place_1500B_vs_spsc_queue", InPlaceQav<1500>, SpscAnchor<1500>);
