// The enumerations that maintenance messages carry as texts: the kind of message, the kind
// of application a node runs and the platform it runs on.
//
// Each table is read by the first row whose text equals exactly and written by the first
// row with the value (core/enum_text_table.h). The texts are the wire's own, misspellings
// included: they are never translated or corrected.
//
// The tables are constant; any thread may read them.
#pragma once

#include <cstdint>

#include "core/enum_text_table.h"

namespace qav {

enum MaintenanceMessageType : int32_t {
    kMaintenanceTestMessage = 1,
    kMaintenanceTestMessageReceived = 2,
    kMaintenanceSetUdpPortNumber = 3,
    kMaintenanceReady = 4,
    kMaintenanceNodeAttributes = 5,
    kMaintenanceSetConnectionToken = 6,
    kMaintenanceAlive = 7,
    kMaintenanceUpgradeSoftware = 8,
    kMaintenanceSendFeatures = 9,
    kMaintenanceSoftwareUpgradeAvailable = 10,
    kMaintenanceRequestFileContent = 11,
    kMaintenanceFileRequestError = 12,
    kMaintenanceSetDeviceAccessLevel = 13,
    kMaintenanceChangeServerAddress = 14,
    kMaintenanceDisconnect = 15,
    kMaintenanceNodeLocalAddresses = 16,
    kMaintenanceStartNewConnections = 17,
    kMaintenanceEnableMediaMessages = 18,
    kMaintenanceDeviceAllowedFeatures = 19,
    kMaintenanceBinaryPacket = 20,
    kMaintenanceMediaRecordingStatus = 21,
    kMaintenancePublishFile = 22,
    kMaintenanceFilePublished = 23,
    kMaintenanceError = 24,
    kMaintenanceFindDevices = 25,
    kMaintenanceDeviceUser = 26,
    kMaintenanceDeviceImageAddress = 27,
};

inline constexpr EnumTextRow kMaintenanceMessageTypeTable[] = {
    {kMaintenanceTestMessage, u"Test Message"},
    {kMaintenanceTestMessageReceived, u"Test Message Received"},
    {kMaintenanceSetUdpPortNumber, u"Set UDP Port Number"},
    {kMaintenanceReady, u"Ready"},
    {kMaintenanceNodeAttributes, u"Node Attributes"},
    {kMaintenanceSetConnectionToken, u"Set Connection Token"},
    {kMaintenanceAlive, u"Alive"},
    {kMaintenanceUpgradeSoftware, u"Upgrade Software"},
    {kMaintenanceSendFeatures, u"Send Features"},
    {kMaintenanceSoftwareUpgradeAvailable, u"Software Upgrade Available"},
    {kMaintenanceRequestFileContent, u"Request File Content"},
    {kMaintenanceFileRequestError, u"File Request Error"},
    {kMaintenanceSetDeviceAccessLevel, u"Set Device Access Level"},
    {kMaintenanceChangeServerAddress, u"Change Server Address"},
    {kMaintenanceDisconnect, u"Disconnect"},
    {kMaintenanceNodeLocalAddresses, u"Node Local Addresses"},
    {kMaintenanceStartNewConnections, u"Start New Connections"},
    {kMaintenanceEnableMediaMessages, u"Enable Media Messages"},
    {kMaintenanceDeviceAllowedFeatures, u"Device Allowed Features"},
    {kMaintenanceBinaryPacket, u"Binary Packet"},
    {kMaintenanceMediaRecordingStatus, u"Media Recording Status"},
    {kMaintenancePublishFile, u"Publish File"},
    {kMaintenanceFilePublished, u"File Published"},
    {kMaintenanceError, u"Error"},
    {kMaintenanceFindDevices, u"Find Devices"},
    {kMaintenanceDeviceUser, u"Device User"},
    {kMaintenanceDeviceImageAddress, u"Device Image Address"},
};

// What kind of program a node or peer is. 0 has no text: a message of that kind leaves
// "qav:ApplicationType" out. The closing row is part of the table.
inline constexpr int32_t kApplicationMobileMonitor = 7;  // this node
inline constexpr EnumTextRow kApplicationTypeTable[] = {
    {1, u"Device Program"},
    {2, u"Device Application"},
    {3, u"Monitor Application"},
    {4, u"Monitor Client Application"},
    {5, u"Transmitter Application"},
    {6, u"Console"},
    {kApplicationMobileMonitor, u"Mobile Monitor"},
    {8, u"User Application"},
    {9, u"AciveX Control"},
    {10, u"Mobile Streaming Application"},
    {11, u"Wireless Sensors Configuration Utility"},
    {12, u".Net Application"},
    {0, nullptr},
};

inline constexpr int32_t kPlatformArmv4iWm6 = 7;  // this node
inline constexpr EnumTextRow kPlatformTable[] = {
    {0, u"Undefined"},          {1, u"EZ-Kit 561"},
    {2, u"BTX CM 561"},         {3, u"QAV Device v1"},
    {4, u"QAV Device v2"},      {5, u"Win32"},
    {6, u"Linux x86"},          {kPlatformArmv4iWm6, u"ARMV4I WM6"},
    {8, u"Linux DAVINCI"},      {9, u"ARM iPhone"},
    {10, u"ARM Android"},       {11, u"ARM Symbian"},
    {12, u"Linux DAVINCI v2"},  {13, u"Linux DAVINCI v3"},
    {14, u"Linux DAVINCI v4"},  {15, u"Linux DAVINCI v5"},
    {16, u"Linux DAVINCI v6"},  {17, u"Linux DAVINCI v7"},
    {18, u"Linux DAVINCI v8"},  {19, u"Linux DAVINCI v9"},
    {20, u"Linux DAVINCI v10"}, {21, u"Linux DAVINCI v11"},
    {22, u"Linux DAVINCI v12"}, {23, u"Linux DAVINCI v13"},
};

}  // namespace qav
