// The entries of a capture device's configuration lists: the image sizes it offers, its
// input and output ports' defaults, its pan-tilt-zoom engines, its adjustable controls,
// its web interfaces and its diagnostic channels. Each travels as one item element whose
// attributes hold its values:
//   <qav:ImageSize qav:Height="480" qav:MaxVideoFrameRate="30" qav:Name="VGA"
//    qav:Width="640"/>
//   <qav:Control qav:DefaultValue="Auto" qav:Name="Mode" qav:Type="Options">
//   <qav:Options><qav:Option>Auto</qav:Option></qav:Options></qav:Control>
//   <qav:WebInterface qav:DeviceAccessLevel="Active">Setup</qav:WebInterface>
//
// Reading starts an item from the defaults below; what its element leaves out keeps them.
// Entries are plain values, copied whole; used by one thread at a time. The tables are
// constant.
#pragma once

#include <cstdint>
#include <vector>

#include "core/enum_text_table.h"
#include "core/wide_text.h"
#include "core/xml_element.h"
#include "records/access_level_table.h"
#include "records/record_fields.h"

namespace qav {

inline constexpr EnumTextRow kControlTypeTable[] = {
    {0, u"Undefined"},
    {1, u"Numeric"},
    {2, u"Options"},
    {3, u"Boolean"},
};

inline constexpr EnumTextRow kDiagnosticTypeTable[] = {
    {0, u"Undefined"},
    {1, u"Angle"},
};

inline constexpr EnumTextRow kEncodingTable[] = {
    {0, u"Undefined"}, {1, u"Int16LE"}, {2, u"Int24LE"}, {3, u"Int24BE"}, {4, u"Float32LE"},
};

constexpr int32_t kControlTypeOptions = 2;

struct ImageSize {
    WString m_name;
    int32_t m_width = 0;
    int32_t m_height = 0;
    int32_t m_maxVideoFrameRate = 0;

    bool operator==(const ImageSize&) const = default;
};

// -1: the device keeps its own setting.
struct InputPortConfig {
    int32_t m_defaultValue = -1;
    int32_t m_defaultVideoChannel = -1;
    int32_t m_defaultAudioChannel = -1;

    bool operator==(const InputPortConfig&) const = default;
};

struct OutputPortConfig {
    int32_t m_defaultValue = 0;
    int32_t m_pulseTimeMs = 0;

    bool operator==(const OutputPortConfig&) const = default;
};

struct PtzEngineConfig {
    int32_t m_deviceId = -1;
    int32_t m_videoChannel = -1;
    int32_t m_protocol = -1;

    bool operator==(const PtzEngineConfig&) const = default;
};

// The options travel only with the type "Options"; a control of another type neither
// writes nor reads them, so its list keeps what it held.
struct DeviceControl {
    WString m_name;
    int32_t m_type = 0;  // kControlTypeTable: "Undefined"
    WString m_defaultValue;
    std::vector<WString> m_options;

    bool operator==(const DeviceControl&) const = default;
};

struct WebInterface {
    WString m_name;  // the item element's text
    int32_t m_deviceAccessLevel = kAccessActive;

    bool operator==(const WebInterface&) const = default;
};

struct DiagnosticChannel {
    WString m_name;
    int32_t m_type = 0;      // kDiagnosticTypeTable: "Undefined"
    int32_t m_encoding = 0;  // kEncodingTable: "Undefined"
    int32_t m_numValuesPerSample = 0;
    int32_t m_sampleRate = 0;

    bool operator==(const DiagnosticChannel&) const = default;
};

// Each item on its own element, kSyncWrite or kSyncRead.
void Serialize(ImageSize& item, XmlElement element, uint32_t direction);
void Serialize(InputPortConfig& item, XmlElement element, uint32_t direction);
void Serialize(OutputPortConfig& item, XmlElement element, uint32_t direction);
void Serialize(PtzEngineConfig& item, XmlElement element, uint32_t direction);
void Serialize(DeviceControl& item, XmlElement element, uint32_t direction);
void Serialize(WebInterface& item, XmlElement element, uint32_t direction);
void Serialize(DiagnosticChannel& item, XmlElement element, uint32_t direction);

}  // namespace qav
