// The enumerations that device commands carry as texts, and the permissions (device
// features) a node grants per device. The monitor command and the maintenance message
// use some of them too (the storage source, the destination of a stream, the features a
// user holds).
//
// Each table is read by the first row whose text equals exactly and written by the first
// row with the value (core/enum_text_table.h). The texts are the wire's own: they are
// never translated or corrected.
//
// The tables are constant; any thread may read them.
#pragma once

#include <cstdint>

#include "core/enum_text_table.h"
#include "records/channel_status.h"

namespace qav {

// Which of the device's machines a command addresses; scanned in this order.
inline constexpr EnumTextRow kMachineRoleTable[] = {
    {3, u"Local"},
    {2, u"Server"},
    {1, u"Device"},
};
inline constexpr int32_t kMachineRoleServer = 2;

// Which encoder set of a video channel a rate or size applies to.
inline constexpr EnumTextRow kMediaStreamDestinationTable[] = {
    {kBroadcastEncoderSet, u"Broadcast"},
    {kRecordingEncoderSet, u"Recording"},
};

// Where the files of a listing, playback or transfer live.
inline constexpr EnumTextRow kFileTransferCategoryTable[] = {
    {0, u"Undefined"},
    {1, u"Recording"},
    {2, u"Software Update"},
    {3, u"Downloads"},
};

inline constexpr EnumTextRow kPlaybackTypeTable[] = {
    {0, u"Undefined"},
    {1, u"Media"},
    {2, u"Location"},
};

inline constexpr EnumTextRow kZoomDirectionTable[] = {
    {1, u"In"},
    {2, u"Out"},
};

inline constexpr EnumTextRow kFocusDirectionTable[] = {
    {0, u"Undefined"},
    {1, u"Near"},
    {2, u"Far"},
    {3, u"Automatic"},
};

inline constexpr EnumTextRow kIrisDirectionTable[] = {
    {0, u"Undefined"},
    {1, u"Open"},
    {2, u"Close"},
    {3, u"Automatic"},
};

// How much of the device keeps running while it sleeps.
inline constexpr EnumTextRow kOperationLimitTable[] = {
    {0, u"Undefined"},
    {1, u"Normal Operation"},
    {2, u"Complete Shutdown"},
    {3, u"Wireless Modems Disabled"},
};

// A permission a user may hold for a device.
enum DeviceFeature : int32_t {
    kFeatureUndefined = 0,  // no feature is named
    kFeatureWatchVideo = 1,
    kFeatureHearAudio = 2,
    kFeatureSetVideoParameters = 3,
    kFeatureSetAudioParameters = 4,
    kFeatureNaming = 5,
    kFeatureEnabling = 6,
    kFeatureSetPortValues = 7,
    kFeatureRecordVideo = 8,
    kFeatureRecordAudio = 9,
    kFeatureResetDevice = 10,
    kFeatureResetVideo = 11,
    kFeatureResetAudio = 12,
    kFeatureMoveCamera = 13,
    kFeatureZoomCamera = 14,
    kFeatureSaveCameraLocation = 15,
    kFeatureResetCameraLocations = 16,
    kFeaturePlayback = 17,
    kFeatureModifyRecordings = 18,
    kFeatureSetSmsParameters = 19,
    kFeatureSetMiscParameters = 20,
    kFeatureBroadcastVideo = 21,
    kFeatureBroadcastAudio = 22,
    kFeatureViewLocation = 23,
    kFeatureViewSignal = 24,
    kFeatureAddEvents = 25,
    kFeatureViewBatteryStatus = 26,
    kFeatureViewTimeAlive = 27,
    kFeatureViewEvents = 28,
    kFeatureViewLog = 29,
    kFeatureViewMotionSensing = 30,
    kFeatureViewFileTransfers = 31,
    // Not a row of the table: what a command of a type that this node does not know
    // requires. No grant of features includes it, so only a sender at the highest access
    // level (Administrative) may send such a command.
    kFeatureUnknownCommand = -1,
};

inline constexpr EnumTextRow kDeviceFeatureTable[] = {
    {kFeatureUndefined, u"Undefined"},
    {kFeatureWatchVideo, u"Watch Video"},
    {kFeatureHearAudio, u"Hear Audio"},
    {kFeatureSetVideoParameters, u"Set Video Parameters"},
    {kFeatureSetAudioParameters, u"Set Audio Parameters"},
    {kFeatureNaming, u"Naming"},
    {kFeatureEnabling, u"Enabling"},
    {kFeatureSetPortValues, u"Set Port Values"},
    {kFeatureRecordVideo, u"Record Video"},
    {kFeatureRecordAudio, u"Record Audio"},
    {kFeatureResetDevice, u"Reset Device"},
    {kFeatureResetVideo, u"Reset Video"},
    {kFeatureResetAudio, u"Reset Audio"},
    {kFeatureMoveCamera, u"Move Camera"},
    {kFeatureZoomCamera, u"Zoom Camera"},
    {kFeatureSaveCameraLocation, u"Save Camera Location"},
    {kFeatureResetCameraLocations, u"Reset Camera Locations"},
    {kFeaturePlayback, u"Playback"},
    {kFeatureModifyRecordings, u"Modify Recordings"},
    {kFeatureSetSmsParameters, u"Set SMS Parameters"},
    {kFeatureSetMiscParameters, u"Set Misc Parameters"},
    {kFeatureBroadcastVideo, u"Broadcast Video"},
    {kFeatureBroadcastAudio, u"Broadcast Audio"},
    {kFeatureViewLocation, u"View Location"},
    {kFeatureViewSignal, u"View Signal"},
    {kFeatureAddEvents, u"Add Events"},
    {kFeatureViewBatteryStatus, u"View Battery Status"},
    {kFeatureViewTimeAlive, u"View Time Alive"},
    {kFeatureViewEvents, u"View Events"},
    {kFeatureViewLog, u"View Log"},
    {kFeatureViewMotionSensing, u"View Motion Sensing"},
    {kFeatureViewFileTransfers, u"View File Transfers"},
};

// The 109 command types, values 1 to 109, each value and each text once.
extern const EnumTextRow kCaptureDeviceCommandTypeTable[109];

}  // namespace qav
