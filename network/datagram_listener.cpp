#include "network/datagram_listener.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "core/text_logger.h"
#include "core/trace_frame.h"
#include "network/datagram_sender.h"
#include "network/lent_packet_buffer.h"
#include "network/network_interfaces.h"
#include "network/packet_sink.h"
#include "network/platform_services.h"
#include "network/socket_failure_report.h"
#include "network/socket_handler_manager.h"
#include "platform/futex.h"
#include "platform/system_error.h"

namespace qav {

namespace {

constexpr uint32_t kAnyAddress = 0;
constexpr int kWakeAll = 0x7FFFFFFF;

bool JoinsGroupsOfType(NetworkInterfaceType type) {
    return type == kNetworkInterfaceLocalHost || type == kNetworkInterfaceEthernet ||
           type == kNetworkInterfaceWiFi;
}

}  // namespace

DatagramListener::DatagramListener(PlatformServices* services) : m_services(services) {}

DatagramListener::~DatagramListener() {
    MutualExclusionLock lock(m_mutex);
    // A registered listener is held by the wait loop, so none is registered here.
    CloseSocketLocked(true, false);
}

void DatagramListener::SetPacketSink(PacketSink* sink) {
    MutualExclusionLock lock(m_mutex);
    m_sink = sink;
}

bool DatagramListener::StartListening(const WChar* name, const char* address, int32_t port,
                                      bool blocking, bool broadcast) {
    MutualExclusionLock lock(m_mutex);
    return StartListeningLocked(name, address, port, blocking, broadcast);
}

bool DatagramListener::StartListeningLocked(const WChar* name, const char* address, int32_t port,
                                            bool blocking, bool broadcast) {
    QAV_TRACE("DL::StaLi");
    CloseSocketLocked(false, true);
    if (port < 0 || port > 65535) {
        ReportFailure("bind a UDP server socket", EINVAL);
        return false;
    }
    int errorCode = 0;
    const int socket = platform::CreateUdpSocket(errorCode);
    if (socket == platform::kInvalidSocket) {
        ReportFailure("create a socket for a UDP server", errorCode);
        return false;
    }
    m_sharedSocket = new SharedSocket(socket);
    m_socket.store(socket, std::memory_order_release);
    m_blocking = blocking;
    m_broadcast = broadcast;
    platform::SetBroadcast(socket, broadcast);
    if (broadcast && !platform::SetReuseAddress(socket, true)) {
        ReportFailure("reuse broadcast address", platform::LastErrorCode());
    }

    const bool anyAddress = broadcast || address == nullptr || address[0] == '\0';
    platform::SocketAddressV4 local;
    local.port = static_cast<uint16_t>(port);
    if (!anyAddress && !platform::ParseDottedAddress(address, local.address)) {
        errorCode = EINVAL;
    } else if (platform::BindSocket(socket, local, errorCode)) {
        errorCode = 0;
    }
    if (errorCode != 0) {
        ReportFailure("bind a UDP server socket", errorCode);
        CloseSocketLocked(false, false);
        return false;
    }

    if (broadcast) {
        uint32_t group = kAnyAddress;
        if (address != nullptr && address[0] != '\0' &&
            !platform::ParseDottedAddress(address, group)) {
            ReportFailure("add IP multicast membership", EINVAL);
        } else {
            JoinMulticastGroups(socket, group, name);
        }
    }

    m_port = port;
    m_address = address != nullptr ? address : "";
    m_name = name != nullptr ? name : u"";
    if (port == 0) {
        platform::SocketAddressV4 bound;
        if (!platform::GetSocketName(socket, bound, errorCode)) {
            ReportFailure("get UDP server port number", errorCode);
            CloseSocketLocked(false, false);
            return false;
        }
        m_port = bound.port;
    }
    return true;
}

void DatagramListener::JoinMulticastGroups(int socket, uint32_t group, const WChar* name) {
    std::vector<uint32_t> interfaces;
    if (m_services == nullptr) {
        interfaces.push_back(kAnyAddress);
    } else {
        NetworkInterfacesVector& list = m_services->GetNetworkInterfaces();
        const WStringView wanted = name != nullptr ? WStringView(name) : WStringView();
        const int32_t count = list.GetCount();
        for (int32_t i = 0; i < count; ++i) {
            const bool chosen =
                wanted.empty() ? JoinsGroupsOfType(list.GetType(i)) : list.GetName(i) == wanted;
            uint32_t interfaceAddress = kAnyAddress;
            if (chosen &&
                platform::ParseDottedAddress(list.GetAddress(i).c_str(), interfaceAddress)) {
                interfaces.push_back(interfaceAddress);
                if (!wanted.empty()) {
                    break;
                }
            }
        }
        if (!wanted.empty() && interfaces.empty()) {
            interfaces.push_back(kAnyAddress);
        }
    }
    for (uint32_t interfaceAddress : interfaces) {
        int errorCode = 0;
        if (!platform::AddMulticastMembership(socket, group, interfaceAddress, errorCode)) {
            ReportFailure("add IP multicast membership", errorCode);
        }
    }
}

namespace {
// The listener whose delivery this thread is in, so that a sink that disconnects the
// listener from inside the delivery does not wait for itself.
thread_local const DatagramListener* t_delivering = nullptr;
}  // namespace

void DatagramListener::Disconnect() {
    {
        MutualExclusionLock lock(m_mutex);
        CloseSocketLocked(true, true);
    }
    // No delivery can start now that the sink is forgotten; wait for those under way. The
    // caller must hold no lock that a delivery takes (the sink's own, for one).
    const uint32_t own = t_delivering == this ? 1 : 0;
    m_disconnectWaiters.fetch_add(1);
    for (uint32_t deliveries = m_deliveries.load(); deliveries > own;
         deliveries = m_deliveries.load()) {
        platform::FutexWait(m_deliveries, deliveries, platform::kNoDeadline);
    }
    m_disconnectWaiters.fetch_sub(1);
}

void DatagramListener::CloseSocketLocked(bool detach, bool leaveWaitLoop) {
    QAV_TRACE("DL::SaClSo");
    const int socket = m_socket.load(std::memory_order_relaxed);
    if (socket != platform::kInvalidSocket) {
        // Before the socket changes: the wait loop finds the registration by it.
        if (leaveWaitLoop && m_services != nullptr) {
            if (SocketHandlerManager* loop = m_services->GetSocketHandlerManager()) {
                loop->RemoveHandler(this);
            }
        }
        m_socket.store(platform::kInvalidSocket, std::memory_order_release);
        m_sharedSocket.Reset();  // the last holder closes the socket
        m_port = -1;
    }
    if (detach) {
        m_services = nullptr;
        m_sink = nullptr;
    }
}

RefPtr<DatagramSender> DatagramListener::CreateSender() {
    MutualExclusionLock lock(m_mutex);
    if (!m_sharedSocket) {
        return {};
    }
    RefPtr<DatagramSender> sender(new RefCountedObject<DatagramSender>(m_services));
    sender->UseSharedSocket(m_sharedSocket.get(), m_address, m_port, m_name);
    return sender;
}

int32_t DatagramListener::GetPort() {
    MutualExclusionLock lock(m_mutex);
    return m_port;
}

std::string DatagramListener::GetAddress() {
    MutualExclusionLock lock(m_mutex);
    return m_address;
}

WString DatagramListener::GetName() {
    MutualExclusionLock lock(m_mutex);
    return m_name;
}

intptr_t DatagramListener::HandleInput() {
    QAV_TRACE("DL::HInp");
    bool received = false;
    const intptr_t slotIndex = ReceiveOne(true, received);
    if (slotIndex == ReceiveSlotPool::kNone && received) {
        // Already delivered: the datagrams behind it follow here, in order.
        ReceiveMore(kMostDatagramsPerTurn - 1);
    }
    return slotIndex;
}

void DatagramListener::ProcessInput(intptr_t slotIndex) {
    QAV_TRACE("DL::PIO");
    if (slotIndex < 0 || slotIndex >= ReceiveSlotPool::kCapacity) {
        return;
    }
    ReceiveSlot slot;
    if (!m_slots.Give(static_cast<int>(slotIndex), slot)) {
        return;
    }
    PacketSink* sink;
    PlatformServices* services;
    {
        MutualExclusionLock lock(m_mutex);
        sink = m_sink;
        services = m_services;
        if (sink != nullptr) {
            m_deliveries.fetch_add(1, std::memory_order_relaxed);
        }
    }
    Deliver(sink, services, slot.sender, slot.buffer, slot.count, slot.packet);
    // The datagrams that came behind the slotted one, delivered after it.
    ReceiveMore(kMostDatagramsPerTurn - 1);
}

void DatagramListener::ReceiveMore(int most) {
    bool received = true;
    for (int taken = 0; taken < most && received; ++taken) {
        ReceiveOne(false, received);
    }
}

intptr_t DatagramListener::ReceiveOne(bool first, bool& received) {
    received = false;
    MutualExclusionLock lock(m_mutex);
    const int socket = m_socket.load(std::memory_order_relaxed);
    if (socket == platform::kInvalidSocket) {
        return ReceiveSlotPool::kNone;
    }
    if (!first) {
        // The wait loop saw the first datagram waiting; for those behind it, the sink is
        // asked for a packet only when there is one to receive into it.
        int errorCode = 0;
        if (!platform::DatagramWaits(socket, errorCode)) {
            if (errorCode != 0) {
                m_lastSocketError.store(errorCode, std::memory_order_relaxed);
            }
            return ReceiveSlotPool::kNone;
        }
    }
    PacketSink* sink = m_sink;
    PlatformServices* services = m_services;
    LentPacketBuffer* packet = nullptr;
    uint8_t* buffer = m_fallbackBuffer;
    size_t capacity = kReceiveCapacity;
    if (sink != nullptr) {
        uint8_t* lent = nullptr;
        size_t lentCapacity = kReceiveCapacity;
        packet = sink->AllocatePacketBuffer(&lent, lentCapacity);
        if (packet != nullptr && lent != nullptr && lentCapacity > 0) {
            buffer = lent;
            capacity = std::min(lentCapacity, kReceiveCapacity);
        } else if (packet != nullptr) {
            packet->ReturnToPool();  // a packet without room is no use
            packet = nullptr;
        }
    }

    // A datagram longer than the lent packet runs on into the own buffer, behind the room
    // that the packet's part then moves into: every datagram up to kReceiveCapacity bytes
    // arrives, whatever the sink lends.
    platform::SocketAddressV4 sender;
    int errorCode = 0;
    const size_t overflowCapacity = kReceiveCapacity - capacity;
    ptrdiff_t count = platform::ReceiveDatagramInTwo(
        socket, buffer, capacity, m_fallbackBuffer + capacity, overflowCapacity, sender, errorCode);
    // An empty or oversize datagram is taken off the socket too: what waits behind it
    // still belongs to this turn.
    received = count >= 0 || errorCode == EMSGSIZE;
    if (count < 1) {
        // Nothing to deliver: an empty or oversize datagram, or no datagram after all.
        if (count < 0 && errorCode != EAGAIN && errorCode != EWOULDBLOCK) {
            m_lastSocketError.store(errorCode, std::memory_order_relaxed);
        }
        if (packet != nullptr) {
            packet->ReturnToPool();
        }
        return ReceiveSlotPool::kNone;
    }
    if (static_cast<size_t>(count) > capacity) {
        if (buffer != m_fallbackBuffer) {
            std::memcpy(m_fallbackBuffer, buffer, capacity);
        }
        if (packet != nullptr) {
            packet->ReturnToPool();
            packet = nullptr;
        }
        buffer = m_fallbackBuffer;
    }
    if (packet != nullptr && first) {
        const int index = m_slots.Take(ReceiveSlot{sender, count, buffer, packet});
        if (index != ReceiveSlotPool::kNone) {
            return index;
        }
    }
    // No slot (all busy, not the first of the turn, or the own buffer): delivered now,
    // still without the lock. The own buffer stays untouched meanwhile, since only this
    // socket's turn receives into it.
    if (sink != nullptr) {
        m_deliveries.fetch_add(1, std::memory_order_relaxed);
    }
    lock.Unlock();
    Deliver(sink, services, sender, buffer, count, packet);
    return ReceiveSlotPool::kNone;
}

void DatagramListener::Deliver(PacketSink* sink, PlatformServices* services,
                               const platform::SocketAddressV4& sender, const uint8_t* data,
                               ptrdiff_t count, LentPacketBuffer* packet) {
    if (sink == nullptr) {
        if (packet != nullptr) {
            packet->ReturnToPool();
        }
        return;
    }
    struct Delivering {
        DatagramListener* listener;
        const DatagramListener* outer = std::exchange(t_delivering, listener);
        ~Delivering() {
            t_delivering = outer;
            // Both sequentially consistent: a Disconnect that has not seen this count
            // drop is counted among the waiters here, and is woken.
            listener->m_deliveries.fetch_sub(1);
            if (listener->m_disconnectWaiters.load() > 0) {
                platform::FutexWake(listener->m_deliveries, kWakeAll);
            }
        }
    } delivering{this};
    if (count < 1) {
        if (packet != nullptr) {
            packet->ReturnToPool();
        }
        return;
    }
    std::string senderText = platform::FormatDottedAddress(sender.address);
    if (senderText.empty()) {
        senderText = "unknown";
    }
    sink->ProcessPacket(this, services, senderText.c_str(), sender.port, data,
                        static_cast<size_t>(count), packet);
}

void DatagramListener::HandleError() {
    QAV_TRACE("DL::HErr");
    MutualExclusionLock lock(m_mutex);
    const int socket = m_socket.load(std::memory_order_relaxed);
    if (socket == platform::kInvalidSocket) {
        return;
    }
    if (TextLogger* logger = TextLoggerFor(kSeverityError)) {
        logger->LogFormat(kSeverityError, "Socket %d error", socket);
    }
    // The restart keeps the sink and platform services (only Disconnect forgets them).
    const WString name = m_name;
    const std::string address = m_address;
    const bool restarted =
        StartListeningLocked(name.c_str(), address.c_str(), m_port, m_blocking, m_broadcast);
    if (TextLogger* logger = TextLoggerFor(kSeverityError)) {
        logger->LogFormat(kSeverityError, "Socket restart listening result: %s",
                          restarted ? "Success" : "Failure");
    }
    SocketHandlerManager* loop =
        m_services != nullptr ? m_services->GetSocketHandlerManager() : nullptr;
    if (!restarted || loop == nullptr || !loop->AddHandler(this)) {
        CloseSocketLocked(true, true);
    }
}

void DatagramListener::ReportFailure(const char* what, int errorCode) {
    m_lastSocketError.store(errorCode, std::memory_order_relaxed);
    ReportSocketFailure(what, errorCode);
}

}  // namespace qav
