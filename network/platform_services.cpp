#include "network/platform_services.h"

#include <utility>

#include "core/text_logger.h"
#include "core/text_utils.h"
#include "core/trace_frame.h"
#include "platform/network_info.h"
#include "platform/socket.h"

namespace qav {

namespace {

constexpr int32_t kRebootResult = 3;
constexpr uint32_t kBroadcastAll = 0xFFFFFFFFu;

bool IsUsableAddress(uint32_t address) {
    return address != 0 && address != kBroadcastAll;
}

void AppendAddressOfInterface(const NetworkInterfacesVector::Record& record,
                              std::vector<std::string>& addresses) {
    QAV_TRACE("CSP::CAFI");
    if (!record.address.empty()) {
        addresses.push_back(record.address);
    }
}

}  // namespace

PlatformServices& PlatformServices::Instance() {
    static PlatformServices services;
    return services;
}

PlatformServices::PlatformServices(std::string resolvConfPath)
    : m_resolvConfPath(std::move(resolvConfPath)),
      m_networkInterfaces(std::make_unique<WindowsNetworkInterfaces>(this)) {
    m_networkInterfaces->Update();
    FillLocalAddresses();
}

PlatformServices::~PlatformServices() = default;

void PlatformServices::SetSocketHandlerManager(SocketHandlerManager* manager) {
    m_socketHandlerManager.store(manager, std::memory_order_release);
}

SocketHandlerManager* PlatformServices::GetSocketHandlerManager() const {
    return m_socketHandlerManager.load(std::memory_order_acquire);
}

void PlatformServices::SetLogger(MessageLogger* /*logger*/) {}

int32_t PlatformServices::Reboot() {
    // Nothing in this system may restart the machine it runs on: the request is only
    // counted and told.
    m_rebootRequests.fetch_add(1, std::memory_order_relaxed);
    if (TextLogger* logger = TextLoggerFor(kSeverityWarning)) {
        logger->LogText(kSeverityWarning, "Reboot requested; the machine is left running");
    }
    return kRebootResult;
}

int32_t PlatformServices::FillLocalAddresses() {
    QAV_TRACE("CSP::FLIPA");
    // The interfaces are copied before our lock is taken: the interfaces list calls its
    // observer under its own lock, and that observer may come here.
    const std::vector<NetworkInterfacesVector::Record> records = m_networkInterfaces->GetRecords();
    std::vector<std::string> addresses;
    for (const NetworkInterfacesVector::Record& record : records) {
        AppendAddressOfInterface(record, addresses);
    }
    MutualExclusionLock lock(m_mutex);
    if (!m_fixedAddresses.load(std::memory_order_relaxed)) {
        m_localAddresses = std::move(addresses);
    }
    return static_cast<int32_t>(m_localAddresses.size());
}

bool PlatformServices::IsLocalAddress(const char* address) {
    if (address == nullptr) {
        return false;
    }
    const std::string_view text(address);
    MutualExclusionLock lock(m_mutex);
    for (const std::string& local : m_localAddresses) {
        if (local == text) {
            return true;
        }
    }
    return false;
}

bool PlatformServices::GetLocalAddress(int32_t index, std::string& out) {
    QAV_TRACE("CSP::GLIPA");
    MutualExclusionLock lock(m_mutex);
    if (index < 0 || static_cast<size_t>(index) >= m_localAddresses.size()) {
        return false;
    }
    out = m_localAddresses[index];
    return true;
}

NetworkInterfacesVector& PlatformServices::GetNetworkInterfaces() {
    return *m_networkInterfaces;
}

int32_t PlatformServices::GetDnsServers(const WChar* adapterName, const char* localAddress,
                                        std::vector<std::string>& out) {
    QAV_TRACE("HAR::GWDNSA");
    int32_t iNumDNSAddresses = 0;
    bool bFoundLocalAddress = false;
    const WChar* wszName = adapterName != nullptr ? adapterName : u"";
    QAV_TRACE_VAR("iNumDNSAddresses", iNumDNSAddresses, kTraceInt32);
    QAV_TRACE_VAR("bFoundLocalAddress", bFoundLocalAddress, kTraceBool);
    QAV_TRACE_VAR("wszName", wszName, kTraceWideText);

    // Adapter names are bytes here; a filter that is not valid text names no adapter.
    std::string nameFilter;
    if (!WideToUtf8Strict(WStringView(wszName), nameFilter)) {
        return 0;
    }
    const std::string_view addressFilter(localAddress != nullptr ? localAddress : "");

    std::vector<platform::NetworkAdapterAddress> adapters;
    int errorCode = 0;
    if (!platform::ReadNetworkAdapters(adapters, errorCode)) {
        return 0;
    }
    // The DNS servers of this system are not kept per adapter: resolv.conf names them
    // for the whole machine. So they belong to every adapter, and the filters only decide
    // whether some adapter qualifies at all.
    for (const platform::NetworkAdapterAddress& adapter : adapters) {
        if (!nameFilter.empty() && adapter.interfaceName != nameFilter) {
            continue;
        }
        if (addressFilter.empty() ||
            (IsUsableAddress(adapter.address) &&
             platform::FormatDottedAddress(adapter.address) == addressFilter)) {
            bFoundLocalAddress = true;
            break;
        }
    }
    if (!bFoundLocalAddress) {
        return 0;
    }
    std::vector<uint32_t> servers;
    if (!platform::ReadDnsServers(m_resolvConfPath, servers, errorCode)) {
        return 0;
    }
    for (const uint32_t server : servers) {
        if (IsUsableAddress(server)) {
            out.push_back(platform::FormatDottedAddress(server));
            ++iNumDNSAddresses;
        }
    }
    return iNumDNSAddresses;
}

}  // namespace qav
