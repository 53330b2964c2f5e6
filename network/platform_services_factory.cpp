// The socket objects PlatformServices makes.
#include "network/connection_server.h"
#include "network/datagram_listener.h"
#include "network/datagram_sender.h"
#include "network/platform_services.h"
#include "network/reliable_connection.h"
#include "network/socket_handler_manager.h"

#include "core/trace_frame.h"

namespace qav {

RefPtr<ReliableConnection> PlatformServices::CreateReliableConnection() {
    return RefPtr<ReliableConnection>(new RefCountedObject<ReliableConnection>(this));
}

RefPtr<DatagramSender> PlatformServices::CreateDatagramSender() {
    return RefPtr<DatagramSender>(new RefCountedObject<DatagramSender>(this));
}

RefPtr<ConnectionServer> PlatformServices::CreateConnectionServer(const char* localAddress,
                                                                  int32_t& port,
                                                                  ConnectionEventSink* owner) {
    RefPtr<ConnectionServer> server(new RefCountedObject<ConnectionServer>(this));
    server->SetOwner(owner);
    // A server outside the wait loop would never accept: without one it is a failure too.
    SocketHandlerManager* manager = GetSocketHandlerManager();
    const bool listening = server->Listen(localAddress, port);
    if (!listening || manager == nullptr || !manager->AddHandler(server.get())) {
        m_lastListenError.store(listening ? 0 : server->GetLastSocketError(),
                                std::memory_order_relaxed);
        server->Close();
        return RefPtr<ConnectionServer>();  // our reference was the only one
    }
    return server;
}

RefPtr<DatagramListener> PlatformServices::CreateDatagramListener(const WChar* interfaceName,
                                                                  const char* localAddress,
                                                                  int32_t& port, bool broadcast,
                                                                  PacketSink* sink) {
    QAV_TRACE("CSP::AP");
    const char* szStage = "initial";
    QAV_TRACE_VAR("szStage", szStage, kTraceText);
    RefPtr<DatagramListener> listener(new RefCountedObject<DatagramListener>(this));
    listener->SetPacketSink(sink);
    szStage = "listen";
    if (!listener->StartListening(interfaceName, localAddress, port, true, broadcast)) {
        szStage = "failure";
        m_lastListenError.store(listener->GetLastSocketError(), std::memory_order_relaxed);
        return RefPtr<DatagramListener>();
    }
    if (port == 0) {
        szStage = "get-port";
        port = listener->GetPort();
    }
    szStage = "register";
    SocketHandlerManager* manager = GetSocketHandlerManager();
    if (manager == nullptr || !manager->AddHandler(listener.get())) {
        szStage = "failure";
        m_lastListenError.store(0, std::memory_order_relaxed);
        listener->Disconnect();
        return RefPtr<DatagramListener>();
    }
    return listener;
}

}  // namespace qav
