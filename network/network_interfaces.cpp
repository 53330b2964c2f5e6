#include "network/network_interfaces.h"

#include <optional>
#include <utility>

#include "core/text_utils.h"
#include "core/trace_frame.h"
#include "platform/network_info.h"
#include "platform/socket.h"

namespace qav {

namespace {

bool StartsWith(WStringView text, WStringView prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool Contains(WStringView text, WStringView part) {
    return text.find(part) != WStringView::npos;
}

std::string CutAddress(std::string_view text) {
    return std::string(text.substr(0, NetworkInterfacesVector::kMaxAddressLength));
}

WString InterfaceNameToWide(const std::string& name) {
    WString wide;
    if (!Utf8ToWideStrict(name, wide)) {
        Utf8ToWide(name.data(), static_cast<int>(name.size()), wide, nullptr);
    }
    return wide;
}

// An interface's type and the rank that goes with it.
struct InterfaceClass {
    NetworkInterfaceType type;
    int32_t rank;
};
constexpr InterfaceClass kLocalHostClass{kNetworkInterfaceLocalHost, kInterfaceRankLocalHost};
constexpr InterfaceClass kEthernetClass{kNetworkInterfaceEthernet, kInterfaceRankEthernet};
constexpr InterfaceClass kWiFiClass{kNetworkInterfaceWiFi, kInterfaceRankWiFi};
constexpr InterfaceClass kVpnClass{kNetworkInterfaceVpn, kInterfaceRankVpn};
constexpr InterfaceClass kCellularClass{kNetworkInterfaceCellular, kInterfaceRankCellular};
constexpr InterfaceClass kOtherClass{kNetworkInterfaceUnknown, kInterfaceRankOther};

bool IsHexDigitsOnly(WStringView text) {
    for (const WChar unit : text) {
        if (HexDigitValue(unit) < 0) {
            return false;
        }
    }
    return !text.empty();
}

// A predictable wired name: "en" with o (onboard), s (hot-plug slot), p (bus position) or
// P (PCI domain) and its number, or x and the hardware address in hexadecimal. A bare "en"
// and a digit is another platform's WiFi, so the letter and what follows it must both be
// there.
bool IsPredictableEthernetName(WStringView name) {
    if (!StartsWith(name, u"en") || name.size() < 4) {
        return false;
    }
    const WChar kind = name[2];
    if (kind == u'o' || kind == u's' || kind == u'p' || kind == u'P') {
        return IsAsciiDigit(name[3]);
    }
    return kind == u'x' && IsHexDigitsOnly(name.substr(3));
}

// Linux's own names; they decide before the older rules, which would take "enp3s0" for
// WiFi (its "en") and leave "wlp2s0" with the bridges and containers.
std::optional<InterfaceClass> ClassifyLinuxName(WStringView name) {
    if (IsPredictableEthernetName(name)) {
        return kEthernetClass;
    }
    if (StartsWith(name, u"wl")) {
        return kWiFiClass;
    }
    if (StartsWith(name, u"ww")) {
        return kCellularClass;
    }
    if (StartsWith(name, u"wg")) {
        return kVpnClass;
    }
    // Links to this machine's own containers and virtual machines, whatever else the
    // name holds.
    if (StartsWith(name, u"docker") || StartsWith(name, u"veth") || StartsWith(name, u"br-") ||
        StartsWith(name, u"virbr")) {
        return kOtherClass;
    }
    return std::nullopt;
}

// The names of both worlds: "Local Area Connection" and "eth0", "Wireless" and "wlan0".
InterfaceClass ClassifyByTable(WStringView name) {
    if (StartsWith(name, u"lo") || Contains(name, u"Loopback")) {
        return kLocalHostClass;
    }
    if (StartsWith(name, u"eth") || Contains(name, u"Local")) {
        return kEthernetClass;
    }
    if (StartsWith(name, u"wlan") || StartsWith(name, u"ra") || StartsWith(name, u"en")) {
        return kWiFiClass;
    }
    if (StartsWith(name, u"tun") || StartsWith(name, u"tap")) {
        return kVpnClass;
    }
    if (StartsWith(name, u"ppp") || StartsWith(name, u"pdp_ip") || StartsWith(name, u"usb") ||
        StartsWith(name, u"rmnet")) {
        return kCellularClass;
    }
    return kOtherClass;
}

// The first rule that matches decides; Linux's own names before the older rules.
void Classify(WStringView name, NetworkInterfaceType& type, int32_t& rank) {
    const InterfaceClass found = ClassifyLinuxName(name).value_or(ClassifyByTable(name));
    type = found.type;
    rank = found.rank;
}

}  // namespace

NetworkInterfacesVector::NetworkInterfacesVector(PlatformServices* owner) : m_owner(owner) {}

NetworkInterfacesVector::~NetworkInterfacesVector() = default;

int32_t NetworkInterfacesVector::GetCount() {
    MutualExclusionLock lock(m_mutex);
    return static_cast<int32_t>(m_records.size());
}

WString NetworkInterfacesVector::GetName(int32_t index) {
    return ReadField(index, &Record::name, WString());
}

std::string NetworkInterfacesVector::GetAddress(int32_t index) {
    return ReadField(index, &Record::address, std::string());
}

std::string NetworkInterfacesVector::GetReservedAddress(int32_t index) {
    return ReadField(index, &Record::reservedAddress, std::string());
}

std::string NetworkInterfacesVector::GetBroadcastAddress(int32_t index) {
    return ReadField(index, &Record::broadcastAddress, std::string());
}

int32_t NetworkInterfacesVector::GetRank(int32_t index) {
    return ReadField(index, &Record::rank, kInterfaceRankNone);
}

NetworkInterfaceType NetworkInterfacesVector::GetType(int32_t index) {
    return ReadField(index, &Record::type, kNetworkInterfaceUnknown);
}

std::vector<NetworkInterfacesVector::Record> NetworkInterfacesVector::GetRecords() {
    MutualExclusionLock lock(m_mutex);
    return m_records;
}

void NetworkInterfacesVector::SetObserver(NetworkInterfaceObserver* observer) {
    MutualExclusionLock lock(m_mutex);
    m_observer = observer;
}

bool NetworkInterfacesVector::Refresh() {
    {
        MutualExclusionLock lock(m_mutex);
        if (m_enabled == 0) {
            return false;
        }
    }
    return Update();
}

int32_t NetworkInterfacesVector::SetEnabled(int32_t value) {
    MutualExclusionLock lock(m_mutex);
    return std::exchange(m_enabled, value);
}

void NetworkInterfacesVector::ClearMarks() {
    for (Record& record : m_records) {
        record.mark = false;
    }
}

bool NetworkInterfacesVector::Set(WStringView name, std::string_view address,
                                  std::string_view reservedAddress,
                                  std::string_view broadcastAddress) {
    QAV_TRACE("NIV::Set");
    const WStringView cutName = name.substr(0, kMaxNameLength);
    const std::string cutAddress = CutAddress(address);
    Record* moved = nullptr;
    for (Record& record : m_records) {
        if (record.mark || record.name != cutName) {
            continue;
        }
        if (record.address == cutAddress) {
            record.mark = true;
            return false;
        }
        moved = &record;  // the last one met wins
    }
    if (moved != nullptr) {
        // The interface's address changed: same record, new address, same classification.
        moved->mark = true;
        ReportRemoved(*moved);
        moved->address = cutAddress;
        moved->reservedAddress = CutAddress(reservedAddress);
        moved->broadcastAddress = CutAddress(broadcastAddress);
        ReportAdded(*moved);
        return true;
    }
    Record record;
    record.name = WString(cutName);
    record.address = cutAddress;
    record.reservedAddress = CutAddress(reservedAddress);
    record.broadcastAddress = CutAddress(broadcastAddress);
    record.mark = true;
    Classify(record.name, record.type, record.rank);
    m_records.push_back(std::move(record));
    ReportAdded(m_records.back());
    return true;
}

int32_t NetworkInterfacesVector::RemoveUnmarked() {
    int32_t removed = 0;
    for (auto it = m_records.begin(); it != m_records.end();) {
        if (it->mark) {
            ++it;
            continue;
        }
        ReportRemoved(*it);
        it = m_records.erase(it);
        ++removed;
    }
    return removed;
}

void NetworkInterfacesVector::ReportAdded(const Record& record) {
    if (m_observer != nullptr) {
        m_observer->InterfaceAdded(m_owner, record.name, record.type, record.rank, record.address);
    }
}

void NetworkInterfacesVector::ReportRemoved(const Record& record) {
    if (m_observer != nullptr) {
        m_observer->InterfaceRemoved(m_owner, record.name, record.type, record.rank,
                                     record.address);
    }
}

WindowsNetworkInterfaces::WindowsNetworkInterfaces(PlatformServices* owner)
    : NetworkInterfacesVector(owner) {}

bool WindowsNetworkInterfaces::ReadAdapters(std::vector<platform::NetworkAdapterAddress>& adapters,
                                            int& errorCode) {
    return platform::ReadNetworkAdapters(adapters, errorCode);
}

bool WindowsNetworkInterfaces::Update() {
    QAV_TRACE("WNI::Upd");
    const WChar* wszName = u"";
    QAV_TRACE_VAR("wszName", wszName, kTraceWideText);
    // Read before locking: readers need not wait for the kernel's answer.
    std::vector<platform::NetworkAdapterAddress> adapters;
    int errorCode = 0;
    if (!ReadAdapters(adapters, errorCode)) {
        return false;  // the records stay until an update succeeds
    }
    MutualExclusionLock lock(m_mutex);
    ClearMarks();
    bool changed = false;
    WString name;  // outlives the loop: the trace variable points into it
    for (const platform::NetworkAdapterAddress& adapter : adapters) {
        if (!adapter.up || adapter.address == 0 || adapter.address == 0xFFFFFFFFu) {
            continue;
        }
        name = InterfaceNameToWide(adapter.interfaceName);
        wszName = name.c_str();
        // Each adapter's own broadcast text, empty when it has none: never a neighbour's.
        const std::string broadcast = adapter.broadcast == 0 || adapter.broadcast == 0xFFFFFFFFu
                                          ? std::string()
                                          : platform::FormatDottedAddress(adapter.broadcast);
        if (Set(name, platform::FormatDottedAddress(adapter.address), std::string_view(),
                broadcast)) {
            changed = true;
        }
    }
    wszName = u"";
    if (RemoveUnmarked() > 0) {
        changed = true;
    }
    return changed;
}

}  // namespace qav
