#include "network/buffered_connection_reader.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>

#include "core/trace_frame.h"

namespace qav {

namespace {

constexpr int32_t kSyncPatternLength = 4;

// Counts handed back through 32-bit parameters stop at the largest value instead of
// wrapping when a peer sends gigabytes of noise.
void AddSaturating(int32_t& total, int64_t count) {
    const int64_t sum = static_cast<int64_t>(total) + count;
    total = static_cast<int32_t>(std::min<int64_t>(sum, std::numeric_limits<int32_t>::max()));
}

}  // namespace

BufferedConnectionReader::BufferedConnectionReader(ConnectionStream* stream, int32_t bufferSize)
    : m_stream(stream) {
    // One byte more than zero is always there, so the terminating zero has a home even
    // when the reader has no room to buffer anything.
    const size_t bytes = bufferSize > 0 ? static_cast<size_t>(bufferSize) : 1;
    m_buffer.reset(new (std::nothrow) uint8_t[bytes]());
    if (m_buffer == nullptr) {
        m_buffer.reset(new (std::nothrow) uint8_t[1]());
    } else if (bufferSize > 0) {
        m_bufferSize = bufferSize;
    }
}

BufferedConnectionReader::~BufferedConnectionReader() {
    if (m_stream && m_disconnectOnDestruction) {
        m_stream->Disconnect();
    }
}

int32_t BufferedConnectionReader::TakeBuffered(uint8_t*& destination, int32_t& count) {
    const int32_t taken = std::max(0, std::min(Unread(), count));
    if (taken == 0 || destination == nullptr) {
        return 0;
    }
    std::memcpy(destination, m_buffer.get() + m_readPosition, static_cast<size_t>(taken));
    destination += taken;
    count -= taken;
    m_readPosition += taken;
    return taken;
}

void BufferedConnectionReader::MoveUnreadToStart() {
    const int32_t unread = Unread();
    if (m_readPosition != 0 && unread > 0) {
        std::memmove(m_buffer.get(), m_buffer.get() + m_readPosition, static_cast<size_t>(unread));
    }
    m_readPosition = 0;
    m_fillPosition = unread;
    m_buffer[static_cast<size_t>(unread)] = 0;
}

int32_t BufferedConnectionReader::ReceiveAtMost(void* destination, int32_t capacity) {
    const int32_t got = m_stream->Receive(destination, capacity);
    return std::clamp(got, 0, capacity);
}

int32_t BufferedConnectionReader::ReadBlock(int32_t offset) {
    QAV_TRACE("BCR::RB");
    if (offset < 0) {
        return 0;
    }
    if (offset == 0) {
        // Dropped even when nothing arrives: a caller that asked for the drop (and counted
        // the bytes as skipped) must not meet them again.
        m_readPosition = m_fillPosition = 0;
        m_buffer[0] = 0;
    } else {
        // Appending behind bytes kept where they lie would hand the consumed bytes before
        // them out again, since a refill restarts reading at the start of the buffer.
        MoveUnreadToStart();
        offset = m_fillPosition;
    }
    if (!m_stream || offset >= m_bufferSize - 1) {
        return 0;
    }
    const int32_t available = m_stream->GetAvailableReadQueueSize();
    if (available <= 0) {
        return 0;
    }
    const int32_t room = m_bufferSize - 1 - offset;
    const int32_t got = ReceiveAtMost(m_buffer.get() + offset, std::min(room, available));
    m_fillPosition = offset + got;
    m_readPosition = 0;
    m_buffer[static_cast<size_t>(m_fillPosition)] = 0;
    m_totalBytesRead += got;
    return got;
}

int32_t BufferedConnectionReader::RefillKeepingUnread() {
    return ReadBlock(Unread() > 0 ? m_fillPosition : 0);
}

int32_t BufferedConnectionReader::Read(void* destination, int32_t count, bool wait) {
    QAV_TRACE("BCR::Rd");
    if (count < 1 || destination == nullptr) {
        return 0;
    }
    uint8_t* cursor = static_cast<uint8_t*>(destination);
    int32_t remaining = count;
    TakeBuffered(cursor, remaining);
    if (remaining == 0) {
        return count;
    }
    if (remaining < m_bufferSize && m_buffering) {
        while (remaining > 0 && ReadBlock(0) > 0) {
            TakeBuffered(cursor, remaining);
            if (!wait) {
                break;
            }
        }
        return count - remaining;
    }
    if (!m_stream) {
        return count - remaining;
    }
    // Large reads skip the buffer; the buffer is empty here, so the order holds.
    if (!wait) {
        const int32_t available = m_stream->GetAvailableReadQueueSize();
        if (available > 0) {
            const int32_t got = ReceiveAtMost(cursor, std::min(remaining, available));
            remaining -= got;
            m_totalBytesRead += got;
        }
        return count - remaining;
    }
    while (remaining > 0) {
        const int32_t got = ReceiveAtMost(cursor, remaining);
        if (got < 1) {
            break;
        }
        cursor += got;
        remaining -= got;
        m_totalBytesRead += got;
    }
    return count - remaining;
}

int32_t BufferedConnectionReader::Skip(int32_t count, bool refill) {
    QAV_TRACE("BCR::Sk");
    int32_t skipped = 0;
    while (skipped < count) {
        const int32_t step = std::min(Unread(), count - skipped);
        m_readPosition += step;
        skipped += step;
        if (skipped == count || !refill || ReadBlock(0) == 0) {
            break;
        }
    }
    return skipped;
}

bool BufferedConnectionReader::ReadUntilChar(uint8_t byte, bool consume, int32_t& skipped) {
    QAV_TRACE("BCR::RUC");
    for (;;) {
        const uint8_t* start = m_buffer.get() + m_readPosition;
        const int32_t unread = Unread();
        const void* found =
            unread > 0 ? std::memchr(start, byte, static_cast<size_t>(unread)) : nullptr;
        if (found != nullptr) {
            const int32_t before = static_cast<int32_t>(static_cast<const uint8_t*>(found) - start);
            AddSaturating(skipped, before);
            m_readPosition += before + (consume ? 1 : 0);
            return true;
        }
        AddSaturating(skipped, unread);
        if (ReadBlock(0) == 0) {
            return false;
        }
    }
}

int32_t BufferedConnectionReader::ReadStringEndingWith(std::string& output, const char* terminator,
                                                       bool includeTerminator,
                                                       int32_t maximumLength) {
    QAV_TRACE("BCR::RSEW");
    const std::string_view wanted = terminator != nullptr ? terminator : "";
    if (wanted.empty() || wanted.size() >= static_cast<size_t>(m_bufferSize)) {
        return kScanBadRequest;
    }
    const int32_t terminatorLength = static_cast<int32_t>(wanted.size());
    const int64_t maximum = maximumLength;
    for (;;) {
        const int32_t unread = Unread();
        if (unread >= terminatorLength) {
            const char* start = reinterpret_cast<const char*>(m_buffer.get()) + m_readPosition;
            // Every byte counts, a zero byte too: the result must not depend on how the
            // stream split the bytes.
            const std::string_view text(start, static_cast<size_t>(unread));
            const size_t at = text.find(wanted);
            if (at != std::string_view::npos) {
                const int32_t part =
                    static_cast<int32_t>(at) + (includeTerminator ? terminatorLength : 0);
                m_readPosition += part;
                if (static_cast<int64_t>(output.size()) + part > maximum) {
                    // The head of a text that long must not be glued onto the next one.
                    output.clear();
                    return kScanTooLong;
                }
                output.append(start, static_cast<size_t>(part));
                return kScanFound;
            }
            if (static_cast<int64_t>(output.size()) + unread > maximum) {
                output.clear();
                m_readPosition = m_fillPosition = 0;
                m_buffer[0] = 0;
                return kScanTooLong;
            }
            // The last bytes may be the head of a terminator split across receives.
            const int32_t complete = unread - (terminatorLength - 1);
            output.append(start, static_cast<size_t>(complete));
            m_readPosition += complete;
        }
        if (RefillKeepingUnread() == 0) {
            return kScanNeedMore;
        }
    }
}

int32_t BufferedConnectionReader::ReadUntilToken(int32_t& skipped) {
    QAV_TRACE("BCR::RUT");
    if (m_bufferSize < kSyncPatternLength + 1) {
        return kScanBadRequest;
    }
    skipped = 0;
    const std::string_view pattern(reinterpret_cast<const char*>(kSyncPattern), kSyncPatternLength);
    for (;;) {
        while (Unread() < kSyncPatternLength) {
            if (RefillKeepingUnread() == 0) {
                return kScanNeedMore;
            }
        }
        const std::string_view unread(
            reinterpret_cast<const char*>(m_buffer.get()) + m_readPosition,
            static_cast<size_t>(Unread()));
        const size_t at = unread.find(pattern);
        if (at != std::string_view::npos) {
            AddSaturating(skipped, static_cast<int64_t>(at));
            m_readPosition += static_cast<int32_t>(at);
            return kScanFound;
        }
        // The last three bytes may be the head of a pattern split across receives.
        const int32_t passed = Unread() - (kSyncPatternLength - 1);
        AddSaturating(skipped, passed);
        m_readPosition += passed;
    }
}

int32_t BufferedConnectionReader::GetReadQueueState() {
    QAV_TRACE("BCR::GRQS");
    if (Unread() > 0) {
        return kReadQueueDataReady;
    }
    if (!m_stream) {
        return kReadQueueClosed;
    }
    const int32_t state = m_stream->GetReadQueueState();
    // Without room to refill, the probe below would call a live stream closed.
    if (state == kReadQueueDataReady && m_bufferSize > 1 && ReadBlock(0) == 0) {
        // Signalled bytes that are gone: the stream has ended, unless it has learnt meanwhile
        // that they were only read already.
        const int32_t now = m_stream->GetReadQueueState();
        return now == kReadQueueDataReady ? kReadQueueClosed : now;
    }
    return state;
}

int32_t BufferedConnectionReader::GetAvailableReadQueueSize() {
    QAV_TRACE("BCR::GARQS");
    const int32_t unread = Unread();
    if (!m_stream) {
        return unread;
    }
    const int32_t available = m_stream->GetAvailableReadQueueSize();
    if (unread > 0) {
        const int64_t sum = static_cast<int64_t>(unread) + std::max(available, 0);
        return static_cast<int32_t>(std::min<int64_t>(sum, std::numeric_limits<int32_t>::max()));
    }
    if (available <= 0 || ReadBlock(0) == 0) {
        return 0;
    }
    return available;
}

}  // namespace qav
