// For tests and fuzz targets only: a ConnectionStream whose incoming bytes arrive in
// pieces that the caller chooses. Each piece is what one socket read would find: the
// stream reports only the rest of the front piece as available and never hands out bytes
// of two pieces in one Receive, so a reader meets the same splits a real peer causes.
// Sending is refused. Single-threaded.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "network/connection_stream.h"

namespace qav::test_support {

class ScriptedConnectionStream : public RefCountedObject<ConnectionStream> {
  public:
    // Queues a piece. `perReceive` > 0 makes each Receive give at most that many of its
    // bytes, as a stream whose reads come up short.
    void Arrive(std::string_view bytes, int32_t perReceive = 0) {
        if (!bytes.empty()) {
            m_pieces.push_back({std::string(bytes), 0, perReceive});
        }
    }
    void Close() { m_closed = true; }
    // Makes GetAvailableReadQueueSize answer `value` whatever is queued (nullopt: the truth).
    void ReportAvailable(std::optional<int32_t> value) { m_reportedAvailable = value; }

    int64_t Delivered() const { return m_delivered; }
    int32_t LargestReceive() const { return m_largestReceive; }
    int32_t Disconnects() const { return m_disconnects; }
    int64_t Queued() const {
        int64_t total = 0;
        for (const Piece& piece : m_pieces) {
            total += static_cast<int64_t>(piece.bytes.size() - piece.taken);
        }
        return total;
    }

    void Disconnect() override {
        ++m_disconnects;
        m_closed = true;
    }
    int32_t GetCurrentWriteQueueLength() override { return 0; }
    int32_t Send(const void*, int32_t, SendCompletion*) override { return 0; }
    int32_t Receive(void* buffer, int32_t capacity) override {
        m_largestReceive = std::max(m_largestReceive, capacity);
        if (m_pieces.empty() || capacity < 1) {
            return 0;
        }
        Piece& piece = m_pieces.front();
        size_t count = std::min(piece.bytes.size() - piece.taken, static_cast<size_t>(capacity));
        if (piece.perReceive > 0) {
            count = std::min(count, static_cast<size_t>(piece.perReceive));
        }
        std::memcpy(buffer, piece.bytes.data() + piece.taken, count);
        piece.taken += count;
        if (piece.taken == piece.bytes.size()) {
            m_pieces.pop_front();
        }
        m_delivered += static_cast<int64_t>(count);
        return static_cast<int32_t>(count);
    }
    int32_t GetConnectionState() override {
        return m_closed ? kConnectionClosed : kConnectionConnected;
    }
    int32_t Reconnect() override { return kReconnectNothing; }
    int32_t GetReadQueueState() override {
        if (!m_pieces.empty()) {
            return kReadQueueDataReady;
        }
        return m_closed ? kReadQueueClosed : kReadQueueEmpty;
    }
    int32_t GetAvailableReadQueueSize() override {
        if (m_reportedAvailable) {
            return *m_reportedAvailable;
        }
        return m_pieces.empty()
                   ? 0
                   : static_cast<int32_t>(m_pieces.front().bytes.size() - m_pieces.front().taken);
    }
    int32_t GetAvailableWriteQueueLength() override { return 0; }
    int32_t GetMaxWriteQueueLength() override { return 0; }
    int64_t GetOldestQueueDelayTime() override { return 0; }
    std::string GetAddress() override { return "127.0.0.1"; }
    int32_t GetPort() override { return 0; }
    void SetAddress(const char*) override {}
    void SetName(const WChar*) override {}
    bool Connect(const char*, bool, int32_t, ConnectionEventSink*) override { return false; }
    bool HasActivityTimerPassed(int64_t) override { return true; }

  private:
    struct Piece {
        std::string bytes;
        size_t taken;
        int32_t perReceive;
    };
    std::deque<Piece> m_pieces;
    std::optional<int32_t> m_reportedAvailable;
    bool m_closed = false;
    int64_t m_delivered = 0;
    int32_t m_largestReceive = 0;
    int32_t m_disconnects = 0;
};

}  // namespace qav::test_support
