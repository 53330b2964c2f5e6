// A read buffer in front of a ConnectionStream, so that text and framed packets can be
// parsed from a stream that delivers bytes in arbitrary pieces: blocks, exact counts,
// skips, a scan for one byte, text up to a terminator and the scan for the sync pattern
// that starts every framed binary packet. It never blocks: the stream is only asked for
// the bytes it reports as available.
//
// Typical usage:
//   BufferedConnectionReader reader(stream, 0x20000);
//   std::string header;
//   if (reader.ReadStringEndingWith(header, "\r\n\r\n", true, 8192) == kScanFound) { ... }
//   int32_t skipped = 0;
//   if (reader.ReadUntilToken(skipped) == kScanFound) { reader.Read(packet, size, false); }
//
// Every byte taken from the stream is handed out once, in stream order: delivered to the
// caller, counted as skipped, or dropped with a result that says so (kScanTooLong, or
// ReadBlock at offset 0).
//
// Threads: none of its own. One reader belongs to one connection and is used by one
// thread at a time, under its owner's lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/ref_counted.h"
#include "network/connection_stream.h"

namespace qav {

// Results of the scans.
constexpr int32_t kScanBadRequest = 1;
constexpr int32_t kScanTooLong = 2;
constexpr int32_t kScanNeedMore = 3;
constexpr int32_t kScanFound = 4;

// The four bytes that open every framed binary packet.
constexpr uint8_t kSyncPattern[4] = {0x01, 0x2A, 0x53, 0xE8};

class BufferedConnectionReader {
  public:
    // Adds a reference to `stream` (null is allowed: nothing is ever read). The buffer is
    // made here, once; a size that cannot be had (negative, or no memory) leaves the
    // reader without a buffer, and then only large reads straight from the stream work.
    BufferedConnectionReader(ConnectionStream* stream, int32_t bufferSize);
    // Disconnects the stream first when SetDisconnectOnDestruction(true) was called.
    ~BufferedConnectionReader();
    BufferedConnectionReader(const BufferedConnectionReader&) = delete;
    BufferedConnectionReader& operator=(const BufferedConnectionReader&) = delete;

    // On (the default): reads smaller than the buffer go through it.
    void SetBuffering(bool on) { m_buffering = on; }
    void SetDisconnectOnDestruction(bool on) { m_disconnectOnDestruction = on; }

    // Copies up to `count` buffered bytes to `destination`, moves `destination` past them
    // and lowers `count`. Returns the bytes copied.
    int32_t TakeBuffered(uint8_t*& destination, int32_t& count);

    // Fills the buffer from the stream. Offset 0 drops whatever is buffered and fills
    // from the start. Any other offset keeps the unread bytes, moved to the start, and
    // appends behind them. Returns the bytes added.
    int32_t ReadBlock(int32_t offset);

    // Up to `count` bytes. Without `wait` it takes what is buffered and what the stream
    // has now; with `wait` it goes on until `count` is reached or the stream has nothing.
    int32_t Read(void* destination, int32_t count, bool wait);

    // Skips up to `count` bytes: the buffered ones and, with `refill`, more from the
    // stream while it has them. Returns the bytes skipped.
    int32_t Skip(int32_t count, bool refill);

    // Moves to the next `byte`: onto it, or past it with `consume`. The bytes passed over
    // are added to `skipped`. False when the stream ran dry first (everything read so
    // far is then counted in `skipped`, and nothing is left buffered).
    bool ReadUntilChar(uint8_t byte, bool consume, int32_t& skipped);

    // Appends the text up to `terminator` to `output`, which keeps what earlier calls
    // collected until the terminator is found. With `includeTerminator` the terminator is
    // consumed and appended; without it, it stays unread (skip it before reading on).
    // A zero byte is searched like any other. Results: kScanFound; kScanNeedMore (the partial text
    // is in `output`); kScanTooLong when `output` would grow past `maximumLength`: the text read so
    // far is dropped and `output` emptied; kScanBadRequest for an empty terminator or one that does
    // not fit the buffer.
    int32_t ReadStringEndingWith(std::string& output, const char* terminator,
                                 bool includeTerminator, int32_t maximumLength);

    // Moves to the next sync pattern without consuming it; `skipped` is set to the bytes
    // passed over. kScanFound, kScanNeedMore, or kScanBadRequest for a buffer under 5 bytes.
    int32_t ReadUntilToken(int32_t& skipped);

    // kReadQueueDataReady when bytes are buffered, kReadQueueClosed without a stream or
    // when the stream claims data but gives none and still claims it after that,
    // otherwise the stream's state.
    int32_t GetReadQueueState();
    // Buffered bytes plus what the stream has.
    int32_t GetAvailableReadQueueSize();

  private:
    int32_t Unread() const { return m_fillPosition - m_readPosition; }
    // Moves the unread bytes to the start of the buffer.
    void MoveUnreadToStart();
    // Refills behind the unread bytes, keeping them.
    int32_t RefillKeepingUnread();
    // Receive, with the result clamped to what was asked for.
    int32_t ReceiveAtMost(void* destination, int32_t capacity);

    RefPtr<ConnectionStream> m_stream;
    std::unique_ptr<uint8_t[]> m_buffer;
    bool m_buffering = true;
    bool m_disconnectOnDestruction = false;
    int32_t m_bufferSize = 0;
    // The buffered bytes are [m_readPosition, m_fillPosition); the byte at m_fillPosition
    // is always 0.
    int32_t m_fillPosition = 0;
    int32_t m_readPosition = 0;
    int64_t m_totalBytesRead = 0;  // taken from the stream, buffered or not
};

}  // namespace qav
