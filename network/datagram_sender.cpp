#include "network/datagram_sender.h"

#include "core/text_logger.h"
#include "core/trace_frame.h"

namespace qav {

DatagramSender::DatagramSender(PlatformServices* services) : m_services(services) {}

DatagramSender::~DatagramSender() {
    Close();
    // A lookup still waiting keeps its resolver alive until it is told to stop.
    ReleaseResolver();
}

void DatagramSender::Disconnect() {
    Close();
}

void DatagramSender::Close() {
    if (m_socket != platform::kInvalidSocket) {
        if (m_ownsSocket) {
            platform::CloseSocket(m_socket);
        }
        ReleaseResolver();
    }
    // A listener's socket closes when its last holder lets go.
    m_sharedSocket.Reset();
    m_socket = platform::kInvalidSocket;
    m_ownsSocket = false;
    m_localPort = 0;
}

void DatagramSender::UseSharedSocket(SharedSocket* shared, const std::string& localAddress,
                                     int32_t localPort, const WString& name) {
    Close();
    m_sharedSocket = shared;
    m_socket = shared != nullptr ? shared->GetSocket() : platform::kInvalidSocket;
    m_localAddress = localAddress;
    m_localPort = localPort;
    m_name = name;
}

bool DatagramSender::SetDestination(const char* host, bool lookupAllowed, bool broadcast,
                                    int32_t port) {
    m_host = host != nullptr ? host : "";
    m_lookupAllowed = lookupAllowed;
    m_broadcast = broadcast;
    m_destinationPort = port;
    // An address of an earlier destination must not survive a new destination that does
    // not resolve: the datagrams would go to the old peer.
    m_destination = platform::SocketAddressV4();
    m_destinationText.clear();
    const bool portValid = port > 0 && port <= 65535;
    m_destination.port = portValid ? static_cast<uint16_t>(port) : 0;
    if (m_socket != platform::kInvalidSocket) {
        platform::SetBroadcast(m_socket, broadcast);
    }
    m_destinationSet = true;
    return portValid && ResolveDestination();
}

bool DatagramSender::ResolveDestination() {
    QAV_TRACE("DS::TANTN");
    uint32_t address = 0;
    if (platform::ParseDottedAddress(m_host.c_str(), address)) {
        m_destination.address = address;
        m_destinationText = platform::FormatDottedAddress(address);
        return true;
    }
    if (!m_lookupAllowed) {
        return false;
    }
    if (!m_resolver) {
        m_resolver = new RefCountedObject<HostAddressResolver>;
    }
    m_resolver->SetPlatformServices(m_services);
    m_resolver->SetLocalAddress(m_localAddress);
    m_resolver->SetAdapterName(m_name);
    // No requester: a later Send asks again and gets the stored answer.
    if (!m_resolver->Resolve(m_host.c_str(), address, nullptr)) {
        return false;
    }
    m_destination.address = address;
    m_destinationText = m_resolver->GetResultText();
    return true;
}

void DatagramSender::ReleaseResolver() {
    if (m_resolver) {
        m_resolver->Disconnect();
        m_resolver.Reset();
    }
}

bool DatagramSender::OpenOwnSocket() {
    Close();
    int errorCode = 0;
    const int socket = platform::CreateUdpSocket(errorCode);
    if (socket == platform::kInvalidSocket) {
        return false;  // the send that follows fails and reports
    }
    m_socket = socket;
    m_ownsSocket = true;
    platform::SetBroadcast(socket, m_broadcast);
    platform::SocketAddressV4 local;
    if (platform::GetSocketName(socket, local, errorCode)) {
        m_localPort = local.port;
    }
    return true;
}

int32_t DatagramSender::Send(const void* data, int32_t length, SendCompletion* completion) {
    QAV_TRACE("DS::Send");
    if (m_socket == platform::kInvalidSocket) {
        OpenOwnSocket();
    }
    int32_t sent = 0;
    int32_t error = 0;
    if (length < 0 || (data == nullptr && length > 0)) {
        error = kSendNothingSent;
    } else if (m_destination.port == 0 || (m_destination.address == 0 && !ResolveDestination())) {
        error = kSendNoDestination;
    } else {
        int errorCode = 0;
        const ptrdiff_t result = platform::SendDatagram(m_socket, data, static_cast<size_t>(length),
                                                        m_destination, errorCode);
        if (result < 0) {
            error = errorCode;
            if (TextLogger* logger = TextLoggerFor(kSeverityError)) {
                logger->LogFormat(kSeverityError,
                                  "Failed to send UDP packet: socket error %d = %ls", errorCode,
                                  GetErrorText(errorCode));
            }
        } else {
            sent = static_cast<int32_t>(result);
            if (sent == 0 && length > 0) {
                error = kSendNothingSent;
            }
            // An own socket gets its port from the first send.
            if (m_localPort == 0 && m_ownsSocket) {
                platform::SocketAddressV4 local;
                if (platform::GetSocketName(m_socket, local, errorCode)) {
                    m_localPort = local.port;
                }
            }
        }
    }
    if (completion != nullptr) {
        completion->Complete(data, sent, error);
    }
    return sent;
}

bool DatagramSender::IsReady() const {
    return m_socket != platform::kInvalidSocket && m_destination.address != 0;
}

}  // namespace qav
