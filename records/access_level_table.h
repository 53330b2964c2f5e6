// AccessLevelTable: how far each user (a monitor's login) may see and control each
// capture device, and the passwords the node knows for users and devices. The protocol
// manager builds one at start-up, checks logins and device configurations against it and
// grants or withdraws (user, device) levels as it goes.
//
// A level is one of the nine ordered DeviceAccessLevel steps; higher grants more. A level
// is looked up from the most specific entry to the least: (user, device), device, user,
// then the default. Names and passwords match only as whole texts, case and all (a
// digest's hexadecimal digits in either case); an entry with neither password nor digest
// takes the empty password. A user or device that the table does not list is admitted or
// refused by its own flag; both flags are set by a fresh table, which admits everyone at
// the "Administrative" level until the manager says otherwise.
//
// Typical usage:
//   AccessLevelTable table;
//   table.m_unknownUserAdmitted = false;
//   table.AddUser({u"joe", u"secret", u""});
//   if (table.CheckUserPassword(login.m_userName, login.m_password)) ...
//
// Not thread-safe: the owner serialises every call.
#pragma once

#include <cstdint>
#include <vector>

#include "core/enum_text_table.h"
#include "core/wide_text.h"

namespace qav {

enum DeviceAccessLevel : int32_t {
    kAccessUndefined = 0,
    kAccessForbidden = 1,
    kAccessSearchable = 2,
    kAccessAware = 3,
    kAccessLocationAware = 4,
    kAccessPassive = 5,
    kAccessActive = 6,
    kAccessAdvanced = 7,
    kAccessAdministrative = 8,
};

// Carried as the text of "qav:DeviceAccessLevel" by the messages that hold a level.
inline constexpr EnumTextRow kDeviceAccessLevelTable[] = {
    {kAccessUndefined, u"Undefined"},
    {kAccessForbidden, u"Forbidden"},
    {kAccessSearchable, u"Searchable"},
    {kAccessAware, u"Aware"},
    {kAccessLocationAware, u"Location Aware"},
    {kAccessPassive, u"Passive"},
    {kAccessActive, u"Active"},
    {kAccessAdvanced, u"Advanced"},
    {kAccessAdministrative, u"Administrative"},
};

// A non-empty passwordDigest (the MD5 digest of the password's UTF-8 bytes as 32
// hexadecimal digits) takes the place of the plain password.
struct UserPasswordEntry {
    WString userName;
    WString password;
    WString passwordDigest;
};

struct DevicePasswordEntry {
    int32_t deviceId = 0;
    WString password;
    WString passwordDigest;
};

struct UserDeviceLevelEntry {
    WString userName;
    int32_t deviceId = 0;
    int32_t level = kAccessUndefined;
};

class AccessLevelTable {
  public:
    AccessLevelTable() { Reset(); }

    // The defaults below and no entries.
    void Reset();

    // Listed: the password (or its digest) must match whole. Unlisted: the flag decides.
    bool CheckUserPassword(WStringView userName, WStringView password) const;
    bool CheckDevicePassword(int32_t deviceId, WStringView password) const;

    int32_t GetUserDeviceLevel(WStringView userName, int32_t deviceId) const;
    int32_t GetUserLevel(WStringView userName) const;
    int32_t GetDeviceLevel(int32_t deviceId) const;

    // The index of the (user, device) entry, or -1; valid until the next change.
    int32_t FindUserDeviceLevel(WStringView userName, int32_t deviceId) const;
    // False, changing nothing, for an index outside the list, a level outside 0..8 or a
    // pair that another entry already holds.
    bool SetUserDeviceLevel(int32_t index, WStringView userName, int32_t deviceId, int32_t level);
    // Later entries move up by one.
    bool RemoveUserDeviceLevel(int32_t index);

    // Each appends one entry. False, changing nothing, when the key (user name, device id
    // or both) is already listed, a level is outside 0..8 or a digest is not 32
    // hexadecimal digits: such an entry could never take effect.
    bool AddUser(UserPasswordEntry entry);
    bool AddDevice(DevicePasswordEntry entry);
    bool AddDeviceLevel(int32_t deviceId, int32_t level);
    bool AddUserLevel(WStringView userName, int32_t level);
    bool AddUserDeviceLevel(WStringView userName, int32_t deviceId, int32_t level);

    int32_t m_defaultLevel = kAccessAdministrative;
    bool m_unknownDeviceAdmitted = true;
    bool m_unknownUserAdmitted = true;

  private:
    struct DeviceLevel {
        int32_t deviceId;
        int32_t level;
    };
    struct UserLevel {
        WString userName;
        int32_t level;
    };

    std::vector<UserPasswordEntry> m_users;
    std::vector<DevicePasswordEntry> m_devices;
    std::vector<DeviceLevel> m_deviceLevels;
    std::vector<UserLevel> m_userLevels;
    std::vector<UserDeviceLevelEntry> m_userDeviceLevels;
};

}  // namespace qav
