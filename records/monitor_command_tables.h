// The enumerations that monitor commands carry as texts: the command's type, the kind of
// a listed media file, where listed files are stored and how usable a device's storage
// is. The commands also use tables of other records: channel types
// (records/channel_format.h), stream destinations and storage sources
// (records/capture_device_command_tables.h) and access levels
// (records/access_level_table.h).
//
// Each table is read by the first row whose text equals exactly and written by the first
// row with the value (core/enum_text_table.h). The texts are the wire's own: they are
// never translated or corrected.
//
// The tables are constant; any thread may read them.
#pragma once

#include "core/enum_text_table.h"

namespace qav {

// The 35 types, values 1 to 35, each value and each text once; "Packet" stands where the
// peers keep it, after "Node Disconnection".
inline constexpr EnumTextRow kMonitorCommandTypeTable[] = {
    {1, u"Set Monitor ID"},
    {2, u"Device Disconnection"},
    {3, u"Device Text Message"},
    {4, u"Monitor Text Message"},
    {5, u"Set Stream Header"},
    {6, u"Set MP4 Stream Header"},
    {8, u"Media Files List"},
    {9, u"Playback Initialization"},
    {10, u"Node Connection"},
    {11, u"Node Disconnection"},
    {7, u"Packet"},
    {12, u"Device Access Level"},
    {13, u"Diagnostic Information"},
    {14, u"Channel Control Value Change"},
    {15, u"Channel Rates Change"},
    {16, u"Web Content"},
    {17, u"Dynamic Input Port Definition"},
    {18, u"Dynamic Output Port Definition"},
    {19, u"Dynamic Input Port Removed"},
    {20, u"Dynamic Output Port Removed"},
    {21, u"Dynamic Temperature Reading"},
    {22, u"Dynamic Temperature Reading Removed"},
    {23, u"Call Response"},
    {24, u"Device Timestamp Sync"},
    {25, u"Encoder Control Value Change"},
    {26, u"New Media Section"},
    {27, u"Media Section Not Found"},
    {28, u"Abstract Playback Not Found"},
    {29, u"Device Geo-fences"},
    {30, u"Device Command Rejected"},
    {31, u"Device Storage Conditions"},
    {32, u"Device Routing Statistics"},
    {33, u"Client Connected"},
    {34, u"Client Disconnected"},
    {35, u"Client Data"},
};

// What one entry of a recordings list is.
inline constexpr EnumTextRow kMediaFileTypeTable[] = {
    {0, u"Undefined"},
    {1, u"Audio File"},
    {2, u"Video File"},
    {3, u"Mixed File"},
    {4, u"Files Folder"},
    {5, u"Locations Log"},
    {6, u"JPEG Image File"},
    {7, u"Events Log"},
    {8, u"Debug Log"},
    {9, u"Transfers List"},
    {10, u"Modem Diagnostic Log"},
};

// Which machine holds the files of a listing or playback.
inline constexpr EnumTextRow kStorageHostTypeTable[] = {
    {0, u"Undefined"},
    {1, u"Device"},
    {2, u"Node"},
    {3, u"Monitor"},
};

// How usable a device's storage is.
// clang-format off
inline constexpr EnumTextRow kFunctionalStateTable[] = {
    {0, u"Unknown"},
    {1, u"OK"},
    {2, u"Read Only"},
    {3, u"Full"},
    {4, u"Limited"},
    {5, u"Faulty"},
    {6, u"Missing"},
};
// clang-format on

}  // namespace qav
