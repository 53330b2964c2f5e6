// The device's active IPv4 interfaces: one record per (interface, address) with the
// interface's name, its address and broadcast address texts, and a classification by
// name (type and rank; a lower rank is preferred when connections are placed). Linux's
// predictable names ("enp3s0", "wlp2s0") are classified as well as the older ones.
//
// Typical usage:
//   WindowsNetworkInterfaces interfaces(services);
//   interfaces.Update();                          // once when made
//   if (interfaces.Refresh()) services->FillLocalAddresses();   // on every network test
//   for (int32_t i = 0; i < interfaces.GetCount(); ++i) use(interfaces.GetAddress(i));
//
// Threads: every operation may be called from any thread; each takes the vector's lock.
// Update holds the lock for the whole rebuild and calls the observer under it, unlike
// the other call-outs of the system, so that an observer sees the changes in order and
// the list as they leave it. An observer may read the list (the lock is recursive) but
// must not update it, nor wait for another thread that uses it. Readers see either the
// old or the new list and return copies.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/mutual_exclusion.h"
#include "core/wide_text.h"

namespace qav {

namespace platform {
struct NetworkAdapterAddress;
}

class PlatformServices;

enum NetworkInterfaceType : int32_t {
    kNetworkInterfaceUnknown = 0,
    kNetworkInterfaceLocalHost = 1,
    kNetworkInterfaceEthernet = 2,
    kNetworkInterfaceWiFi = 3,
    kNetworkInterfaceCellular = 4,
    kNetworkInterfaceVpn = 5,
};

// Ranks of the classification; a lower value is preferred, -1 means none.
constexpr int32_t kInterfaceRankLocalHost = 0;
constexpr int32_t kInterfaceRankEthernet = 1;
constexpr int32_t kInterfaceRankWiFi = 2;
constexpr int32_t kInterfaceRankOther = 5;
constexpr int32_t kInterfaceRankVpn = 6;
constexpr int32_t kInterfaceRankCellular = 7;
constexpr int32_t kInterfaceRankNone = -1;

// Told of every record that an update adds or removes; a changed address is told as the
// old record removed and the new one added. Called under the vector's lock (see above).
class NetworkInterfaceObserver {
  public:
    virtual void InterfaceAdded(PlatformServices* owner, const WString& name,
                                NetworkInterfaceType type, int32_t rank,
                                const std::string& address) = 0;
    virtual void InterfaceRemoved(PlatformServices* owner, const WString& name,
                                  NetworkInterfaceType type, int32_t rank,
                                  const std::string& address) = 0;

  protected:
    ~NetworkInterfaceObserver() = default;
};

class NetworkInterfacesVector {
  public:
    static constexpr size_t kMaxNameLength = 256;    // code units
    static constexpr size_t kMaxAddressLength = 19;  // bytes, a 20-byte field with its end

    struct Record {
        WString name;
        std::string address;
        std::string reservedAddress;  // always empty
        std::string broadcastAddress;
        int32_t rank = kInterfaceRankOther;
        NetworkInterfaceType type = kNetworkInterfaceUnknown;
        bool mark = false;  // met by the current update
    };

    // `owner` is handed to the observer with every change.
    explicit NetworkInterfacesVector(PlatformServices* owner);
    virtual ~NetworkInterfacesVector();
    NetworkInterfacesVector(const NetworkInterfacesVector&) = delete;
    NetworkInterfacesVector& operator=(const NetworkInterfacesVector&) = delete;

    int32_t GetCount();
    // Copies of the record's fields; outside 0 <= index < count: empty texts, rank -1,
    // type kNetworkInterfaceUnknown.
    WString GetName(int32_t index);
    std::string GetAddress(int32_t index);
    std::string GetReservedAddress(int32_t index);
    std::string GetBroadcastAddress(int32_t index);
    int32_t GetRank(int32_t index);
    NetworkInterfaceType GetType(int32_t index);
    // A copy of every record, taken under the lock: one consistent list, where a loop
    // over GetCount and the readers could straddle an update.
    std::vector<Record> GetRecords();

    // Null: no observer. The observer must outlive its registration.
    void SetObserver(NetworkInterfaceObserver* observer);
    // Update when enabled (the value is not 0), else false.
    bool Refresh();
    // Returns the previous value.
    int32_t SetEnabled(int32_t value);
    // Re-reads the interfaces; true when any record was added, changed or removed.
    virtual bool Update() = 0;

  protected:
    // The three steps of an update; REQUIRES: m_mutex held.
    void ClearMarks();
    // Marks the record of (name, address), or moves the unmarked record of the same name
    // to the new address, or appends a new record. True when anything changed.
    bool Set(WStringView name, std::string_view address, std::string_view reservedAddress,
             std::string_view broadcastAddress);
    // Erases every unmarked record; returns how many.
    int32_t RemoveUnmarked();

    MutualExclusion m_mutex;

  private:
    template <typename T>
    T ReadField(int32_t index, T Record::*field, T outside) {
        MutualExclusionLock lock(m_mutex);
        if (index < 0 || static_cast<size_t>(index) >= m_records.size()) {
            return outside;
        }
        return m_records[static_cast<size_t>(index)].*field;
    }
    void ReportAdded(const Record& record);
    void ReportRemoved(const Record& record);

    PlatformServices* const m_owner;
    std::vector<Record> m_records;                   // GUARDED_BY(m_mutex)
    NetworkInterfaceObserver* m_observer = nullptr;  // GUARDED_BY(m_mutex)
    int32_t m_enabled = 1;                           // GUARDED_BY(m_mutex)
};

// The interfaces of the machine this runs on (of the calling process's network
// namespace), read through platform/network_info.h.
class WindowsNetworkInterfaces : public NetworkInterfacesVector {
  public:
    explicit WindowsNetworkInterfaces(PlatformServices* owner);

    // An adapter counts when it is up and running; its records carry the adapter's name
    // (alias labels folded in), each IPv4 address other than 0.0.0.0 and
    // 255.255.255.255, and the adapter's broadcast address when it has one. When the
    // adapters cannot be read, nothing changes and the result is false.
    bool Update() override;

  protected:
    // The adapters' addresses; tests replace it with their own list.
    virtual bool ReadAdapters(std::vector<platform::NetworkAdapterAddress>& adapters,
                              int& errorCode);
};

}  // namespace qav
