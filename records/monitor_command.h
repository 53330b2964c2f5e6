// MonitorCommand: what a node sends to a monitor (a viewing client) — the monitor's own
// id, devices connecting and leaving, text messages, stream headers and media packets,
// recordings lists and playback set-up, access levels, dynamic ports and temperature
// readings, time synchronisation, storage and routing reports, and the data of serial
// clients: 35 types in one record. The type decides which fields travel. The protocol
// manager builds and sends these records and hands received ones to the application.
//
// Wire form: the type (and, for a few types, a text, a packet length or the clock
// readings) as attributes, then the type's children in a fixed order. Some names carry
// different fields for different types: "qav:Value" is an int or a text, "qav:Size" the
// attachment's length (an attribute, "Packet") or a file or storage size (a child).
//   <qav:MonitorCommand qav:Text="Door open" qav:Type="Device Text Message"
//    xmlns:qav="..."><qav:DeviceID>7</qav:DeviceID></qav:MonitorCommand>
//   <qav:MonitorCommand qav:Size="1316" qav:Type="Packet" xmlns:qav="..."/>
// Unlike a device command, a command of type 0 is written too (as an empty element).
//
// Types 5, 6, 7, 13, 16, 29 and 35 carry an attachment of DataSize raw bytes, which the
// record points at and never owns.
//
// Used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/wide_text.h"
#include "core/xml_element.h"
#include "records/channel_format.h"
#include "records/monitor_command_tables.h"
#include "records/xml_record.h"

namespace qav {

// One file or folder of a recordings list, all of it attributes of its "qav:MediaFile":
//   <qav:MediaFile qav:AudioChannel="1" qav:DeviceID="7" qav:Duration="60"
//    qav:EndingTime="..." qav:MediaFileExtension="mp4" qav:MediaType="Mixed File"
//    qav:Name="clip" qav:StartingTime="..." qav:VideoChannel="0"/>
// Only audio, video and mixed files carry their times, device, extension and duration; a
// video file has no audio channel and an audio file no video channel.
struct MediaFileEntry {
    bool operator==(const MediaFileEntry&) const = default;

    // Reading picks the attributes by the type as just read.
    void Serialize(XmlElement element, uint32_t direction);

    int32_t m_type = 0;  // kMediaFileTypeTable
    WString m_name;
    WString m_mediaFileExtension;
    int32_t m_deviceId = 0;
    int32_t m_videoChannel = -1;
    int32_t m_audioChannel = -1;
    int32_t m_duration = 0;
    WString m_startingTime;
    WString m_endingTime;
};

// How much traffic went one way: <qav:Entry qav:Address="10.0.0.2" qav:Size="4096"/>.
struct RouteStatisticsEntry {
    bool operator==(const RouteStatisticsEntry&) const = default;

    // A read gives an absent address the empty text and an absent size 0.
    void Serialize(XmlElement element, uint32_t direction);

    std::string m_address;  // UTF-8
    int32_t m_size = 0;
};

// The command's fields with their defaults, apart from the record interface so that two
// commands compare field by field.
struct MonitorCommandFields {
    bool operator==(const MonitorCommandFields&) const = default;

    int32_t m_type = 0;  // a value of kMonitorCommandTypeTable; 0 for none
    WString m_monitorsChain;
    int32_t m_mediaType = 0;               // kChannelTypeTable
    int32_t m_mediaStreamDestination = 0;  // kMediaStreamDestinationTable
    int32_t m_storageHostType = 1;         // kStorageHostTypeTable: "Device"
    int32_t m_storageSource = 1;           // kFileTransferCategoryTable: "Recording"
    int32_t m_functionalState = 0;         // kFunctionalStateTable: "Unknown"
    int32_t m_index = 0;
    int32_t m_deviceId = 0;
    int32_t m_monitorId = 0;
    int32_t m_freeSpaceMBytes = 0;
    int32_t m_control = 0;
    int32_t m_bitrate = 0;
    int32_t m_frameRate = 0;
    int32_t m_receiveToken = 0;
    int32_t m_value = 0;
    int32_t m_defaultValue = 0;
    int32_t m_numberOfSeconds = 0;
    int32_t m_sourceDeviceId = 0;
    int64_t m_size = 0;
    int64_t m_ntpTime = 0;
    int64_t m_timestamp = 0;
    WString m_name;
    WString m_text;
    WString m_directory;
    WString m_mediaFileExtension;
    WString m_valueText;  // "qav:Value" of the types that carry it as text
    WString m_startingTime;
    WString m_endingTime;
    bool m_enable = false;
    AudioChannelFormat m_audioFormat;
    VideoChannelFormat m_videoFormat;
    int32_t m_deviceAccessLevel = 0;  // kDeviceAccessLevelTable
    std::vector<MediaFileEntry> m_mediaFiles;
    std::vector<RouteStatisticsEntry> m_routeStatistics;
    const uint8_t* m_payload = nullptr;  // the caller's bytes, never freed here
    int32_t m_dataSize = 0;
};

class MonitorCommand : public XmlRecord, public MonitorCommandFields {
  public:
    static constexpr int32_t kTypeId = 10;
    static constexpr int32_t kPacket = 7;

    bool operator==(const MonitorCommand& other) const {
        return static_cast<const MonitorCommandFields&>(*this) == other;
    }

    void WriteXml(XmlElement parent) override;
    void ReadXml(XmlElement element) override;
    // The attachment of the types that carry one; 0 (`payload` untouched) for the others.
    uint32_t GetPayload(const uint8_t**& payload) override;
    int32_t GetTypeId() const override;
};

// The command's fields into `element` (kSyncWrite) or from it (kSyncRead). Reading picks
// the children by the type as just read. The attachment follows the rule of
// records/record_fields.h: reading drops it (null reference, DataSize 0) before taking the
// DataSize the XML announces, a negative DataSize is refused, and it is written as 0.
void Serialize(MonitorCommand& record, XmlElement element, uint32_t direction);

}  // namespace qav
