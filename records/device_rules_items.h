// The entries of a capture device's rules lists: the media streams it publishes to or
// takes from outside servers, motion detection and power/rotation per video channel, and
// the limits of its temperature sensors. Each travels as one item element:
//   <qav:MediaOutputStream qav:Address="rtmp://..." qav:AudioChannel="-1" qav:Enable="True"
//    qav:Name="" qav:Password="" qav:TransportProtocol="TCP" qav:UserName=""
//    qav:VideoChannel="0"/>
//   <qav:VMDChParams qav:MotionLightThreshold="70"><qav:RectZone qav:XEnd="-1" .../>
//    <qav:OutputPort qav:DetectionValue="1" qav:Index="2"/></qav:VMDChParams>
//
// The parts of an entry guarded by its presence mask are written only when their bit is
// set; a read sets the bit of each part it finds. Reading starts an item from the defaults
// below, with an empty mask.
//
// Entries are plain values, copied whole; used by one thread at a time. The table is
// constant.
#pragma once

#include <cstdint>

#include "core/enum_text_table.h"
#include "core/wide_text.h"
#include "core/xml_element.h"

namespace qav {

inline constexpr EnumTextRow kProcessingActionTable[] = {
    {0, u"Disable"},
    {1, u"Forward As Is"},
    {2, u"Transcode"},
    {3, u"Native"},
};

// A stream the device publishes to an outside server.
struct MediaOutputStream {
    bool m_enable = false;
    WString m_name;
    WString m_address;
    WString m_userName;
    WString m_password;
    int32_t m_videoChannel = -1;
    int32_t m_audioChannel = -1;
    int32_t m_transportProtocol = 0;  // kTransportProtocolTable: "Any"

    bool operator==(const MediaOutputStream&) const = default;
};

// A stream the device takes from an outside source.
struct MediaInputStream {
    bool m_enable = false;
    WString m_name;
    WString m_address;
    WString m_userName;
    WString m_password;
    int32_t m_videoProcessingAction = 1;  // kProcessingActionTable: "Forward As Is"
    int32_t m_audioProcessingAction = 1;

    bool operator==(const MediaInputStream&) const = default;
};

// Motion detection of the video channel at the same position.
struct VMDChParams {
    static constexpr uint32_t kRectangle = 1;
    static constexpr uint32_t kSpacialThreshold = 2;
    static constexpr uint32_t kLightThreshold = 4;

    uint32_t m_mask = 0;
    int32_t m_motionSpacialThreshold = 5000;
    int32_t m_motionLightThreshold = 5000;
    int32_t m_outputPortIndex = -1;  // -1: no port follows the detection
    int32_t m_detectionValue = 1;
    int32_t m_xStart = 0;
    int32_t m_xEnd = -1;
    int32_t m_yStart = 0;
    int32_t m_yEnd = -1;

    bool operator==(const VMDChParams&) const = default;
};

// Power and rotation of the video channel at the same position.
struct VideoChannelRule {
    static constexpr uint32_t kCameraPowerPort = 1;

    uint32_t m_mask = 0;
    int32_t m_cameraPowerPortIndex = -1;
    int32_t m_powerOnPortValue = 0;
    int32_t m_rotation = 0;

    bool operator==(const VideoChannelRule&) const = default;
};

// The limits of one named temperature sensor.
struct TemperatureLimitsEntry {
    static constexpr uint32_t kMinimum = 1;
    static constexpr uint32_t kMaximum = 2;

    uint32_t m_mask = 0;
    WString m_name;
    int32_t m_minimumTemperature = 0;
    int32_t m_maximumTemperature = 0;

    bool operator==(const TemperatureLimitsEntry&) const = default;
};

// Each reads the entry from its item element (kSyncRead) or writes it there.
void Serialize(MediaOutputStream& item, XmlElement element, uint32_t direction);
void Serialize(MediaInputStream& item, XmlElement element, uint32_t direction);
void Serialize(VMDChParams& item, XmlElement element, uint32_t direction);
void Serialize(VideoChannelRule& item, XmlElement element, uint32_t direction);
void Serialize(TemperatureLimitsEntry& item, XmlElement element, uint32_t direction);

}  // namespace qav
