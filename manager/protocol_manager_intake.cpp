// The manager's two intakes, connection events and datagrams: each connection has its
// context in the connection set while it is up; what arrives is logged and counted.
#include <algorithm>
#include <string>

#include "connection/binary_packet.h"
#include "core/log_message.h"
#include "core/text_logger.h"
#include "core/trace_frame.h"
#include "manager/protocol_manager.h"
#include "network/connection_stream.h"

namespace qav {

namespace {

const char16_t* EventName(int32_t eventKind) {
    switch (eventKind) {
        case ConnectionEventSink::kEventConnected:
            return u"connected";
        case ConnectionEventSink::kEventData:
            return u"data";
        case ConnectionEventSink::kEventWritable:
            return u"writable";
        case ConnectionEventSink::kEventClosed:
            return u"closed";
        case ConnectionEventSink::kEventAccepted:
            return u"accepted";
        default:
            return u"unknown";
    }
}

std::string TextOrEmpty(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

}  // namespace

int32_t ProtocolManager::ManageConnectionProtocol(bool incoming, const char* /*connectionName*/,
                                                  const char* peerAddress, int32_t peerPort,
                                                  const char* localAddress, int32_t /*localPort*/,
                                                  ConnectionStream* connection, int32_t eventKind,
                                                  PlatformServices* services) {
    QAV_TRACE("MPM::MngConProt");
    int64_t bytes = 0;
    if (eventKind == kEventConnected || eventKind == kEventAccepted) {
        m_connectionCount.fetch_add(1, std::memory_order_relaxed);
        HandleConnectionUp(incoming, peerAddress, peerPort, localAddress, connection, eventKind,
                           services);
    } else if (eventKind == kEventData && connection != nullptr) {
        // At most 64 KiB a turn, so that one peer that never stops sending cannot hold
        // the polling thread; the wait loop reports what is left on its next turn.
        uint8_t buffer[4096];
        for (int reads = 0; reads < 16; ++reads) {
            const int32_t got = connection->Receive(buffer, sizeof buffer);
            if (got <= 0) {
                break;
            }
            bytes += got;
        }
        m_receivedByteCount.fetch_add(static_cast<uint64_t>(bytes), std::memory_order_relaxed);
    } else if (eventKind == kEventClosed) {
        HandleConnectionGone(connection);
    }
    // Memory may run out while the record is built: the record is lost (and counted), the
    // event is not.
    LogBuiltMessage(m_networkPacketsManager.GetLogSinkLink().LoggerFor(kSeverityStatus),
                    kSeverityStatus, [&] {
                        LogMessage message(u"Connection event");
                        message.AddParameter(u"Event", EventName(eventKind));
                        message.AddParameterString(u"Peer", TextOrEmpty(peerAddress));
                        message.AddParameterInt(u"Port", peerPort);
                        message.AddParameterBool(u"Incoming", incoming);
                        if (eventKind == kEventData) {
                            message.AddParameterInt64(u"Bytes", bytes);
                        }
                        return message;
                    });
    return 0;
}

RefPtr<ConnectionContext> ProtocolManager::MakeConnectionContext(const char* peerAddress,
                                                                 int32_t peerPort,
                                                                 const char* localAddress,
                                                                 ConnectionStream* connection,
                                                                 PlatformServices* services) {
    RefPtr<ConnectionContext> context(new RefCountedObject<ConnectionContext>);
    context->SetStream(connection);
    context->SetAddressText(0, TextOrEmpty(peerAddress));
    context->SetTcpPort(peerPort);
    context->SetPlatformServices(services);
    context->SetLocalAddress(TextOrEmpty(localAddress));
    context->GetReceiveTimeouts().Set(GetDisconnectionTime(), 0);
    return context;
}

void ProtocolManager::HandleConnectionUp(bool incoming, const char* peerAddress, int32_t peerPort,
                                         const char* localAddress, ConnectionStream* connection,
                                         int32_t eventKind, PlatformServices* services) {
    if (connection == nullptr) {
        return;
    }
    RefPtr<ConnectionContext> context = m_connectionSet.FindContextByStream(connection);
    if (!context) {
        // The release has disconnected the set or is about to: a connection listed now
        // would stay open with no one left to close it.
        if (IsStopping()) {
            connection->Disconnect();
            return;
        }
        context = MakeConnectionContext(peerAddress, peerPort, localAddress, connection, services);
        if (!m_connectionSet.AddContext(context.get())) {
            // Another event of the same connection listed its context first.
            context = m_connectionSet.FindContextByStream(connection);
            if (!context) {
                return;
            }
        }
    }
    if (eventKind != kEventConnected) {
        return;
    }
    context->ReportConnectionState(true);
    // An outgoing automatic context identifies its user as soon as it is up, unless its
    // automatic connection dropped it for a better path meanwhile.
    if (!incoming && context->IsAutomatic() && context->IsValid() &&
        m_connectionSet.FindContextById(context->GetContextId())) {
        context->StartMessageClientConversation();
    }
}

void ProtocolManager::HandleConnectionGone(ConnectionStream* connection) {
    RefPtr<ConnectionContext> context = m_connectionSet.FindContextByStream(connection);
    if (!context) {
        return;
    }
    // Leaving the set ends the context: its owner and the handle registry hear of it.
    m_connectionSet.RemoveContext(context.get());
}

void ProtocolManager::ProcessPacket(DatagramListener* /*listener*/, PlatformServices* /*services*/,
                                    const char* senderAddress, int32_t senderPort,
                                    const uint8_t* /*data*/, size_t length,
                                    LentPacketBuffer* packet) {
    m_datagramCount.fetch_add(1, std::memory_order_relaxed);
    m_receivedByteCount.fetch_add(length, std::memory_order_relaxed);
    LogBuiltMessage(m_networkPacketsManager.GetLogSinkLink().LoggerFor(kSeverityStatus),
                    kSeverityStatus, [&] {
                        LogMessage message(u"Datagram received");
                        message.AddParameterString(u"Peer", TextOrEmpty(senderAddress));
                        message.AddParameterInt(u"Port", senderPort);
                        message.AddParameterInt64(u"Bytes", static_cast<int64_t>(length));
                        return message;
                    });
    if (packet != nullptr) {
        packet->ReturnToPool();
    }
}

BinaryPacket* ProtocolManager::AllocatePacketBuffer(uint8_t** buffer, size_t& capacity) {
    BinaryPacket* packet = m_packetPool->Lend();
    if (packet != nullptr) {
        *buffer = packet->Data();
        capacity = std::min(capacity, BinaryPacket::Capacity());
    }
    return packet;
}

}  // namespace qav
