// CaptureDeviceCommand: an order sent towards a capture device by a monitor, a node or
// the local application — start or stop a stream, change a channel's rates, move a
// camera, drive the playback of recordings, manage phone texts, sleep, talk to a serial
// port: 109 types in one record. The type decides which fields travel; every node that
// forwards the command, and every recorder that issues one, puts its monitor id in front
// of the monitors chain; the protocol manager asks which permission the sender needs.
//
// Wire form: the type, device and chain as attributes, then the type's children in a
// fixed order (some names carry different fields for different types, "qav:Value" for
// instance an int, a text or a double):
//   <qav:CaptureDeviceCommand qav:DeviceID="7" qav:MonitorsChain="12,3"
//    qav:Type="Set Bit Rate" xmlns:qav="..."><qav:MediaType>Video</qav:MediaType>
//   <qav:Index>0</qav:Index><qav:MediaStreamDestination>Broadcast</qav:MediaStreamDestination>
//   <qav:Bitrate>512</qav:Bitrate></qav:CaptureDeviceCommand>
// A command of type 0 is not written at all.
//
// Types 105 (Set Geo-fences) and 109 (Send) carry an attachment of DataSize raw bytes,
// which the record points at and never owns.
//
// Used by one thread at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "core/wide_text.h"
#include "records/capture_device_command_tables.h"
#include "records/xml_record.h"

namespace qav {

// The command's fields with their defaults, apart from the record interface so that two
// commands compare field by field.
struct CaptureDeviceCommandFields {
    bool operator==(const CaptureDeviceCommandFields&) const = default;

    int32_t m_type = 0;                    // a value of kCaptureDeviceCommandTypeTable; 0 for none
    int32_t m_mediaType = 0;               // kChannelTypeTable
    int32_t m_mediaStreamDestination = 0;  // kMediaStreamDestinationTable
    WString m_monitorsChain;               // monitor ids, latest first: "12,7"
    WString m_directory;
    int32_t m_deviceId = 0;
    int32_t m_index = 0;
    int32_t m_bitrate = 0;  // also the baud rate of a serial port
    int32_t m_frameRate = 0;
    int32_t m_value = 0;  // also the restart period and the minutes of a time zone
    int32_t m_videoChannel = -1;
    int32_t m_audioChannel = -1;
    int32_t m_timeInMilliseconds = 0;
    int32_t m_locationIndex = -1;
    int32_t m_sampleRate = 0;
    int32_t m_numberOfChannels = 0;
    int32_t m_commandIndex = 0;
    int32_t m_receiveToken = 0;
    int32_t m_distance = 0;
    int32_t m_xStart = -1;
    int32_t m_xEnd = -1;
    int32_t m_yStart = -1;
    int32_t m_yEnd = -1;
    int32_t m_control = 0;
    int32_t m_time = 0;  // also the number of seconds of a media section
    int32_t m_sourceDeviceId = 0;
    int32_t m_packetNumber = 0;
    int32_t m_numPackets = 0;
    bool m_deinterlace = false;
    bool m_detectMotion = false;
    bool m_enable = false;
    bool m_displayFrameText = false;
    bool m_writeLocation = false;
    bool m_filterNoise = false;
    bool m_enableParallelInOut = false;
    bool m_syncFrames = false;
    bool m_useSingleEncoder = true;
    bool m_sendImage = false;
    bool m_sendLocations = false;
    bool m_publish = false;
    bool m_resetBuffer = true;
    bool m_dst = false;
    bool m_sendData = true;
    WString m_name;
    WString m_newName;
    WString m_text;
    WString m_phoneNumber;
    WString m_timeText;   // "qav:Time" of the types that carry it as text
    WString m_valueText;  // "qav:Value" of the types that carry it as text
    WString m_address;
    WString m_userName;
    WString m_password;
    double m_playbackSpeed = 1.0;
    double m_doubleValue = 0.0;
    int64_t m_position = 0;
    int64_t m_size = 0;
    int64_t m_timestamp = -1;
    int32_t m_width = 0;
    int32_t m_height = 0;
    std::vector<int32_t> m_indices;
    int32_t m_machineRole = 0;  // kMachineRoleTable
    int32_t m_angle = 0;
    int32_t m_speed = 0;
    int32_t m_zoomDirection = 0;
    int32_t m_playbackType = 1;  // "Media"
    int32_t m_focusDirection = 0;
    int32_t m_irisDirection = 0;
    int32_t m_transportProtocol = 0;  // kTransportProtocolTable
    int32_t m_storageSource = 1;      // kFileTransferCategoryTable: "Recording"
    int32_t m_operationLimit = 0;
    const uint8_t* m_payload = nullptr;  // the caller's bytes, never freed here
    int32_t m_dataSize = 0;
};

class CaptureDeviceCommand : public XmlRecord, public CaptureDeviceCommandFields {
  public:
    static constexpr int32_t kTypeId = 1;
    static constexpr int32_t kStopStreaming = 2;
    static constexpr int32_t kStartRecording = 13;
    static constexpr int32_t kStopRecording = 14;
    static constexpr int32_t kSetGeofences = 105;
    static constexpr int32_t kSend = 109;

    bool operator==(const CaptureDeviceCommand& other) const {
        return static_cast<const CaptureDeviceCommandFields&>(*this) == other;
    }

    // Every field back to its default, the payload reference to null; the Indices list
    // is kept.
    void Reset();

    void WriteXml(XmlElement parent) override;
    void ReadXml(XmlElement element) override;
    // The attachment of types 105 and 109; 0 (`payload` untouched) for every other type.
    uint32_t GetPayload(const uint8_t**& payload) override;
    int32_t GetTypeId() const override;

    // "12" on an empty chain, "12,7" on the chain "7".
    void AddMonitorToChain(int32_t monitorId);
};

// The command's fields into `element` (kSyncWrite) or from it (kSyncRead). Reading picks
// the children by the type as just read (and, for the channel attributes, by the media
// type as just read). A number too big for a double is refused, the field keeping its
// value. The attachment follows the rule of records/record_fields.h: reading drops it
// (null reference, DataSize 0) before taking the DataSize the XML announces, a negative
// DataSize is refused, and it is written as 0.
void Serialize(CaptureDeviceCommand& record, XmlElement element, uint32_t direction);

// The text of the command's type; null for a type outside the table.
const WChar* GetCommandTypeName(const CaptureDeviceCommand& command);

// The DeviceFeature the sender must be granted for this command: kFeatureUndefined when
// the command needs none, kFeatureUnknownCommand for a type outside the table.
int32_t GetRequiredDeviceFeature(const CaptureDeviceCommand& command);

// A command for the server machine that neither starts nor stops a recording.
bool IsServerCommandOtherThanRecording(const CaptureDeviceCommand& command);

}  // namespace qav
