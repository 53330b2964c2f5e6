#include "records/access_level_table.h"

#include <algorithm>
#include <utility>

#include "core/md5.h"
#include "core/text_utils.h"
#include "records/list_index.h"

namespace qav {
namespace {

constexpr size_t kDigestDigits = 2 * Md5::kDigestSize;

// Takes the same time wherever the texts differ, so that the time a check takes tells
// a caller nothing about how much of a password was right.
bool SecretsEqual(WStringView a, WStringView b) {
    if (a.size() != b.size()) {
        return false;
    }
    uint32_t difference = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<uint32_t>(a[i] ^ b[i]);
    }
    return difference == 0;
}

bool IsDigestText(WStringView text) {
    return text.size() == kDigestDigits &&
           std::all_of(text.begin(), text.end(), [](WChar c) { return HexDigitValue(c) >= 0; });
}

// Stored digests are kept in lower case (AddUser, AddDevice), so a digest written in
// either case matches.
template <typename Entry>
bool PasswordMatches(const Entry& entry, WStringView password) {
    if (entry.passwordDigest.empty()) {
        return SecretsEqual(entry.password, password);
    }
    WString digest;
    Md5HexDigestW(password, digest);
    MakeLowerAsciiW(digest);
    return SecretsEqual(entry.passwordDigest, digest);
}

template <typename Entry>
bool PrepareDigest(Entry& entry) {
    if (entry.passwordDigest.empty()) {
        return true;
    }
    if (!IsDigestText(entry.passwordDigest)) {
        return false;
    }
    MakeLowerAsciiW(entry.passwordDigest);
    return true;
}

bool IsLevel(int32_t level) {
    return level >= kAccessUndefined && level <= kAccessAdministrative;
}

// The first entry of a list for the user name or the device id; end() when none.
template <typename List>
auto FindByName(const List& list, WStringView userName) {
    return std::find_if(list.begin(), list.end(),
                        [&](const auto& entry) { return entry.userName == userName; });
}

template <typename List>
auto FindById(const List& list, int32_t deviceId) {
    return std::find_if(list.begin(), list.end(),
                        [&](const auto& entry) { return entry.deviceId == deviceId; });
}

}  // namespace

void AccessLevelTable::Reset() {
    m_defaultLevel = kAccessAdministrative;
    m_unknownDeviceAdmitted = true;
    m_unknownUserAdmitted = true;
    m_users.clear();
    m_devices.clear();
    m_deviceLevels.clear();
    m_userLevels.clear();
    m_userDeviceLevels.clear();
}

bool AccessLevelTable::CheckUserPassword(WStringView userName, WStringView password) const {
    const auto user = FindByName(m_users, userName);
    return user == m_users.end() ? m_unknownUserAdmitted : PasswordMatches(*user, password);
}

bool AccessLevelTable::CheckDevicePassword(int32_t deviceId, WStringView password) const {
    const auto device = FindById(m_devices, deviceId);
    return device == m_devices.end() ? m_unknownDeviceAdmitted : PasswordMatches(*device, password);
}

int32_t AccessLevelTable::GetUserDeviceLevel(WStringView userName, int32_t deviceId) const {
    const int32_t index = FindUserDeviceLevel(userName, deviceId);
    if (index >= 0) {
        return m_userDeviceLevels[static_cast<size_t>(index)].level;
    }
    const auto device = FindById(m_deviceLevels, deviceId);
    return device != m_deviceLevels.end() ? device->level : GetUserLevel(userName);
}

int32_t AccessLevelTable::GetUserLevel(WStringView userName) const {
    const auto user = FindByName(m_userLevels, userName);
    return user != m_userLevels.end() ? user->level : m_defaultLevel;
}

int32_t AccessLevelTable::GetDeviceLevel(int32_t deviceId) const {
    const auto device = FindById(m_deviceLevels, deviceId);
    return device != m_deviceLevels.end() ? device->level : m_defaultLevel;
}

int32_t AccessLevelTable::FindUserDeviceLevel(WStringView userName, int32_t deviceId) const {
    const auto entry = std::find_if(
        m_userDeviceLevels.begin(), m_userDeviceLevels.end(),
        [&](const auto& e) { return e.deviceId == deviceId && e.userName == userName; });
    return entry == m_userDeviceLevels.end()
               ? -1
               : static_cast<int32_t>(entry - m_userDeviceLevels.begin());
}

bool AccessLevelTable::SetUserDeviceLevel(int32_t index, WStringView userName, int32_t deviceId,
                                          int32_t level) {
    if (!IndexInList(index, m_userDeviceLevels.size()) || !IsLevel(level)) {
        return false;
    }
    // A second entry for the same pair would never be found: refuse to make one.
    const int32_t holder = FindUserDeviceLevel(userName, deviceId);
    if (holder >= 0 && holder != index) {
        return false;
    }
    m_userDeviceLevels[static_cast<size_t>(index)] = {WString(userName), deviceId, level};
    return true;
}

bool AccessLevelTable::RemoveUserDeviceLevel(int32_t index) {
    if (!IndexInList(index, m_userDeviceLevels.size())) {
        return false;
    }
    m_userDeviceLevels.erase(m_userDeviceLevels.begin() + index);
    return true;
}

bool AccessLevelTable::AddUser(UserPasswordEntry entry) {
    if (!PrepareDigest(entry) || FindByName(m_users, entry.userName) != m_users.end()) {
        return false;
    }
    m_users.push_back(std::move(entry));
    return true;
}

bool AccessLevelTable::AddDevice(DevicePasswordEntry entry) {
    if (!PrepareDigest(entry) || FindById(m_devices, entry.deviceId) != m_devices.end()) {
        return false;
    }
    m_devices.push_back(std::move(entry));
    return true;
}

bool AccessLevelTable::AddDeviceLevel(int32_t deviceId, int32_t level) {
    if (!IsLevel(level) || FindById(m_deviceLevels, deviceId) != m_deviceLevels.end()) {
        return false;
    }
    m_deviceLevels.push_back({deviceId, level});
    return true;
}

bool AccessLevelTable::AddUserLevel(WStringView userName, int32_t level) {
    if (!IsLevel(level) || FindByName(m_userLevels, userName) != m_userLevels.end()) {
        return false;
    }
    m_userLevels.push_back({WString(userName), level});
    return true;
}

bool AccessLevelTable::AddUserDeviceLevel(WStringView userName, int32_t deviceId, int32_t level) {
    if (!IsLevel(level) || FindUserDeviceLevel(userName, deviceId) >= 0) {
        return false;
    }
    m_userDeviceLevels.push_back({WString(userName), deviceId, level});
    return true;
}

}  // namespace qav
